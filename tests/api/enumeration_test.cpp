// Card counts and identity queries, with each function's order of checks.
#include <functional>
#include <string>

#include "quelt_ox952.h"
#include "registry/registry_fixture.h"

namespace {

using Query = std::function<std::uint32_t(std::uint32_t, std::uint32_t*)>;

struct OrderCase {
    const char* name;
    Query query;
    std::uint32_t badPositionNull;    // position 40, null out
    std::uint32_t emptyPositionNull;  // valid position without a card, null out
    std::uint32_t cardPositionNull;   // position with a card, null out
};

class CheckOrderTest : public RegistryTest, public ::testing::WithParamInterface<OrderCase> {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        AddOx952Pair();
        sim::AddCard(Ox9162());
        sim::AddCard(Ep4gxa());
    }
};

TEST_P(CheckOrderTest, NullPointerAndPositionCodesComeInTheFunctionsOrder) {
    const OrderCase& oc = GetParam();
    EXPECT_EQ(oc.query(40, nullptr), oc.badPositionNull);
    EXPECT_EQ(oc.query(0xFFFFFFFFu, nullptr), oc.badPositionNull);
    EXPECT_EQ(oc.query(1, nullptr), oc.emptyPositionNull);
    EXPECT_EQ(oc.query(0, nullptr), oc.cardPositionNull);
    std::uint32_t out = 0xDEAD;
    EXPECT_EQ(oc.query(32, &out), QUELT_NO_CARD);
    EXPECT_EQ(oc.query(1, &out), QUELT_NO_CARD);
    EXPECT_EQ(out, 0xDEADu);
    EXPECT_EQ(oc.query(0, &out), QUELT_OK);
}

constexpr std::uint32_t kNull = QUELT_NULL_POINTER;
constexpr std::uint32_t kNoCard = QUELT_NO_CARD;

INSTANTIATE_TEST_SUITE_P(
    Queries, CheckOrderTest,
    ::testing::Values(OrderCase{"OX952_Card_DID", OX952_Card_DID, kNull, kNull, kNull},
                      OrderCase{"OX952_Card_BUS", OX952_Card_BUS, kNoCard, kNull, kNull},
                      OrderCase{"OX952_Card_SLOT", OX952_Card_SLOT, kNoCard, kNull, kNull},
                      OrderCase{"OX9162_Card_DID", OX9162_Card_DID, kNoCard, kNoCard, kNull},
                      OrderCase{"OX9162_Card_BUS", OX9162_Card_BUS, kNoCard, kNoCard, kNull},
                      OrderCase{"OX9162_Card_SLOT", OX9162_Card_SLOT, kNoCard, kNoCard, kNull},
                      OrderCase{"EP4GXA_Card_DID", EP4GXA_Card_DID, kNoCard, kNoCard, kNull},
                      OrderCase{"EP4GXA_Card_BUS", EP4GXA_Card_BUS, kNoCard, kNoCard, kNull},
                      OrderCase{"EP4GXA_Card_SLOT", EP4GXA_Card_SLOT, kNoCard, kNoCard, kNull},
                      OrderCase{"EP4GXA_Card_ID", EP4GXA_Card_ID, kNoCard, kNull, kNull},
                      OrderCase{"EP4GXA_Card_SerNr", EP4GXA_Card_SerNr, kNoCard, kNull, kNull}),
    [](const auto& info) { return std::string(info.param.name); });

using EnumerationTest = RegistryTest;

TEST_F(EnumerationTest, IdentityQueriesReportTheCardAtThePosition) {
    AddOx952Pair(0x0302, 4, 9);
    sim::CardConfig ep = Card(sim::CardFamily::EP4GXA, 0x8805, 6, 3);
    ep.cardId = 0x12345678;
    ep.serial = 0x00C0FFEE;
    sim::AddCard(ep);
    std::uint32_t v = 0;
    ASSERT_EQ(OX952_Card_DID(0, &v), 0u);
    EXPECT_EQ(v, 0x0302u);
    ASSERT_EQ(OX952_Card_BUS(0, &v), 0u);
    EXPECT_EQ(v, 4u);
    ASSERT_EQ(OX952_Card_SLOT(0, &v), 0u);
    EXPECT_EQ(v, 9u);
    ASSERT_EQ(EP4GXA_Card_ID(0, &v), 0u);
    EXPECT_EQ(v, 0x12345678u);
    ASSERT_EQ(EP4GXA_Card_SerNr(0, &v), 0u);
    EXPECT_EQ(v, 0x00C0FFEEu);
    ASSERT_EQ(EP4GXA_Card_DID(0, &v), 0u);
    EXPECT_EQ(v, 0x8805u);
    ASSERT_EQ(EP4GXA_Card_BUS(0, &v), 0u);
    EXPECT_EQ(v, 6u);
}

TEST_F(EnumerationTest, CountsNeedAPointerAndCountEachFamilyApart) {
    EXPECT_EQ(OX952_CardsInSystem(nullptr), QUELT_NULL_POINTER);
    EXPECT_EQ(OX9162_CardsInSystem(nullptr), QUELT_NULL_POINTER);
    EXPECT_EQ(EP4GXA_CardsInSystem(nullptr), QUELT_NULL_POINTER);
    AddOx952Pair(0x0200, 1, 1);
    AddOx952Pair(0x0202, 1, 2);
    sim::AddCard(Card(sim::CardFamily::OX952, 0x0401, 1, 3));
    sim::AddCard(Ox9162());
    std::uint32_t n = 0;
    ASSERT_EQ(OX952_CardsInSystem(&n), 0u);
    EXPECT_EQ(n, 3u);
    ASSERT_EQ(OX9162_CardsInSystem(&n), 0u);
    EXPECT_EQ(n, 1u);
    ASSERT_EQ(EP4GXA_CardsInSystem(&n), 0u);
    EXPECT_EQ(n, 0u);
}

}  // namespace
