// Runs the registered Wine checks: loads quelt_ox952.dll by name, runs every
// check (or those whose name contains the first argument), unloads the
// library and reports. Exit status 0 only when every check passed.
#include "harness.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

struct Check {
    std::string name;
    wine::CheckBody body;
    std::string file;
};

std::vector<Check>& Checks() {
    static std::vector<Check> checks;
    return checks;
}

HMODULE library = nullptr;
bool currentFailed = false;
int tempCounter = 0;
std::vector<std::string> tempDirectories;

std::string ErrorText(DWORD error) {
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                   sizeof text, nullptr);
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return std::to_string(error) + (s.empty() ? "" : " (" + s + ")");
}

void RemoveTree(const std::string& dir) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            const std::string path = dir + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(dir.c_str());
}

bool RunOne(const Check& check) {
    std::printf("[ RUN      ] %s\n", check.name.c_str());
    std::fflush(stdout);
    currentFailed = false;
    try {
        check.body();
    } catch (const std::exception& e) {
        wine::Fail(check.file.c_str(), 0, std::string("exception: ") + e.what());
    } catch (...) {
        wine::Fail(check.file.c_str(), 0, "unknown exception");
    }
    for (const std::string& dir : tempDirectories) RemoveTree(dir);
    tempDirectories.clear();
    std::printf("[ %s ] %s\n", currentFailed ? " FAILED " : "      OK", check.name.c_str());
    std::fflush(stdout);
    return !currentFailed;
}

}  // namespace

bool wine::Register(const char* name, CheckBody body, const char* file) {
    Checks().push_back({name, body, file});
    return true;
}

void wine::Fail(const char* file, int line, const std::string& message) {
    currentFailed = true;
    std::string where = file;
    const auto slash = where.find_last_of("/\\");
    if (slash != std::string::npos) where = where.substr(slash + 1);
    std::printf("%s:%d: failure: %s\n", where.c_str(), line, message.c_str());
    std::fflush(stdout);
}

HMODULE wine::Library() {
    return library;
}

std::string wine::LibraryPath() {
    char path[MAX_PATH] = "";
    const DWORD n = GetModuleFileNameA(library, path, sizeof path);
    return std::string(path, n);
}

FARPROC wine::Resolve(const char* name, const char* file, int line) {
    FARPROC address = library ? GetProcAddress(library, name) : nullptr;
    if (address == nullptr) Fail(file, line, std::string("quelt_ox952.dll does not export ") + name);
    return address;
}

std::string wine::TempDirectory() {
    char base[MAX_PATH];
    const DWORD n = GetTempPathA(sizeof base, base);
    std::string dir = std::string(base, n);
    if (!dir.empty() && dir.back() == '\\') dir.pop_back();
    dir += "\\quelt-check-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++tempCounter);
    RemoveTree(dir);
    if (!CreateDirectoryA(dir.c_str(), nullptr)) {
        Fail(__FILE__, __LINE__, "cannot create " + dir + ": " + ErrorText(GetLastError()));
    }
    tempDirectories.push_back(dir);
    return dir;
}

int main(int argc, char** argv) {
    const std::string filter = argc > 1 ? argv[1] : "";
    std::vector<Check> checks = Checks();
    std::stable_sort(checks.begin(), checks.end(), [](const Check& a, const Check& b) {
        return a.file != b.file ? a.file < b.file : false;
    });

    library = LoadLibraryA("quelt_ox952.dll");
    if (library == nullptr) {
        std::printf("cannot load quelt_ox952.dll: %s\n", ErrorText(GetLastError()).c_str());
        return 1;
    }

    int run = 0;
    std::vector<std::string> failed;
    for (const Check& check : checks) {
        if (!filter.empty() && check.name.find(filter) == std::string::npos) continue;
        ++run;
        if (!RunOne(check)) failed.push_back(check.name);
    }

    // Unloading runs the library's detach; loading again must give a working
    // library, as for a process that loads it twice over its life.
    const Check unload{"UnloadAndLoadAgain",
                       [] {
                           EXPECT_TRUE(FreeLibrary(library));
                           EXPECT_TRUE(GetModuleHandleA("quelt_ox952.dll") == nullptr);
                           library = LoadLibraryA("quelt_ox952.dll");
                           ASSERT_TRUE(library != nullptr);
                           QUELT_REQUIRE_EXPORT(version, OX952_InterfaceVersion);
                           EXPECT_EQ(version(), 318u);
                           EXPECT_TRUE(FreeLibrary(library));
                           library = nullptr;
                       },
                       __FILE__};
    if (filter.empty() || unload.name.find(filter) != std::string::npos) {
        ++run;
        if (!RunOne(unload)) failed.push_back(unload.name);
    }

    std::printf("%d checks run, %d passed, %zu failed\n", run, run - static_cast<int>(failed.size()),
                failed.size());
    for (const std::string& name : failed) std::printf("  FAILED: %s\n", name.c_str());
    return failed.empty() && run > 0 ? 0 : 1;
}
