// The device-level interrupt wait: slicing, outcomes, the shared acknowledged
// counter, and waits ended from other threads and processes.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "driver_fixture.h"
#include "support/child_process.h"

namespace {

using namespace std::chrono_literals;

class WaitTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        device_ = AddCard("irq card");
        handle_ = OxOpenDevice("", device_, 2);
        ASSERT_NE(handle_, nullptr);
    }
    void TearDown() override {
        OxCloseDevice(handle_);
        DriverTest::TearDown();
    }
    // Blocks until the driver holds n waits on the card (bounded).
    void AwaitPendingWaits(std::uint32_t n) {
        for (int i = 0; i < 20000 && sim::PendingWaits(device_) < n; ++i) std::this_thread::sleep_for(1ms);
        ASSERT_GE(sim::PendingWaits(device_), n);
    }
    int device_ = 0;
    DeviceHandle* handle_ = nullptr;
};

struct SliceCase {
    std::int32_t timeout;
    std::vector<std::int64_t> waits;
};

class WaitSliceTest : public WaitTest, public ::testing::WithParamInterface<SliceCase> {};

TEST_P(WaitSliceTest, ServesTheTimeOutInSlicesOfAtMost5000ms) {
    sim::SetImmediateWaits(true);
    sim::ClearRequestLog();
    EXPECT_EQ(OxWaitForIrq(&handle_, GetParam().timeout, 1), 3);
    EXPECT_EQ(WaitTimes(), GetParam().waits);
}

INSTANTIATE_TEST_SUITE_P(TimeOuts, WaitSliceTest,
                         ::testing::Values(SliceCase{12000, {50000000, 50000000, 20000000}},
                                           SliceCase{10000, {50000000, 50000000}},
                                           SliceCase{5000, {50000000}}, SliceCase{5001, {50000000, 10000}},
                                           SliceCase{1, {10000}}, SliceCase{-1, {-10000}},
                                           // A negative time-out is one request of at most a slice.
                                           SliceCase{-5000, {-50000000}}, SliceCase{-5001, {-50000000}},
                                           SliceCase{-8000, {-50000000}}, SliceCase{INT32_MIN, {-50000000}}));

TEST_F(WaitTest, NoTimeOutRenewsFullSlicesUntilAnInterrupt) {
    sim::SetImmediateWaits(true);
    sim::ClearRequestLog();
    auto waiter = std::async(std::launch::async, [this] { return OxWaitForIrq(&handle_, 0, 1); });
    // Let it run a good number of slices, then interrupt.
    for (int i = 0; i < 20000 && Requests(IOCTL_CARD_WAIT_IRQ).size() < 20; ++i)
        std::this_thread::sleep_for(1ms);
    sim::RaiseIrq(device_);
    ASSERT_EQ(waiter.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 0);
    const auto times = WaitTimes();
    EXPECT_GE(times.size(), 20u);
    for (std::int64_t t : times) EXPECT_EQ(t, 50000000);
    EXPECT_EQ(StatusWord(device_, ACK_COUNTER), StatusWord(device_, IRQ_COUNTER));
}

TEST_F(WaitTest, PendingInterruptReturnsAtOnceAndIsAcknowledged) {
    for (std::uint8_t flag : {std::uint8_t{1}, std::uint8_t{0}}) {
        sim::RaiseIrq(device_, 3);
        sim::ClearRequestLog();
        EXPECT_EQ(OxWaitForIrq(&handle_, 100, flag), 2);
        EXPECT_TRUE(sim::RequestLog().empty());
        EXPECT_EQ(StatusWord(device_, ACK_COUNTER), StatusWord(device_, IRQ_COUNTER));
    }
}

TEST_F(WaitTest, RefusedWaitsMakeNoRequest) {
    sim::ClearRequestLog();
    EXPECT_EQ(OxWaitForIrq(nullptr, 100, 1), 5);
    EXPECT_EQ(OxWaitForIrq(&handle_, 100, 0), 5);  // wait flag 0, nothing pending
    DeviceHandle* empty = nullptr;
    EXPECT_EQ(OxWaitForIrq(&empty, 100, 1), 4);
    EXPECT_TRUE(sim::RequestLog().empty());
}

TEST_F(WaitTest, HandleWithoutStatusBlock) {
    AddCard("blockless", sim::CardFamily::OX9162, false);
    OxHandle h(OxOpenDevice("blockless", 1, 0));
    ASSERT_NE(h.get(), nullptr);
    DeviceHandle* slot = h.get();
    sim::ClearRequestLog();
    EXPECT_EQ(OxWaitForIrq(&slot, 10, 1), 5);
    EXPECT_EQ(OxGetIrqCounter(h.get()), 0u);
    OxDiscardWaitForIrq(h.get());
    EXPECT_TRUE(sim::RequestLog().empty());
}

TEST_F(WaitTest, DriverOutcomes) {
    sim::ArmFault(sim::Fault::WaitFails, device_, 1);
    EXPECT_EQ(OxWaitForIrq(&handle_, 100, 1), 1);
    sim::ArmFault(sim::Fault::WaitDiscarded, device_, 1);
    EXPECT_EQ(OxWaitForIrq(&handle_, 0, 1), 4);
}

