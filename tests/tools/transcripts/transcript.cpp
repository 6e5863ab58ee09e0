// Runs a tool transcript (tests/tools/transcripts/*.txt) on Windows against
// quelt.exe and quelt-sim.exe beside this program, and compares every
// command's output and exit code with the transcript's; transcript.py runs
// the same transcripts against the Linux tools, and its comment describes
// the format.
//
//   test_wine_tools.exe FILE
//
// Each command is a process of its own with its output read through pipes.
// A stop ("^ int", "^ term") is delivered as the system delivers a console
// control event: a thread started in the process at kernel32's CtrlRoutine,
// which runs the process's console control handlers. Under Wine 8
// GenerateConsoleCtrlEvent fails: a program started without a terminal (as
// under CTest) has no console, and with one the call failed all the same.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Step {
    char kind;
    std::string arg, raw;
    std::vector<std::string> out, err;
    int code = 0;
};

struct Result {
    std::vector<std::string> out, err;
    int code = 0;
    bool operator==(const Result&) const = default;
};

std::string g_binDir, g_root, g_work;
std::vector<std::string> g_failures;

std::vector<Step> Parse(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << path << ": cannot read\n";
        std::exit(2);
    }
    std::vector<Step> steps;
    std::string line;
    const std::string markers = "#%$&~^=";
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && markers.find(line[0]) != std::string::npos &&
            (line.size() == 1 || line[1] == ' ')) {
            steps.push_back({line[0], line.size() > 2 ? line.substr(2) : "", line, {}, {}, 0});
        } else if (steps.empty()) {
            std::cerr << path << ": output before the first step: " << line << "\n";
            std::exit(2);
        } else if (line == "!" || line.rfind("! ", 0) == 0) {
            steps.back().err.push_back(line.size() > 2 ? line.substr(2) : "");
        } else if (line.rfind("? ", 0) == 0) {
            steps.back().code = std::stoi(line.substr(2));
        } else {
            steps.back().out.push_back(line);
        }
    }
    return steps;
}

void DropTrailingBlanks(std::vector<std::string>& lines) {
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
}

std::vector<std::string> Normalise(const std::string& text) {
    static const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3})");
    static const std::regex pid(R"(process \d+)");
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        line = std::regex_replace(line, time, "<time>");
        line = std::regex_replace(line, pid, "process <pid>");
        for (size_t at; !g_root.empty() && (at = line.find(g_root)) != std::string::npos;)
            line.replace(at, g_root.size(), "<root>");
        lines.push_back(line);
    }
    DropTrailingBlanks(lines);
    return lines;
}

// A command of the transcript as a running process, its two outputs read by
// threads of their own so that neither pipe fills and blocks it.
class Process {
public:
    explicit Process(const std::string& command) {
        std::istringstream words(command);
        std::string tool, word;
        words >> tool;
        std::string exe = g_binDir + "\\" + tool + ".exe";
        std::string line = "\"" + exe + "\"";
        while (words >> word) line += " " + word;
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE outRead, outWrite, errRead, errWrite;
        CreatePipe(&outRead, &outWrite, &inherit, 0);
        CreatePipe(&errRead, &errWrite, &inherit, 0);
        SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
        HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr);
        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = nul;
        si.hStdOutput = outWrite;
        si.hStdError = errWrite;
        PROCESS_INFORMATION pi{};
        std::vector<char> buffer(line.begin(), line.end());
        buffer.push_back('\0');
        started_ = CreateProcessA(exe.c_str(), buffer.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  g_work.c_str(), &si, &pi);
        if (!started_) startError_ = GetLastError();
        CloseHandle(outWrite);
        CloseHandle(errWrite);
        CloseHandle(nul);
        process_ = pi.hProcess;
        if (pi.hThread) CloseHandle(pi.hThread);
        outReader_ = std::thread(ReadAll, outRead, &out_);
        errReader_ = std::thread(ReadAll, errRead, &err_);
    }
    ~Process() {
        if (process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) TerminateProcess(process_, 99);
        if (outReader_.joinable()) outReader_.join();
        if (errReader_.joinable()) errReader_.join();
        if (process_) CloseHandle(process_);
    }

    bool Running() const { return started_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

    // A console control event, delivered as the system does. CtrlRoutine is
    // at the same address in every process, as system DLLs are.
    bool Signal(DWORD event) {
        auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
            reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CtrlRoutine")));
        if (!routine) return false;
        HANDLE thread =
            CreateRemoteThread(process_, nullptr, 0, routine,
                               reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(event)), 0, nullptr);
        if (!thread) return false;
        CloseHandle(thread);
        return true;
    }

    Result Finish(const std::string& what) {
        Result r;
        if (!started_) {
            g_failures.push_back(what + ": cannot start (error " + std::to_string(startError_) + ")");
            r.code = -1;
            return r;
        }
        if (WaitForSingleObject(process_, 60000) != WAIT_OBJECT_0) {
            g_failures.push_back(what + ": still running after 60 s");
            TerminateProcess(process_, 99);
            WaitForSingleObject(process_, INFINITE);
        }
        outReader_.join();
        errReader_.join();
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        r.out = Normalise(out_);
        r.err = Normalise(err_);
        r.code = static_cast<int>(code);
        return r;
    }

