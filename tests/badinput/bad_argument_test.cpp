// Every export with every kind of bad argument its checks look at: positions
// past the end (31, 32, -1), positions without a card, cards not open, null
// pointers, register offsets past the end or misaligned, null and empty
// device handles. Each call must give its documented code (the checks run in
// a fixed order, so a bad position and a null pointer together pick one of
// them), write nothing through its outputs, and leave the machine exactly as
// it was: attach counts, connection records, pending waits, EEPROM words and
// open handles.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/test_hooks.h"
#include "quelt_ox952.h"
#include "registry/card_table.h"
#include "sim/control.h"
#include "support/temp_machine.h"

namespace {

constexpr std::uint32_t NO_CARD = QUELT_NO_CARD;
constexpr std::uint32_t NOT_OPEN = QUELT_NOT_OPEN;
constexpr std::uint32_t NULLP = QUELT_NULL_POINTER;
constexpr std::uint32_t BAD_OFFSET = QUELT_BAD_OFFSET;
constexpr std::uint64_t SENTINEL = 0xA5A5A5A5A5A5A5A5ull;

// Devices of the machine below.
constexpr int kDevices =
    5;  // 1, 2: OX952 functions 0 and 1; 3: OX9162; 4: EP4GXA; 5: OX9162 without interrupt
constexpr std::uint32_t kEp4gxaRegion0 = 65536;

// Everything outside the process that a rejected call must leave alone.
struct MachineState {
    std::vector<std::int32_t> attached;
    std::vector<std::uint32_t> pending;
    std::vector<std::array<std::uint32_t, 5>> block;  // irq counter, attach, diag, slot count, first slot
    std::vector<std::vector<std::uint16_t>> eeprom;
    std::size_t openHandles = 0;
    bool operator==(const MachineState&) const = default;
};

MachineState Snapshot() {
    MachineState s;
    for (int d = 1; d <= kDevices; ++d) {
        s.attached.push_back(sim::AttachedHandles(d));
        s.pending.push_back(sim::PendingWaits(d));
        s.block.push_back({sim::ReadStatusWord(d, 4), sim::ReadStatusWord(d, 12), sim::ReadStatusWord(d, 16),
                           sim::ReadStatusWord(d, 20), sim::ReadStatusWord(d, 24)});
    }
    s.eeprom = {sim::EepromWords(2), sim::EepromWords(3)};
    s.openHandles = posix_test::OpenHandleCount();
    return s;
}

// One bad call: its text for the failure message, what it must return, and
// the call itself, which reports whether every output it was given still holds
// the sentinel.
struct Row {
    std::string call;
    std::uint32_t expected;
    std::function<std::uint32_t(bool* untouched)> run;
};

// Output buffers filled with the sentinel; `untouched` says whether they
// still hold it.
struct Outs {
    std::uint64_t u64 = SENTINEL;
    std::uint32_t u32 = static_cast<std::uint32_t>(SENTINEL), lo = u32, hi = u32;
    std::uint16_t u16 = static_cast<std::uint16_t>(SENTINEL);
    std::uint8_t u8 = static_cast<std::uint8_t>(SENTINEL);
    void* ptr = reinterpret_cast<void*>(SENTINEL);
    bool untouched() const {
        const std::uint32_t s32 = static_cast<std::uint32_t>(SENTINEL);
        return u64 == SENTINEL && u32 == s32 && lo == s32 && hi == s32 &&
               u16 == static_cast<std::uint16_t>(SENTINEL) && u8 == static_cast<std::uint8_t>(SENTINEL) &&
               ptr == reinterpret_cast<void*>(SENTINEL);
    }
};

using Query = std::uint32_t (*)(std::uint32_t, std::uint32_t*);
using Region = std::uint32_t (*)(std::uint32_t, void**, std::uint32_t*);

Row QueryRow(const std::string& name, Query f, std::uint32_t position, bool null, std::uint32_t expected) {
    return {name + "(" + std::to_string(position) + (null ? ", null)" : ", out)"), expected,
            [=](bool* untouched) {
                Outs o;
                std::uint32_t r = f(position, null ? nullptr : &o.u32);
                *untouched = o.untouched();
                return r;
            }};
}

Row RegionRow(const std::string& name, Region f, std::uint32_t position, int nulls, std::uint32_t expected) {
    // nulls: 0 none, 1 address, 2 length, 3 both
    return {name + "(" + std::to_string(position) + ", nulls " + std::to_string(nulls) + ")", expected,
            [=](bool* untouched) {
                Outs o;
                std::uint32_t r = f(position, (nulls & 1) ? nullptr : &o.ptr, (nulls & 2) ? nullptr : &o.u32);
                *untouched = o.untouched();
                return r;
            }};
}

// Positions that never hold a card here, with the last valid one among them.
const std::uint32_t kBadPositions[] = {31, 32, 0xFFFFFFFFu, 7};
std::uint32_t PastEnd(std::uint32_t p) {
    return p >= 32 ? NO_CARD : 0;  // 0: the position is in range but empty
}

class BadArguments : public ::testing::Test {
protected:
    void SetUp() override {
        // The default machine: a two-function OX952 card, an OX9162 and an EP4GXA card.
        machine_ = std::make_unique<quelt_test::TempMachine>(true);
        sim::CardConfig quiet = sim::DefaultCard(sim::CardFamily::OX9162);
        quiet.irqLine = 0;
        quiet.slot = 9;
        sim::AddCard(quiet);
        RegistryLoad();
        // Every card opened once and closed again: the maps are built and the
        // OX952 card's second function is paired, so "present, not open" is
        // what every member sees at position 0.
        ASSERT_EQ(OX952_Open(0, 1), 0u);
        ASSERT_EQ(OX9162_Open(0, 1), 0u);
        ASSERT_EQ(EP4GXA_Open(0, 1), 0u);
        ASSERT_EQ(OX952_Close(0), 0u);
        ASSERT_EQ(OX9162_Close(0), 0u);
        ASSERT_EQ(EP4GXA_Close(0), 0u);
    }
    void TearDown() override {
        RegistryUnload();
        EXPECT_EQ(posix_test::OpenHandleCount(), 0u);
        machine_.reset();
    }

