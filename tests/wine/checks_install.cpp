// The class installer and the DLL's resources over Wine's real SetupAPI, file
// system and WOW64 system directory.
#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

constexpr uint32_t kDoDefault = 0xE000020E;

const char* const kOurNames[] = {"quelt_ox9162_32.dll", "quelt_ox9162.dll",    "quelt_ox952_32.dll",
                                 "quelt_ox952.dll",     "quelt_ep4gxa_32.dll", "quelt_ep4gxa.dll"};

// Wine's WOW64 system directory, with no trailing backslash; empty when it has none.
std::string Wow64Directory() {
    char dir[MAX_PATH] = "";
    const UINT n = GetSystemWow64DirectoryA(dir, sizeof dir);
    if (n == 0 || n >= sizeof dir) return "";
    std::string s(dir, n);
    if (!s.empty() && s.back() == '\\') s.pop_back();
    return s;
}

void RemoveOurFiles(const std::string& dir) {
    for (const char* name : kOurNames) {
        const std::string path = dir + "\\" + name;
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
    }
}

bool WriteFile(const std::string& path, const std::string& content) {
    HANDLE h =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = ::WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == content.size();
}

// The content of path, or "<missing>".
std::string ReadFile(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<missing>";
    char buffer[256];
    DWORD got = 0;
    std::string content;
    while (::ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) content.append(buffer, got);
    CloseHandle(h);
    return content;
}

}  // namespace

WINE_CHECK(InstallerRenamesTheLibrariesInTheWow64Directory) {
    QUELT_REQUIRE_EXPORT(installer, ClassInstaller);
    const std::string dir = Wow64Directory();
    ASSERT_TRUE(!dir.empty());
    std::printf("    WOW64 directory: %s\n", dir.c_str());
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, const char*>> before;  // name, content
        std::vector<std::pair<const char*, const char*>>
            after;  // every one of our names not listed is absent
    };
    const Case cases[] = {
        {"nothing present", {}, {}},
        {"only the EP4GXA library", {{"quelt_ep4gxa_32.dll", "new"}}, {{"quelt_ep4gxa.dll", "new"}}},
        {"only the EP4GXA library, an older one in place",
         {{"quelt_ep4gxa_32.dll", "new"}, {"quelt_ep4gxa.dll", "old"}},
         {{"quelt_ep4gxa.dll", "new"}}},
        {"all three",
         {{"quelt_ox9162_32.dll", "a"},
          {"quelt_ox952_32.dll", "b"},
          {"quelt_ep4gxa_32.dll", "c"},
          {"quelt_ox952.dll", "old"}},
         {{"quelt_ox9162.dll", "a"}, {"quelt_ox952.dll", "b"}, {"quelt_ep4gxa.dll", "c"}}},
    };
    for (const Case& c : cases) {
        std::printf("    case: %s\n", c.what);
        RemoveOurFiles(dir);
        for (const auto& [name, content] : c.before) ASSERT_TRUE(WriteFile(dir + "\\" + name, content));
        for (int call = 0; call < 2; ++call) {  // the second call changes nothing
            EXPECT_EQ(installer(DIF_INSTALLINTERFACES, nullptr, nullptr), kDoDefault);
            for (const char* name : kOurNames) {
                std::string expected = "<missing>";
                for (const auto& [n, content] : c.after)
                    if (std::string(n) == name) expected = content;
                if (!EXPECT_EQ(ReadFile(dir + "\\" + name), expected)) std::printf("    file: %s\n", name);
            }
        }
    }
    RemoveOurFiles(dir);
}

WINE_CHECK(InstallerLeavesOtherFunctionCodesToWindows) {
    QUELT_REQUIRE_EXPORT(installer, ClassInstaller);
    for (uint32_t code : {0u, 1u, 3u, 0x1Fu, 0x21u, 0xFFFFFFFFu})
        EXPECT_EQ(installer(code, nullptr, nullptr), kDoDefault);
}

