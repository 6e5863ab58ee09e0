// kernel32 on POSIX: handles, files, devices, errors, threads and time, with
// the Windows behaviour the library relies on.
//
// Handles are entries of one process-wide table. A handle value is never null
// or INVALID_HANDLE_VALUE and is never reused, so a stale handle is reported as
// ERROR_INVALID_HANDLE instead of reaching some other object. File handles keep
// the Windows sharing rules among the handles of this process: an open that
// conflicts with another handle's share mode fails with
// ERROR_SHARING_VIOLATION, and a file held open without FILE_SHARE_DELETE can be
// neither deleted nor renamed. Paths are Windows style: backslashes are read as
// slashes.
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/fork_safe.h"
#include "platform/posix/test_hooks.h"
#include "platform/sim_device.h"
#include "platform/win32.h"
#include "sim/driver.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

// One open handle. The object lives as long as any call is still using it, so
// a CloseHandle racing with a DeviceIoControl on another thread never frees the
// device under the request: the device is closed when the last user lets go.
struct HandleObject {
    enum class Kind { File, Device };
    Kind kind = Kind::File;
    int fd = -1;
    sim::driver::Device* device = nullptr;
    dev_t dev = 0;
    ino_t ino = 0;
    DWORD access = 0;  // normalised to GENERIC_READ / GENERIC_WRITE / DELETE bits
    DWORD share = 0;

    HandleObject() = default;
    HandleObject(const HandleObject&) = delete;
    HandleObject& operator=(const HandleObject&) = delete;
    ~HandleObject() {
        if (device != nullptr) sim::driver::Close(device);
        if (fd >= 0) ::close(fd);
    }
};

struct HandleTable {
    std::unordered_map<std::uintptr_t, std::shared_ptr<HandleObject>> entries;
    std::uintptr_t next = 0x1000;  // multiples of 4, as Windows hands them out
};

fork_safe::Guarded<HandleTable>& Table() {
    return fork_safe::ProcessWide<HandleTable>();
}

HANDLE Insert(std::shared_ptr<HandleObject> object) {
    auto& [mutex, table] = Table();
    std::lock_guard lock(mutex);
    const std::uintptr_t value = table.next;
    table.next += 4;
    table.entries.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> Find(HANDLE handle) {
    auto& [mutex, table] = Table();
    std::lock_guard lock(mutex);
    auto it = table.entries.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == table.entries.end()) return nullptr;
    return it->second;
}