    static void RunAll(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            const MachineState before = Snapshot();
            bool untouched = false;
            const std::uint32_t got = row.run(&untouched);
            EXPECT_EQ(got, row.expected) << row.call;
            EXPECT_TRUE(untouched) << row.call << " wrote an output on a failing path";
            EXPECT_TRUE(Snapshot() == before) << row.call << " changed the machine";
        }
    }

    std::unique_ptr<quelt_test::TempMachine> machine_;
};

// Identity queries: the families test position, presence and the null
// pointer in different orders, and callers see the difference.
TEST_F(BadArguments, IdentityQueriesInTheirOrderOfChecks) {
    std::vector<Row> rows;
    for (std::uint32_t p : kBadPositions) {
        const std::uint32_t past = PastEnd(p);
        // null first, then the position
        rows.push_back(QueryRow("OX952_Card_DID", OX952_Card_DID, p, true, NULLP));
        // position first, then null
        for (auto [n, f] : {std::make_pair("OX952_Card_BUS", OX952_Card_BUS),
                            {"OX952_Card_SLOT", OX952_Card_SLOT},
                            {"EP4GXA_Card_ID", EP4GXA_Card_ID},
                            {"EP4GXA_Card_SerNr", EP4GXA_Card_SerNr}})
            rows.push_back(QueryRow(n, f, p, true, past ? past : NULLP));
        // position and presence first, null last
        for (auto [n, f] : {std::make_pair("OX9162_Card_DID", OX9162_Card_DID),
                            {"OX9162_Card_BUS", OX9162_Card_BUS},
                            {"OX9162_Card_SLOT", OX9162_Card_SLOT},
                            {"EP4GXA_Card_DID", EP4GXA_Card_DID},
                            {"EP4GXA_Card_BUS", EP4GXA_Card_BUS},
                            {"EP4GXA_Card_SLOT", EP4GXA_Card_SLOT}})
            rows.push_back(QueryRow(n, f, p, true, NO_CARD));
        // with a real pointer every one of them finds no card
        for (auto [n, f] : {std::make_pair("OX952_Card_DID", OX952_Card_DID),
                            {"OX952_Card_BUS", OX952_Card_BUS},
                            {"OX9162_Card_SLOT", OX9162_Card_SLOT},
                            {"EP4GXA_Card_ID", EP4GXA_Card_ID},
                            {"EP4GXA_Card_SerNr", EP4GXA_Card_SerNr},
                            {"EP4GXA_Card_DID", EP4GXA_Card_DID}})
            rows.push_back(QueryRow(n, f, p, false, NO_CARD));
    }
    // A present card with a null pointer.
    rows.push_back(QueryRow("OX9162_Card_SLOT", OX9162_Card_SLOT, 0, true, NULLP));
    rows.push_back(QueryRow("EP4GXA_Card_BUS", EP4GXA_Card_BUS, 0, true, NULLP));
    for (auto [n, f] : {std::make_pair("OX952_CardsInSystem", OX952_CardsInSystem),
                        {"OX9162_CardsInSystem", OX9162_CardsInSystem},
                        {"EP4GXA_CardsInSystem", EP4GXA_CardsInSystem},
                        {"OX952_DriverVersion", OX952_DriverVersion},
                        {"OX9162_DriverVersion", OX9162_DriverVersion},
                        {"EP4GXA_DriverVersion", EP4GXA_DriverVersion}})
        rows.push_back({std::string(n) + "(null)", NULLP, [f = f](bool* u) {
                            *u = true;
                            return f(nullptr);
                        }});
    RunAll(rows);
}

