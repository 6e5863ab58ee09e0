// Process-wide objects across fork: a child never inherits the mutex locked by
// a thread it does not have, sees the object whole, and drops the bookkeeping
// of the threads it lost.
#include "platform/fork_safe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/child_process.h"

namespace {

using quelt_test::Child;

// Changed only under the mutex, two fields at a time: a child that saw the
// object half-changed would find them different.
struct Pair {
    long first = 0;
    long second = 0;
};

struct Bookkeeping {
    int threadsInside = 0;
    int resets = 0;
    void AfterForkInChild() {
        threadsInside = 0;
        ++resets;
    }
};

// Never touched before the test forks: made at start-up or not at all.
struct TouchedOnlyInChild {
    int resets = 0;
    void AfterForkInChild() { ++resets; }
};

TEST(ForkSafeTest, ChildFindsTheMutexFreeAndTheObjectWholeWhileAnotherThreadKeepsTakingIt) {
    auto& [mutex, pair] = fork_safe::ProcessWide<Pair>();
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop.load()) {
            std::lock_guard lock(mutex);
            ++pair.first;
            std::this_thread::yield();
            ++pair.second;
        }
    });
    for (int round = 0; round < 40; ++round) {
        Child child([](Child& self) {
            auto& [childMutex, childPair] = fork_safe::ProcessWide<Pair>();
            if (!childMutex.try_lock()) {
                self.Report("locked");
                return 1;
            }
            const bool whole = childPair.first == childPair.second;
            childMutex.unlock();
            return whole ? 0 : 2;
        });
        const Child::Outcome outcome = child.Wait(std::chrono::seconds(20));
        ASSERT_TRUE(outcome.exited) << "round " << round;
        ASSERT_EQ(outcome.code, 0) << "round " << round << " " << outcome.report;
    }
    stop = true;
    churn.join();
}

TEST(ForkSafeTest, ChildForgetsWhatTheThreadsItLostWereDoingAndTheParentKeepsIt) {
    auto& [mutex, book] = fork_safe::ProcessWide<Bookkeeping>();
    {
        std::lock_guard lock(mutex);
        book.threadsInside = 3;
    }
    Child child([](Child&) {
        auto& [childMutex, childBook] = fork_safe::ProcessWide<Bookkeeping>();
        std::lock_guard lock(childMutex);
        return childBook.threadsInside == 0 && childBook.resets == 1 ? 0 : 1;
    });
    EXPECT_EQ(child.Wait().code, 0);
    std::lock_guard lock(mutex);
    EXPECT_EQ(book.threadsInside, 3);
    EXPECT_EQ(book.resets, 0);
}

TEST(ForkSafeTest, HandlersExistBeforeTheFirstUse) {
    // The parent never asked for this object, yet the child's fork handler ran:
    // it was made, with its handlers, while the program started.
    Child child(
        [](Child&) { return fork_safe::ProcessWide<TouchedOnlyInChild>().value.resets == 1 ? 0 : 1; });
    EXPECT_EQ(child.Wait().code, 0);
}

}  // namespace
