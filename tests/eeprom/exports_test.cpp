// The six EEPROM exports on a simulated machine: their orders of checks,
// the words they reach, failures of the part, other processes and threads.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "quelt_ox952.h"
#include "registry/card_table.h"
#include "sim/control.h"
#include "support/child_process.h"
#include "support/temp_machine.h"

namespace {

// Device numbers of the machine every test starts with.
constexpr int kOx952Function1 = 2;  // EEPROM on region 1
constexpr int kOx9162 = 3;          // EEPROM on region 0

struct EepromFamily {
    const char* name;
    int device;
    int eepromRegion;
    uint32_t (*open)(uint32_t, uint32_t);
    uint32_t (*close)(uint32_t);
    uint32_t (*rd)(uint32_t, uint32_t, uint16_t*);
    uint32_t (*wr)(uint32_t, uint32_t, uint16_t);
    uint32_t (*erase)(uint32_t, uint32_t);
};
const EepromFamily kOx952{"OX952",         kOx952Function1,   1, OX952_Open, OX952_Close, OX952_EEPROM_RD,
                          OX952_EEPROM_WR, OX952_EEPROM_Erase};
const EepromFamily kOx9162Family{
    "OX9162", kOx9162, 0, OX9162_Open, OX9162_Close, OX9162_EEPROM_RD, OX9162_EEPROM_WR, OX9162_EEPROM_Erase};
const EepromFamily* const kFamilies[] = {&kOx952, &kOx9162Family};

class EepromExports : public ::testing::Test {
protected:
    void SetUp() override {
        // One card of each family; the OX952 card with both functions.
        const sim::CardConfig f0 = sim::DefaultCard(sim::CardFamily::OX952);
        sim::CardConfig ep4gxa = sim::DefaultCard(sim::CardFamily::EP4GXA);
        ep4gxa.cardId.reset();
        ep4gxa.serial.reset();
        ASSERT_EQ(sim::AddCard(f0), 1);
        ASSERT_EQ(sim::AddCard(sim::Ox952Function1(f0)), kOx952Function1);
        ASSERT_EQ(sim::AddCard(sim::DefaultCard(sim::CardFamily::OX9162)), kOx9162);
        ASSERT_EQ(sim::AddCard(ep4gxa), 4);
        for (int d : {kOx952Function1, kOx9162}) sim::SetEepromProgramTime(d, 0);
        RegistryLoad();
    }
    void TearDown() override { RegistryUnload(); }
    static std::uint16_t Word(int device, int i) {
        return sim::EepromWords(device).at(static_cast<std::size_t>(i));
    }

