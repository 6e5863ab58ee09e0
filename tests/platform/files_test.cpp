// The Windows file semantics of the POSIX layer that the class installer and
// later code rely on: dispositions, last-error values, share modes, and
// MoveFileA refusing to replace.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/posix/test_hooks.h"
#include "platform/win32.h"

namespace fs = std::filesystem;

namespace {

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quelt-files-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        handlesBefore_ = posix_test::OpenHandleCount();
    }
    void TearDown() override {
        EXPECT_EQ(posix_test::OpenHandleCount(), handlesBefore_) << "a handle was left open";
        fs::remove_all(dir_);
    }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    void Write(const std::string& name, const std::string& content) const {
        std::ofstream(Path(name), std::ios::binary) << content;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(Path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition) const {
        return CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    std::string dir_;
    std::size_t handlesBefore_ = 0;
};

struct OpenCase {
    const char* what;
    const char* existing;  // file created first with content "old", or null
    const char* path;      // relative to the test directory
    DWORD disposition;
    bool opens;
    DWORD lastError;      // after the call, success or not
    const char* content;  // file content afterwards, null: file absent
};

TEST_F(FilesTest, DispositionsGiveWindowsResultsAndLastErrors) {
    const OpenCase cases[] = {
        {"open existing", "f", "f", OPEN_EXISTING, true, ERROR_SUCCESS, "old"},
        {"open missing file", nullptr, "f", OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, nullptr},
        {"open in missing directory", nullptr, "nodir/f", OPEN_EXISTING, false, ERROR_PATH_NOT_FOUND,
         nullptr},
        {"create new", nullptr, "f", CREATE_NEW, true, ERROR_SUCCESS, ""},
        {"create new over existing", "f", "f", CREATE_NEW, false, ERROR_FILE_EXISTS, "old"},
        {"create always new", nullptr, "f", CREATE_ALWAYS, true, ERROR_SUCCESS, ""},
        {"create always truncates", "f", "f", CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS, ""},
        {"open always new", nullptr, "f", OPEN_ALWAYS, true, ERROR_SUCCESS, ""},
        {"open always existing keeps", "f", "f", OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS, "old"},
        {"truncate existing", "f", "f", TRUNCATE_EXISTING, true, ERROR_SUCCESS, ""},
        {"truncate missing", nullptr, "f", TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND, nullptr},
        {"disposition 0", "f", "f", 0, false, ERROR_INVALID_PARAMETER, "old"},
        {"disposition 6", "f", "f", 6, false, ERROR_INVALID_PARAMETER, "old"},
    };
    for (const OpenCase& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(Path("f"));
        if (c.existing) Write(c.existing, "old");
        SetLastError(12345);
        HANDLE h = Open(Path(c.path), GENERIC_READ | GENERIC_WRITE, 0, c.disposition);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens);
        EXPECT_EQ(GetLastError(), c.lastError);
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_NE(h, nullptr);
            EXPECT_TRUE(CloseHandle(h));
        }
        if (c.content) {
            EXPECT_EQ(Read("f"), c.content);
        } else {
            EXPECT_FALSE(fs::exists(Path("f")));
        }
    }
}