WINE_CHECK(InstallDeviceReturnsTheErrorOfARefusedInstall) {
    QUELT_REQUIRE_EXPORT(installer, ClassInstaller);
    // An empty device information set and a device that is not in it: Wine's
    // SetupAPI refuses to install it. The installer must hand back exactly the
    // error SetupDiInstallDevice reports for it.
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    ASSERT_TRUE(set != INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    SetLastError(0);
    EXPECT_FALSE(SetupDiInstallDevice(set, &data));
    const DWORD expected = GetLastError();
    std::printf("    SetupDiInstallDevice refuses with 0x%lx\n", static_cast<unsigned long>(expected));
    EXPECT_NE(expected, 0u);
    EXPECT_EQ(installer(DIF_INSTALLDEVICE, set, &data), expected);
    SetupDiDestroyDeviceInfoList(set);

    // A set that is no set at all.
    SetLastError(0);
    EXPECT_FALSE(SetupDiInstallDevice(INVALID_HANDLE_VALUE, &data));
    const DWORD invalid = GetLastError();
    EXPECT_EQ(installer(DIF_INSTALLDEVICE, INVALID_HANDLE_VALUE, &data), invalid);
}

WINE_CHECK(VersionResourceIs3_18_25317) {
    const std::string path = wine::LibraryPath();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_TRUE(size > 0);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_TRUE(fixed != nullptr && length >= sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), 3);
    EXPECT_EQ(LOWORD(fixed->dwFileVersionMS), 18);
    EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), 25317);
    EXPECT_EQ(LOWORD(fixed->dwFileVersionLS), 0);
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

    char* text = nullptr;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040904b0\\FileVersion",
                               reinterpret_cast<void**>(&text), &length));
    EXPECT_EQ(std::string(text), "3.18.25317.0");
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040904b0\\OriginalFilename",
                               reinterpret_cast<void**>(&text), &length));
    EXPECT_EQ(std::string(text), "quelt_ox952.dll");
}

WINE_CHECK(IconGroupOneHoldsNineImages) {
#pragma pack(push, 2)
    struct GroupEntry {
        BYTE width, height, colourCount, reserved;
        WORD planes, bitCount;
        DWORD bytesInRes;
        WORD id;
    };
    struct GroupHeader {
        WORD reserved, type, count;
    };
#pragma pack(pop)
    HMODULE lib = wine::Library();
    HRSRC found = FindResourceA(lib, MAKEINTRESOURCEA(1), reinterpret_cast<LPCSTR>(RT_GROUP_ICON));
    ASSERT_TRUE(found != nullptr);
    const DWORD size = SizeofResource(lib, found);
    const auto* header = static_cast<const GroupHeader*>(LockResource(LoadResource(lib, found)));
    ASSERT_TRUE(header != nullptr && size >= sizeof(GroupHeader));
    EXPECT_EQ(header->type, 1);
    ASSERT_EQ(header->count, 9);
    ASSERT_TRUE(size >= sizeof(GroupHeader) + 9 * sizeof(GroupEntry));
    const auto* entries = reinterpret_cast<const GroupEntry*>(header + 1);
    std::set<std::pair<int, int>> images;
    for (int i = 0; i < 9; ++i) {
        const GroupEntry& e = entries[i];
        EXPECT_EQ(e.width, e.height);
        images.insert({e.width, e.bitCount});
        HRSRC image = FindResourceA(lib, MAKEINTRESOURCEA(e.id), reinterpret_cast<LPCSTR>(RT_ICON));
        if (!EXPECT_TRUE(image != nullptr)) continue;
        EXPECT_EQ(SizeofResource(lib, image), e.bytesInRes);
        // The image is usable as an icon of its size.
        HICON icon = CreateIconFromResourceEx(static_cast<PBYTE>(LockResource(LoadResource(lib, image))),
                                              e.bytesInRes, TRUE, 0x00030000, e.width, e.height, 0);
        EXPECT_TRUE(icon != nullptr);
        if (icon) DestroyIcon(icon);
    }
    std::set<std::pair<int, int>> expected;
    for (int px : {48, 32, 16})
        for (int bpp : {4, 8, 32}) expected.insert({px, bpp});
    EXPECT_TRUE(images == expected);
}

WINE_CHECK(InstallerKeepsTheDeliveredNameWhileTheTargetIsInUse) {
    QUELT_REQUIRE_EXPORT(installer, ClassInstaller);
    const std::string dir = Wow64Directory();
    ASSERT_TRUE(!dir.empty());
    RemoveOurFiles(dir);
    ASSERT_TRUE(WriteFile(dir + "\\quelt_ox952_32.dll", "new"));
    ASSERT_TRUE(WriteFile(dir + "\\quelt_ox952.dll", "running"));
    ASSERT_TRUE(WriteFile(dir + "\\quelt_ep4gxa_32.dll", "c"));
    // Held open without delete sharing, as by a process that loaded it.
    HANDLE inUse = CreateFileA((dir + "\\quelt_ox952.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    ASSERT_TRUE(inUse != INVALID_HANDLE_VALUE);
    EXPECT_EQ(installer(DIF_INSTALLINTERFACES, nullptr, nullptr), kDoDefault);
    EXPECT_EQ(ReadFile(dir + "\\quelt_ox952_32.dll"), std::string("new"));
    EXPECT_EQ(ReadFile(dir + "\\quelt_ox952.dll"), std::string("running"));
    EXPECT_EQ(ReadFile(dir + "\\quelt_ep4gxa.dll"), std::string("c"));
    CloseHandle(inUse);
    EXPECT_EQ(installer(DIF_INSTALLINTERFACES, nullptr, nullptr), kDoDefault);
    EXPECT_EQ(ReadFile(dir + "\\quelt_ox952.dll"), std::string("new"));
    RemoveOurFiles(dir);
}
