// PSAPI on POSIX: the process list, read from /proc in one pass over its
// directory, with no file read per process.
#include <dirent.h>

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

DWORD ErrorOf(int error) {
    if (error == EMFILE || error == ENFILE) return ERROR_TOO_MANY_OPEN_FILES;
    if (error == ENOMEM) return ERROR_NOT_ENOUGH_MEMORY;
    return ERROR_ACCESS_DENIED;
}

}  // namespace

void posix_test::FailEnumProcesses(bool fail, DWORD error) {
    std::lock_guard lock(hookMutex);
    failEnum = fail;
    failError = error;
}

// Lists the ids of the processes, as PSAPI does: cb is the buffer's size in
// bytes; at most cb / 4 ids are written and *bytesReturned is the number of
// bytes written. A full buffer (bytesReturned == cb) may mean the list was cut
// short, and the caller asks again with more room. Every process that runs is
// listed; so is one that has ended but that its parent has not reaped yet,
// since telling it apart would take a read per process, and a read that fails
// (no descriptor left, say) would leave a running process out. Fails, writing
// nothing useful, when /proc cannot be read whole: no descriptor left
// (ERROR_TOO_MANY_OPEN_FILES), no memory (ERROR_NOT_ENOUGH_MEMORY), else
// ERROR_ACCESS_DENIED. Null bytesReturned, or a null buffer with a non-zero
// size, fails with ERROR_NOACCESS. Does not block.
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
        SetLastError(ErrorOf(errno));
        return FALSE;
    }
    const DWORD capacity = cb / sizeof(DWORD);
    DWORD count = 0;
    int error = 0;
    while (count < capacity) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            error = errno;
            break;
        }
        const char* name = entry->d_name;
        char* end = nullptr;
        const unsigned long pid = std::strtoul(name, &end, 10);
        if (name[0] < '1' || name[0] > '9' || *end != '\0' || pid > 0xFFFFFFFFul) continue;
        processIds[count++] = static_cast<DWORD>(pid);
    }
    ::closedir(dir);
    if (error != 0) {
        SetLastError(ErrorOf(error));
        return FALSE;
    }
    *bytesReturned = count * static_cast<DWORD>(sizeof(DWORD));
    return TRUE;
}
