/*
 * Lists the cards of the three families with their identity, as a program
 * sees them through the family functions. Opens nothing and writes nothing.
 *
 *   list_cards
 */
#include <stdio.h>

#include "quelt_ox952.h"

typedef uint32_t(QUELT_CALL* CountFn)(uint32_t*);
typedef uint32_t(QUELT_CALL* QueryFn)(uint32_t, uint32_t*);

static uint32_t list_family(const char* name, CountFn count_fn, QueryFn did_fn, QueryFn bus_fn,
                            QueryFn slot_fn) {
    uint32_t count = 0, p;
    uint32_t code = count_fn(&count);
    if (code != QUELT_OK) {
        printf("%s: %s\n", name, quelt_result_text(code));
        return 0;
    }
    for (p = 0; p < count; ++p) {
        uint32_t did = 0, bus = 0, slot = 0;
        /* The three queries need no open card. */
        if (did_fn(p, &did) != QUELT_OK || bus_fn(p, &bus) != QUELT_OK || slot_fn(p, &slot) != QUELT_OK)
            continue;
        printf("%-7s position %u: device id 0x%04X, bus %u, slot %u", name, p, did, bus, slot);
        if (did_fn == EP4GXA_Card_DID) {
            uint32_t id = 0, serial = 0;
            if (EP4GXA_Card_ID(p, &id) == QUELT_OK && EP4GXA_Card_SerNr(p, &serial) == QUELT_OK)
                printf(", card id 0x%08X, serial number %u", id, serial);
        }
        printf("\n");
    }
    return count;
}

int main(void) {
    uint32_t total = 0, version = 0;
    printf("interface version %u\n", OX952_InterfaceVersion());
    total += list_family("OX952", OX952_CardsInSystem, OX952_Card_DID, OX952_Card_BUS, OX952_Card_SLOT);
    total += list_family("OX9162", OX9162_CardsInSystem, OX9162_Card_DID, OX9162_Card_BUS, OX9162_Card_SLOT);
    total += list_family("EP4GXA", EP4GXA_CardsInSystem, EP4GXA_Card_DID, EP4GXA_Card_BUS, EP4GXA_Card_SLOT);
    if (total == 0) {
        /* Without a card the driver cannot be asked for its version. */
        printf("no cards\n");
        return 0;
    }
    if (OX952_DriverVersion(&version) != QUELT_OK) {
        printf("driver version %u: older than 109, install a newer card driver\n", version);
        return 1;
    }
    printf("%u card(s), driver version %u\n", total, version);
    return 0;
}