// Open and Close of positions that hold no card. OX952 has no presence test:
// the attach of the missing device fails, or the interrupt test first.
TEST_F(BadArguments, OpenAndCloseOfPositionsWithoutACard) {
    using OpenFn = std::uint32_t (*)(std::uint32_t, std::uint32_t);
    std::vector<Row> rows;
    auto open = [&](const std::string& name, OpenFn f, std::uint32_t p, std::uint32_t irq,
                    std::uint32_t code) {
        rows.push_back(
            {name + "(" + std::to_string(p) + ", " + std::to_string(irq) + ")", code, [=](bool* u) {
                 *u = true;
                 return f(p, irq);
             }});
    };
    for (std::uint32_t p : kBadPositions) {
        for (auto [n, f] : {std::make_pair("OX9162_Open", OX9162_Open),
                            {"OX9162_OpenMulti", OX9162_OpenMulti},
                            {"OX9162_OpenDiagnostic", OX9162_OpenDiagnostic},
                            {"EP4GXA_Open", EP4GXA_Open},
                            {"EP4GXA_OpenMulti", EP4GXA_OpenMulti},
                            {"EP4GXA_OpenDiagnostic", EP4GXA_OpenDiagnostic}})
            for (std::uint32_t irq : {0u, 1u, 0xFFFFFFFFu}) open(n, f, p, irq, NO_CARD);
        for (auto [n, f] : {std::make_pair("OX952_Open", OX952_Open),
                            {"OX952_OpenMulti", OX952_OpenMulti},
                            {"OX952_OpenDiagnostic", OX952_OpenDiagnostic}}) {
            open(n, f, p, 0, PastEnd(p) ? NO_CARD : QUELT_OPEN_FAILED);
            open(n, f, p, 1, PastEnd(p) ? NO_CARD : QUELT_NO_IRQ_LINE);
        }
        for (auto [n, f, empty] : {std::make_tuple("OX952_Close", OX952_Close, NOT_OPEN),
                                   {"OX9162_Close", OX9162_Close, NO_CARD},
                                   {"EP4GXA_Close", EP4GXA_Close, NO_CARD}})
            rows.push_back({std::string(n) + "(" + std::to_string(p) + ")", PastEnd(p) ? NO_CARD : empty,
                            [f = f, p](bool* u) {
                                *u = true;
                                return f(p);
                            }});
    }
    // A card without an interrupt line, asked for interrupts: nothing attached.
    open("OX9162_Open", OX9162_Open, 1, 1, QUELT_NO_IRQ_LINE);
    open("OX9162_OpenDiagnostic", OX9162_OpenDiagnostic, 1, 7, QUELT_NO_IRQ_LINE);
    // Closing a present card that is not open.
    for (auto [n, f] : {std::make_pair("OX952_Close", OX952_Close),
                        {"OX9162_Close", OX9162_Close},
                        {"EP4GXA_Close", EP4GXA_Close}})
        rows.push_back({std::string(n) + "(0) not open", NOT_OPEN, [f = f](bool* u) {
                            *u = true;
                            return f(0);
                        }});
    RunAll(rows);
}

