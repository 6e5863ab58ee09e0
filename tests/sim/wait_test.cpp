// Interrupt waits, discards and wait counts within one process, and the
// serialisation of requests on one handle.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "support/temp_machine.h"
#include "win32_helpers.h"

using namespace sim_test;
using namespace std::chrono_literals;

namespace {

constexpr std::int64_t kLongWait = 600000000;  // 60 s in 100 ns units: ended by something else
constexpr auto kBound = 30s;                   // liveness bound, never a timing assertion

// Polls until pred holds or the bound passes; returns pred's last value.
template <typename Pred>
bool Eventually(Pred pred) {
    auto deadline = std::chrono::steady_clock::now() + kBound;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

struct Card {
    HANDLE h = INVALID_HANDLE_VALUE;
    AttachRecord rec{};
    explicit Card(int device) : h(OpenCard(device)) { Attach(h, &rec); }
    ~Card() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    SharedStatusBlock* block() const { return static_cast<SharedStatusBlock*>(rec.resources.statusBlock); }
};

std::uint32_t IrqWaits(HANDLE h) {
    return Request(h, IOCTL_CARD_IRQ_WAITS, nullptr, 0, nullptr, 0).bytes;
}

TEST(Wait, EndsOnTheNextInterrupt) {
    quelt_test::TempMachine machine(true);
    Card card(4);
    sim::RaiseIrq(4, 2);  // interrupts before the wait, and taken note of, do not end it
    StoreShared(card.block()->ackCounter, 2u);
    const std::uint32_t late = sim::WaitsEndedAtDeadline(4);
    auto wait = std::async(std::launch::async, [&] { return WaitIrq(card.h, kLongWait); });
    ASSERT_TRUE(Eventually([] { return sim::PendingWaits(4) == 1; }));
    EXPECT_EQ(wait.wait_for(50ms), std::future_status::timeout);
    sim::RaiseIrq(4);
    ASSERT_EQ(wait.wait_for(kBound), std::future_status::ready);
    Reply r = wait.get();
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(LoadShared(card.block()->irqCounter), 3u);
    EXPECT_EQ(sim::PendingWaits(4), 0u);
    EXPECT_EQ(sim::WaitsEndedAtDeadline(4), late);  // woken, not timed out
}

TEST(Wait, TimeOutIsTheMagnitudeOfTheValue) {
    quelt_test::TempMachine machine(true);
    Card card(1);
    const std::uint32_t late = sim::WaitsEndedAtDeadline(1);
    for (std::int64_t units : {std::int64_t{10000}, std::int64_t{-10000}, std::int64_t{0}}) {
        SCOPED_TRACE(units);
        auto wait = std::async(std::launch::async, [&] { return WaitIrq(card.h, units); });
        ASSERT_EQ(wait.wait_for(kBound), std::future_status::ready);
        Reply r = wait.get();
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.bytes, 0u);
    }
    EXPECT_EQ(LoadShared(card.block()->irqCounter), 0u);
    EXPECT_EQ(sim::PendingWaits(1), 0u);
    EXPECT_EQ(sim::WaitsEndedAtDeadline(1), late + 3);
}

TEST(Wait, ImmediateModeCompletesLongWaitsAtOnce) {
    quelt_test::TempMachine machine(true);
    Card card(1);
    sim::SetImmediateWaits(true);
    auto wait = std::async(std::launch::async, [&] { return WaitIrq(card.h, INT64_MAX); });
    ASSERT_EQ(wait.wait_for(kBound), std::future_status::ready);
    Reply r = wait.get();
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 0u);
}

