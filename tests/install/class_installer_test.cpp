// The device class installer over the POSIX layer: the WOW64 renames against a
// temporary directory standing in for the WOW64 system directory, and the
// device installation against the simulated SetupAPI.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "driver/contract.h"
#include "platform/posix/test_hooks.h"
#include "platform/win32.h"
#include "quelt_ox952.h"
#include "support/temp_machine.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kDoDefault = 0xE000020E;

// File name -> content; what a directory holds.
using Files = std::map<std::string, std::string>;

class Wow64RenameTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quelt-wow64-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        handles_ = posix_test::OpenHandleCount();
    }
    void TearDown() override {
        posix_test::SetWow64Directory(nullptr);
        EXPECT_EQ(posix_test::OpenHandleCount(), handles_) << "the installer left a handle open";
        fs::remove_all(dir_);
    }
    void Put(const Files& files, const std::string& dir) const {
        for (const auto& [name, content] : files)
            std::ofstream(dir + "/" + name, std::ios::binary) << content;
    }
    static Files Contents(const std::string& dir) {
        Files files;
        for (const auto& entry : fs::directory_iterator(dir)) {
            std::ifstream in(entry.path(), std::ios::binary);
            files[entry.path().filename().string()] =
                entry.is_directory() ? "<dir>" : std::string(std::istreambuf_iterator<char>(in), {});
        }
        return files;
    }
    std::uint32_t InstallInterfaces() { return ClassInstaller(DIF_INSTALLINTERFACES, nullptr, nullptr); }

    std::string dir_;
    std::size_t handles_ = 0;
};