    quelt_test::TempMachine machine;
};

// The order of checks decides the code when several arguments are bad.
TEST_F(EepromExports, CheckOrders) {
    std::uint16_t v = 0;
    struct Case {
        const char* call;
        uint32_t got, want;
    };
    const Case cases[] = {
        {"OX952_EEPROM_RD(40, null)", OX952_EEPROM_RD(40, 0, nullptr), QUELT_NULL_POINTER},
        {"OX952_EEPROM_RD(0 not open, null)", OX952_EEPROM_RD(0, 0, nullptr), QUELT_NULL_POINTER},
        {"OX952_EEPROM_RD(40)", OX952_EEPROM_RD(40, 0, &v), QUELT_NO_CARD},
        {"OX952_EEPROM_WR(40)", OX952_EEPROM_WR(40, 0, 1), QUELT_NO_CARD},
        {"OX952_EEPROM_Erase(-1)", OX952_EEPROM_Erase(0xFFFFFFFFu, 0), QUELT_NO_CARD},
        {"OX952_EEPROM_WR(1, no card)", OX952_EEPROM_WR(1, 0, 1), QUELT_NO_CARD},
        {"OX9162_EEPROM_RD(40, null)", OX9162_EEPROM_RD(40, 0, nullptr), QUELT_NULL_POINTER},
        {"OX9162_EEPROM_RD(40)", OX9162_EEPROM_RD(40, 0, &v), QUELT_NO_CARD},
        {"OX9162_EEPROM_WR(40)", OX9162_EEPROM_WR(40, 0, 1), QUELT_NO_CARD},
        {"OX9162_EEPROM_Erase(32)", OX9162_EEPROM_Erase(32, 0), QUELT_NO_CARD},
        {"OX9162_EEPROM_RD(1, no card)", OX9162_EEPROM_RD(1, 0, &v), QUELT_NO_CARD},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.call;
}

// A present card that is not open in this process: the part sees nothing.
// Before an Open no map is built, so the position holds no card; after a
// Close it holds one that is not open.
TEST_F(EepromExports, NotOpenWritesNothing) {
    struct Case {
        const EepromFamily* family;
        uint32_t neverOpened;
    };
    for (const Case& c : {Case{&kOx952, QUELT_NO_CARD}, Case{&kOx9162Family, QUELT_NO_CARD}}) {
        const EepromFamily* f = c.family;
        SCOPED_TRACE(f->name);
        const std::vector<std::uint16_t> before = sim::EepromWords(f->device);
        std::uint16_t v = 0x5A5A;
        for (bool openedBefore : {false, true}) {
            if (openedBefore) {
                ASSERT_EQ(f->open(0, 0), QUELT_OK);
                ASSERT_EQ(f->close(0), QUELT_OK);
            }
            const uint32_t want = openedBefore ? QUELT_NOT_OPEN : c.neverOpened;
            EXPECT_EQ(f->wr(0, 4, 0x1234), want);
            EXPECT_EQ(f->erase(0, 4), want);
            EXPECT_EQ(f->rd(0, 4, &v), want);
        }
        EXPECT_EQ(v, 0x5A5A);
        EXPECT_EQ(sim::EepromWords(f->device), before);
        EXPECT_EQ(sim::RegionMemory(f->device, f->eepromRegion)[3], 0);
    }
}

// Each family reaches only its own card, whatever another family holds open.
TEST_F(EepromExports, PositionsResolveThroughTheirOwnFamily) {
    ASSERT_EQ(OX952_Open(0, 0), QUELT_OK);  // pairs function 1
    ASSERT_EQ(OX952_Close(0), QUELT_OK);
    const std::vector<std::uint16_t> ox952Before = sim::EepromWords(kOx952Function1);
    ASSERT_EQ(OX9162_Open(0, 0), QUELT_OK);
    ASSERT_EQ(EP4GXA_Open(0, 0), QUELT_OK);
    EXPECT_EQ(OX952_EEPROM_WR(0, 4, 0x1234), QUELT_NOT_OPEN);
    EXPECT_EQ(sim::EepromWords(kOx952Function1), ox952Before);
    ASSERT_EQ(OX9162_Close(0), QUELT_OK);

    const std::vector<std::uint16_t> ox9162Before = sim::EepromWords(kOx9162);
    ASSERT_EQ(OX952_Open(0, 0), QUELT_OK);
    EXPECT_EQ(OX9162_EEPROM_WR(0, 4, 0x1234), QUELT_NOT_OPEN);
    EXPECT_EQ(sim::EepromWords(kOx9162), ox9162Before);
    EXPECT_EQ(OX952_Close(0), QUELT_OK);
    EXPECT_EQ(EP4GXA_Close(0), QUELT_OK);
}

// Codes of the region lookup pass through; a region the driver lists without
// an address makes the protocol fail.
TEST_F(EepromExports, RegionProblems) {
    sim::CardConfig unmapped = sim::DefaultCard(sim::CardFamily::OX952);
    unmapped.deviceId = 0x0302;
    unmapped.slot = 5;
    sim::CardConfig unmapped1 = sim::Ox952Function1(unmapped);
    unmapped1.regions[1].unmapped = true;
    sim::CardConfig oneRegion = sim::DefaultCard(sim::CardFamily::OX952);
    oneRegion.deviceId = 0x0304;
    oneRegion.slot = 6;
    sim::CardConfig oneRegion1 = sim::Ox952Function1(oneRegion);
    oneRegion1.regions.resize(1);
    oneRegion1.eepromRegion = -1;
    sim::CardConfig ox9162 = sim::DefaultCard(sim::CardFamily::OX9162);
    ox9162.slot = 7;
    ox9162.regions[0].unmapped = true;
    for (const sim::CardConfig& c : {unmapped, unmapped1, oneRegion, oneRegion1, ox9162}) sim::AddCard(c);

    struct Case {
        const EepromFamily* family;
        uint32_t position;
        uint32_t want;
    };
    for (const Case& c : {Case{&kOx952, 1, QUELT_NOT_OPEN}, Case{&kOx952, 2, QUELT_NO_BAR13},
                          Case{&kOx9162Family, 1, QUELT_NOT_OPEN}}) {
        const EepromFamily* f = c.family;
        SCOPED_TRACE(testing::Message() << f->name << " position " << c.position);
        ASSERT_EQ(f->open(c.position, 0), QUELT_OK);
        std::uint16_t v = 0x5A5A;
        EXPECT_EQ(f->rd(c.position, 0, &v), c.want);
        EXPECT_EQ(v, 0x5A5A);
        EXPECT_EQ(f->rd(c.position, 0, nullptr), QUELT_NULL_POINTER);
        EXPECT_EQ(f->wr(c.position, 0, 1), c.want);
        EXPECT_EQ(f->erase(c.position, 0), c.want);
        EXPECT_EQ(f->close(c.position), QUELT_OK);
    }
}

TEST_F(EepromExports, WriteReadEraseOnBothFamilies) {
    for (const EepromFamily* f : kFamilies) {
        SCOPED_TRACE(f->name);
        ASSERT_EQ(f->open(0, 0), QUELT_OK);
        struct Case {
            uint32_t address;
            int word;
            std::uint16_t value;
        };
        for (const Case& c :
             {Case{0, 0, 0x0102}, Case{63, 63, 0x8001}, Case{64 + 7, 7, 0xA5C3}, Case{127, 63, 0}}) {
            EXPECT_EQ(f->wr(0, c.address, c.value), QUELT_OK);
            std::uint16_t v = 0xEEEE;
            EXPECT_EQ(f->rd(0, c.address, &v), QUELT_OK);
            EXPECT_EQ(v, c.value);
            EXPECT_EQ(Word(f->device, c.word), c.value);
        }
        EXPECT_EQ(f->erase(0, 7), QUELT_OK);
        EXPECT_EQ(Word(f->device, 7), 0xFFFF);
        EXPECT_EQ(Word(f->device, 0), 0x0102);
        ASSERT_EQ(f->close(0), QUELT_OK);
    }
}

// A part that never reports ready is a failed write or erase, not a success,
// and, still busy, it cannot be read: nothing drives data out. An absent part
// changes nothing; with its data line stuck high it cannot be
// told from a part that is always ready.
TEST_F(EepromExports, PartFailures) {
    struct Case {
        sim::EepromMode mode;
        uint32_t write;
        uint32_t read;
        std::uint16_t readValue;
    };
    const Case cases[] = {
        {sim::EepromMode::NeverReady, QUELT_NOT_OPEN, QUELT_OK, 0x0000},
        {sim::EepromMode::AbsentLow, QUELT_NOT_OPEN, QUELT_OK, 0x0000},
        {sim::EepromMode::AbsentHigh, QUELT_OK, QUELT_OK, 0xFFFF},
    };
    for (const EepromFamily* f : kFamilies) {
        ASSERT_EQ(f->open(0, 0), QUELT_OK);
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << f->name << " mode " << static_cast<int>(c.mode));
            sim::SetEepromWord(f->device, 30, 0x1234);
            sim::SetEepromMode(f->device, c.mode);
            EXPECT_EQ(f->wr(0, 30, 0x3030), c.write);
            EXPECT_EQ(f->erase(0, 30), c.write);
            std::uint16_t v = 0x1111;
            EXPECT_EQ(f->rd(0, 31, &v), c.read);
            EXPECT_EQ(v, c.readValue);
            if (c.mode != sim::EepromMode::NeverReady)
                EXPECT_EQ(Word(f->device, 30), 0x1234);  // no part, no change
        }
        sim::SetEepromMode(f->device, sim::EepromMode::Normal);
        ASSERT_EQ(f->close(0), QUELT_OK);
    }
}