TEST_F(FilesTest, BadNamesAndDirectoriesAreRefused) {
    fs::create_directory(Path("d"));
    struct {
        const char* what;
        const char* name;
        DWORD disposition;
        DWORD error;
    } cases[] = {
        {"null name", nullptr, OPEN_EXISTING, ERROR_INVALID_PARAMETER},
        {"empty name", "", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
        {"directory", "d", OPEN_EXISTING, ERROR_ACCESS_DENIED},
        {"directory, open always", "d", OPEN_ALWAYS, ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = (c.name != nullptr && *c.name != '\0') ? Path(c.name) : "";
        const char* name = c.name != nullptr ? path.c_str() : nullptr;
        HANDLE h = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, c.disposition, 0, nullptr);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_TRUE(fs::is_directory(Path("d")));
}

TEST_F(FilesTest, CloseHandleRefusesWhatIsNotOpen) {
    Write("f", "x");
    HANDLE h = Open(Path("f"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
    for (HANDLE bad : {h /* closed already */, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE,
                       reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x12345678))}) {
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
}

TEST_F(FilesTest, ShareModesDecideWhetherASecondOpenIsAdmitted) {
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    struct {
        const char* what;
        DWORD firstAccess, firstShare, secondAccess, secondShare;
        bool admitted;
    } cases[] = {
        {"both readers sharing reads", GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
        {"exclusive first", GENERIC_READ, 0, GENERIC_READ, all, false},
        {"writer against read-only share", GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, all, false},
        {"writer against write share", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_WRITE, all,
         true},
        {"second denies first's write", GENERIC_WRITE, all, GENERIC_READ, FILE_SHARE_READ, false},
        {"probe as the installer opens", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_READ,
         FILE_SHARE_READ | FILE_SHARE_WRITE, true},
    };
    Write("f", "x");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE first = Open(Path("f"), c.firstAccess, c.firstShare, OPEN_EXISTING);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        HANDLE second = Open(Path("f"), c.secondAccess, c.secondShare, OPEN_EXISTING);
        EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.admitted);
        if (second != INVALID_HANDLE_VALUE) {
            CloseHandle(second);
        } else {
            EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        }
        CloseHandle(first);
    }
    // A refused CREATE_ALWAYS must not have truncated the file.
    HANDLE holder = Open(Path("f"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(Path("f"), GENERIC_WRITE, all, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Read("f"), "x");
    CloseHandle(holder);
}

TEST_F(FilesTest, DeleteFileResults) {
    fs::create_directory(Path("d"));
    Write("f", "x");
    struct {
        const char* what;
        const char* name;
        BOOL ok;
        DWORD error;
    } cases[] = {
        {"file", "f", TRUE, 0},
        {"file again", "f", FALSE, ERROR_FILE_NOT_FOUND},
        {"in missing directory", "nodir/f", FALSE, ERROR_PATH_NOT_FOUND},
        {"directory", "d", FALSE, ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        EXPECT_EQ(DeleteFileA(Path(c.name).c_str()), c.ok);
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_TRUE(fs::is_directory(Path("d")));
    EXPECT_FALSE(DeleteFileA(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(FilesTest, AFileHeldWithoutShareDeleteCannotBeDeletedOrRenamed) {
    Write("f", "held");
    for (DWORD share :
         {DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE}, DWORD{FILE_SHARE_READ | FILE_SHARE_DELETE}}) {
        const bool deletable = (share & FILE_SHARE_DELETE) != 0;
        SCOPED_TRACE(deletable ? "shared for delete" : "not shared for delete");
        HANDLE h = Open(Path("f"), GENERIC_READ, share, OPEN_EXISTING);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(MoveFileA(Path("f").c_str(), Path("g").c_str()), deletable ? TRUE : FALSE);
        if (!deletable) {
            EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
            EXPECT_FALSE(DeleteFileA(Path("f").c_str()));
            EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
            EXPECT_EQ(Read("f"), "held");
        } else {
            EXPECT_EQ(Read("g"), "held");
            EXPECT_TRUE(MoveFileA(Path("g").c_str(), Path("f").c_str()));
        }
        CloseHandle(h);
    }
    EXPECT_TRUE(DeleteFileA(Path("f").c_str()));
}

TEST_F(FilesTest, MoveFileNeverReplaces) {
    struct {
        const char* what;
        bool targetIsDirectory;
    } cases[] = {{"target file", false}, {"target directory", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(Path("to"));
        Write("from", "new");
        if (c.targetIsDirectory) {
            fs::create_directory(Path("to"));
        } else {
            Write("to", "old");
        }
        SetLastError(0);
        EXPECT_FALSE(MoveFileA(Path("from").c_str(), Path("to").c_str()));
        EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
        EXPECT_EQ(Read("from"), "new");
        if (c.targetIsDirectory) {
            EXPECT_TRUE(fs::is_directory(Path("to")));
        } else {
            EXPECT_EQ(Read("to"), "old");
        }
    }
}

TEST_F(FilesTest, MoveFileResults) {
    Write("a", "content");
    EXPECT_TRUE(MoveFileA(Path("a").c_str(), Path("b").c_str()));
    EXPECT_FALSE(fs::exists(Path("a")));
    EXPECT_EQ(Read("b"), "content");

    SetLastError(0);
    EXPECT_FALSE(MoveFileA(Path("a").c_str(), Path("c").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(MoveFileA(Path("b").c_str(), Path("nodir/c").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Read("b"), "content");
    EXPECT_FALSE(MoveFileA(nullptr, Path("c").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(FilesTest, DeviceIoControlOnAFileOrBadHandleFails) {
    Write("f", "x");
    HANDLE h = Open(Path("f"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD bytes = 77;
    char out[8];
    EXPECT_FALSE(DeviceIoControl(h, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                 nullptr, 0, out, sizeof out, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(bytes, 0u);
    EXPECT_FALSE(DeviceIoControl(h, 0, nullptr, 0, nullptr, 0, &bytes, reinterpret_cast<LPOVERLAPPED>(out)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(DeviceIoControl(h, 0, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(FilesTest, AChildForkedWhileOtherThreadsUseHandlesCanStillOpenFiles) {
    Write("f", "x");
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop) {
            HANDLE h = Open(Path("f"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        }
    });
    for (int i = 0; i < 50; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            // Bounded: a table lock inherited in the locked state would hang
            // here, and the alarm turns that into a failure.
            ::alarm(10);
            HANDLE h = Open(Path("f"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
            ::_exit(h != INVALID_HANDLE_VALUE && CloseHandle(h) ? 0 : 1);
        }
        ASSERT_GT(child, 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << i << " status " << status;
    }
    stop = true;
    busy.join();
}

}  // namespace