std::string PosixPath(const char* path) {
    std::string p(path);
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string ParentOf(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const auto slash = p.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return p.substr(0, slash);
}

// The Win32 error Windows reports for the errno of a call on path. Windows
// tells a missing file (ERROR_FILE_NOT_FOUND) from a missing directory on the
// way to it (ERROR_PATH_NOT_FOUND).
DWORD ErrorFromErrno(int error, const std::string& path) {
    switch (error) {
        case ENOENT: {
            struct stat st;
            const std::string parent = ParentOf(path);
            if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
            return ERROR_FILE_NOT_FOUND;
        }
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case EBUSY:
        case ETXTBSY:
            return ERROR_SHARING_VIOLATION;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EXDEV:
            return ERROR_NOT_SAME_DEVICE;
        case EINVAL:
            return ERROR_INVALID_NAME;
        default:
            return ERROR_GEN_FAILURE;
    }
}

DWORD NormaliseAccess(DWORD access) {
    DWORD out = 0;
    if (access & (GENERIC_READ | GENERIC_ALL | 0x1u /*FILE_READ_DATA*/)) out |= GENERIC_READ;
    if (access & (GENERIC_WRITE | GENERIC_ALL | 0x2u /*FILE_WRITE_DATA*/ | 0x4u /*FILE_APPEND_DATA*/))
        out |= GENERIC_WRITE;
    if (access & (DELETE | GENERIC_ALL)) out |= DELETE;
    return out;
}

// Windows admits a new open only when each side's share mode allows what the
// other side asks for.
bool SharesWith(DWORD accessA, DWORD shareA, DWORD accessB, DWORD shareB) {
    auto allows = [](DWORD access, DWORD share) {
        if ((access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return false;
        if ((access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return false;
        if ((access & DELETE) && !(share & FILE_SHARE_DELETE)) return false;
        return true;
    };
    return allows(accessA, shareB) && allows(accessB, shareA);
}

// Caller holds the table lock.
bool ConflictsLocked(const HandleTable& table, dev_t dev, ino_t ino, DWORD access, DWORD share) {
    for (const auto& [value, object] : table.entries) {
        if (object->kind != HandleObject::Kind::File || object->dev != dev || object->ino != ino) continue;
        if (!SharesWith(access, share, object->access, object->share)) return true;
    }
    return false;
}

// Whether a handle of this process keeps path from being deleted or renamed.
bool HeldWithoutShareDelete(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return false;
    auto& [mutex, table] = Table();
    std::lock_guard lock(mutex);
    return ConflictsLocked(table, st.st_dev, st.st_ino, DELETE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
}

HANDLE Fail(DWORD error) {
    lastError = error;
    return INVALID_HANDLE_VALUE;
}

// open(2) flags for a normalised access mask.
int OpenFlagsFor(DWORD access) {
    int mode = O_RDONLY;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE))
        mode = O_RDWR;
    else if (access & GENERIC_WRITE)
        mode = O_WRONLY;
    // O_NONBLOCK: opening a FIFO must not wait for its other end.
    return mode | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
}

// The descriptor a creation disposition opens, or -1 with errno set.
// *existed: the file was there before; *created: this call made it.
int OpenByDisposition(const std::string& path, int flags, DWORD disposition, bool* existed, bool* created) {
    *existed = false;
    *created = false;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        switch (disposition) {
            case CREATE_NEW:
                fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0666);
                if (fd >= 0) *created = true;
                break;
            case CREATE_ALWAYS:
            case OPEN_ALWAYS:
                // Exclusive create first, so the result can say whether the file
                // was there (ERROR_ALREADY_EXISTS), as Windows does.
                fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0666);
                if (fd >= 0) {
                    *created = true;
                } else if (errno == EEXIST) {
                    fd = ::open(path.c_str(), flags);
                    if (fd >= 0)
                        *existed = true;
                    else if (errno == ENOENT)
                        continue;  // removed meanwhile: try again
                }
                break;
            default:  // OPEN_EXISTING, TRUNCATE_EXISTING
                fd = ::open(path.c_str(), flags);
                break;
        }
        if (fd < 0) break;
    }
    return fd;
}

// The Win32 error for a failed open(2) of path.
DWORD OpenError(int error, const std::string& path) {
    if (error == EEXIST) return ERROR_FILE_EXISTS;
    if (error == EISDIR) return ERROR_ACCESS_DENIED;
    return ErrorFromErrno(error, path);
}

// What Windows would refuse of a freshly opened descriptor, checked with the
// handle table locked: a directory (opened only with backup semantics, which
// the library never asks for), a sharing conflict with another handle of this
// process, and a truncation that fails. ERROR_SUCCESS when the handle may be
// made; truncation waits for the sharing check, so a refused open changes
// nothing.
DWORD AdmitOpenLocked(const HandleTable& table, int fd, const std::string& path, DWORD access,
                      DWORD shareMode, bool created, bool truncate, struct stat* st) {
    if (::fstat(fd, st) != 0) return ErrorFromErrno(errno, path);
    if (S_ISDIR(st->st_mode)) return ERROR_ACCESS_DENIED;
    if (!created && ConflictsLocked(table, st->st_dev, st->st_ino, access, shareMode))
        return ERROR_SHARING_VIOLATION;
    if (truncate && ::ftruncate(fd, 0) != 0) return ErrorFromErrno(errno, path);
    return ERROR_SUCCESS;
}

HANDLE InsertFileLocked(HandleTable& table, int fd, const struct stat& st, DWORD access, DWORD shareMode) {
    auto object = std::make_shared<HandleObject>();
    object->kind = HandleObject::Kind::File;
    object->fd = fd;
    object->dev = st.st_dev;
    object->ino = st.st_ino;
    object->access = access;
    object->share = shareMode;
    const std::uintptr_t value = table.next;
    table.next += 4;
    table.entries.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

HANDLE OpenPlainFile(const char* fileName, DWORD desiredAccess, DWORD shareMode, DWORD disposition) {
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) return Fail(ERROR_INVALID_PARAMETER);
    const DWORD access = NormaliseAccess(desiredAccess);
    if (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE)) return Fail(ERROR_INVALID_PARAMETER);
    const std::string path = PosixPath(fileName);
    if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);

    // The sharing check and the open are one step for this process's handles.
    auto& [mutex, table] = Table();
    std::lock_guard lock(mutex);

    bool existed = false;
    bool created = false;
    const int fd = OpenByDisposition(path, OpenFlagsFor(access), disposition, &existed, &created);
    if (fd < 0) return Fail(OpenError(errno, path));

    const bool truncate = (disposition == CREATE_ALWAYS && existed) || disposition == TRUNCATE_EXISTING;
    struct stat st;
    if (const DWORD refused = AdmitOpenLocked(table, fd, path, access, shareMode, created, truncate, &st);
        refused != ERROR_SUCCESS) {
        ::close(fd);
        return Fail(refused);
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

    const HANDLE handle = InsertFileLocked(table, fd, st, access, shareMode);
    lastError = (existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS))
                    ? ERROR_ALREADY_EXISTS
                    : ERROR_SUCCESS;
    return handle;
}

}  // namespace