// Members that need the card open: position first, then "not open" (0x40 for
// a present card, 2 for none), and only then the null pointers, so a card
// that is not open answers the same with and without them.
TEST_F(BadArguments, MembersOfAnOpenCardOnCardsThatAreNot) {
    std::vector<Row> rows;
    const std::pair<const char*, Region> regions[] = {
        {"OX952_BAR05_BaseAdr", OX952_BAR05_BaseAdr},     {"OX952_BAR11_BaseAdr", OX952_BAR11_BaseAdr},
        {"OX952_BAR13_BaseAdr", OX952_BAR13_BaseAdr},     {"OX9162_BAR3_BaseAdr", OX9162_BAR3_BaseAdr},
        {"OX9162_BAR4_BaseAdr", OX9162_BAR4_BaseAdr},     {"EP4GXA_BAR0_BaseAdr", EP4GXA_BAR0_BaseAdr},
        {"EP4GXA_BAR1_BaseAdr", EP4GXA_BAR1_BaseAdr},     {"EP4GXA_BAR2_BaseAdr", EP4GXA_BAR2_BaseAdr},
        {"OX952_SHARED_BaseAdr", OX952_SHARED_BaseAdr},   {"OX9162_SHARED_BaseAdr", OX9162_SHARED_BaseAdr},
        {"EP4GXA_SHARED_BaseAdr", EP4GXA_SHARED_BaseAdr},
    };
    for (auto [n, f] : regions) {
        for (std::uint32_t p : kBadPositions)
            for (int nulls : {0, 1, 2, 3}) rows.push_back(RegionRow(n, f, p, nulls, NO_CARD));
        for (int nulls : {0, 1, 2, 3}) rows.push_back(RegionRow(n, f, 0, nulls, NOT_OPEN));
    }
    // Connection count: position, then the null pointer, then "not open".
    // OX952 does not look for presence: no open function is "not open".
    for (auto [n, f, empty] : {std::make_tuple("OX952_Card_OpenCount", OX952_Card_OpenCount, NOT_OPEN),
                               {"OX9162_Card_OpenCount", OX9162_Card_OpenCount, NO_CARD},
                               {"EP4GXA_Card_OpenCount", EP4GXA_Card_OpenCount, NO_CARD}}) {
        for (std::uint32_t p : kBadPositions) {
            rows.push_back(QueryRow(n, f, p, true, PastEnd(p) ? NO_CARD : NULLP));
            rows.push_back(QueryRow(n, f, p, false, PastEnd(p) ? NO_CARD : empty));
        }
        rows.push_back(QueryRow(n, f, 0, true, NULLP));
        rows.push_back(QueryRow(n, f, 0, false, NOT_OPEN));
    }
    // Interrupt waits and time-outs (the count pointer may be null).
    for (auto [n, f] : {std::make_pair("OX952_IRQ_Wait", OX952_IRQ_Wait),
                        {"OX9162_IRQ_Wait", OX9162_IRQ_Wait},
                        {"EP4GXA_IRQ_Wait", EP4GXA_IRQ_Wait}}) {
        for (std::uint32_t p : kBadPositions) {
            rows.push_back(QueryRow(n, f, p, true, NO_CARD));
            rows.push_back(QueryRow(n, f, p, false, NO_CARD));
        }
        rows.push_back(QueryRow(n, f, 0, true, NOT_OPEN));
        rows.push_back(QueryRow(n, f, 0, false, NOT_OPEN));
    }
    for (auto [n, f] : {std::make_pair("OX952_IRQ_SetTimeout", OX952_IRQ_SetTimeout),
                        {"OX9162_IRQ_SetTimeout", OX9162_IRQ_SetTimeout},
                        {"EP4GXA_IRQ_SetTimeout", EP4GXA_IRQ_SetTimeout}}) {
        for (std::uint32_t p : {31u, 32u, 0xFFFFFFFFu, 7u, 0u})
            for (std::int32_t t : {0, -1, 100, INT32_MIN})
                rows.push_back({std::string(n) + "(" + std::to_string(p) + ", " + std::to_string(t) + ")",
                                p == 0 ? NOT_OPEN : NO_CARD, [f = f, p, t](bool* u) {
                                    *u = true;
                                    return f(p, t);
                                }});
    }
    // Counting members answer 0 for every bad position and for a card not open.
    using CountFn = std::uint32_t (*)(std::uint32_t);
    for (auto [n, f] : {std::make_pair("OX952_IRQ_Count", static_cast<CountFn>(OX952_IRQ_Count)),
                        {"OX952_IRQ_CountF0", OX952_IRQ_CountF0},
                        {"OX9162_IRQ_Count", OX9162_IRQ_Count},
                        {"EP4GXA_IRQ_Count", EP4GXA_IRQ_Count},
                        {"OX9162_GetIrqWaits", OX9162_GetIrqWaits},
                        {"EP4GXA_GetIrqWaits", EP4GXA_GetIrqWaits}})
        for (std::uint32_t p : {31u, 32u, 0xFFFFFFFFu, 7u, 0u})
            rows.push_back({std::string(n) + "(" + std::to_string(p) + ")", 0, [f = f, p](bool* u) {
                                *u = true;
                                return f(p);
                            }});
    // Connection reset: position and presence only (it changes the block of
    // a card that is there, so only cards that are not are asked).
    for (auto [n, f] : {std::make_pair("OX952_ClearConnections", OX952_ClearConnections),
                        {"OX9162_ClearConnections", OX9162_ClearConnections},
                        {"EP4GXA_ClearConnections", EP4GXA_ClearConnections}})
        for (std::uint32_t p : kBadPositions)
            rows.push_back({std::string(n) + "(" + std::to_string(p) + ")", NO_CARD, [f = f, p](bool* u) {
                                *u = true;
                                return f(p);
                            }});
    RunAll(rows);
}

