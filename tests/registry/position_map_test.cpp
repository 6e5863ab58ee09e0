// Family position maps: membership, order, OX952 pairing, the no-card mark,
// and first builds racing each other.
#include <thread>
#include <vector>

#include "quelt_ox952.h"
#include "registry/registry_fixture.h"

namespace {

using PositionMapTest = RegistryTest;

// The table indexes a family's positions resolve to, up to the first
// position without a card.
std::vector<int> Resolved(Family family) {
    std::vector<int> out;
    const PositionMap& map = BuiltMap(family);
    for (int p = 0; p < CARD_TABLE_SIZE; ++p) {
        const CardEntry* e = EntryFor(map.index[p].load());
        if (e == nullptr) {
            for (int q = p; q < CARD_TABLE_SIZE; ++q)
                EXPECT_EQ(map.index[q].load(), NO_CARD) << "position " << q;
            break;
        }
        out.push_back(TableIndexOf(*e));
    }
    return out;
}

TEST_F(PositionMapTest, FamiliesTakeTheirOwnCardsInTableOrder) {
    sim::AddCard(Ep4gxa(0x8801));  // 0
    sim::AddCard(Ox9162(0x0001));  // 1
    sim::AddCard(Ep4gxa(0x0800));  // 2
    sim::AddCard(Ox9162(0x0200));  // 3: OX952 range, not OX9162 (and lacks a partner)
    sim::AddCard(Ox9162(0x81FF));  // 4
    sim::CardConfig foreign = Ox9162(0x0002);
    foreign.vendorId = 0x10EE;
    sim::AddCard(foreign);         // 5: another vendor
    sim::AddCard(Ox9162(0x8000));  // 6
    EXPECT_EQ(Resolved(Family::OX9162), (std::vector<int>{1, 4, 6}));
    EXPECT_EQ(Resolved(Family::EP4GXA), (std::vector<int>{0, 2}));
    EXPECT_EQ(Resolved(Family::OX952), (std::vector<int>{}));
}

TEST_F(PositionMapTest, Ox952PairsOnSameBusAndSlotAndTakesLoneFunctionOne) {
    AddOx952Pair(0x0200, 1, 3);                                // 0, 1
    sim::AddCard(Card(sim::CardFamily::OX952, 0x0300, 1, 4));  // 2: partner on another slot
    sim::AddCard(Card(sim::CardFamily::OX952, 0x0301, 1, 5));  // 3
    sim::AddCard(Card(sim::CardFamily::OX952, 0x0401, 1, 6));  // 4: function 1 alone
    sim::AddCard(Card(sim::CardFamily::OX952, 0x0400, 1, 7));  // 5: even in the function-1 range
    AddOx952Pair(0x8202, 9, 9);                                // 6, 7

    const PositionMap& f0 = BuiltMap(Family::OX952);
    const PositionMap& f1 = Ox952Function1Map();
    const std::int8_t expected0[] = {0, NO_CARD, 6, NO_CARD};
    const std::int8_t expected1[] = {NO_CARD, 4, NO_CARD, NO_CARD};
    for (int p = 0; p < 4; ++p) {
        EXPECT_EQ(f0.index[p].load(), expected0[p]) << "position " << p;
        EXPECT_EQ(f1.index[p].load(), expected1[p]) << "position " << p;
    }
    std::uint32_t count = 0;
    ASSERT_EQ(OX952_CardsInSystem(&count), 0u);
    EXPECT_EQ(count, 3u);
    std::uint32_t did = 0;
    ASSERT_EQ(OX952_Card_DID(1, &did), 0u);
    EXPECT_EQ(did, 0x0401u);
}

// With a full table, a position without a card must not resolve to the card
// in the last entry, whatever its family.
TEST_F(PositionMapTest, FullTableKeepsLastEntryApartFromNoCard) {
    for (int i = 0; i < 31; ++i) sim::AddCard(Ox9162(static_cast<std::uint32_t>(i + 1)));
    sim::CardConfig last = Ep4gxa();
    last.irqLine = 0;
    sim::AddCard(last);  // entry 31

    std::uint32_t count = 0;
    ASSERT_EQ(OX9162_CardsInSystem(&count), 0u);
    EXPECT_EQ(count, 31u);
    ASSERT_EQ(EP4GXA_CardsInSystem(&count), 0u);
    EXPECT_EQ(count, 1u);
    ASSERT_EQ(OX952_CardsInSystem(&count), 0u);
    EXPECT_EQ(count, 0u);

    std::uint32_t did = 0;
    EXPECT_EQ(OX9162_Card_DID(31, &did), QUELT_NO_CARD);
    EXPECT_EQ(EP4GXA_Card_DID(1, &did), QUELT_NO_CARD);
    EXPECT_EQ(OX952_Card_DID(0, &did), QUELT_NO_CARD);
    ASSERT_EQ(EP4GXA_Card_DID(0, &did), 0u);
    EXPECT_EQ(did, 0x0800u);

    // Opening positions without a card never reaches entry 31.
    EXPECT_EQ(OX9162_Open(31, 0), QUELT_NO_CARD);
    EXPECT_EQ(OX952_Open(0, 0), QUELT_OPEN_FAILED);
    EXPECT_EQ(OX952_Open(0, 1), QUELT_NO_IRQ_LINE);
    EXPECT_EQ(LoadHandle(CardTable()[31]), nullptr);
    EXPECT_EQ(sim::AttachedHandles(32), 0);
    // The card in entry 31 itself opens through its own family.
    EXPECT_EQ(EP4GXA_Open(0, 0), 0u);
    EXPECT_EQ(EP4GXA_Close(0), 0u);
}

TEST_F(PositionMapTest, MapBuiltWithoutCardsStaysEmptyAndOtherFamiliesScanAgain) {
    std::uint32_t count = 99;
    ASSERT_EQ(OX9162_CardsInSystem(&count), 0u);
    EXPECT_EQ(count, 0u);
    sim::AddCard(Ox9162());
    sim::AddCard(Ep4gxa());
    // The EP4GXA build scans again, as the table is still empty.
    ASSERT_EQ(EP4GXA_CardsInSystem(&count), 0u);
    EXPECT_EQ(count, 1u);
    // The OX9162 map keeps its empty state for the life of the process.
    ASSERT_EQ(OX9162_CardsInSystem(&count), 0u);
    EXPECT_EQ(count, 0u);
}

// Run under ThreadSanitizer: first calls of one family race; every caller
// must see the complete map.
TEST_F(PositionMapTest, ConcurrentFirstCallsAllSeeEveryCard) {
    for (int i = 0; i < 6; ++i) sim::AddCard(Ox9162(static_cast<std::uint32_t>(i + 1)));
    AddOx952Pair();
    AddOx952Pair(0x0302, 3, 1);
    constexpr int kThreads = 8;
    std::vector<std::uint32_t> ox9162(kThreads), ox952(kThreads), did(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            OX9162_CardsInSystem(&ox9162[t]);
            OX952_CardsInSystem(&ox952[t]);
            OX9162_Card_DID(5, &did[t]);
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(ox9162[t], 6u) << "thread " << t;
        EXPECT_EQ(ox952[t], 2u) << "thread " << t;
        EXPECT_EQ(did[t], 6u) << "thread " << t;
    }
}

}  // namespace
