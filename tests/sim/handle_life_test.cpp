// A handle's life across real processes: what the kernel ends with a process
// (death, exec) ends the handle's attach and its waits, whatever the process
// left behind; a fork does not make the parent's handles the child's; and
// interrupt waits between two processes never sleep through an interrupt.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "quelt_ox952.h"
#include "registry/card_table.h"
#include "support/child_process.h"
#include "support/temp_machine.h"
#include "win32_helpers.h"

using quelt_test::Child;
using namespace sim_test;
using namespace std::chrono_literals;

namespace {

constexpr std::int64_t kLongWait = 600000000;  // 60 s
constexpr std::int64_t kSlice = 50000000;      // 5000 ms, the library's slice

template <typename Pred>
bool Eventually(Pred pred) {
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::int32_t AttachCount(int device) {
    return static_cast<std::int32_t>(sim::ReadStatusWord(device, 12));
}

TEST(HandleLife, HundredProcessesKilledLeaveNothingAttachedOrWaiting) {
    quelt_test::TempMachine machine(true);
    constexpr int kProcesses = 100;
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < kProcesses; ++i) {
        children.push_back(std::make_unique<Child>([i](Child& self) {
            HANDLE h = OpenCard(3);
            AttachRecord rec;
            if (!Attach(h, &rec).ok) return 1;
            self.Report("attached\n");
            if (i % 2) WaitIrq(h, kLongWait);  // killed in here
            ::pause();
            return 2;
        }));
    }
    for (auto& c : children) ASSERT_EQ(c->AwaitLine("attached"), "attached");
    EXPECT_EQ(sim::AttachedHandles(3), kProcesses);
    EXPECT_EQ(AttachCount(3), kProcesses);
    ASSERT_TRUE(Eventually([] { return sim::PendingWaits(3) == kProcesses / 2; }));
    for (auto& c : children) c->Kill();

    EXPECT_EQ(sim::AttachedHandles(3), 0);
    EXPECT_EQ(sim::PendingWaits(3), 0u);
    // The next attach counts what is really attached: itself.
    HANDLE h = OpenCard(3);
    AttachRecord rec;
    ASSERT_TRUE(Attach(h, &rec).ok);
    EXPECT_EQ(AttachCount(3), 1);
    EXPECT_EQ(Request(h, IOCTL_CARD_IRQ_WAITS, nullptr, 0, nullptr, 0).bytes, 0u);
    CloseHandle(h);
    EXPECT_EQ(AttachCount(3), 0);
}

TEST(HandleLife, AttachThenExecReleasesTheHandle) {
    quelt_test::TempMachine machine(true);
    Child child([](Child& self) {
        HANDLE h = OpenCard(2);
        AttachRecord rec;
        if (!Attach(h, &rec).ok) return 1;
        self.Report("attached\n");
        ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        return 2;
    });
    ASSERT_EQ(child.AwaitLine("attached"), "attached");
    EXPECT_TRUE(Eventually([] { return sim::AttachedHandles(2) == 0; }));
    EXPECT_EQ(::kill(child.pid(), 0), 0) << "the exec'd process still runs";
    HANDLE h = OpenCard(2);
    AttachRecord rec;
    ASSERT_TRUE(Attach(h, &rec).ok);
    EXPECT_EQ(AttachCount(2), 1);
    CloseHandle(h);
}

// A wait is marked in the card file, not by the kernel; a mark counts only
// while its slot is held. Killed waiters, a waiter whose process execs, and a
// slot taken again after its waiter died: none of them counts as waiting.
TEST(HandleLife, WaitMarksOfGoneWaitersNeverCount) {
    quelt_test::TempMachine machine(true);
    Child killed([](Child& self) {
        HANDLE h = OpenCard(2);
        AttachRecord rec;
        if (!Attach(h, &rec).ok) return 1;
        self.Report("attached\n");
        WaitIrq(h, kLongWait);  // killed in here
        return 2;
    });
    ASSERT_EQ(killed.AwaitLine("attached"), "attached");
    ASSERT_TRUE(Eventually([] { return sim::PendingWaits(2) == 1; }));
    killed.Kill();
    EXPECT_EQ(sim::PendingWaits(2), 0u);

    // The first attach takes the dead waiter's slot; the second asks the
    // driver, which sees the first attached and not waiting.
    HANDLE first = OpenCard(2);
    HANDLE second = OpenCard(2);
    AttachRecord rec;
    ASSERT_TRUE(Attach(first, &rec).ok);
    ASSERT_TRUE(Attach(second, &rec).ok);
    EXPECT_EQ(Request(second, IOCTL_CARD_IRQ_WAITS, nullptr, 0, nullptr, 0).bytes, 0u);
    EXPECT_EQ(sim::PendingWaits(2), 0u);

    Child execs([](Child& self) {
        HANDLE h = OpenCard(2);
        AttachRecord r;
        if (!Attach(h, &r).ok) return 1;
        std::thread waiter([h] { WaitIrq(h, kLongWait); });
        waiter.detach();
        if (!Eventually([] { return sim::PendingWaits(2) == 1; })) return 3;
        self.Report("waiting\n");
        ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        return 2;
    });
    ASSERT_EQ(execs.AwaitLine("waiting"), "waiting");
    EXPECT_TRUE(Eventually([] { return sim::PendingWaits(2) == 0; }));
    EXPECT_EQ(::kill(execs.pid(), 0), 0) << "the exec'd process still runs";
    EXPECT_EQ(Request(second, IOCTL_CARD_IRQ_WAITS, nullptr, 0, nullptr, 0).bytes, 0u);
    CloseHandle(first);
    CloseHandle(second);
}

TEST(HandleLife, AForkedChildDoesNotKeepItsParentsHandleAlive) {
    quelt_test::TempMachine machine(true);
    Child parent([](Child& self) {
        HANDLE h = OpenCard(1);
        AttachRecord rec;
        if (!Attach(h, &rec).ok) return 1;
        int ready[2];
        if (::pipe(ready) != 0) return 3;
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            // Past the fork handlers: the copies it inherited are given up.
            (void)!::write(ready[1], "r", 1);
            ::alarm(30);
            ::pause();
            ::_exit(0);
        }
        char c;
        if (::read(ready[0], &c, 1) != 1) return 4;
        self.Report("forked " + std::to_string(grandchild) + "\n");
        ::pause();
        return 2;
    });
    const std::string line = parent.AwaitLine("forked");
    ASSERT_FALSE(line.empty());
    const pid_t grandchild = static_cast<pid_t>(std::stol(line.substr(7)));
    EXPECT_EQ(sim::AttachedHandles(1), 1);
    parent.Kill();
    EXPECT_EQ(::kill(grandchild, 0), 0);
    EXPECT_EQ(sim::AttachedHandles(1), 0);
    ::kill(grandchild, SIGKILL);
}

