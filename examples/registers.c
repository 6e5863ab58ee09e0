/*
 * Register access on the first EP4GXA card: reads the 32-bit registers at
 * the offsets given (default 0x0 to 0xC); writes only when asked.
 *
 *   registers [OFFSET ...]
 *   registers --write OFFSET VALUE     (one 32-bit write, then a read back)
 *
 * Offsets and values are decimal or 0x-hex.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quelt_ox952.h"

static int parse(const char* text, uint32_t* value) {
    char* end = NULL;
    unsigned long v = strtoul(text, &end, strncmp(text, "0x", 2) == 0 ? 16 : 10);
    if (*text == '\0' || *end != '\0' || v > 0xFFFFFFFFul) return 0;
    *value = (uint32_t)v;
    return 1;
}

static int show(uint32_t offset) {
    uint32_t value = 0;
    uint32_t code = EP4GXA_ReadReg32(0, offset, &value);
    if (code != QUELT_OK) {
        printf("register 0x%04X: %s (0x%X)\n", offset, quelt_result_text(code), code);
        return 1;
    }
    printf("register 0x%04X = 0x%08X\n", offset, value);
    return 0;
}

int main(int argc, char** argv) {
    uint32_t offset = 0, value = 0, code;
    int failures = 0, i;
    int writing = argc > 1 && strcmp(argv[1], "--write") == 0;
    if (writing && (argc != 4 || !parse(argv[2], &offset) || !parse(argv[3], &value))) {
        fprintf(stderr, "usage: registers [OFFSET ...] | registers --write OFFSET VALUE\n");
        return 2;
    }
    /* A diagnostic connection is always admitted and disturbs no application
     * that holds the card. */
    code = EP4GXA_OpenDiagnostic(0, 0);
    if (code != QUELT_OK) {
        printf("EP4GXA position 0: %s\n", quelt_result_text(code));
        return 1;
    }
    if (writing) {
        code = EP4GXA_WriteReg32(0, offset, value);
        printf("write 0x%08X to register 0x%04X: %s\n", value, offset, quelt_result_text(code));
        failures += code != QUELT_OK;
        failures += show(offset);
    } else if (argc > 1) {
        for (i = 1; i < argc; ++i) {
            if (!parse(argv[i], &offset)) {
                fprintf(stderr, "not an offset: %s\n", argv[i]);
                ++failures;
                continue;
            }
            failures += show(offset);
        }
    } else {
        for (offset = 0; offset <= 0xC; offset += 4) failures += show(offset);
    }
    EP4GXA_Close(0);
    return failures ? 1 : 0;
}