private:
    static void ReadAll(HANDLE pipe, std::string* into) {
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got > 0) into->append(chunk, got);
        CloseHandle(pipe);
    }

    bool started_ = false;
    DWORD startError_ = 0;
    HANDLE process_ = nullptr;
    std::string out_, err_;
    std::thread outReader_, errReader_;
};

std::string Show(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += "\n    | " + l;
    return s;
}

void Compare(const Step& step, const Result& got) {
    Result want{step.out, step.err, step.code};
    DropTrailingBlanks(want.out);
    if (got == want) return;
    g_failures.push_back(step.raw + "\n  expected (code " + std::to_string(want.code) +
                         "):" + Show(want.out) + "\n  stderr:" + Show(want.err) + "\n  got (code " +
                         std::to_string(got.code) + "):" + Show(got.out) + "\n  stderr:" + Show(got.err));
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string MakeTempDirectory(const char* prefix) {
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    for (unsigned n = GetCurrentProcessId();; ++n) {
        std::string dir = std::string(base) + prefix + std::to_string(n);
        if (CreateDirectoryA(dir.c_str(), nullptr)) return dir;
    }
}

void RemoveTree(const std::string& dir) {
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            std::string path = dir + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileA(path.c_str());
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    RemoveDirectoryA(dir.c_str());
}

// Asked through quelt-sim, which opens no card: an open of quelt would stand
// in the way of the normal connection a background command may be making.
int StatusField(const std::string& device, const std::string& field) {
    Process p("quelt-sim status " + device + " --json");
    Result r = p.Finish("quelt-sim status");
    const std::regex count("\"" + field + "\": (\\d+)");
    std::smatch m;
    for (const auto& line : r.out)
        if (std::regex_search(line, m, count)) return std::stoi(m[1]);
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: test_wine_tools FILE\n";
        return 2;
    }
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    g_binDir = self;
    g_binDir.resize(g_binDir.find_last_of('\\'));
    const std::vector<Step> steps = Parse(argv[1]);

    // A machine of the run's own (the simulated flavour), and a working folder
    // for the files commands write.
    g_root = MakeTempDirectory("quelt-transcript-");
    g_work = MakeTempDirectory("quelt-transcript-work-");
    SetEnvironmentVariableA("QUELT_SIM_ROOT", g_root.c_str());

    std::unique_ptr<Process> background;
    int commands = 0;
    for (const Step& step : steps) {
        switch (step.kind) {
            case '%': {
                std::string tool = step.arg.substr(0, step.arg.find(' '));
                if (!Exists(g_binDir + "\\" + tool + ".exe")) break;
                Process p(step.arg);
                Result r = p.Finish(step.raw);
                if (r.code != 0)
                    g_failures.push_back(step.raw + ": setup failed with code " + std::to_string(r.code));
                break;
            }
            case '$': {
                Process p(step.arg);
                Compare(step, p.Finish(step.raw));
                ++commands;
                break;
            }
            case '&':
                background = std::make_unique<Process>(step.arg);
                break;
            case '~': {
                std::istringstream words(step.arg);
                std::string device, field = "waits";
                words >> device >> field;
                bool pending = false;
                for (DWORD start = GetTickCount(); GetTickCount() - start < 20000;) {
                    if (!background || !background->Running()) break;
                    if (StatusField(device, field) >= 1) {
                        pending = true;
                        break;
                    }
                    Sleep(50);
                }
                if (!pending)
                    g_failures.push_back(step.raw + ": no wait became pending in the background command");
                break;
            }
            case '^':
                if (!background || !background->Signal(step.arg == "int" ? CTRL_C_EVENT : CTRL_CLOSE_EVENT))
                    g_failures.push_back(step.raw + ": could not deliver the console control event");
                break;
            case '=':
                if (!background) {
                    g_failures.push_back(step.raw + ": no background command");
                    break;
                }
                Compare(step, background->Finish(step.raw));
                background.reset();
                ++commands;
                break;
            default:
                break;
        }
    }
    background.reset();
    RemoveTree(g_root);
    RemoveTree(g_work);

    for (const auto& f : g_failures) std::cout << "FAIL: " << f << "\n";
    std::string name = argv[1];
    name = name.substr(name.find_last_of("\\/") + 1);
    if (!g_failures.empty()) {
        std::cout << name << ": " << g_failures.size() << " failure(s)\n";
        return 1;
    }
    std::cout << name << ": " << commands << " commands as transcribed\n";
    return 0;
}
