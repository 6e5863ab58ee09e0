// Threads, errors and time as the library relies on them: recursive critical
// sections, interlocked results, per-thread last errors, the WOW64 directory
// query. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/test_hooks.h"
#include "platform/win32.h"

namespace {

// Waits up to 10 s for a condition that must come true; a liveness bound, not
// a timing assertion.
template <typename Pred>
bool Eventually(Pred pred) {
    for (int i = 0; i < 10000; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

TEST(CriticalSection, IsRecursiveAndHeldUntilLeftAsOftenAsEntered) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);  // would deadlock if not recursive

    std::atomic<bool> entered{false};
    std::thread other([&] {
        EnterCriticalSection(&section);
        entered = true;
        LeaveCriticalSection(&section);
    });
    LeaveCriticalSection(&section);
    // Still held once: the other thread cannot be inside. (This can only
    // fail if the section was released too early.)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered.load());
    LeaveCriticalSection(&section);
    EXPECT_TRUE(Eventually([&] { return entered.load(); }));
    other.join();
    DeleteCriticalSection(&section);
}

TEST(CriticalSection, ExcludesOtherThreads) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    long counter = 0;  // plain on purpose: only the section protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                EnterCriticalSection(&section);
                EnterCriticalSection(&section);
                ++counter;
                LeaveCriticalSection(&section);
                LeaveCriticalSection(&section);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 40000);
    DeleteCriticalSection(&section);
}

TEST(Interlocked, ReturnsTheNewValueAndWraps) {
    struct {
        LONG start;
        bool increment;
        LONG result;
    } cases[] = {
        {0, true, 1},
        {0, false, -1},
        {1, false, 0},
        {-1, true, 0},
        {INT32_MAX, true, INT32_MIN},
        {INT32_MIN, false, INT32_MAX},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.start) + (c.increment ? " + 1" : " - 1"));
        volatile LONG value = c.start;
        EXPECT_EQ(c.increment ? InterlockedIncrement(&value) : InterlockedDecrement(&value), c.result);
        EXPECT_EQ(value, c.result);
    }
}

TEST(Interlocked, ConcurrentChangesAreNotLost) {
    volatile LONG value = 0;
    std::atomic<int> zeroSeen{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                InterlockedIncrement(&value);
                if (InterlockedDecrement(&value) < 0) zeroSeen = -1;  // never below zero
                InterlockedIncrement(&value);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(value, 80000);
    EXPECT_EQ(zeroSeen.load(), 0);
}

TEST(LastError, IsKeptPerThread) {
    SetLastError(11);
    DWORD seenInOther = 0;
    std::thread other([&] {
        seenInOther = GetLastError();
        SetLastError(22);
    });
    other.join();
    EXPECT_EQ(seenInOther, 0u);
    EXPECT_EQ(GetLastError(), 11u);
}

class Wow64Directory : public ::testing::Test {
protected:
    void TearDown() override { posix_test::SetWow64Directory(nullptr); }
};

TEST_F(Wow64Directory, NoneByDefaultAs32BitWindows) {
    char buffer[16];
    std::memset(buffer, 'z', sizeof buffer);
    SetLastError(0);
    EXPECT_EQ(GetSystemWow64DirectoryA(buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetLastError(), ERROR_CALL_NOT_IMPLEMENTED);
    EXPECT_EQ(buffer[0], 'z');
}

TEST_F(Wow64Directory, CopiesOnlyWhenItFitsWithTheTerminator) {
    const std::string dir = "C:\\Windows\\SysWOW64";  // 19 characters
    posix_test::SetWow64Directory(dir.c_str());
    struct {
        UINT size;
        UINT result;
        bool written;
    } cases[] = {
        {64, 19, true}, {20, 19, true}, {19, 20, false}, {1, 20, false}, {0, 20, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size));
        char buffer[64];
        std::memset(buffer, 'z', sizeof buffer);
        EXPECT_EQ(GetSystemWow64DirectoryA(buffer, c.size), c.result);
        if (c.written) {
            EXPECT_STREQ(buffer, dir.c_str());
        } else {
            EXPECT_EQ(buffer[0], 'z') << "nothing may be written when it does not fit";
        }
        EXPECT_EQ(buffer[c.size < 63 ? c.size : 63], 'z') << "nothing beyond the given size";
    }
    EXPECT_EQ(GetSystemWow64DirectoryA(nullptr, 0), 20u);
}

}  // namespace
