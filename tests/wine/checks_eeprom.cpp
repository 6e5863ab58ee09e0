// The serial EEPROM exports on a machine with no cards: each answers in its
// own order of checks, and a read leaves the caller's word alone.
#include "harness.h"

WINE_CHECK(EepromExportsWithoutCards) {
    QUELT_REQUIRE_EXPORT(ox952Read, OX952_EEPROM_RD);
    QUELT_REQUIRE_EXPORT(ox952Write, OX952_EEPROM_WR);
    QUELT_REQUIRE_EXPORT(ox952Erase, OX952_EEPROM_Erase);
    QUELT_REQUIRE_EXPORT(ox9162Read, OX9162_EEPROM_RD);
    QUELT_REQUIRE_EXPORT(ox9162Write, OX9162_EEPROM_WR);
    QUELT_REQUIRE_EXPORT(ox9162Erase, OX9162_EEPROM_Erase);

    std::uint16_t word = 0x5A5A;
    struct Case {
        const char* call;
        std::uint32_t got, want;
    };
    const Case cases[] = {
        {"OX952_EEPROM_RD(0, null)", ox952Read(0, 0, nullptr), QUELT_NULL_POINTER},
        {"OX952_EEPROM_RD(40, null)", ox952Read(40, 0, nullptr), QUELT_NULL_POINTER},
        {"OX952_EEPROM_RD(0)", ox952Read(0, 0, &word), QUELT_NO_CARD},
        {"OX952_EEPROM_WR(0)", ox952Write(0, 5, 0x1234), QUELT_NO_CARD},
        {"OX952_EEPROM_WR(40)", ox952Write(40, 5, 0x1234), QUELT_NO_CARD},
        {"OX952_EEPROM_Erase(31)", ox952Erase(31, 5), QUELT_NO_CARD},
        {"OX9162_EEPROM_RD(40, null)", ox9162Read(40, 0, nullptr), QUELT_NULL_POINTER},
        {"OX9162_EEPROM_RD(0)", ox9162Read(0, 0, &word), QUELT_NO_CARD},
        {"OX9162_EEPROM_WR(40)", ox9162Write(40, 5, 0x1234), QUELT_NO_CARD},
        {"OX9162_EEPROM_WR(0)", ox9162Write(0, 5, 0x1234), QUELT_NO_CARD},
        {"OX9162_EEPROM_Erase(0xFFFFFFFF)", ox9162Erase(0xFFFFFFFFu, 5), QUELT_NO_CARD},
    };
    for (const Case& c : cases) {
        if (c.got != c.want) {
            wine::Fail(
                __FILE__, __LINE__,
                std::string(c.call) + " returned " + wine::Show(c.got) + ", expected " + wine::Show(c.want));
        }
    }
    EXPECT_EQ(word, 0x5A5A);
}