// Opens a device of the simulated card driver or a plain file.
// Device paths go to the simulator (which sets the error on failure). Plain
// files keep the Windows dispositions: CREATE_NEW fails with ERROR_FILE_EXISTS
// on an existing file, OPEN_EXISTING / TRUNCATE_EXISTING fail with
// ERROR_FILE_NOT_FOUND (or ERROR_PATH_NOT_FOUND when a directory on the way is
// missing), CREATE_ALWAYS / OPEN_ALWAYS succeed on an existing file and leave
// ERROR_ALREADY_EXISTS. Directories are refused with ERROR_ACCESS_DENIED. Share
// modes are enforced against this process's other handles. Never blocks on the
// file (FIFOs are opened without waiting); a device open may wait for the
// simulator's lock.
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD, HANDLE) {
    if (fileName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (sim::driver::IsDevicePath(fileName)) {
        DWORD error = ERROR_GEN_FAILURE;
        sim::driver::Device* device = sim_device::Open(fileName, creationDisposition, &error);
        if (device == nullptr) return Fail(error);
        auto object = std::make_shared<HandleObject>();
        object->kind = HandleObject::Kind::Device;
        object->device = device;
        object->access = NormaliseAccess(desiredAccess);
        object->share = shareMode;
        HANDLE handle = Insert(std::move(object));
        lastError = ERROR_SUCCESS;
        return handle;
    }
    return OpenPlainFile(fileName, desiredAccess, shareMode, creationDisposition);
}

// Closes a file or device handle. Null, INVALID_HANDLE_VALUE and handles not
// (or no longer) open fail with ERROR_INVALID_HANDLE. A device is detached by
// the simulator once no request on another thread still uses the handle; the
// call itself does not wait for such a request.
BOOL CloseHandle(HANDLE handle) {
    std::shared_ptr<HandleObject> object;
    {
        auto& [mutex, table] = Table();
        std::lock_guard lock(mutex);
        auto it = table.entries.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == table.entries.end()) {
            lastError = ERROR_INVALID_HANDLE;
            return FALSE;
        }
        object = std::move(it->second);
        table.entries.erase(it);
    }
    object.reset();  // outside the table lock: closing a device may take the simulator's locks
    return TRUE;
}

// Sends one request to a device, synchronously, as on a handle opened without
// FILE_FLAG_OVERLAPPED: it blocks for as long as the simulated driver takes
// (a wait request until its time-out, an interrupt or a discard). Overlapped
// requests are not supported (ERROR_INVALID_PARAMETER); a file handle gets
// ERROR_INVALID_FUNCTION, a handle not open ERROR_INVALID_HANDLE; a null buffer
// with a non-zero size ERROR_NOACCESS, as the kernel's probe reports it.
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    if (overlapped != nullptr || bytesReturned == nullptr) {
        lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    std::shared_ptr<HandleObject> object = Find(device);
    if (object == nullptr) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (object->kind != HandleObject::Kind::Device) {
        *bytesReturned = 0;
        lastError = ERROR_INVALID_FUNCTION;
        return FALSE;
    }
    DWORD error = ERROR_SUCCESS;
    if (sim_device::Request(object->device, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
                            bytesReturned, overlapped, &error))
        return TRUE;
    lastError = error;
    return FALSE;
}

