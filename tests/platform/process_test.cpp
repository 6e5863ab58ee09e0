// The process list (EnumProcesses) with real child processes, and the message
// line that stands in for MessageBoxA.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/test_hooks.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kGuard = 0xDEADBEEF;

std::vector<DWORD> Processes() {
    std::vector<DWORD> ids(65536, kGuard);
    DWORD bytes = 0;
    EXPECT_TRUE(EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes));
    EXPECT_EQ(bytes % sizeof(DWORD), 0u);
    EXPECT_LT(bytes, ids.size() * sizeof(DWORD)) << "buffer too small for this machine's process list";
    ids.resize(bytes / sizeof(DWORD));
    return ids;
}

bool Listed(pid_t pid) {
    const auto ids = Processes();
    return std::find(ids.begin(), ids.end(), static_cast<DWORD>(pid)) != ids.end();
}

// A child that runs until its pipe is closed or it is killed.
pid_t StartChild(int* writeEnd) {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Keep no other child's pipe open, or that child would never see its end.
        ::dup2(fds[0], 0);
        ::close_range(3, ~0u, 0);
        char c;
        while (::read(0, &c, 1) > 0) {
        }
        ::_exit(0);
    }
    ::close(fds[0]);
    *writeEnd = fds[1];
    return pid;
}

class EnumProcessesTest : public ::testing::Test {
protected:
    void TearDown() override { posix_test::FailEnumProcesses(false); }
};

TEST_F(EnumProcessesTest, ListsEveryProcessUntilItIsReaped) {
    EXPECT_TRUE(Listed(::getpid()));

    int running = -1;
    const pid_t child = StartChild(&running);
    ASSERT_GT(child, 0);
    EXPECT_TRUE(Listed(child));

    // Ended but not yet reaped: still listed (telling it apart would take a
    // read per process); gone once reaped.
    int zombieEnd = -1;
    const pid_t zombie = StartChild(&zombieEnd);
    ASSERT_GT(zombie, 0);
    ::kill(zombie, SIGKILL);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(zombie), &info, WEXITED | WNOWAIT), 0);
    EXPECT_TRUE(Listed(zombie));
    ASSERT_EQ(::waitpid(zombie, nullptr, 0), zombie);
    EXPECT_FALSE(Listed(zombie));
    ::close(zombieEnd);

    ::close(running);  // the child ends on end of file
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    EXPECT_FALSE(Listed(child));
}