TEST_F(Wow64RenameTest, DeliveredLibrariesTakeTheirPlainNames) {
    struct Case {
        const char* what;
        Files before;
        Files after;
    } cases[] = {
        {"nothing present", {}, {}},
        {"only the EP4GXA library",
         {{"quelt_ep4gxa_32.dll", "ep4gxa new"}},
         {{"quelt_ep4gxa.dll", "ep4gxa new"}}},
        {"only the EP4GXA library, an older one in place",
         {{"quelt_ep4gxa_32.dll", "ep4gxa new"}, {"quelt_ep4gxa.dll", "ep4gxa old"}},
         {{"quelt_ep4gxa.dll", "ep4gxa new"}}},
        {"OX952 delivered and older plain",
         {{"quelt_ox952_32.dll", "ox952 new"}, {"quelt_ox952.dll", "ox952 old"}},
         {{"quelt_ox952.dll", "ox952 new"}}},
        {"all three, with unrelated files",
         {{"quelt_ox9162_32.dll", "a"},
          {"quelt_ox952_32.dll", "b"},
          {"quelt_ep4gxa_32.dll", "c"},
          {"quelt_ox9162.dll", "old"},
          {"other_32.dll", "keep"},
          {"kernel32.dll", "keep too"}},
         {{"quelt_ox9162.dll", "a"},
          {"quelt_ox952.dll", "b"},
          {"quelt_ep4gxa.dll", "c"},
          {"other_32.dll", "keep"},
          {"kernel32.dll", "keep too"}}},
        {"a plain library alone stays",
         {{"quelt_ox952.dll", "installed"}},
         {{"quelt_ox952.dll", "installed"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& entry : fs::directory_iterator(dir_)) fs::remove_all(entry.path());
        Put(c.before, dir_);
        posix_test::SetWow64Directory(dir_.c_str());
        EXPECT_EQ(InstallInterfaces(), kDoDefault);
        EXPECT_EQ(Contents(dir_), c.after);
        // A second call finds no delivered library left and changes nothing.
        EXPECT_EQ(InstallInterfaces(), kDoDefault);
        EXPECT_EQ(Contents(dir_), c.after);
    }
}

TEST_F(Wow64RenameTest, DirectoryWithOrWithoutTrailingBackslash) {
    for (const std::string& reported : {dir_, dir_ + "\\"}) {
        SCOPED_TRACE(reported);
        Put({{"quelt_ox9162_32.dll", "x"}}, dir_);
        posix_test::SetWow64Directory(reported.c_str());
        EXPECT_EQ(InstallInterfaces(), kDoDefault);
        EXPECT_EQ(Contents(dir_), (Files{{"quelt_ox9162.dll", "x"}}));
        fs::remove(dir_ + "/quelt_ox9162.dll");
    }
}

// The directory query is given 254 bytes and the paths are 256 bytes: the
// longest name (19 characters) must fit behind the prefix with its
// terminator, so prefixes of up to 236 characters work. A reported directory
// that already ends in a backslash gets no second one, so its full length
// counts as the prefix.
TEST_F(Wow64RenameTest, LongDirectoriesWorkUpToTheLastFittingLengthAndNoFurther) {
    // A real directory whose path has exactly `length` characters.
    auto makeDirectory = [&](std::size_t length) {
        std::string path = dir_;
        while (path.size() < length) {
            const std::size_t remaining = length - path.size();
            path += "/" + std::string(remaining <= 201 ? remaining - 1 : 150, 'd');
        }
        fs::create_directories(path);
        return path;
    };
    struct {
        std::size_t dirLength;   // characters of the directory's own path
        bool trailingBackslash;  // reported with a backslash at its end
        bool renamed;
    } cases[] = {
        {235, false, true},   // prefix 236
        {236, false, false},  // prefix 237: the longest name no longer fits
        {235, true, true},    // reported 236 with its backslash: prefix 236
        {236, true, false},   // reported 237
        {253, false, false},  // fits the query, not the names
        {254, false, false},  // does not fit the query at all
        {300, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("directory of " + std::to_string(c.dirLength) + (c.trailingBackslash ? " + \\" : ""));
        const std::string dir = makeDirectory(c.dirLength);
        ASSERT_EQ(dir.size(), c.dirLength);
        Put({{"quelt_ox9162_32.dll", "a"}, {"quelt_ep4gxa_32.dll", "b"}}, dir);
        const std::string reported = c.trailingBackslash ? dir + "\\" : dir;
        posix_test::SetWow64Directory(reported.c_str());
        EXPECT_EQ(InstallInterfaces(), kDoDefault);
        const Files expected = c.renamed ? Files{{"quelt_ox9162.dll", "a"}, {"quelt_ep4gxa.dll", "b"}}
                                         : Files{{"quelt_ox9162_32.dll", "a"}, {"quelt_ep4gxa_32.dll", "b"}};
        EXPECT_EQ(Contents(dir), expected);
        for (const auto& entry : fs::directory_iterator(dir_)) fs::remove_all(entry.path());
    }
}

// Lengths 3 and 2 need paths that short: relative ones, from inside the
// test directory.
TEST_F(Wow64RenameTest, ReportedLengthThreeIsADirectoryAndTwoIsNone) {
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(::chdir(dir_.c_str()), 0);
    fs::create_directory("ab");
    fs::create_directory("a");
    struct {
        const char* reported;
        const char* dir;
        bool renamed;
    } cases[] = {
        {"ab\\", "ab", true},  // length 3, ends in a backslash
        {"a\\", "a", false},   // length 2: no WOW64 directory
        {"ab", "ab", false},   // length 2 as well
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reported);
        Put({{"quelt_ox952_32.dll", "x"}}, c.dir);
        posix_test::SetWow64Directory(c.reported);
        EXPECT_EQ(InstallInterfaces(), kDoDefault);
        const Files expected =
            c.renamed ? Files{{"quelt_ox952.dll", "x"}} : Files{{"quelt_ox952_32.dll", "x"}};
        EXPECT_EQ(Contents(c.dir), expected);
        for (const auto& entry : fs::directory_iterator(c.dir)) fs::remove(entry.path());
    }
    ASSERT_EQ(::chdir(previous), 0);
}

TEST_F(Wow64RenameTest, NoWow64DirectoryTouchesNothing) {
    Put({{"quelt_ox952_32.dll", "x"}}, dir_);
    ASSERT_EQ(::chdir(dir_.c_str()), 0);  // a relative probe would find the file here
    posix_test::SetWow64Directory(nullptr);
    EXPECT_EQ(InstallInterfaces(), kDoDefault);
    posix_test::SetWow64Directory("");
    EXPECT_EQ(InstallInterfaces(), kDoDefault);
    EXPECT_EQ(Contents(dir_), (Files{{"quelt_ox952_32.dll", "x"}}));
}

TEST_F(Wow64RenameTest, ATargetInUseKeepsTheDeliveredName) {
    // A directory of the plain name cannot be deleted or replaced; a file held
    // open without delete sharing cannot be deleted. Either way the rename
    // fails, the result is unchanged and the other pairs still go ahead.
    fs::create_directory(dir_ + "/quelt_ox952.dll");
    Put({{"quelt_ox952_32.dll", "ox952 new"},
         {"quelt_ox9162_32.dll", "ox9162 new"},
         {"quelt_ox9162.dll", "ox9162 running"},
         {"quelt_ep4gxa_32.dll", "ep4gxa new"}},
        dir_);
    const std::string held = dir_ + "/quelt_ox9162.dll";
    HANDLE inUse =
        CreateFileA(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(inUse, INVALID_HANDLE_VALUE);
    posix_test::SetWow64Directory(dir_.c_str());
    EXPECT_EQ(InstallInterfaces(), kDoDefault);
    EXPECT_EQ(Contents(dir_), (Files{{"quelt_ox952_32.dll", "ox952 new"},
                                     {"quelt_ox952.dll", "<dir>"},
                                     {"quelt_ox9162_32.dll", "ox9162 new"},
                                     {"quelt_ox9162.dll", "ox9162 running"},
                                     {"quelt_ep4gxa.dll", "ep4gxa new"}}));
    CloseHandle(inUse);
    // Once the library is no longer in use, the next call completes the job.
    EXPECT_EQ(InstallInterfaces(), kDoDefault);
    EXPECT_EQ(Contents(dir_).at("quelt_ox9162.dll"), "ox9162 new");
}

TEST_F(Wow64RenameTest, ADeliveredLibraryThatCannotBeOpenedIsSkipped) {
    // A directory under the delivered name cannot be opened for reading.
    fs::create_directory(dir_ + "/quelt_ox9162_32.dll");
    Put({{"quelt_ox952_32.dll", "b"}}, dir_);
    posix_test::SetWow64Directory(dir_.c_str());
    EXPECT_EQ(InstallInterfaces(), kDoDefault);
    EXPECT_EQ(Contents(dir_), (Files{{"quelt_ox9162_32.dll", "<dir>"}, {"quelt_ox952.dll", "b"}}));
}

// --- Device installation, against the simulated SetupAPI ---

class InstallDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine_ = std::make_unique<quelt_test::TempMachine>(true);
        set_ = SetupDiGetClassDevsA(&CARD_INTERFACE_GUID, nullptr, nullptr,
                                    DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        ASSERT_NE(set_, INVALID_HANDLE_VALUE);
        data_.cbSize = sizeof data_;
        ASSERT_TRUE(SetupDiEnumDeviceInfo(set_, 0, &data_));  // device 1
    }
    void TearDown() override {
        if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
        posix_test::SetWow64Directory(nullptr);
        machine_.reset();
    }
    std::unique_ptr<quelt_test::TempMachine> machine_;
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA data_{};
};

TEST_F(InstallDeviceTest, ClearsRestartAndRebootRequestsOnlyAndInstalls) {
    struct {
        std::uint32_t before, after;
    } cases[] = {
        {0x180, 0x000},           {0x080, 0x000},           {0x100, 0x000},
        {0xFFFFFFFF, 0xFFFFFE7F}, {0x0000007F, 0x0000007F}, {0, 0},
    };
    int installs = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        sim::SetInstallParamsFlags(1, c.before);
        EXPECT_EQ(ClassInstaller(DIF_INSTALLDEVICE, set_, &data_), NO_ERROR);
        EXPECT_EQ(sim::InstallParamsFlags(1), c.after);
        EXPECT_EQ(sim::InstallDeviceCalls(1), ++installs);
    }
}

TEST_F(InstallDeviceTest, AFailedInstallReturnsItsErrorCode) {
    for (std::uint32_t code : {0xE000020Bu, 5u, 0xE0000219u}) {
        SCOPED_TRACE(code);
        sim::ArmFault(sim::Fault::InstallDeviceFails, 1, 1, code);
        EXPECT_EQ(ClassInstaller(DIF_INSTALLDEVICE, set_, &data_), code);
    }
    EXPECT_EQ(ClassInstaller(DIF_INSTALLDEVICE, set_, &data_), NO_ERROR);
}

TEST_F(InstallDeviceTest, UnreadableParametersAreNotWrittenBackButTheDeviceIsInstalled) {
    sim::SetInstallParamsFlags(1, 0x1C0);
    sim::ArmFault(sim::Fault::InstallParamsFail, 1, 1, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ClassInstaller(DIF_INSTALLDEVICE, set_, &data_), NO_ERROR);
    EXPECT_EQ(sim::InstallParamsFlags(1), 0x1C0u) << "the device's parameters were overwritten";
    EXPECT_EQ(sim::InstallDeviceCalls(1), 1);
}

TEST_F(InstallDeviceTest, OtherFunctionCodesCallNothing) {
    sim::SetInstallParamsFlags(1, 0x180);
    char wow64[] = "/nonexistent-wow64";
    posix_test::SetWow64Directory(wow64);
    for (std::uint32_t code : {0u, 1u, 3u, 0x1Fu, 0x21u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(ClassInstaller(code, set_, &data_), kDoDefault);
    }
    EXPECT_EQ(sim::InstallParamsFlags(1), 0x180u);
    EXPECT_EQ(sim::InstallDeviceCalls(1), 0);
}

}  // namespace