// Lowers the descriptor limit so that exactly `free` descriptors are left.
bool LeaveFreeDescriptors(int free) {
    int limit = 0;
    for (int left = free; left > 0 || ::fcntl(limit, F_GETFD) != -1; ++limit) {
        if (limit > 65536) return false;
        if (::fcntl(limit, F_GETFD) == -1) --left;
    }
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return false;
    lim.rlim_cur = static_cast<rlim_t>(limit);
    return ::setrlimit(RLIMIT_NOFILE, &lim) == 0;
}

// UBSan's type check of a polymorphic object it has not met before opens a
// pipe to see whether the object's memory can be read, and reports a valid
// object as having an invalid vptr when that fails. The simulator holds the
// machine lock and the index file at once while it opens a card, so under
// the sanitizers a prober needs four free descriptors for that pipe to find
// two; the plain build takes the cases with one to three.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kFewestFreeDescriptors = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr int kFewestFreeDescriptors = 4;
#else
constexpr int kFewestFreeDescriptors = 1;
#endif
#else
constexpr int kFewestFreeDescriptors = 1;
#endif

// A process short of descriptors cannot tell who runs: it must be refused,
// never admitted beside a running normal owner.
TEST(HandleLife, AProberShortOfDescriptorsIsNeverAdmittedBesideANormalOwner) {
    quelt_test::TempMachine machine(true);
    Child owner([](Child& self) {
        RegistryLoad();
        self.Report(OX9162_Open(0, 0) == QUELT_OK ? "open\n" : "failed\n");
        self.Hear(60s);
        OX9162_Close(0);
        return 0;
    });
    ASSERT_EQ(owner.AwaitLine("open"), "open");
    for (int free = kFewestFreeDescriptors; free <= 6; ++free) {
        Child prober([free](Child& self) {
            RegistryLoad();
            if (!LeaveFreeDescriptors(free)) return 1;
            const std::uint32_t multi = OX9162_OpenMulti(0, 0);
            const std::uint32_t normal = OX9162_Open(0, 0);
            self.Report("result " + std::to_string(multi) + " " + std::to_string(normal) + "\n");
            return 0;
        });
        auto outcome = prober.Wait();
        ASSERT_EQ(outcome.code, 0) << free << " free: " << outcome.report;
        std::uint32_t multi = 0;
        std::uint32_t normal = 0;
        ASSERT_EQ(std::sscanf(outcome.report.c_str(), "result %u %u", &multi, &normal), 2) << outcome.report;
        EXPECT_NE(multi, QUELT_OK) << free << " free descriptors";
        EXPECT_NE(normal, QUELT_OK) << free << " free descriptors";
        // The owner's connection is still on record.
        EXPECT_EQ(sim::ReadStatusWord(3, 24), static_cast<std::uint32_t>(owner.pid())) << free;
    }
    owner.Tell("end");
    EXPECT_EQ(owner.Wait().code, 0);
}