// EEPROM words: the read tests its pointer before anything else; then the
// region function's codes (OX952) or the position and "not open" (OX9162).
TEST_F(BadArguments, EepromWordsOfCardsThatAreNotOpen) {
    std::vector<Row> rows;
    for (std::uint32_t p : {31u, 32u, 0xFFFFFFFFu, 7u, 0u}) {
        const std::uint32_t code = p == 0 ? NOT_OPEN : NO_CARD;
        for (std::uint32_t address : {0u, 63u, 64u, 0xFFFFFFFFu}) {
            const std::string at = "(" + std::to_string(p) + ", " + std::to_string(address);
            rows.push_back({"OX952_EEPROM_RD" + at + ", null)", NULLP, [=](bool* u) {
                                *u = true;
                                return OX952_EEPROM_RD(p, address, nullptr);
                            }});
            rows.push_back({"OX9162_EEPROM_RD" + at + ", null)", NULLP, [=](bool* u) {
                                *u = true;
                                return OX9162_EEPROM_RD(p, address, nullptr);
                            }});
            for (auto [n, f] :
                 {std::make_pair("OX952_EEPROM_RD", OX952_EEPROM_RD), {"OX9162_EEPROM_RD", OX9162_EEPROM_RD}})
                rows.push_back({n + at + ", out)", code, [f = f, p, address](bool* u) {
                                    Outs o;
                                    std::uint32_t r = f(p, address, &o.u16);
                                    *u = o.untouched();
                                    return r;
                                }});
            for (auto [n, f] :
                 {std::make_pair("OX952_EEPROM_WR", OX952_EEPROM_WR), {"OX9162_EEPROM_WR", OX9162_EEPROM_WR}})
                rows.push_back({n + at + ", 0x1234)", code, [f = f, p, address](bool* u) {
                                    *u = true;
                                    return f(p, address, 0x1234);
                                }});
            for (auto [n, f] : {std::make_pair("OX952_EEPROM_Erase", OX952_EEPROM_Erase),
                                {"OX9162_EEPROM_Erase", OX9162_EEPROM_Erase}})
                rows.push_back({n + at + ")", code, [f = f, p, address](bool* u) {
                                    *u = true;
                                    return f(p, address);
                                }});
        }
    }
    RunAll(rows);
}

