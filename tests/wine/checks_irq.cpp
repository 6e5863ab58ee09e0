// The family interrupt, open-count and reset exports on a machine with no
// cards: each answers in its own order of checks and writes nothing back.
#include <string>

#include "harness.h"

namespace {

struct Result {
    const char* call;
    uint32_t got, want;
};

void ExpectAll(const Result* results, size_t n, const char* file, int line) {
    for (size_t i = 0; i < n; ++i) {
        if (results[i].got != results[i].want) {
            wine::Fail(file, line,
                       std::string(results[i].call) + " returned " + wine::Show(results[i].got) +
                           ", expected " + wine::Show(results[i].want));
        }
    }
}

}  // namespace

WINE_CHECK(InterruptExportsWithoutCards) {
    QUELT_REQUIRE_EXPORT(wait952, OX952_IRQ_Wait);
    QUELT_REQUIRE_EXPORT(wait9162, OX9162_IRQ_Wait);
    QUELT_REQUIRE_EXPORT(waitEp, EP4GXA_IRQ_Wait);
    QUELT_REQUIRE_EXPORT(count952, OX952_IRQ_Count);
    QUELT_REQUIRE_EXPORT(countF0, OX952_IRQ_CountF0);
    QUELT_REQUIRE_EXPORT(count9162, OX9162_IRQ_Count);
    QUELT_REQUIRE_EXPORT(countEp, EP4GXA_IRQ_Count);
    QUELT_REQUIRE_EXPORT(timeout952, OX952_IRQ_SetTimeout);
    QUELT_REQUIRE_EXPORT(timeout9162, OX9162_IRQ_SetTimeout);
    QUELT_REQUIRE_EXPORT(timeoutEp, EP4GXA_IRQ_SetTimeout);
    QUELT_REQUIRE_EXPORT(waits9162, OX9162_GetIrqWaits);
    QUELT_REQUIRE_EXPORT(waitsEp, EP4GXA_GetIrqWaits);
    QUELT_REQUIRE_EXPORT(cards9162, OX9162_CardsInSystem);

    uint32_t count = 0xDEADBEEFu;
    // Once before the family's map is built, once after: the same answers.
    for (int pass = 0; pass < 2; ++pass) {
        const Result results[] = {
            {"OX952_IRQ_Wait(0)", wait952(0, &count), QUELT_NO_CARD},
            {"OX952_IRQ_Wait(32)", wait952(32, &count), QUELT_NO_CARD},
            {"OX9162_IRQ_Wait(0)", wait9162(0, &count), QUELT_NO_CARD},
            {"OX9162_IRQ_Wait(0, null)", wait9162(0, nullptr), QUELT_NO_CARD},
            {"EP4GXA_IRQ_Wait(0xFFFFFFFF)", waitEp(0xFFFFFFFFu, &count), QUELT_NO_CARD},
            {"OX952_IRQ_Count(0)", count952(0), 0},
            {"OX952_IRQ_CountF0(0)", countF0(0), 0},
            {"OX9162_IRQ_Count(31)", count9162(31), 0},
            {"EP4GXA_IRQ_Count(32)", countEp(32), 0},
            {"OX952_IRQ_SetTimeout(0)", timeout952(0, 1000), QUELT_NO_CARD},
            {"OX9162_IRQ_SetTimeout(40)", timeout9162(40, -1), QUELT_NO_CARD},
            {"EP4GXA_IRQ_SetTimeout(0)", timeoutEp(0, 0), QUELT_NO_CARD},
            {"OX9162_GetIrqWaits(0)", waits9162(0), 0},
            {"EP4GXA_GetIrqWaits(32)", waitsEp(32), 0},
        };
        ExpectAll(results, sizeof results / sizeof results[0], __FILE__, __LINE__);
        uint32_t cards = 7;
        EXPECT_EQ(cards9162(&cards), QUELT_OK);
        EXPECT_EQ(cards, 0u);
    }
    EXPECT_EQ(count, 0xDEADBEEFu);
}

WINE_CHECK(ConnectionExportsWithoutCards) {
    QUELT_REQUIRE_EXPORT(openCount952, OX952_Card_OpenCount);
    QUELT_REQUIRE_EXPORT(openCount9162, OX9162_Card_OpenCount);
    QUELT_REQUIRE_EXPORT(openCountEp, EP4GXA_Card_OpenCount);
    QUELT_REQUIRE_EXPORT(clear952, OX952_ClearConnections);
    QUELT_REQUIRE_EXPORT(clear9162, OX9162_ClearConnections);
    QUELT_REQUIRE_EXPORT(clearEp, EP4GXA_ClearConnections);

    uint32_t count = 0xDEADBEEFu;
    const Result results[] = {
        {"OX952_Card_OpenCount(32, null)", openCount952(32, nullptr), QUELT_NO_CARD},
        {"OX952_Card_OpenCount(0, null)", openCount952(0, nullptr), QUELT_NULL_POINTER},
        {"OX952_Card_OpenCount(0)", openCount952(0, &count), QUELT_NOT_OPEN},
        {"OX9162_Card_OpenCount(0, null)", openCount9162(0, nullptr), QUELT_NULL_POINTER},
        {"OX9162_Card_OpenCount(0)", openCount9162(0, &count), QUELT_NO_CARD},
        {"EP4GXA_Card_OpenCount(5)", openCountEp(5, &count), QUELT_NO_CARD},
        {"EP4GXA_Card_OpenCount(32)", openCountEp(32, &count), QUELT_NO_CARD},
        {"OX952_ClearConnections(0)", clear952(0), QUELT_NO_CARD},
        {"OX952_ClearConnections(32)", clear952(32), QUELT_NO_CARD},
        {"OX9162_ClearConnections(0)", clear9162(0), QUELT_NO_CARD},
        {"EP4GXA_ClearConnections(31)", clearEp(31), QUELT_NO_CARD},
    };
    ExpectAll(results, sizeof results / sizeof results[0], __FILE__, __LINE__);
    EXPECT_EQ(count, 0xDEADBEEFu);
}