TEST(Wait, DiscardEndsEveryWaitOfTheCardWith99) {
    quelt_test::TempMachine machine(true);
    Card a(3), b(3), other(4), control(3);
    auto waitA = std::async(std::launch::async, [&] { return WaitIrq(a.h, kLongWait); });
    auto waitB = std::async(std::launch::async, [&] { return WaitIrq(b.h, kLongWait); });
    auto waitOther = std::async(std::launch::async, [&] { return WaitIrq(other.h, kLongWait); });
    // Counted for the card as a whole, asked through a handle that does not wait.
    ASSERT_TRUE(Eventually([&] { return IrqWaits(control.h) == 2; }));
    ASSERT_TRUE(Eventually([&] { return sim::PendingWaits(4) == 1; }));
    EXPECT_TRUE(Request(control.h, IOCTL_CARD_DISCARD_WAITS, nullptr, 0, nullptr, 0).ok);
    for (auto* w : {&waitA, &waitB}) {
        ASSERT_EQ(w->wait_for(kBound), std::future_status::ready);
        Reply r = w->get();
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.bytes, 99u);
    }
    // Another card's wait is not discarded.
    EXPECT_EQ(waitOther.wait_for(50ms), std::future_status::timeout);
    EXPECT_EQ(IrqWaits(control.h), 0u);
    // A wait begun after the discard is not ended by it.
    auto later = std::async(std::launch::async, [&] { return WaitIrq(a.h, kLongWait); });
    ASSERT_TRUE(Eventually([&] { return IrqWaits(control.h) == 1; }));
    EXPECT_EQ(later.wait_for(50ms), std::future_status::timeout);
    sim::RaiseIrq(3);
    sim::RaiseIrq(4);
    ASSERT_EQ(later.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(later.get().bytes, 0u);
    ASSERT_EQ(waitOther.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(waitOther.get().bytes, 0u);
}

TEST(Wait, OccupiesItsHandleButNotASecondOne) {
    quelt_test::TempMachine machine(true);
    Card a(2), b(2);
    auto wait = std::async(std::launch::async, [&] { return WaitIrq(a.h, kLongWait); });
    ASSERT_TRUE(Eventually([] { return sim::PendingWaits(2) == 1; }));
    // The second handle answers while the first one waits.
    auto version = std::async(std::launch::async, [&] {
        return Request(b.h, IOCTL_CARD_DRIVER_VERSION, nullptr, 0, nullptr, 0).bytes;
    });
    ASSERT_EQ(version.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(version.get(), 110u);
    // A detach on the waiting handle waits for the wait.
    auto detach = std::async(std::launch::async, [&] { return Detach(a.h, &a.rec); });
    EXPECT_EQ(detach.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(sim::AttachedHandles(2), 2);
    sim::RaiseIrq(2);
    ASSERT_EQ(wait.wait_for(kBound), std::future_status::ready);
    ASSERT_EQ(detach.wait_for(kBound), std::future_status::ready);
    EXPECT_TRUE(detach.get().ok);
    EXPECT_EQ(sim::AttachedHandles(2), 1);
}

TEST(Wait, CloseDuringAWaitDetachesWhenTheWaitEnds) {
    quelt_test::TempMachine machine(true);
    Card keep(1);
    HANDLE h = OpenCard(1);
    AttachRecord rec;
    ASSERT_TRUE(Attach(h, &rec).ok);
    auto wait = std::async(std::launch::async, [&] { return WaitIrq(h, kLongWait); });
    ASSERT_TRUE(Eventually([] { return sim::PendingWaits(1) == 1; }));
    EXPECT_TRUE(CloseHandle(h));  // completes at once, as on Windows
    Request(keep.h, IOCTL_CARD_DISCARD_WAITS, nullptr, 0, nullptr, 0);
    ASSERT_EQ(wait.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(wait.get().bytes, 99u);
    ASSERT_TRUE(Eventually([] { return sim::AttachedHandles(1) == 1; }));
    EXPECT_EQ(LoadShared(keep.block()->attachCount), 1);
}

TEST(Wait, FaultsAndBadInput) {
    quelt_test::TempMachine machine(true);
    Card card(1);
    sim::ArmFault(sim::Fault::WaitFails, 1, 1, ERROR_ACCESS_DENIED);
    Reply r = WaitIrq(card.h, kLongWait);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, ERROR_ACCESS_DENIED);
    sim::ArmFault(sim::Fault::WaitDiscarded, 1);
    r = WaitIrq(card.h, kLongWait);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 99u);
    std::int32_t four = 1;
    r = Request(card.h, IOCTL_CARD_WAIT_IRQ, &four, 4, nullptr, 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(sim::PendingWaits(1), 0u);
}

TEST(RequestLog, RecordsEveryRequestOfThisProcess) {
    quelt_test::TempMachine machine(true);
    sim::ClearRequestLog();
    Card card(3);
    std::int64_t units = 1234;
    WaitIrq(card.h, units);
    Request(card.h, IOCTL_CARD_DRIVER_VERSION, nullptr, 0, nullptr, 0);
    auto log = sim::RequestLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].code, IOCTL_CARD_ATTACH);
    EXPECT_EQ(log[0].device, 3);
    EXPECT_EQ(log[0].input.size(), 344u);
    EXPECT_EQ(log[0].bytesReturned, 344u);
    EXPECT_TRUE(log[0].ok);
    EXPECT_EQ(log[1].code, IOCTL_CARD_WAIT_IRQ);
    ASSERT_EQ(log[1].input.size(), 8u);
    std::int64_t sent;
    std::memcpy(&sent, log[1].input.data(), 8);
    EXPECT_EQ(sent, 1234);
    EXPECT_EQ(log[2].code, IOCTL_CARD_DRIVER_VERSION);
    EXPECT_EQ(log[2].bytesReturned, 110u);
    sim::ClearRequestLog();
    EXPECT_TRUE(sim::RequestLog().empty());
}

// An interrupt not yet taken note of is pending: a wait returns at once, from
// any handle, until the acknowledged counter catches up; then it blocks again.
TEST(Wait, ReturnsAtOnceWhileAnInterruptIsPending) {
    quelt_test::TempMachine machine(true);
    Card card(4);
    sim::RaiseIrq(4);
    for (int i = 0; i < 3; ++i) {
        auto start = std::chrono::steady_clock::now();
        Reply r = WaitIrq(card.h, kLongWait);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.bytes, 0u);
        EXPECT_LT(std::chrono::steady_clock::now() - start, kBound);
    }
    StoreShared(card.block()->ackCounter, 1u);
    auto wait = std::async(std::launch::async, [&] { return WaitIrq(card.h, kLongWait); });
    ASSERT_TRUE(Eventually([] { return sim::PendingWaits(4) == 1; }));
    EXPECT_EQ(wait.wait_for(50ms), std::future_status::timeout);
    sim::RaiseIrq(4);
    ASSERT_EQ(wait.wait_for(kBound), std::future_status::ready);
    EXPECT_TRUE(wait.get().ok);
}

}  // namespace
