// PSAPI on POSIX: the process list, read from /proc.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/posix/test_hooks.h"
#include "platform/win32.h"

namespace {

std::mutex hookMutex;
bool failEnum = false;
DWORD failError = ERROR_ACCESS_DENIED;

// A process that has ended but was not yet reaped by its parent no longer
// runs; it must not keep its connection slots alive.
bool IsRunning(const char* pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%s/stat", pid);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;  // gone meanwhile
    char buffer[512];
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (n <= 0) return false;
    buffer[n] = '\0';
    // "pid (comm) S ...": comm may hold spaces and parentheses, the state
    // follows the last ')'.
    const char* close = std::strrchr(buffer, ')');
    if (close == nullptr || close[1] != ' ' || close[2] == '\0') return true;
    return close[2] != 'Z' && close[2] != 'X' && close[2] != 'x';
}

}  // namespace

void posix_test::FailEnumProcesses(bool fail, DWORD error) {
    std::lock_guard lock(hookMutex);
    failEnum = fail;
    failError = error;
}

// Lists the ids of the running processes, as PSAPI does: cb is the buffer's
// size in bytes; at most cb / 4 ids are written and *bytesReturned is the
// number of bytes written. A full buffer (bytesReturned == cb) may mean the
// list was cut short, and the caller asks again with more room. Processes
// that ended but are not yet reaped are left out. Null bytesReturned, or a
// null buffer with a non-zero size, fails with ERROR_NOACCESS. Reads /proc;
// does not block.
BOOL EnumProcesses(DWORD* processIds, DWORD cb, DWORD* bytesReturned) {
    {
        std::lock_guard lock(hookMutex);
        if (failEnum) {
            SetLastError(failError);
            return FALSE;
        }
    }
    if (bytesReturned == nullptr || (processIds == nullptr && cb != 0)) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr) {
        SetLastError(errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const DWORD capacity = cb / sizeof(DWORD);
    DWORD count = 0;
    while (count < capacity) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) break;
        const char* name = entry->d_name;
        char* end = nullptr;
        const unsigned long pid = std::strtoul(name, &end, 10);
        if (name[0] < '1' || name[0] > '9' || *end != '\0' || pid > 0xFFFFFFFFul) continue;
        if (!IsRunning(name)) continue;
        processIds[count++] = static_cast<DWORD>(pid);
    }
    ::closedir(dir);
    *bytesReturned = count * static_cast<DWORD>(sizeof(DWORD));
    return TRUE;
}