// What one process writes, another process reads.
TEST_F(EepromExports, AnotherProcessReadsWhatWasWritten) {
    for (const EepromFamily* f : kFamilies) {
        SCOPED_TRACE(f->name);
        quelt_test::Child child([f](quelt_test::Child&) {
            if (f->open(0, 0) != QUELT_OK) return 10;
            if (f->wr(0, 12, 0xBEEF) != QUELT_OK) return 11;
            return f->close(0) == QUELT_OK ? 0 : 12;
        });
        const quelt_test::Child::Outcome outcome = child.Wait();
        ASSERT_TRUE(outcome.exited) << outcome.report;
        ASSERT_EQ(outcome.code, 0);

        ASSERT_EQ(f->open(0, 0), QUELT_OK);
        std::uint16_t v = 0;
        EXPECT_EQ(f->rd(0, 12, &v), QUELT_OK);
        EXPECT_EQ(v, 0xBEEF);
        ASSERT_EQ(f->close(0), QUELT_OK);
    }
}

// Two threads using the EEPROM of one card at once: every frame arrives whole.
TEST_F(EepromExports, TwoThreadsOnOneCard) {
    for (const EepromFamily* f : kFamilies) {
        SCOPED_TRACE(f->name);
        ASSERT_EQ(f->open(0, 0), QUELT_OK);
        constexpr int kRounds = 40;
        auto worker = [f](std::uint32_t word, std::uint16_t tag, int* mismatches) {
            for (int i = 0; i < kRounds; ++i) {
                const auto value = static_cast<std::uint16_t>(tag | i);
                std::uint16_t back = 0;
                if (f->wr(0, word, value) != QUELT_OK || f->rd(0, word, &back) != QUELT_OK || back != value) {
                    ++*mismatches;
                }
            }
        };
        int badA = 0, badB = 0;
        std::thread a(worker, 20u, std::uint16_t{0xA100}, &badA);
        std::thread b(worker, 21u, std::uint16_t{0x5200}, &badB);
        a.join();
        b.join();
        EXPECT_EQ(badA, 0);
        EXPECT_EQ(badB, 0);
        EXPECT_EQ(Word(f->device, 20), 0xA100 | (kRounds - 1));
        EXPECT_EQ(Word(f->device, 21), 0x5200 | (kRounds - 1));
        ASSERT_EQ(f->close(0), QUELT_OK);
    }
}

}  // namespace
