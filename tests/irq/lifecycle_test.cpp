// What a POSIX process's life does to the cards it holds: a forked child
// leaves its parent's connections alone, the unload ends interrupt waits other
// threads are still inside, and the waiter count stays true across a Close
// that is still draining while the card is opened again.
#include <atomic>
#include <future>
#include <string>
#include <thread>

#include "driver/admission.h"
#include "irq_fixture.h"
#include "registry/open_positions.h"
#include "support/child_process.h"

namespace {

using namespace std::chrono_literals;
using quelt_test::Child;

std::uint32_t StatusWord(int device, std::size_t offset) {
    return sim::ReadStatusWord(device, offset);
}

std::size_t Requests(std::uint32_t code) {
    std::size_t n = 0;
    for (const auto& r : sim::RequestLog()) n += r.code == code ? 1 : 0;
    return n;
}

// The parent holds the card in one kind; a child, forked while it does, tries
// the parent's card and ends as a process ends (the library's unload).
struct HeldKind {
    const char* name;
    std::uint32_t (*open)(std::uint32_t, std::uint32_t);
    // What another process's normal Open gets while the parent holds the card.
    std::uint32_t othersNormalOpen;
};

class ForkedChildTest : public IrqTest, public ::testing::WithParamInterface<HeldKind> {};

TEST_P(ForkedChildTest, ChildNeverReleasesItsParentsConnection) {
    const HeldKind& held = GetParam();
    constexpr int kDevice = 3;  // the OX9162 card
    ASSERT_EQ(held.open(0, 1), QUELT_OK);
    const std::uint32_t diag = StatusWord(kDevice, DIAG_COUNT);
    const std::uint32_t slot0 = StatusWord(kDevice, SLOT0);
    const std::uint32_t attached = StatusWord(kDevice, ATTACH_COUNT);

    Child child([](Child& self) {
        // The parent's card is not open in the child; the child's own
        // connection comes and goes without touching the parent's.
        self.Report("close " + std::to_string(OX9162_Close(0)) + "\n");
        self.Report("count " + std::to_string(OX9162_IRQ_Count(0)) + "\n");
        const std::uint32_t own = OX9162_OpenDiagnostic(0, 0);
        self.Report("own " + std::to_string(own) + "\n");
        if (own == QUELT_OK) self.Report("ownclose " + std::to_string(OX9162_Close(0)) + "\n");
        RegistryUnload();  // what the library's unload runs at exit
        return 0;
    });
    EXPECT_EQ(child.AwaitLine("close "), "close " + std::to_string(QUELT_NOT_OPEN));
    EXPECT_EQ(child.AwaitLine("count "), "count 0");
    EXPECT_EQ(child.AwaitLine("own "), "own 0");
    EXPECT_EQ(child.AwaitLine("ownclose "), "ownclose 0");
    const Child::Outcome outcome = child.Wait();
    ASSERT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.code, 0);

