// Test controls of the POSIX platform layer. They stand in for what a test
// cannot arrange on Linux: a WOW64 system directory, a failing process listing,
// and a user who reads the message boxes. The library never calls these.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace posix_test {

// Makes GetSystemWow64DirectoryA report dir (as 64-bit Windows would); null
// restores the default, no WOW64 directory (as 32-bit Windows). The text is
// copied; any length is allowed, so overlong directories can be tested.
void SetWow64Directory(const char* dirOrNull);

// While on, EnumProcesses fails with error and writes nothing.
void FailEnumProcesses(bool fail, DWORD error = ERROR_ACCESS_DENIED);

// One MessageBoxA call as the user would have seen it.
struct MessageRecord {
    std::string caption;  // byte-exact, line breaks included
    std::string text;
    UINT style = 0;
    HWND owner = nullptr;
};
// Every MessageBoxA call of this process since the last ClearMessages, in order.
std::vector<MessageRecord> Messages();
void ClearMessages();

// Number of kernel32 handles currently open in this process (files and
// devices), so tests can see that nothing was left open.
std::size_t OpenHandleCount();

}  // namespace posix_test