double Seconds(const timespec& a, const timespec& b) {
    return static_cast<double>(b.tv_sec - a.tv_sec) + static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e9;
}

// One side of the ping-pong: rings the other card, then waits on its own as
// the library does (a wait only after taking note of the counter). Counts
// waits that lasted a whole slice and waits that ended with no interrupt.
std::string PlayPingPong(int own, int other, int rounds, bool serveFirst) {
    HANDLE h = OpenCard(own);
    AttachRecord rec;
    if (!Attach(h, &rec).ok) return "no attach";
    auto* block = static_cast<SharedStatusBlock*>(rec.resources.statusBlock);
    sim::IrqLine ring(other);
    int slow = 0;
    int empty = 0;
    double longest = 0;
    for (int i = 0; i < rounds; ++i) {
        if (serveFirst) ring.Raise();
        for (;;) {
            const std::uint32_t ack = LoadShared(block->ackCounter);
            timespec t0{}, t1{};
            ::clock_gettime(CLOCK_MONOTONIC, &t0);
            WaitIrq(h, kSlice);
            ::clock_gettime(CLOCK_MONOTONIC, &t1);
            const double took = Seconds(t0, t1);
            longest = std::max(longest, took);
            if (took >= 4.9) ++slow;
            const std::uint32_t now = LoadShared(block->irqCounter);
            StoreShared(block->ackCounter, now);
            if (now != ack) break;
            ++empty;
        }
        if (!serveFirst) ring.Raise();
    }
    CloseHandle(h);
    return "slow " + std::to_string(slow) + " empty " + std::to_string(empty) + " longest " +
           std::to_string(longest);
}

TEST(HandleLife, PingPongOfHundredThousandInterruptsNeverWaitsASlice) {
    quelt_test::TempMachine machine(true);
    constexpr int kRounds = 50000;  // two interrupts a round
    Child other([](Child& self) {
        self.Report(PlayPingPong(4, 3, kRounds, false) + "\n");
        return 0;
    });
    const std::string mine = PlayPingPong(3, 4, kRounds, true);
    auto outcome = other.Wait(std::chrono::seconds(110));
    ASSERT_TRUE(outcome.exited) << outcome.report;
    EXPECT_EQ(mine.substr(0, mine.find(" longest")), "slow 0 empty 0") << mine;
    EXPECT_EQ(outcome.report.substr(0, outcome.report.find(" longest")), "slow 0 empty 0") << outcome.report;
    EXPECT_EQ(sim::ReadStatusWord(3, 4), static_cast<std::uint32_t>(kRounds));
    EXPECT_EQ(sim::ReadStatusWord(4, 4), static_cast<std::uint32_t>(kRounds));
}

}  // namespace