    EXPECT_EQ(StatusWord(kDevice, DIAG_COUNT), diag);
    EXPECT_EQ(StatusWord(kDevice, SLOT0), slot0);
    EXPECT_EQ(StatusWord(kDevice, ATTACH_COUNT), attached);
    // Another process still meets the parent's connection as it stands.
    Child other([](Child&) {
        RegistryLoad();
        const std::uint32_t code = OX9162_Open(0, 0);
        RegistryUnload();
        return static_cast<int>(code);
    });
    EXPECT_EQ(other.Wait().code, static_cast<int>(held.othersNormalOpen));
    // And the parent's own connection still works and closes as usual.
    EXPECT_NE(LoadHandle(Entry(kDevice)), nullptr);
    EXPECT_EQ(OX9162_Close(0), QUELT_OK);
    EXPECT_EQ(StatusWord(kDevice, DIAG_COUNT), 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ForkedChildTest,
                         ::testing::Values(HeldKind{"Diagnostic", OX9162_OpenDiagnostic, QUELT_OK},
                                           HeldKind{"Normal", OX9162_Open, QUELT_REFUSED},
                                           HeldKind{"Multi", OX9162_OpenMulti, QUELT_REFUSED}),
                         [](const auto& info) { return std::string(info.param.name); });

// A child forked while another thread of the parent was inside a wait (and so
// held the card's wait lock) can still wait on a card of its own.
TEST_F(IrqTest, ChildForkedDuringAWaitCanWaitItself) {
    ASSERT_EQ(EP4GXA_Open(0, 1), QUELT_OK);
    auto waiter = std::async(std::launch::async, [] { return EP4GXA_IRQ_Wait(0, nullptr); });
    ASSERT_TRUE(Eventually([] { return sim::PendingWaits(4) == 1; }));

    Child child([](Child&) {
        if (EP4GXA_OpenDiagnostic(0, 1) != QUELT_OK) return 1;
        if (EP4GXA_IRQ_SetTimeout(0, 1) != QUELT_OK) return 2;
        const std::uint32_t waited = EP4GXA_IRQ_Wait(0, nullptr);
        EP4GXA_Close(0);
        RegistryUnload();
        return waited == QUELT_TIMEOUT ? 0 : 3;
    });
    EXPECT_EQ(child.Wait().code, 0);
    sim::RaiseIrq(4);
    ASSERT_EQ(waiter.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), QUELT_OK);
}