// EP4GXA registers: null result pointers first, then region 0's codes, then
// offsets not inside the region or not aligned for the width. Asked with the
// card open (for the offsets) and not open (for the codes passed on).
TEST_F(BadArguments, RegisterAccessPastTheEndMisalignedOrNull) {
    struct Access {
        const char* name;
        unsigned align;  // 4 or 8
        std::function<std::uint32_t(std::uint32_t, std::uint32_t, Outs&, bool)>
            call;  // null: pass null pointers
        bool reads;
    };
    const Access accesses[] = {
        {"EP4GXA_ReadReg8", 4,
         [](auto p, auto o, Outs& b, bool n) { return EP4GXA_ReadReg8(p, o, n ? nullptr : &b.u8); }, true},
        {"EP4GXA_ReadReg32", 4,
         [](auto p, auto o, Outs& b, bool n) { return EP4GXA_ReadReg32(p, o, n ? nullptr : &b.u32); }, true},
        {"EP4GXA_ReadReg64", 8,
         [](auto p, auto o, Outs& b, bool n) { return EP4GXA_ReadReg64(p, o, n ? nullptr : &b.u64); }, true},
        {"EP4GXA_ReadReg2x32 (low null)", 8,
         [](auto p, auto o, Outs& b, bool n) { return EP4GXA_ReadReg2x32(p, o, n ? nullptr : &b.lo, &b.hi); },
         true},
        {"EP4GXA_ReadReg2x32 (high null)", 8,
         [](auto p, auto o, Outs& b, bool n) { return EP4GXA_ReadReg2x32(p, o, &b.lo, n ? nullptr : &b.hi); },
         true},
        {"EP4GXA_WriteReg8", 4, [](auto p, auto o, Outs&, bool) { return EP4GXA_WriteReg8(p, o, 0x5A); },
         false},
        {"EP4GXA_WriteReg32", 4,
         [](auto p, auto o, Outs&, bool) { return EP4GXA_WriteReg32(p, o, 0x5A5A5A5A); }, false},
        {"EP4GXA_WriteReg64", 8,
         [](auto p, auto o, Outs&, bool) { return EP4GXA_WriteReg64(p, o, 0x5A5A5A5A5A5Aull); }, false},
        {"EP4GXA_WriteReg2x32", 8,
         [](auto p, auto o, Outs&, bool) { return EP4GXA_WriteReg2x32(p, o, 1, 2); }, false},
    };
    auto rowsFor = [&](bool open) {
        std::vector<Row> rows;
        for (const Access& a : accesses) {
            auto add = [&](std::uint32_t p, std::uint32_t offset, bool null, std::uint32_t code) {
                rows.push_back({std::string(a.name) + "(" + std::to_string(p) + ", " +
                                    std::to_string(offset) + (null ? ", null)" : ")"),
                                code, [call = a.call, p, offset, null](bool* u) {
                                    Outs o;
                                    std::uint32_t r = call(p, offset, o, null);
                                    *u = o.untouched();
                                    return r;
                                }});
            };
            for (std::uint32_t p : {31u, 32u, 0xFFFFFFFFu, 7u}) {
                if (a.reads) add(p, 0, true, NULLP);
                add(p, 0, false, NO_CARD);
            }
            if (!open) {
                if (a.reads) add(0, 0, true, NULLP);
                add(0, 0, false, NOT_OPEN);
                continue;
            }
            if (a.reads) add(0, kEp4gxaRegion0, true, NULLP);
            for (std::uint32_t offset : {kEp4gxaRegion0, kEp4gxaRegion0 + a.align, 0xFFFFFFFCu, 0xFFFFFFF8u,
                                         a.align / 2, a.align - 1, kEp4gxaRegion0 - a.align / 2, 1u})
                add(0, offset, false, BAD_OFFSET);
        }
        return rows;
    };
    RunAll(rowsFor(false));
    ASSERT_EQ(EP4GXA_Open(0, 0), 0u);
    // The region's memory must not change either: no access was made.
    const std::uint8_t* region = sim::RegionMemory(4, 0);  // a mapping of its own, not the library's
    const std::vector<std::uint8_t> before(region, region + kEp4gxaRegion0);
    RunAll(rowsFor(true));
    for (std::uint32_t i = 0; i < kEp4gxaRegion0; ++i)
        ASSERT_EQ(region[i], before[i]) << "byte " << i << " of region 0 changed";
    EXPECT_EQ(EP4GXA_Close(0), 0u);
}