// Deletes a file. A missing file is ERROR_FILE_NOT_FOUND (ERROR_PATH_NOT_FOUND
// for a missing directory on the way), a directory ERROR_ACCESS_DENIED, a file
// that a handle of this process holds without FILE_SHARE_DELETE
// ERROR_SHARING_VIOLATION. Does not block.
BOOL DeleteFileA(LPCSTR fileName) {
    if (fileName == nullptr) {
        lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const std::string path = PosixPath(fileName);
    if (path.empty()) {
        lastError = ERROR_PATH_NOT_FOUND;
        return FALSE;
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        lastError = ErrorFromErrno(errno, path);
        return FALSE;
    }
    if (S_ISDIR(st.st_mode)) {
        lastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    if (HeldWithoutShareDelete(path)) {
        lastError = ERROR_SHARING_VIOLATION;
        return FALSE;
    }
    if (::unlink(path.c_str()) != 0) {
        lastError = ErrorFromErrno(errno, path);
        return FALSE;
    }
    return TRUE;
}

// Renames a file or directory. Like Windows, never replaces: an existing
// target (file or directory) fails with ERROR_ALREADY_EXISTS and both stay as
// they were. A missing source is ERROR_FILE_NOT_FOUND, a source held open
// without FILE_SHARE_DELETE ERROR_SHARING_VIOLATION, a target on another file
// system ERROR_NOT_SAME_DEVICE (no copy is made). Does not block.
BOOL MoveFileA(LPCSTR existingFileName, LPCSTR newFileName) {
    if (existingFileName == nullptr || newFileName == nullptr) {
        lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const std::string from = PosixPath(existingFileName);
    const std::string to = PosixPath(newFileName);
    if (from.empty() || to.empty()) {
        lastError = ERROR_PATH_NOT_FOUND;
        return FALSE;
    }
    if (!Exists(from)) {
        lastError = ErrorFromErrno(ENOENT, from);
        return FALSE;
    }
    if (HeldWithoutShareDelete(from)) {
        lastError = ERROR_SHARING_VIOLATION;
        return FALSE;
    }
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return TRUE;
    int error = errno;
    if (error == EINVAL || error == ENOSYS) {
        // File system without no-replace renames: a hard link refuses an
        // existing target just the same, and the source goes once linked.
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return TRUE;
        }
        error = errno;
        if (error == EPERM && !Exists(to)) {
            // Directories cannot be linked; test-then-rename is the best left.
            if (::rename(from.c_str(), to.c_str()) == 0) return TRUE;
            error = errno;
        }
    }
    if (error == EEXIST || error == ENOTEMPTY) {
        lastError = ERROR_ALREADY_EXISTS;
    } else if (error == ENOENT) {
        lastError = Exists(from) ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    } else {
        lastError = ErrorFromErrno(error, to);
    }
    return FALSE;
}

namespace {
std::mutex wow64Mutex;
std::string* wow64Directory = nullptr;  // null: no WOW64 directory
}  // namespace

void posix_test::SetWow64Directory(const char* dirOrNull) {
    std::lock_guard lock(wow64Mutex);
    delete wow64Directory;
    wow64Directory = dirOrNull != nullptr ? new std::string(dirOrNull) : nullptr;
}

std::size_t posix_test::OpenHandleCount() {
    auto& [mutex, table] = Table();
    std::lock_guard lock(mutex);
    return table.entries.size();
}

// Reports the WOW64 system directory. By default there is none, as on 32-bit
// Windows: returns 0 with ERROR_CALL_NOT_IMPLEMENTED. With a directory set by
// posix_test::SetWow64Directory: when it fits with its terminator, copies it
// and returns its length; otherwise writes nothing and returns the size needed
// including the terminator. Does not block.
UINT GetSystemWow64DirectoryA(LPSTR buffer, UINT size) {
    std::lock_guard lock(wow64Mutex);
    if (wow64Directory == nullptr) {
        lastError = ERROR_CALL_NOT_IMPLEMENTED;
        return 0;
    }
    const std::size_t length = wow64Directory->size();
    if (buffer == nullptr || length >= size) return static_cast<UINT>(length + 1);
    std::memcpy(buffer, wow64Directory->c_str(), length + 1);
    return static_cast<UINT>(length);
}

// The calling thread's last error, as Windows keeps it: per thread, changed
// only by failing calls (and the few successful calls that document it).
DWORD GetLastError() {
    return lastError;
}

// Sets the calling thread's last error only; never fails.
void SetLastError(DWORD error) {
    lastError = error;
}

// The POSIX process id, which is what the shared connection slots record and
// what EnumProcesses lists. Never fails.
DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(::getpid());
}

// Suspends the thread for at least the given milliseconds, resuming after
// signals; 0 gives up the rest of the time slice, INFINITE never returns, as
// on Windows.
void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        ::sched_yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;) ::pause();
    }
    struct timespec remaining;
    remaining.tv_sec = milliseconds / 1000;
    remaining.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

// Critical sections are recursive, as on Windows: the owning thread may enter
// again and must leave as often as it entered. Enter blocks until the section
// is free; Delete of an unowned section frees it.
void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&section->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutex_destroy(&section->mutex);
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutex_lock(&section->mutex);
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutex_unlock(&section->mutex);
}

// Atomic, full barrier; return the new value and wrap like the Windows calls.
LONG InterlockedIncrement(LONG volatile* addend) {
    return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile* addend) {
    return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