// The unload runs while other threads still run (a process returning from
// main): it ends their waits through the discard, as Close does, instead of
// waiting for their slice to run out.
TEST_F(IrqTest, UnloadEndsWaitsOtherThreadsAreInside) {
    ASSERT_EQ(OX9162_Open(0, 1), QUELT_OK);
    ASSERT_EQ(EP4GXA_Open(0, 1), QUELT_OK);
    auto first = std::async(std::launch::async, [] { return OX9162_IRQ_Wait(0, nullptr); });
    auto second = std::async(std::launch::async, [] { return EP4GXA_IRQ_Wait(0, nullptr); });
    ASSERT_TRUE(Eventually([] { return sim::PendingWaits(3) == 1 && sim::PendingWaits(4) == 1; }));
    sim::ClearRequestLog();

    RegistryUnload();
    ASSERT_EQ(first.wait_for(20s), std::future_status::ready);
    ASSERT_EQ(second.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(first.get(), QUELT_WAIT_ENDED);
    EXPECT_EQ(second.get(), QUELT_WAIT_ENDED);
    EXPECT_EQ(Requests(IOCTL_CARD_DISCARD_WAITS), 2u);
    // Each wait ended with the one request it had made before the unload.
    EXPECT_EQ(Requests(IOCTL_CARD_WAIT_IRQ), 2u);
    EXPECT_EQ(sim::AttachedHandles(3), 0);
    EXPECT_EQ(sim::AttachedHandles(4), 0);
    RegistryLoad();  // for the fixture's own unload
}

// An Open that comes while a Close is still draining a waiter must leave the
// waiter count alone: when the old waiter leaves, the count must not drift
// below the true number of threads inside, or a wait-count query would be
// sent on the handle a new wait occupies.
TEST_F(IrqTest, WaiterCountStaysTrueWhenOpenRunsDuringCloseDrain) {
    constexpr int kDevice = 3;
    CardEntry& entry = Entry(kDevice);
    ASSERT_EQ(OX9162_Open(0, 1), QUELT_OK);

    // Keep the old waiter queued on the wait lock, where no discard reaches it,
    // so the Close drains for as long as the test needs.
    EnterCriticalSection(&entry.waitLock);
    auto oldWaiter = std::async(std::launch::async, [] { return OX9162_IRQ_Wait(0, nullptr); });
    ASSERT_TRUE(Eventually([] { return Waiters(kDevice) == 1; }));
    auto closing = std::async(std::launch::async, [] { return OX9162_Close(0); });
    ASSERT_TRUE(Eventually([&] { return LoadHandle(entry) == nullptr; }));
    // The drain still holds the old handle attached, so a normal connection
    // would be refused; a multi one is admitted.
    ASSERT_EQ(OX9162_OpenMulti(0, 1), QUELT_OK);
    EXPECT_EQ(Waiters(kDevice), 1);
    LeaveCriticalSection(&entry.waitLock);
    ASSERT_EQ(oldWaiter.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(oldWaiter.get(), QUELT_NOT_OPEN);
    ASSERT_EQ(closing.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(closing.get(), QUELT_OK);
    EXPECT_EQ(Waiters(kDevice), 0);

    // A new waiter on the new connection, then the wait-count query: it must
    // go through a temporary handle (one more attach), never the busy one.
    auto newWaiter = std::async(std::launch::async, [] { return OX9162_IRQ_Wait(0, nullptr); });
    ASSERT_TRUE(Eventually([] { return sim::PendingWaits(kDevice) == 1; }));
    EXPECT_EQ(Waiters(kDevice), 1);
    sim::ClearRequestLog();
    EXPECT_EQ(OX9162_GetIrqWaits(0), 1u);
    EXPECT_EQ(Requests(IOCTL_CARD_ATTACH), 1u);
    EXPECT_EQ(Requests(IOCTL_CARD_IRQ_WAITS), 1u);
    EXPECT_EQ(Waiters(kDevice), 1);

    ASSERT_EQ(OX9162_Close(0), QUELT_OK);
    ASSERT_EQ(newWaiter.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(newWaiter.get(), QUELT_WAIT_ENDED);
}

// A negative time-out is handed to the driver as at most one slice, and a
// Close still ends such a wait through the discard.
TEST_F(IrqTest, NegativeTimeOutWaitIsOneBoundedSliceAndCloseEndsIt) {
    ASSERT_EQ(EP4GXA_Open(0, 1), QUELT_OK);
    ASSERT_EQ(EP4GXA_IRQ_SetTimeout(0, -8000), QUELT_OK);
    sim::ClearRequestLog();
    auto waiter = std::async(std::launch::async, [] { return EP4GXA_IRQ_Wait(0, nullptr); });
    ASSERT_TRUE(Eventually([] { return sim::PendingWaits(4) == 1; }));
    ASSERT_EQ(EP4GXA_Close(0), QUELT_OK);
    ASSERT_EQ(waiter.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), QUELT_WAIT_ENDED);
    EXPECT_EQ(WaitTimes(), std::vector<std::int64_t>{-50000000});
}

}  // namespace

namespace {

// Counter reads take no lock, yet a Close never lets the handle (and the
// status block it maps) go while one of them is reading through it. Run under
// AddressSanitizer and ThreadSanitizer.
TEST_F(IrqTest, CounterReadsRacingOpenAndCloseSeeOnlyTrueCounts) {
    ASSERT_EQ(EP4GXA_Open(0, 1), QUELT_OK);
    sim::RaiseIrq(4, 3);
    ASSERT_EQ(EP4GXA_IRQ_Count(0), 3u);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                // Open or not, a read is 0 (not open, or opened after the
                // interrupts) or the three raised before the first Close.
                const std::uint32_t n = EP4GXA_IRQ_Count(0);
                if (n != 0 && n != 3) wrong.fetch_add(1);
            }
        });
    }
    for (int round = 0; round < 200; ++round) {
        ASSERT_EQ(EP4GXA_Close(0), QUELT_OK);
        ASSERT_EQ(EP4GXA_OpenDiagnostic(0, 1), QUELT_OK);
    }
    stop = true;
    for (auto& r : readers) r.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(EP4GXA_IRQ_Count(0), 0u);
    EXPECT_EQ(BlockReadersInside(), 0u);
}

}  // namespace
