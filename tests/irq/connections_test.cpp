// Connection statistics and the reset of the connection bookkeeping.
#include "api/connections.h"

#include <unistd.h>

#include <climits>

#include "irq_fixture.h"
#include "support/child_process.h"

namespace {

using namespace std::chrono_literals;

class FamilyConnectionsTest : public IrqTest, public ::testing::WithParamInterface<const FamilyApi*> {
protected:
    const FamilyApi& F() const { return *GetParam(); }
};

TEST_P(FamilyConnectionsTest, OpenCountArgumentOrder) {
    std::uint32_t count = UNTOUCHED;
    EXPECT_EQ(F().openCount(32, nullptr), QUELT_NO_CARD);
    EXPECT_EQ(F().openCount(0, nullptr), QUELT_NULL_POINTER);  // before any lookup
    EXPECT_EQ(F().openCount(0, &count), QUELT_NOT_OPEN);
    const std::uint32_t noCard = F().name == std::string("OX952") ? QUELT_NOT_OPEN : QUELT_NO_CARD;
    EXPECT_EQ(F().openCount(1, &count), noCard);
    EXPECT_EQ(count, UNTOUCHED);
}

TEST_P(FamilyConnectionsTest, OpenCountLeavesDiagnosticConnectionsOut) {
    ASSERT_EQ(F().open(0, 0), QUELT_OK);
    std::uint32_t count = UNTOUCHED;
    ASSERT_EQ(F().openCount(0, &count), QUELT_OK);
    EXPECT_EQ(count, 1u);

    const int device = F().device;
    quelt_test::Child child([device](quelt_test::Child& c) {
        DeviceHandle* diag = OxOpenDevice("", device, 2);
        DeviceHandle* other = OxOpenDevice("", device, 7);  // admitted, recorded nowhere
        c.Report(diag && other ? "open\n" : "failed\n");
        c.Hear(60s);
        return 0;
    });
    ASSERT_EQ(child.AwaitLine("open"), "open");
    ASSERT_EQ(F().openCount(0, &count), QUELT_OK);
    EXPECT_EQ(count, 2u);  // this process and the kind-7 handle; the diagnostic one is left out
    child.Tell("end");
    child.Wait();
}

TEST_P(FamilyConnectionsTest, ClearConnectionsClosesTheCardHere) {
    ASSERT_EQ(F().openDiagnostic(0, 1), QUELT_OK);
    EXPECT_EQ(sim::ReadStatusWord(F().device, DIAG_COUNT), 1u);
    EXPECT_EQ(F().clear(0), QUELT_OK);
    std::uint32_t count = UNTOUCHED;
    EXPECT_EQ(F().openCount(0, &count), QUELT_NOT_OPEN);
    EXPECT_EQ(F().wait(0, &count), QUELT_NOT_OPEN);
    EXPECT_EQ(sim::AttachedHandles(F().device), 0);
    EXPECT_EQ(sim::ReadStatusWord(F().device, DIAG_COUNT), 0u);
    // The card can be opened again, in any kind.
    EXPECT_EQ(F().open(0, 1), QUELT_OK);
}

TEST_P(FamilyConnectionsTest, ClearConnectionsForgetsAnotherProcesssConnection) {
    const int device = F().device;
    const FamilyApi* f = GetParam();
    quelt_test::Child child([f](quelt_test::Child& c) {
        c.Report(f->open(0, 0) == QUELT_OK ? "open\n" : "failed\n");
        c.Hear(60s);
        return 0;
    });
    ASSERT_EQ(child.AwaitLine("open"), "open");
    EXPECT_EQ(F().open(0, 0), QUELT_REFUSED);
    EXPECT_EQ(sim::ReadStatusWord(device, SLOT0), static_cast<std::uint32_t>(child.pid()));
    const std::uint32_t slotCount = sim::ReadStatusWord(device, SLOT_COUNT);

    sim::ClearRequestLog();
    EXPECT_EQ(F().clear(0), QUELT_OK);
    EXPECT_EQ(Codes(device), (std::vector<std::uint32_t>{IOCTL_CARD_ATTACH, IOCTL_CARD_DETACH}));
    EXPECT_EQ(sim::ReadStatusWord(device, SLOT0), 0u);
    EXPECT_EQ(sim::ReadStatusWord(device, SLOT_COUNT), slotCount);
    // The other process's handle no longer counts against a normal open.
    EXPECT_EQ(F().open(0, 0), QUELT_OK);
    EXPECT_EQ(sim::ReadStatusWord(device, SLOT0), static_cast<std::uint32_t>(getpid()));
    child.Tell("end");
    child.Wait();
}

TEST_P(FamilyConnectionsTest, ClearConnectionsOfNoCardOpensNothing) {
    std::uint32_t cards = 0;
    ASSERT_EQ(F().cardsInSystem(&cards), QUELT_OK);
    sim::ClearRequestLog();
    EXPECT_EQ(F().clear(1), QUELT_NO_CARD);
    EXPECT_EQ(F().clear(32), QUELT_NO_CARD);
    EXPECT_TRUE(sim::RequestLog().empty());
}

TEST_P(FamilyConnectionsTest, ClearConnectionsReportsAFailedOpen) {
    std::uint32_t cards = 0;
    ASSERT_EQ(F().cardsInSystem(&cards), QUELT_OK);
    sim::ArmFault(sim::Fault::AttachFails, 0, 2);
    EXPECT_EQ(F().clear(0), QUELT_OPEN_FAILED);
}

INSTANTIATE_TEST_SUITE_P(Families, FamilyConnectionsTest, ::testing::Values(&kOx952, &kOx9162, &kEp4gxa),
                         FamilyName);

using ConnectionsTest = IrqTest;

TEST_F(ConnectionsTest, Ox952ReportsTheLargerCountOfItsTwoFunctions) {
    ASSERT_EQ(OX952_Open(0, 0), QUELT_OK);
    const struct {
        std::int32_t attach0, diag0, attach1, diag1;
        std::uint32_t expected;
    } cases[] = {
        {5, 2, 9, 2, 7},
        {9, 2, 5, 2, 7},
        {1, 3, 1, 0, 0xFFFFFFFEu},  // compared unsigned: the wrapped count wins
        {0, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        sim::WriteStatusWord(1, ATTACH_COUNT, static_cast<std::uint32_t>(c.attach0));
        sim::WriteStatusWord(1, DIAG_COUNT, static_cast<std::uint32_t>(c.diag0));
        sim::WriteStatusWord(2, ATTACH_COUNT, static_cast<std::uint32_t>(c.attach1));
        sim::WriteStatusWord(2, DIAG_COUNT, static_cast<std::uint32_t>(c.diag1));
        std::uint32_t count = UNTOUCHED;
        EXPECT_EQ(OX952_Card_OpenCount(0, &count), QUELT_OK);
        EXPECT_EQ(count, c.expected);
    }
    sim::WriteStatusWord(1, ATTACH_COUNT, 1);
    sim::WriteStatusWord(2, ATTACH_COUNT, 1);
}

TEST_F(ConnectionsTest, Ox952ClearResetsBothFunctions) {
    ASSERT_EQ(OX952_Open(0, 0), QUELT_OK);
    for (int device : {1, 2}) {
        sim::WriteStatusWord(device, DIAG_COUNT, 3);
        sim::WriteStatusWord(device, SLOT_COUNT, 2);
        sim::WriteStatusWord(device, SLOT0 + 4, 12345);
    }
    EXPECT_EQ(OX952_ClearConnections(0), QUELT_OK);
    for (int device : {1, 2}) {
        EXPECT_EQ(sim::ReadStatusWord(device, DIAG_COUNT), 0u);
        EXPECT_EQ(sim::ReadStatusWord(device, SLOT0), 0u);
        EXPECT_EQ(sim::ReadStatusWord(device, SLOT0 + 4), 0u);
        EXPECT_EQ(sim::ReadStatusWord(device, SLOT_COUNT), 2u);
        EXPECT_EQ(sim::AttachedHandles(device), 0);
    }
    std::uint32_t count = 0;
    EXPECT_EQ(OX952_Card_OpenCount(0, &count), QUELT_NOT_OPEN);
}

TEST_F(ConnectionsTest, MissingBlocks) {
    RegistryUnload();
    machine_.reset();
    machine_ = std::make_unique<quelt_test::TempMachine>();
    RegistryLoad();
    sim::CardConfig card = sim::DefaultCard(sim::CardFamily::OX9162);
    card.statusBlock = false;
    sim::AddCard(card);
    sim::CardConfig f0 = sim::DefaultCard(sim::CardFamily::OX952);
    f0.statusBlock = false;
    sim::CardConfig f1 = sim::Ox952Function1(f0);
    sim::AddCard(f0);
    sim::AddCard(f1);

    ASSERT_EQ(OX9162_Open(0, 0), QUELT_OK);
    std::uint32_t count = UNTOUCHED;
    EXPECT_EQ(OX9162_Card_OpenCount(0, &count), QUELT_NULL_POINTER);
    EXPECT_EQ(count, UNTOUCHED);
    EXPECT_EQ(OX9162_ClearConnections(0), QUELT_NULL_POINTER);
    EXPECT_EQ(OX9162_Card_OpenCount(0, &count), QUELT_NOT_OPEN);  // closed all the same

    ASSERT_EQ(OX952_Open(0, 0), QUELT_OK);
    EXPECT_EQ(OX952_Card_OpenCount(0, &count), QUELT_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(OX952_ClearConnections(0), QUELT_NULL_POINTER);
}

// A function 1 that Open found twice is marked ambiguous and counts like a
// missing block: with function 0's block missing too the reset reports 0x400,
// with function 0 reset it succeeds.
TEST_F(ConnectionsTest, Ox952ClearWithAnAmbiguousFunction1) {
    for (bool blockOfFunction0 : {false, true}) {
        RegistryUnload();
        machine_.reset();
        machine_ = std::make_unique<quelt_test::TempMachine>();
        RegistryLoad();
        sim::CardConfig f0 = sim::DefaultCard(sim::CardFamily::OX952);
        f0.statusBlock = blockOfFunction0;
        sim::AddCard(f0);
        sim::AddCard(sim::Ox952Function1(f0));
        sim::AddCard(sim::Ox952Function1(f0));
        ASSERT_EQ(OX952_Open(0, 0), QUELT_NO_FUNCTION1);
        EXPECT_EQ(OX952_ClearConnections(0), blockOfFunction0 ? QUELT_OK : QUELT_NULL_POINTER);
    }
}

// The reset of one block, on a block in memory (AddressSanitizer watches its
// end): whatever the slot count says, nothing beyond the block is written.
TEST(ResetConnectionRecordsTest, ResetsCountsAndSlotsButKeepsTheSlotCount) {
    const struct {
        std::int32_t attach, attachAfter, slotCount, slotsCleared;
    } cases[] = {{5, 1, 1, 1},    {1, 1, 3, 3},     {0, 0, 0, 0},
                 {-3, -3, -1, 0}, {2, 1, 250, 250}, {7, 1, INT_MAX, 250}};
    for (const auto& c : cases) {
        auto block = std::make_unique<SharedStatusBlock>();
        block->attachCount = c.attach;
        block->diagCount = 4;
        block->slotCount = c.slotCount;
        for (auto& s : block->slots) s = 999;
        ResetConnectionRecords(*block);
        EXPECT_EQ(block->attachCount, c.attachAfter);
        EXPECT_EQ(block->diagCount, 0);
        EXPECT_EQ(block->slotCount, c.slotCount);
        for (int i = 0; i < 250; ++i) ASSERT_EQ(block->slots[i], i < c.slotsCleared ? 0u : 999u) << i;
    }
}

}  // namespace