// Open cards: null pointers after the checks that pass, and the "already
// open" answer, which leaves the first connection as it was.
TEST_F(BadArguments, NullPointersAndSecondOpensOnOpenCards) {
    ASSERT_EQ(OX952_Open(0, 1), 0u);
    ASSERT_EQ(OX9162_OpenDiagnostic(0, 1), 0u);
    ASSERT_EQ(EP4GXA_OpenMulti(0, 0), 0u);
    std::vector<Row> rows;
    for (auto [n, f] : {std::make_pair("OX952_BAR05_BaseAdr", OX952_BAR05_BaseAdr),
                        {"OX952_BAR13_BaseAdr", OX952_BAR13_BaseAdr},
                        {"OX9162_BAR3_BaseAdr", OX9162_BAR3_BaseAdr},
                        {"EP4GXA_BAR2_BaseAdr", EP4GXA_BAR2_BaseAdr},
                        {"OX952_SHARED_BaseAdr", OX952_SHARED_BaseAdr},
                        {"EP4GXA_SHARED_BaseAdr", EP4GXA_SHARED_BaseAdr}})
        for (int nulls : {1, 2, 3}) rows.push_back(RegionRow(n, f, 0, nulls, NULLP));
    for (auto [n, f] : {std::make_pair("OX952_Card_OpenCount", OX952_Card_OpenCount),
                        {"OX9162_Card_OpenCount", OX9162_Card_OpenCount}})
        rows.push_back(QueryRow(n, f, 0, true, NULLP));
    rows.push_back({"OX952_EEPROM_RD(0, 1, null) open", NULLP, [](bool* u) {
                        *u = true;
                        return OX952_EEPROM_RD(0, 1, nullptr);
                    }});
    rows.push_back({"OX9162_EEPROM_RD(0, 1, null) open", NULLP, [](bool* u) {
                        *u = true;
                        return OX9162_EEPROM_RD(0, 1, nullptr);
                    }});
    rows.push_back({"EP4GXA_IRQ_Wait(0) opened without interrupts", QUELT_IRQ_NOT_ENABLED, [](bool* u) {
                        Outs o;
                        std::uint32_t r = EP4GXA_IRQ_Wait(0, &o.u32);
                        *u = o.untouched();  // no count on an early return
                        return r;
                    }});
    using OpenFn = std::uint32_t (*)(std::uint32_t, std::uint32_t);
    for (auto [n, f] : {std::pair<const char*, OpenFn>{"OX952_Open", OX952_Open},
                        {"OX952_OpenDiagnostic", OX952_OpenDiagnostic},
                        {"OX9162_Open", OX9162_Open},
                        {"OX9162_OpenMulti", OX9162_OpenMulti},
                        {"EP4GXA_OpenDiagnostic", EP4GXA_OpenDiagnostic},
                        {"EP4GXA_Open", EP4GXA_Open}})
        rows.push_back({std::string(n) + "(0) again", QUELT_ALREADY_OPEN, [f = f](bool* u) {
                            *u = true;
                            return f(0, 0);
                        }});
    RunAll(rows);
    EXPECT_EQ(OX952_Close(0), 0u);
    EXPECT_EQ(OX9162_Close(0), 0u);
    EXPECT_EQ(EP4GXA_Close(0), 0u);
    EXPECT_EQ(sim::ReadStatusWord(3, 16), 0u) << "the diagnostic connection was counted twice";
}

// The device-level functions with null and empty handles, unknown names and
// indexes out of range.
TEST_F(BadArguments, DeviceLevelFunctionsWithNullHandlesAndNoSuchDevice) {
    std::vector<Row> rows;
    auto add = [&](const std::string& call, std::uint32_t expected, std::function<std::uint32_t()> f) {
        rows.push_back({call, expected, [f](bool* u) {
                            *u = true;
                            return f();
                        }});
    };
    for (std::int32_t index : {0, -1, 6, INT32_MIN, INT32_MAX})
        add("OxOpenDevice(null, " + std::to_string(index) + ")", 1,
            [index] { return OxOpenDevice(nullptr, index, 0) == nullptr; });
    add("OxOpenDevice(no such name)", 1, [] { return OxOpenDevice("no such card", 1, 0) == nullptr; });
    add("OxOpenDevice(EP4GXA, 2)", 1, [] { return OxOpenDevice("EP4GXA", 2, 2) == nullptr; });
    add("OxCloseDevice(null)", 0, [] {
        OxCloseDevice(nullptr);
        return 0u;
    });
    add("OxGetBoardName(null)", 1, [] { return OxGetBoardName(nullptr) == nullptr; });
    add("OxGetDeviceResources(null)", 1, [] { return OxGetDeviceResources(nullptr) == nullptr; });
    add("OxInOut", static_cast<std::uint32_t>(-100),
        [] { return static_cast<std::uint32_t>(OxInOut(0, -1, 0, 7)); });
    add("OxWaitForIrq(null slot)", 5,
        [] { return static_cast<std::uint32_t>(OxWaitForIrq(nullptr, 10, 1)); });
    add("OxWaitForIrq(slot holding null)", 4, [] {
        DeviceHandle* none = nullptr;
        return static_cast<std::uint32_t>(OxWaitForIrq(&none, -1, 1));
    });
    add("OxDiscardWaitForIrq(null)", 0, [] {
        OxDiscardWaitForIrq(nullptr);
        return 0u;
    });
    add("OxGetIrqCounter(null)", 0, [] { return OxGetIrqCounter(nullptr); });
    add("OxGetIrqWaits(null)", 0, [] { return OxGetIrqWaits(nullptr); });
    add("OxAllocateDMAmem(null)", static_cast<std::uint32_t>(-1),
        [] { return static_cast<std::uint32_t>(OxAllocateDMAmem(nullptr, 4096)); });
    add("OxReleaseDMAmem(null)", static_cast<std::uint32_t>(-1),
        [] { return static_cast<std::uint32_t>(OxReleaseDMAmem(nullptr)); });
    for (std::uint32_t fn : {0u, 1u, 3u, 0x1Fu, 0x21u, 0xFFFFFFFFu})
        add("ClassInstaller(" + std::to_string(fn) + ", null, null)", 0xE000020Eu,
            [fn] { return ClassInstaller(fn, nullptr, nullptr); });
    RunAll(rows);

    // A real handle: a wait with the flag clear is refused without waiting,
    // and releasing a buffer never allocated is refused.
    DeviceHandle* h = OxOpenDevice("EP4GXA", 1, 1);
    ASSERT_NE(h, nullptr);
    std::vector<Row> held;
    held.push_back({"OxWaitForIrq(flag 0)", 5, [&h](bool* u) {
                        *u = true;
                        return static_cast<std::uint32_t>(OxWaitForIrq(&h, 10, 0));
                    }});
    held.push_back({"OxReleaseDMAmem(no buffer)", static_cast<std::uint32_t>(-2), [h](bool* u) {
                        *u = true;
                        return static_cast<std::uint32_t>(OxReleaseDMAmem(h));
                    }});
    RunAll(held);
    ASSERT_EQ(OxAllocateDMAmem(h, 4096), 0);
    EXPECT_EQ(OxAllocateDMAmem(h, 4096), -2) << "a second buffer on the same handle";
    EXPECT_EQ(OxReleaseDMAmem(h), 0);
    OxCloseDevice(h);
}

