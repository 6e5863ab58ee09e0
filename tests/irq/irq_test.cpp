// The family interrupt members: argument orders, waits released by interrupts,
// time-outs, Close under waiting and queued threads, and the wait counts.
#include <atomic>
#include <future>
#include <thread>

#include "irq_fixture.h"
#include "support/child_process.h"

namespace {

using namespace std::chrono_literals;

class FamilyIrqTest : public IrqTest, public ::testing::WithParamInterface<const FamilyApi*> {
protected:
    const FamilyApi& F() const { return *GetParam(); }
};

TEST_P(FamilyIrqTest, NothingToWaitFor) {
    std::uint32_t count = UNTOUCHED;
    // The members never build the map themselves: nothing is asked of the driver.
    sim::ClearRequestLog();
    EXPECT_EQ(F().wait(0, &count), QUELT_NO_CARD);
    EXPECT_EQ(F().setTimeout(0, 5), QUELT_NO_CARD);
    EXPECT_EQ(F().count(0), 0u);
    EXPECT_TRUE(sim::RequestLog().empty());

    std::uint32_t cards = 0;
    ASSERT_EQ(F().cardsInSystem(&cards), QUELT_OK);
    ASSERT_EQ(cards, 1u);
    if (F().irqDevice != F().device) {
        // OX952: function 1 is paired with its card at the first Open; until
        // then the position has no function 1.
        EXPECT_EQ(F().wait(0, &count), QUELT_NO_CARD);
        ASSERT_EQ(F().open(0, 0), QUELT_OK);
        ASSERT_EQ(F().close(0), QUELT_OK);
    }
    const struct {
        std::uint32_t position, wait, setTimeout;
    } cases[] = {{32, QUELT_NO_CARD, QUELT_NO_CARD},
                 {0xFFFFFFFFu, QUELT_NO_CARD, QUELT_NO_CARD},
                 {1, QUELT_NO_CARD, QUELT_NO_CARD},
                 {0, QUELT_NOT_OPEN, QUELT_NOT_OPEN}};
    for (const auto& c : cases) {
        EXPECT_EQ(F().wait(c.position, &count), c.wait) << c.position;
        EXPECT_EQ(F().wait(c.position, nullptr), c.wait) << c.position;
        EXPECT_EQ(F().setTimeout(c.position, 77), c.setTimeout) << c.position;
        EXPECT_EQ(F().count(c.position), 0u) << c.position;
    }
    EXPECT_EQ(count, UNTOUCHED);
}

TEST_P(FamilyIrqTest, OpenedWithoutInterrupts) {
    ASSERT_EQ(F().open(0, 0), QUELT_OK);
    std::uint32_t count = UNTOUCHED;
    sim::ClearRequestLog();
    EXPECT_EQ(F().wait(0, &count), QUELT_IRQ_NOT_ENABLED);
    EXPECT_EQ(count, UNTOUCHED);
    EXPECT_EQ(F().setTimeout(0, 1234), QUELT_IRQ_NOT_ENABLED);
    EXPECT_EQ(Entry(F().irqDevice).irqTimeout, 1234);
    EXPECT_TRUE(sim::RequestLog().empty());
}

TEST_P(FamilyIrqTest, InterruptBetweenWaitsIsReportedAtOnce) {
    ASSERT_EQ(F().open(0, 1), QUELT_OK);
    sim::RaiseIrq(F().irqDevice, 3);
    EXPECT_EQ(F().count(0), 3u);
    std::uint32_t count = UNTOUCHED;
    sim::ClearRequestLog();
    EXPECT_EQ(F().wait(0, &count), QUELT_OK);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(CountOf(IOCTL_CARD_WAIT_IRQ), 0u);
    // Taken note of: the next wait waits (and here times out).
    sim::SetImmediateWaits(true);
    ASSERT_EQ(F().setTimeout(0, 1), QUELT_OK);
    EXPECT_EQ(F().wait(0, &count), QUELT_TIMEOUT);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(WaitTimes(), std::vector<std::int64_t>{10000});
}

TEST_P(FamilyIrqTest, AnotherProcessTakingNoteFirst) {
    ASSERT_EQ(F().open(0, 1), QUELT_OK);
    sim::RaiseIrq(F().irqDevice);
    const int device = F().irqDevice;
    quelt_test::Child child([device](quelt_test::Child&) {
        DeviceHandle* h = AttachDeviceByIndex("", device);
        if (h == nullptr) return 10;
        const int r = OxWaitForIrq(&h, 100, 1);
        OxCloseDevice(h);
        return r;
    });
    EXPECT_EQ(child.Wait().code, 2);
    sim::SetImmediateWaits(true);
    ASSERT_EQ(F().setTimeout(0, 1), QUELT_OK);
    std::uint32_t count = UNTOUCHED;
    EXPECT_EQ(F().wait(0, &count), QUELT_TIMEOUT);
    EXPECT_EQ(count, 1u);  // the interrupt still counts since Open
}

TEST_P(FamilyIrqTest, LongTimeOutIsServedInSlices) {
    ASSERT_EQ(F().open(0, 1), QUELT_OK);
    ASSERT_EQ(F().setTimeout(0, 12000), QUELT_OK);
    sim::SetImmediateWaits(true);
    sim::ClearRequestLog();
    std::uint32_t count = UNTOUCHED;
    EXPECT_EQ(F().wait(0, &count), QUELT_TIMEOUT);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(WaitTimes(), (std::vector<std::int64_t>{50000000, 50000000, 20000000}));
}

TEST_P(FamilyIrqTest, TimeOutSurvivesCloseAndOpen) {
    ASSERT_EQ(F().open(0, 1), QUELT_OK);
    ASSERT_EQ(F().setTimeout(0, 1), QUELT_OK);
    ASSERT_EQ(F().close(0), QUELT_OK);
    EXPECT_EQ(F().setTimeout(0, 2), QUELT_NOT_OPEN);  // refused before it is stored
    ASSERT_EQ(F().open(0, 1), QUELT_OK);
    sim::SetImmediateWaits(true);
    sim::ClearRequestLog();
    EXPECT_EQ(F().wait(0, nullptr), QUELT_TIMEOUT);
    EXPECT_EQ(WaitTimes(), std::vector<std::int64_t>{10000});
}

TEST_P(FamilyIrqTest, OneInterruptReleasesEveryWaitingThread) {
    ASSERT_EQ(F().open(0, 1), QUELT_OK);
    std::uint32_t counts[2] = {UNTOUCHED, UNTOUCHED};
    auto a = std::async(std::launch::async, [&] { return F().wait(0, &counts[0]); });
    auto b = std::async(std::launch::async, [&] { return F().wait(0, &counts[1]); });
    ASSERT_TRUE(
        Eventually([&] { return Waiters(F().irqDevice) == 2 && sim::PendingWaits(F().irqDevice) == 1; }));
    sim::RaiseIrq(F().irqDevice);
    ASSERT_EQ(a.wait_for(20s), std::future_status::ready);
    ASSERT_EQ(b.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(a.get(), QUELT_OK);
    EXPECT_EQ(b.get(), QUELT_OK);
    EXPECT_EQ(counts[0], 1u);
    EXPECT_EQ(counts[1], 1u);
    EXPECT_EQ(Waiters(F().irqDevice), 0);
}

// Close with one thread in the driver wait and one queued behind it: the
// first ends as ended (0x200), the second as not open (0x40), neither writes
// a count, and the handle is released only after both have left. Looped so
// the sanitizers see many interleavings.
TEST_P(FamilyIrqTest, CloseEndsWaitingAndQueuedThreads) {
    for (int round = 0; round < 25; ++round) {
        ASSERT_EQ(F().open(0, 1), QUELT_OK);
        std::uint32_t counts[2] = {UNTOUCHED, UNTOUCHED};
        auto a = std::async(std::launch::async, [&] { return F().wait(0, &counts[0]); });
        ASSERT_TRUE(Eventually([&] { return sim::PendingWaits(F().irqDevice) == 1; }));
        auto b = std::async(std::launch::async, [&] { return F().wait(0, &counts[1]); });
        ASSERT_TRUE(Eventually([&] { return Waiters(F().irqDevice) == 2; }));
        EXPECT_EQ(F().close(0), QUELT_OK);
        EXPECT_EQ(Waiters(F().irqDevice), 0);
        EXPECT_EQ(a.get(), QUELT_WAIT_ENDED);
        EXPECT_EQ(b.get(), QUELT_NOT_OPEN);
        EXPECT_EQ(counts[0], UNTOUCHED);
        EXPECT_EQ(counts[1], UNTOUCHED);
        EXPECT_EQ(sim::PendingWaits(F().irqDevice), 0u);
    }
}

// Close racing with threads that are just entering or leaving their waits:
// every call ends, none uses the released handle (sanitizers), and Close
// never waits on a wait it could have discarded.
TEST_P(FamilyIrqTest, CloseRacingWithWaits) {
    for (int round = 0; round < 40; ++round) {
        ASSERT_EQ(F().open(0, 1), QUELT_OK);
        std::atomic<bool> go{false};
        std::vector<std::future<std::uint32_t>> waits;
        for (int t = 0; t < 3; ++t) {
            waits.push_back(std::async(std::launch::async, [&] {
                while (!go) std::this_thread::yield();
                std::uint32_t count = UNTOUCHED;
                std::uint32_t r = F().wait(0, &count);
                // OX952 Close turns interrupts off on both functions before it
                // takes the handles out, so a late caller may see that first.
                if (r == QUELT_WAIT_ENDED || r == QUELT_NOT_OPEN || r == QUELT_IRQ_NOT_ENABLED) return r;
                return 0xBAD0000u | r;
            }));
        }
        // Counts without pause until Close is done: it must not hold Close up.
        std::atomic<bool> closed{false};
        auto counter = std::async(std::launch::async, [&] {
            while (!go) std::this_thread::yield();
            std::uint32_t sum = 0;
            while (!closed) sum += F().count(0);
            return sum;
        });
        go = true;
        if (round % 2) std::this_thread::sleep_for(std::chrono::microseconds(50 * round));
        EXPECT_EQ(F().close(0), QUELT_OK);
        closed = true;
        for (auto& w : waits) {
            ASSERT_EQ(w.wait_for(20s), std::future_status::ready);
            const std::uint32_t r = w.get();
            EXPECT_EQ(r & 0xBAD0000u, 0u) << std::hex << r;
        }
        EXPECT_EQ(counter.get(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Families, FamilyIrqTest, ::testing::Values(&kOx952, &kOx9162, &kEp4gxa), FamilyName);

using OtherIrqTest = IrqTest;

TEST_F(OtherIrqTest, Ox952CountsEachFunctionFromItsOwnOpen) {
    sim::RaiseIrq(1, 4);
    ASSERT_EQ(OX952_Open(0, 1), QUELT_OK);
    sim::RaiseIrq(1, 2);
    sim::RaiseIrq(2, 3);
    EXPECT_EQ(OX952_IRQ_CountF0(0), 2u);
    EXPECT_EQ(OX952_IRQ_Count(0), 3u);
    EXPECT_EQ(OX952_IRQ_CountF0(32), 0u);
    ASSERT_EQ(OX952_Close(0), QUELT_OK);
    EXPECT_EQ(OX952_IRQ_CountF0(0), 0u);
    EXPECT_EQ(OX952_IRQ_Count(0), 0u);
}

struct WaitsFamily {
    const char* name;
    std::uint32_t (*open)(std::uint32_t, std::uint32_t);
    std::uint32_t (*wait)(std::uint32_t, std::uint32_t*);
    std::uint32_t (*waits)(std::uint32_t);
    int device;
};

class GetIrqWaitsTest : public IrqTest, public ::testing::WithParamInterface<WaitsFamily> {};

TEST_P(GetIrqWaitsTest, UsesATemporaryHandleOnlyWhileAnotherThreadWaits) {
    const WaitsFamily& f = GetParam();
    EXPECT_EQ(f.waits(32), 0u);
    EXPECT_EQ(f.waits(0), 0u);  // not open
    ASSERT_EQ(f.open(0, 1), QUELT_OK);

    sim::ClearRequestLog();
    EXPECT_EQ(f.waits(0), 0u);
    EXPECT_EQ(Codes(), std::vector<std::uint32_t>{IOCTL_CARD_IRQ_WAITS});

    auto waiter = std::async(std::launch::async, [&] { return f.wait(0, nullptr); });
    ASSERT_TRUE(Eventually([&] { return sim::PendingWaits(f.device) == 1; }));
    sim::ClearRequestLog();
    EXPECT_EQ(f.waits(0), 1u);
    EXPECT_EQ(Codes(),
              (std::vector<std::uint32_t>{IOCTL_CARD_ATTACH, IOCTL_CARD_IRQ_WAITS, IOCTL_CARD_DETACH}));
    EXPECT_EQ(Waiters(f.device), 1);

    sim::RaiseIrq(f.device);
    EXPECT_EQ(waiter.get(), QUELT_OK);
    EXPECT_EQ(Waiters(f.device), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Families, GetIrqWaitsTest,
    ::testing::Values(WaitsFamily{"OX9162", OX9162_Open, OX9162_IRQ_Wait, OX9162_GetIrqWaits, 3},
                      WaitsFamily{"EP4GXA", EP4GXA_Open, EP4GXA_IRQ_Wait, EP4GXA_GetIrqWaits, 4}),
    [](const auto& info) { return std::string(info.param.name); });

// A card at table entry 0 opened through one family is never reached through
// another family whose map was not built.
TEST_F(OtherIrqTest, OtherFamiliesNeverReachAnOpenCard) {
    RegistryUnload();
    machine_.reset();
    machine_ = std::make_unique<quelt_test::TempMachine>();
    RegistryLoad();
    sim::AddCard(sim::DefaultCard(sim::CardFamily::OX9162));
    ASSERT_EQ(OX9162_Open(0, 1), QUELT_OK);
    ASSERT_EQ(OX9162_IRQ_SetTimeout(0, 4321), QUELT_OK);
    sim::RaiseIrq(1, 2);
    sim::ClearRequestLog();
    std::uint32_t count = UNTOUCHED;
    EXPECT_EQ(EP4GXA_IRQ_Wait(0, &count), QUELT_NO_CARD);
    EXPECT_EQ(OX952_IRQ_Wait(0, &count), QUELT_NO_CARD);
    EXPECT_EQ(EP4GXA_IRQ_SetTimeout(0, 1), QUELT_NO_CARD);
    EXPECT_EQ(OX952_IRQ_SetTimeout(0, 1), QUELT_NO_CARD);
    EXPECT_EQ(EP4GXA_IRQ_Count(0), 0u);
    EXPECT_EQ(OX952_IRQ_Count(0), 0u);
    EXPECT_EQ(OX952_IRQ_CountF0(0), 0u);
    EXPECT_EQ(EP4GXA_GetIrqWaits(0), 0u);
    EXPECT_EQ(count, UNTOUCHED);
    EXPECT_TRUE(sim::RequestLog().empty());
    EXPECT_EQ(Entry(1).irqTimeout, 4321);
    EXPECT_EQ(OX9162_IRQ_Count(0), 2u);
}

}  // namespace
