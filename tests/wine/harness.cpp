// Runs the registered Wine checks: loads quelt_ox952.dll by name, runs every
// check (or those whose name contains the first argument), unloads the
// library and reports. Exit status 0 only when every check passed. Run as
// `--child ROLE ARGS...` it loads the library and plays that child role.
#include "harness.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <map>
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

std::map<std::string, wine::ChildBody>& Roles() {
    static std::map<std::string, wine::ChildBody> roles;
    return roles;
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

bool wine::RegisterChild(const char* role, ChildBody body) {
    Roles()[role] = body;
    return true;
}

namespace {

// One argument of a command line, quoted as the C runtime reads it back.
std::string Quoted(const std::string& arg) {
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

}  // namespace

wine::Child::Child(const std::string& role, const std::vector<std::string>& args) {
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string command = Quoted(self) + " --child " + Quoted(role);
    for (const std::string& arg : args) command += " " + Quoted(arg);

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        Fail(__FILE__, __LINE__, "cannot make a pipe: " + ErrorText(GetLastError()));
        return;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    const BOOL made =
        CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
    const DWORD error = GetLastError();
    CloseHandle(writeEnd);
    if (!made) {
        CloseHandle(readEnd);
        Fail(__FILE__, __LINE__, "cannot start child " + role + ": " + ErrorText(error));
        return;
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    pid_ = info.dwProcessId;
    output_ = readEnd;
}

wine::Child::~Child() {
    if (process_ != nullptr) {
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_, 99);
            WaitForSingleObject(process_, 5000);
        }
        CloseHandle(process_);
    }
    if (output_ != nullptr) CloseHandle(output_);
}

std::string wine::Child::ReadLine(DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        const auto newline = buffered_.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        if (output_ == nullptr) return "";
        DWORD available = 0;
        if (!PeekNamedPipe(output_, nullptr, 0, nullptr, &available, nullptr)) return "";  // it ended
        if (available > 0) {
            char chunk[512];
            DWORD got = 0;
            if (!ReadFile(output_, chunk, sizeof chunk < available ? sizeof chunk : available, &got, nullptr))
                return "";
            buffered_.append(chunk, got);
            continue;
        }
        if (GetTickCount64() >= end) return "";
        Sleep(2);
    }
}

std::string wine::Child::AwaitLine(const std::string& prefix, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= end) break;
        std::string line = ReadLine(static_cast<DWORD>(end - now));
        if (line.rfind(prefix, 0) == 0) return line;
        if (line.empty() && (output_ == nullptr || WaitForSingleObject(process_, 0) == WAIT_OBJECT_0)) {
            // Ended: what it wrote before is still to be read.
            DWORD available = 0;
            if (!PeekNamedPipe(output_, nullptr, 0, nullptr, &available, nullptr) || available == 0) {
                if (buffered_.find('\n') == std::string::npos) break;
            }
        }
    }
    Fail(__FILE__, __LINE__, "child " + std::to_string(pid_) + " gave no line starting \"" + prefix + "\"");
    return "";
}

int wine::Child::Wait(DWORD timeoutMs) {
    if (process_ == nullptr) return -1;
    if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) {
        Fail(__FILE__, __LINE__, "child " + std::to_string(pid_) + " still runs");
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return static_cast<int>(code);
}

void wine::Child::Kill() {
    if (process_ == nullptr) return;
    TerminateProcess(process_, 137);
    WaitForSingleObject(process_, 10000);
}

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "--child") {
        auto role = Roles().find(argv[2]);
        if (role == Roles().end()) {
            std::printf("no child role %s\n", argv[2]);
            return 2;
        }
        library = LoadLibraryA("quelt_ox952.dll");
        if (library == nullptr) {
            std::printf("cannot load quelt_ox952.dll: %s\n", ErrorText(GetLastError()).c_str());
            return 1;
        }
        const int code = role->second(std::vector<std::string>(argv + 3, argv + argc));
        std::fflush(stdout);
        return currentFailed ? 1 : code;
    }
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
