/*
 * A walk through the library on the machine's cards, in plain C:
 * count and identify the cards, open the first EP4GXA card with interrupts,
 * read a register, wait for an interrupt, look at the shared area, read a
 * word of the first OX9162 card's EEPROM, and close again. It changes
 * nothing on the cards unless given --write: then it also writes and reads
 * back a register, the shared area and EEPROM word 7.
 *
 *   walkthrough [--write] [TIMEOUT_MS]      (default time-out 2000 ms)
 *
 * Exits 0 when every step that the machine's cards allow worked.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quelt_ox952.h"

static int failures = 0;
static int writing = 0; /* --write given */

static void step(const char* what, uint32_t code) {
    printf("  %-44s %s\n", what, code == QUELT_OK ? "ok" : quelt_result_text(code));
    if (code != QUELT_OK) ++failures;
}

static void list_family(const char* name, uint32_t(QUELT_CALL* count_fn)(uint32_t*),
                        uint32_t(QUELT_CALL* did_fn)(uint32_t, uint32_t*),
                        uint32_t(QUELT_CALL* bus_fn)(uint32_t, uint32_t*),
                        uint32_t(QUELT_CALL* slot_fn)(uint32_t, uint32_t*)) {
    uint32_t count = 0, p;
    count_fn(&count);
    printf("%s: %u card(s)\n", name, count);
    for (p = 0; p < count; ++p) {
        uint32_t did = 0, bus = 0, slot = 0;
        did_fn(p, &did);
        bus_fn(p, &bus);
        slot_fn(p, &slot);
        printf("  position %u: device 0x%04X, bus %u, slot %u\n", p, did, bus, slot);
    }
}

static void ep4gxa_walk(int32_t timeout_ms) {
    uint32_t id = 0, serial = 0, value = 0, count = 0, length = 0;
    void* shared = NULL;
    uint32_t code;

    printf("EP4GXA position 0\n");
    step("card id and serial number", EP4GXA_Card_ID(0, &id) | EP4GXA_Card_SerNr(0, &serial));
    printf("  card id 0x%08X, serial %u\n", id, serial);
    step("open with interrupts", EP4GXA_Open(0, 1));
    if (writing) step("write register 0x10", EP4GXA_WriteReg32(0, 0x10, 0xC0FFEE01u));
    step("read register 0x10", EP4GXA_ReadReg32(0, 0x10, &value));
    printf("  register 0x10 = 0x%08X\n", value);
    if (writing && value != 0xC0FFEE01u) ++failures;
    step("misaligned offset is refused", EP4GXA_ReadReg32(0, 0x11, &value) == QUELT_BAD_OFFSET ? 0 : 1);

    step("shared area", EP4GXA_SHARED_BaseAdr(0, &shared, &length));
    if (shared) {
        if (writing) memcpy(shared, "hello from the walkthrough", 27);
        printf("  shared area of %u bytes, seen by every process using the card\n", length);
    }

    EP4GXA_IRQ_SetTimeout(0, timeout_ms);
    code = EP4GXA_IRQ_Wait(0, &count);
    if (code == QUELT_TIMEOUT)
        printf("  no interrupt within %d ms (raise one with: quelt-sim irq N)\n", timeout_ms);
    else
        step("wait for an interrupt", code);
    printf("  %u interrupt(s) since open\n", EP4GXA_IRQ_Count(0));
    step("close", EP4GXA_Close(0));
}

static void ox9162_walk(void) {
    uint16_t before = 0, after = 0;
    printf("OX9162 position 0\n");
    step("open", OX9162_Open(0, 0));
    step("read EEPROM word 7", OX9162_EEPROM_RD(0, 7, &before));
    printf("  word 7: 0x%04X\n", before);
    if (writing) {
        step("write EEPROM word 7", OX9162_EEPROM_WR(0, 7, (uint16_t)(before + 1)));
        step("read it back", OX9162_EEPROM_RD(0, 7, &after));
        printf("  word 7: 0x%04X -> 0x%04X\n", before, after);
        if (after != (uint16_t)(before + 1)) ++failures;
    }
    step("close", OX9162_Close(0));
}

int main(int argc, char** argv) {
    uint32_t version = 0, cards = 0;
    int32_t timeout_ms = 2000; /* the interrupt wait's time-out in ms */
    int i;
    for (i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--write") == 0)
            writing = 1;
        else
            timeout_ms = (int32_t)strtol(argv[i], NULL, 10);
    }

    printf("interface version %u\n", OX952_InterfaceVersion());
    if (OX952_CardsInSystem(&cards) == QUELT_OK && cards == 0 && OX9162_CardsInSystem(&cards) == QUELT_OK &&
        cards == 0 && EP4GXA_CardsInSystem(&cards) == QUELT_OK && cards == 0) {
        printf("no cards\n");
        return 0;
    }
    if (OX952_DriverVersion(&version) != QUELT_OK) {
        printf("driver version %u is not usable\n", version);
        return 1;
    }
    printf("driver version %u\n", version);

    list_family("OX952", OX952_CardsInSystem, OX952_Card_DID, OX952_Card_BUS, OX952_Card_SLOT);
    list_family("OX9162", OX9162_CardsInSystem, OX9162_Card_DID, OX9162_Card_BUS, OX9162_Card_SLOT);
    list_family("EP4GXA", EP4GXA_CardsInSystem, EP4GXA_Card_DID, EP4GXA_Card_BUS, EP4GXA_Card_SLOT);

    if (EP4GXA_CardsInSystem(&cards) == QUELT_OK && cards > 0) ep4gxa_walk(timeout_ms);
    if (OX9162_CardsInSystem(&cards) == QUELT_OK && cards > 0) ox9162_walk();

    printf(failures ? "%d step(s) failed\n" : "all steps worked\n", failures);
    return failures ? 1 : 0;
}