TEST_F(WaitTest, DiscardEndsTheWaitAndBringsTheCounterUpToDate) {
    auto waiter = std::async(std::launch::async, [this] { return OxWaitForIrq(&handle_, 0, 1); });
    AwaitPendingWaits(1);
    // The counter moves without waking anyone; the discard then ends the wait.
    StoreShared(StatusBlockOf(handle_)->irqCounter, LoadShared(StatusBlockOf(handle_)->irqCounter) + 1);
    OxHandle second(AttachDeviceByIndex("", device_));
    ASSERT_NE(second.get(), nullptr);
    OxDiscardWaitForIrq(second.get());
    ASSERT_EQ(waiter.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 4);
    EXPECT_EQ(StatusWord(device_, ACK_COUNTER), StatusWord(device_, IRQ_COUNTER));
}

TEST_F(WaitTest, EmptiedVariableEndsTheWait) {
    DeviceHandle* slot = handle_;
    auto waiter = std::async(std::launch::async, [&slot] { return OxWaitForIrq(&slot, 0, 1); });
    AwaitPendingWaits(1);
    std::atomic_ref<DeviceHandle*>(slot).store(nullptr);
    sim::RaiseIrq(device_);  // completes the request; the emptied variable decides
    ASSERT_EQ(waiter.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 4);
}

TEST_F(WaitTest, InterruptFromAnotherProcessEndsTheWait) {
    const int device = device_;
    quelt_test::Child child([device](quelt_test::Child&) {
        for (int i = 0; i < 20000 && sim::PendingWaits(device) == 0; ++i) std::this_thread::sleep_for(1ms);
        sim::RaiseIrq(device);
        return 0;
    });
    EXPECT_EQ(OxWaitForIrq(&handle_, 0, 1), 0);
    EXPECT_TRUE(child.Wait().exited);
}

TEST_F(WaitTest, CountersAndWaitCounts) {
    const std::uint32_t before = OxGetIrqCounter(handle_);
    sim::RaiseIrq(device_, 5);
    EXPECT_EQ(OxGetIrqCounter(handle_), before + 5);
    OxWaitForIrq(&handle_, 10, 1);  // acknowledge

    sim::ClearRequestLog();
    EXPECT_EQ(OxGetIrqCounter(nullptr), 0u);
    EXPECT_EQ(OxGetIrqWaits(nullptr), 0u);
    EXPECT_TRUE(sim::RequestLog().empty());
    EXPECT_EQ(OxGetIrqWaits(handle_), 0u);
    // The driver counts the waits of the card, whichever handle asks.
    auto waiter = std::async(std::launch::async, [this] { return OxWaitForIrq(&handle_, 0, 1); });
    AwaitPendingWaits(1);
    OxHandle second(AttachDeviceByIndex("", device_));
    EXPECT_EQ(OxGetIrqWaits(second.get()), 1u);
    sim::RaiseIrq(device_);
    EXPECT_EQ(waiter.get(), 0);
}

// A child forked while a thread of the parent waits has no such thread: the
// wait's hold on the handle must not keep the child's close from ending.
TEST_F(WaitTest, ChildForkedDuringAWaitCanCloseTheHandle) {
    auto waiter = std::async(std::launch::async, [this] { return OxWaitForIrq(&handle_, 0, 1); });
    AwaitPendingWaits(1);
    DeviceHandle* inherited = handle_;
    quelt_test::Child child([inherited](quelt_test::Child&) {
        OxCloseDevice(inherited);
        return 0;
    });
    const auto outcome = child.Wait();
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.code, 0);
    OxHandle second(AttachDeviceByIndex("", device_));
    OxDiscardWaitForIrq(second.get());
    ASSERT_EQ(waiter.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 4);
}

// A handle closed under a wait that still reaches it through the caller's
// variable: the wait ends with 4 and never touches the released record.
TEST_F(WaitTest, CloseUnderAWaitNeverUsesReleasedMemory) {
    sim::SetImmediateWaits(true);  // slices end at once: the wait keeps re-reading
    for (int i = 0; i < 200; ++i) {
        DeviceHandle* slot = OxOpenDevice("", device_, 2);
        ASSERT_NE(slot, nullptr);
        std::atomic<bool> started{false};
        auto waiter = std::async(std::launch::async, [&] {
            started = true;
            return OxWaitForIrq(&slot, 0, 1);
        });
        while (!started) std::this_thread::yield();
        if (i % 2 == 1) std::this_thread::sleep_for(std::chrono::microseconds(i * 5));
        DeviceHandle* h = std::atomic_ref<DeviceHandle*>(slot).load();
        if (i % 3 == 0) std::atomic_ref<DeviceHandle*>(slot).store(nullptr);
        OxCloseDevice(h);
        ASSERT_EQ(waiter.wait_for(20s), std::future_status::ready);
        const int r = waiter.get();
        // 4: emptied or closing; 5: the variable still names the released
        // record, which is no handle any more.
        EXPECT_TRUE(r == 4 || r == 5) << r;
    }
}

}  // namespace
