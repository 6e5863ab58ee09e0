/*
 * Waits for interrupts of the first EP4GXA card and prints the count since
 * the card was opened. Raise one from another shell with `quelt-sim irq 4`
 * (4 is the EP4GXA card's device number on the default machine).
 *
 *   interrupts [WAITS [TIMEOUT_MS]]     (defaults: 1 wait, 5000 ms)
 *
 * Exits 0 when every wait saw an interrupt, 3 on a time-out.
 */
#include <stdio.h>
#include <stdlib.h>

#include "quelt_ox952.h"

int main(int argc, char** argv) {
    long waits = argc > 1 ? strtol(argv[1], NULL, 10) : 1;
    int32_t timeout_ms = argc > 2 ? (int32_t)strtol(argv[2], NULL, 10) : 5000;
    uint32_t code, count = 0;
    long i;
    int rc = 0;

    /* Interrupts are asked for at open; a card without an interrupt line
     * refuses with QUELT_NO_IRQ_LINE. */
    code = EP4GXA_OpenDiagnostic(0, 1);
    if (code != QUELT_OK) {
        printf("EP4GXA position 0: %s\n", quelt_result_text(code));
        return 1;
    }
    /* The time-out stays with the card until changed, even across Close. */
    EP4GXA_IRQ_SetTimeout(0, timeout_ms);
    for (i = 0; i < waits; ++i) {
        code = EP4GXA_IRQ_Wait(0, &count);
        if (code == QUELT_TIMEOUT) {
            printf("no interrupt within %d ms\n", timeout_ms);
            rc = 3;
            break;
        }
        if (code != QUELT_OK) {
            printf("wait: %s\n", quelt_result_text(code));
            rc = 1;
            break;
        }
        printf("interrupt: %u since open\n", count);
    }
    printf("%u interrupt(s) since open\n", EP4GXA_IRQ_Count(0));
    EP4GXA_Close(0);
    return rc;
}
