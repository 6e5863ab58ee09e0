// A small check harness for the Windows test program that runs under Wine.
// It loads quelt_ox952.dll by name and runs every registered check; each area
// of the library adds its own tests/wine/checks_<area>.cpp:
//
//   WINE_CHECK(InterfaceVersionIs318) {
//       QUELT_REQUIRE_EXPORT(version, OX952_InterfaceVersion);
//       EXPECT_EQ(version(), 318u);
//   }
//
// Exports are resolved with GetProcAddress by name, so a missing export is a
// clear failure of the checks that need it, not a program that cannot start.
//
// A check that needs other processes runs this program again in a child role
// (WINE_CHILD, wine::Child): the child loads the library the same way, does
// its part and reports lines on its standard output.
#pragma once

// windows.h first: the other system headers build on it. Checks get SetupAPI
// and the version functions from here too.
#include <windows.h>
// clang-format off
#include <setupapi.h>
#include <winver.h>
// clang-format on

#include <cstdint>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "quelt_ox952.h"

namespace wine {

using CheckBody = void (*)();
bool Register(const char* name, CheckBody body, const char* file);

// Marks the running check failed with a message located at file:line.
void Fail(const char* file, int line, const std::string& message);

// The loaded library (never null while checks run) and its full path.
HMODULE Library();
std::string LibraryPath();

// The export's address, or null after recording a failure.
FARPROC Resolve(const char* name, const char* file, int line);

// A fresh empty directory for the running check (removed with its contents
// after the check); Windows path without a trailing backslash.
std::string TempDirectory();

// --- Child processes ---
using ChildBody = int (*)(const std::vector<std::string>& args);
bool RegisterChild(const char* role, ChildBody body);

// This program run again as `role` with args, its standard output piped here.
// The child inherits this process's environment as it is when it starts. The
// destructor ends a child still running.
class Child {
public:
    Child(const std::string& role, const std::vector<std::string>& args = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return process_ != nullptr; }
    DWORD pid() const { return pid_; }
    // The next line of its output without the line end; empty once it ended
    // or after timeoutMs.
    std::string ReadLine(DWORD timeoutMs);
    // Reads lines until one starts with prefix; returns it, or "" (after
    // recording a failure) when the child ended or the time passed first.
    std::string AwaitLine(const std::string& prefix, DWORD timeoutMs = 20000);
    // Its exit code, or -1 (after recording a failure) when it is still
    // running after timeoutMs.
    int Wait(DWORD timeoutMs = 20000);
    // Ends it as TerminateProcess does: no code of the child runs any more.
    void Kill();

private:
    HANDLE process_ = nullptr;
    HANDLE output_ = nullptr;
    DWORD pid_ = 0;
    std::string buffered_;
};

// GetProcAddress's generic pointer as the export's real type (through the
// generic function type, which the compiler accepts without a warning).
template <typename F>
F FunctionCast(FARPROC address) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(address));
}

template <typename T>
std::string Show(const T& value) {
    std::ostringstream out;
    if constexpr (std::is_pointer_v<T>) {
        out << static_cast<const void*>(value);
    } else if constexpr (std::is_integral_v<T> && sizeof(T) > 1) {
        out << +value << " (0x" << std::hex << +value << ")";
    } else {
        out << +value;
    }
    return out.str();
}
inline std::string Show(const std::string& value) {
    return "\"" + value + "\"";
}
inline std::string Show(const char* value) {
    return value ? "\"" + std::string(value) + "\"" : "(null)";
}
inline std::string Show(char* value) {
    return Show(static_cast<const char*>(value));
}

template <typename A, typename B>
bool CompareEq(const A& a, const B& b, const char* ea, const char* eb, const char* file, int line) {
    bool equal;
    if constexpr (std::is_integral_v<A> && std::is_integral_v<B>) {
        equal = std::cmp_equal(a, b);
    } else if constexpr ((std::is_same_v<std::decay_t<A>, const char*> ||
                          std::is_same_v<std::decay_t<A>, char*>)&&(std::is_same_v<std::decay_t<B>,
                                                                                   const char*> ||
                                                                    std::is_same_v<std::decay_t<B>, char*>)) {
        equal = (a == nullptr || b == nullptr) ? a == b : std::string(a) == std::string(b);
    } else {
        equal = a == b;
    }
    if (!equal)
        Fail(file, line,
             std::string(ea) + " == " + eb + "\n    left:  " + Show(a) + "\n    right: " + Show(b));
    return equal;
}

}  // namespace wine

#define WINE_CHILD(role)                                                \
    static int wine_child_##role(const std::vector<std::string>& args); \
    [[maybe_unused]] static const bool wine_child_registered_##role =   \
        wine::RegisterChild(#role, wine_child_##role);                  \
    static int wine_child_##role([[maybe_unused]] const std::vector<std::string>& args)

#define WINE_CHECK(name)                                        \
    static void wine_check_##name();                            \
    [[maybe_unused]] static const bool wine_registered_##name = \
        wine::Register(#name, wine_check_##name, __FILE__);     \
    static void wine_check_##name()

#define EXPECT_TRUE(cond) ((cond) ? true : (wine::Fail(__FILE__, __LINE__, "expected true: " #cond), false))
#define EXPECT_FALSE(cond) \
    (!(cond) ? true : (wine::Fail(__FILE__, __LINE__, "expected false: " #cond), false))
#define EXPECT_EQ(a, b) wine::CompareEq((a), (b), #a, #b, __FILE__, __LINE__)
#define EXPECT_NE(a, b) \
    (!((a) == (b)) ? true : (wine::Fail(__FILE__, __LINE__, "expected " #a " != " #b), false))
#define ASSERT_TRUE(cond)               \
    do {                                \
        if (!EXPECT_TRUE(cond)) return; \
    } while (0)
#define ASSERT_EQ(a, b)               \
    do {                              \
        if (!EXPECT_EQ(a, b)) return; \
    } while (0)

// The export fn of the library as a typed function pointer, or null (failure recorded).
#define QUELT_EXPORT(fn) wine::FunctionCast<decltype(&::fn)>(wine::Resolve(#fn, __FILE__, __LINE__))
// Declares var as the export fn; ends the check when it is missing.
#define QUELT_REQUIRE_EXPORT(var, fn) \
    auto var = QUELT_EXPORT(fn);      \
    if (var == nullptr) return