// A listing step that fails once, or a description that cannot be read,
// keeps its device number: the card the position names is attached, or none,
// never the device after it (the API fuzzer saw OX952_Open attach function 1
// for both functions when function 0's listing step failed).
TEST_F(BadArguments, ListingStepThatFailsNeverOpensAnotherCard) {
    struct Case {
        const char* what;
        sim::Fault fault;
        int device;  // armed once on it (0: any device)
        std::uint32_t (*open)(std::uint32_t, std::uint32_t);
        std::uint32_t (*close)(std::uint32_t);
        std::uint32_t expected;
        std::array<int, kDevices> attached;  // handles per device while open
    };
    const Case cases[] = {
        {"OX952, function 0's step",
         sim::Fault::EnumStepFails,
         1,
         OX952_Open,
         OX952_Close,
         QUELT_OPEN_FAILED,
         {0, 0, 0, 0, 0}},
        {"OX952, the first step",
         sim::Fault::EnumStepFails,
         0,
         OX952_Open,
         OX952_Close,
         QUELT_OPEN_FAILED,
         {0, 0, 0, 0, 0}},
        // Function 0 is open; function 1 could not be attached, and no other
        // device is attached in its place.
        {"OX952, function 1's step",
         sim::Fault::EnumStepFails,
         2,
         OX952_Open,
         OX952_Close,
         0,
         {1, 0, 0, 0, 0}},
        {"OX9162, an earlier step",
         sim::Fault::EnumStepFails,
         2,
         OX9162_Open,
         OX9162_Close,
         0,
         {0, 0, 1, 0, 0}},
        {"OX9162, its description",
         sim::Fault::DescriptionUnreadable,
         3,
         OX9162_Open,
         OX9162_Close,
         0,
         {0, 0, 1, 0, 0}},
        {"EP4GXA, an earlier description",
         sim::Fault::DescriptionUnreadable,
         1,
         EP4GXA_Open,
         EP4GXA_Close,
         0,
         {0, 0, 0, 1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::ArmFault(c.fault, c.device, 1);
        EXPECT_EQ(c.open(0, 0), c.expected);
        for (int d = 1; d <= kDevices; ++d)
            EXPECT_EQ(sim::AttachedHandles(d), c.attached[d - 1]) << "device " << d;
        sim::ClearFaults();
        if (c.expected == 0) EXPECT_EQ(c.close(0), 0u);
        for (int d = 1; d <= kDevices; ++d) EXPECT_EQ(sim::AttachedHandles(d), 0) << "device " << d;
    }
}

}  // namespace
