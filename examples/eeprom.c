/*
 * Shows the 64 words of the first OX9162 card's serial EEPROM. Writes one
 * word only when asked, then reads it back.
 *
 *   eeprom
 *   eeprom --write WORD VALUE       (WORD 0..63, VALUE 0..0xFFFF)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quelt_ox952.h"

static int parse(const char* text, unsigned long max, uint32_t* value) {
    char* end = NULL;
    unsigned long v = strtoul(text, &end, strncmp(text, "0x", 2) == 0 ? 16 : 10);
    if (*text == '\0' || *end != '\0' || v > max) return 0;
    *value = (uint32_t)v;
    return 1;
}

int main(int argc, char** argv) {
    uint32_t word = 0, value = 0, code, w;
    uint16_t read_back = 0;
    int rc = 0;
    int writing = argc > 1 && strcmp(argv[1], "--write") == 0;
    if (argc > 1 &&
        (!writing || argc != 4 || !parse(argv[2], 63, &word) || !parse(argv[3], 0xFFFF, &value))) {
        fprintf(stderr, "usage: eeprom [--write WORD VALUE]\n");
        return 2;
    }
    /* Writes take a normal connection: refused while another program holds
     * the card, so no two programs drive the EEPROM's lines at once. */
    code = writing ? OX9162_Open(0, 0) : OX9162_OpenDiagnostic(0, 0);
    if (code != QUELT_OK) {
        printf("OX9162 position 0: %s\n", quelt_result_text(code));
        return 1;
    }
    if (writing) {
        code = OX9162_EEPROM_WR(0, word, (uint16_t)value);
        if (code == QUELT_OK) code = OX9162_EEPROM_RD(0, word, &read_back);
        if (code != QUELT_OK || read_back != value) {
            printf("word %u: %s, reads 0x%04X\n", word, quelt_result_text(code), read_back);
            rc = 1;
        } else {
            printf("word %u is now 0x%04X\n", word, read_back);
        }
    } else {
        for (w = 0; w < 64 && rc == 0; ++w) {
            uint16_t v = 0;
            code = OX9162_EEPROM_RD(0, w, &v);
            if (code != QUELT_OK) {
                printf("word %u: %s\n", w, quelt_result_text(code));
                rc = 1;
                break;
            }
            if (w % 8 == 0) printf("%02u:", w);
            printf(" %04X", v);
            if (w % 8 == 7) printf("\n");
        }
    }
    OX9162_Close(0);
    return rc;
}