// With no descriptor left the list cannot be read: a failure, never a list
// that leaves running processes out. One descriptor is enough for a whole list.
TEST_F(EnumProcessesTest, FailsRatherThanListingPartlyWhenNoDescriptorIsLeft) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ends[0]);
        // Descriptors 0 to 2 and the pipe's end (as 3) stay; nothing else is free.
        if (ends[1] != 3) ::dup2(ends[1], 3);
        ::close_range(4, ~0u, 0);
        rlimit lim{};
        ::getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = 4;
        if (::setrlimit(RLIMIT_NOFILE, &lim) != 0) ::_exit(10);
        DWORD ids[4096];
        DWORD bytes = 12345;
        const BOOL full = EnumProcesses(ids, sizeof ids, &bytes);
        const DWORD error = GetLastError();
        lim.rlim_cur = 5;
        if (::setrlimit(RLIMIT_NOFILE, &lim) != 0) ::_exit(11);
        const BOOL one = EnumProcesses(ids, sizeof ids, &bytes);
        const bool self = std::find(ids, ids + bytes / 4, static_cast<DWORD>(::getpid())) != ids + bytes / 4;
        char line[64];
        const int n = std::snprintf(line, sizeof line, "%d %u %d %d", full, error, one, self);
        (void)!::write(3, line, static_cast<std::size_t>(n));
        ::_exit(0);
    }
    ::close(ends[1]);
    char buf[64] = {};
    std::size_t got = 0;
    for (ssize_t n; (n = ::read(ends[0], buf + got, sizeof buf - 1 - got)) > 0;)
        got += static_cast<std::size_t>(n);
    ::close(ends[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(std::string(buf), "0 " + std::to_string(ERROR_TOO_MANY_OPEN_FILES) + " 1 1");
}

TEST_F(EnumProcessesTest, WritesAtMostTheBufferAndReportsBytesWritten) {
    // At least three processes, so every short buffer below cuts the list.
    int ends[2] = {-1, -1};
    const pid_t children[2] = {StartChild(&ends[0]), StartChild(&ends[1])};
    ASSERT_GT(children[0], 0);
    ASSERT_GT(children[1], 0);
    const std::size_t total = Processes().size();
    ASSERT_GE(total, 3u);
    struct {
        DWORD cb;
        std::size_t ids;  // ids written
    } cases[] = {
        {0, 0}, {3, 0}, {4, 1}, {7, 1}, {8, 2}, {static_cast<DWORD>(total * 4 + 4096), total},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("cb " + std::to_string(c.cb));
        std::vector<DWORD> ids(total + 1024 + 8, kGuard);
        DWORD bytes = 12345;
        ASSERT_TRUE(EnumProcesses(ids.data(), c.cb, &bytes));
        // The full-list case may see processes come and go; the small ones
        // are always cut to the buffer.
        const std::size_t written = bytes / sizeof(DWORD);
        EXPECT_EQ(bytes % sizeof(DWORD), 0u);
        if (c.cb < total * 4) {
            EXPECT_EQ(written, c.ids);
        } else {
            EXPECT_LT(bytes, c.cb);
        }
        for (std::size_t i = 0; i < written; ++i) EXPECT_NE(ids[i], kGuard);
        for (std::size_t i = written; i < ids.size(); ++i)
            ASSERT_EQ(ids[i], kGuard) << "written beyond at " << i;
    }
    for (int i = 0; i < 2; ++i) {
        ::close(ends[i]);
        ::waitpid(children[i], nullptr, 0);
    }
}

TEST_F(EnumProcessesTest, BadArgumentsAndInjectedFailure) {
    DWORD ids[4] = {kGuard, kGuard, kGuard, kGuard};
    SetLastError(0);
    EXPECT_FALSE(EnumProcesses(ids, sizeof ids, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOACCESS);
    DWORD bytes = 1;
    EXPECT_FALSE(EnumProcesses(nullptr, 16, &bytes));
    EXPECT_EQ(GetLastError(), ERROR_NOACCESS);
    EXPECT_TRUE(EnumProcesses(nullptr, 0, &bytes));
    EXPECT_EQ(bytes, 0u);

    posix_test::FailEnumProcesses(true, ERROR_NOT_ENOUGH_MEMORY);
    bytes = 77;
    EXPECT_FALSE(EnumProcesses(ids, sizeof ids, &bytes));
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(ids[0], kGuard);
    posix_test::FailEnumProcesses(false);
    EXPECT_TRUE(EnumProcesses(ids, sizeof ids, &bytes));
    EXPECT_EQ(bytes, sizeof ids);
}

// Runs fn with standard error going to a file and returns what was written.
std::string CaptureStderr(const std::function<void()>& fn) {
    std::fflush(stderr);
    char name[] = "/tmp/quelt-stderr-XXXXXX";
    const int file = ::mkstemp(name);
    EXPECT_GE(file, 0);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(file, STDERR_FILENO);
    fn();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    std::string out;
    char buffer[4096];
    ::lseek(file, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(file, buffer, sizeof buffer)) > 0;)
        out.append(buffer, static_cast<std::size_t>(n));
    ::close(file);
    ::unlink(name);
    return out;
}

const char kCaption[] = "This dll is not compatible with kernel driver.\nPlease reinstall device driver.";

TEST(MessageBox, OneLineOnStderrAndTheCallRecordedExactly) {
    struct {
        const char* caption;
        const char* text;
        const char* line;
        const char* recordedCaption;
        const char* recordedText;
    } cases[] = {
        {kCaption, "VerDllMain.",
         "This dll is not compatible with kernel driver.\\nPlease reinstall device driver.: VerDllMain.\n",
         kCaption, "VerDllMain."},
        {kCaption, "quelt_ox9162.dll",
         "This dll is not compatible with kernel driver.\\nPlease reinstall device driver.: "
         "quelt_ox9162.dll\n",
         kCaption, "quelt_ox9162.dll"},
        {nullptr, "text", "Error: text\n", "Error", "text"},
        {"cap", nullptr, "cap: \n", "cap", ""},
        {"tab\there", "bell\a", "tab\\there: bell\\x07\n", "tab\there", "bell\a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        posix_test::ClearMessages();
        int result = 0;
        const std::string out =
            CaptureStderr([&] { result = MessageBoxA(nullptr, c.text, c.caption, MB_ICONERROR); });
        EXPECT_EQ(result, IDOK);
        EXPECT_EQ(out, c.line);
        const auto messages = posix_test::Messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].caption, c.recordedCaption);
        EXPECT_EQ(messages[0].text, c.recordedText);
        EXPECT_EQ(messages[0].style, MB_ICONERROR);
        EXPECT_EQ(messages[0].owner, nullptr);
    }
}

TEST(MessageBox, ConcurrentCallsGiveWholeLines) {
    posix_test::ClearMessages();
    const std::string out = CaptureStderr([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([t] {
                const std::string text(200, static_cast<char>('a' + t));
                for (int i = 0; i < 25; ++i) MessageBoxA(nullptr, text.c_str(), kCaption, MB_ICONERROR);
            });
        }
        for (auto& th : threads) th.join();
    });
    EXPECT_EQ(posix_test::Messages().size(), 100u);
    std::size_t lines = 0;
    std::size_t start = 0;
    for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = out.substr(start, end - start);
        const std::string prefix =
            "This dll is not compatible with kernel driver.\\nPlease reinstall device driver.: ";
        ASSERT_EQ(line.size(), prefix.size() + 200);
        ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0);
        EXPECT_EQ(line.find_first_not_of(line.back(), prefix.size()), std::string::npos) << "lines mixed";
        ++lines;
    }
    EXPECT_EQ(lines, 100u);
    EXPECT_EQ(start, out.size());
}

}  // namespace
