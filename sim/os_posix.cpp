// sim/os.h on Linux: descriptors, shared mappings, flock, robust
// process-shared mutexes, a futex per card, and open-file-description locks
// for the handle slots.
#include <fcntl.h>
#include <linux/futex.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "sim/os.h"

namespace sim::os {

Failure LastFailure() {
    switch (errno) {
        case ENOENT:
            return Failure::NotFound;
        case EMFILE:
        case ENFILE:
            return Failure::TooManyFiles;
        case ENOLCK:
            return Failure::NoLock;
        default:
            return Failure::Other;
    }
}

std::string LastErrorText() {
    return std::strerror(errno);
}

// --- Files ---

namespace {

int Fd(File file) {
    return static_cast<int>(file);
}

}  // namespace

File OpenFile(const std::string& path, Access access) {
    int flags = O_CLOEXEC;
    switch (access) {
        case Access::Read:
            flags |= O_RDONLY;
            break;
        case Access::ReadWrite:
            flags |= O_RDWR;
            break;
        case Access::Create:
            flags |= O_RDWR | O_CREAT | O_TRUNC;
            break;
        case Access::OpenAlways:
            flags |= O_RDWR | O_CREAT;
            break;
    }
    int fd = ::open(path.c_str(), flags, 0600);
    return fd < 0 ? kNoFile : fd;
}

void CloseFile(File file) {
    if (file != kNoFile) ::close(Fd(file));
}

bool FileSize(File file, std::uint64_t* size) {
    struct stat st {};
    if (::fstat(Fd(file), &st) != 0) return false;
    *size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool ReadAt(File file, void* buffer, std::size_t size, std::uint64_t offset) {
    ssize_t got = ::pread(Fd(file), buffer, size, static_cast<off_t>(offset));
    return got == static_cast<ssize_t>(size);
}

bool WriteAt(File file, const void* buffer, std::size_t size, std::uint64_t offset) {
    ssize_t put = ::pwrite(Fd(file), buffer, size, static_cast<off_t>(offset));
    return put == static_cast<ssize_t>(size);
}

bool SetFileSize(File file, std::uint64_t size) {
    return ::ftruncate(Fd(file), static_cast<off_t>(size)) == 0;
}

void* MapFile(File file, std::uint64_t offset, std::size_t size) {
    void* base =
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, Fd(file), static_cast<off_t>(offset));
    return base == MAP_FAILED ? nullptr : base;
}

void UnmapFile(void* base, std::size_t size) {
    if (base) ::munmap(base, size);
}

void* AllocatePages(std::size_t size) {
    void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return base == MAP_FAILED ? nullptr : base;
}

void FreePages(void* base, std::size_t size) {
    if (base) ::munmap(base, size);
}

bool LockFile(File file, bool exclusive) {
    while (::flock(Fd(file), exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// --- Paths ---

PathKind KindOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return PathKind::Missing;
    return S_ISDIR(st.st_mode) ? PathKind::Directory : PathKind::Other;
}

bool RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool RenameOver(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool MakeDirectory(const std::string& path) {
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

bool MakeDirectories(const std::string& path, std::string* why) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) {
        *why = ec.message();
        return false;
    }
    ::chmod(path.c_str(), 0700);
    return true;
}

bool RemoveTree(const std::string& path, std::string* why) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    if (ec) *why = ec.message();
    return !ec;
}

std::string MakeTempDirectory() {
    char templ[] = "/dev/shm/quelt-sim-test-XXXXXX";
    if (!::mkdtemp(templ)) return "";
    return templ;
}

std::string DefaultRoot() {
    return "/dev/shm/quelt-sim-" + std::to_string(::getuid());
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool StampOf(const std::string& path, FileStamp* stamp) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    *stamp = FileStamp{{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                        static_cast<std::uint64_t>(st.st_size), static_cast<std::uint64_t>(st.st_mtim.tv_sec),
                        static_cast<std::uint64_t>(st.st_mtim.tv_nsec),
                        static_cast<std::uint64_t>(st.st_ctim.tv_sec),
                        static_cast<std::uint64_t>(st.st_ctim.tv_nsec)}};
    return true;
}

// --- Cross-process mutex ---

void InitSharedMutex(SharedMutex* mutex) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&mutex->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

Locked LockSharedMutex(SharedMutex* mutex) {
    if (pthread_mutex_lock(&mutex->mutex) != EOWNERDEAD) return Locked::Normally;
    // The caller repairs before anyone else can look: marking it consistent
    // now only keeps the mutex usable after this holder unlocks.
    pthread_mutex_consistent(&mutex->mutex);
    return Locked::OwnerDied;
}

void UnlockSharedMutex(SharedMutex* mutex) {
    pthread_mutex_unlock(&mutex->mutex);
}

// --- Waking ---

void InitWakeWord(WakeWord* word) {
    word->value = 0;
}

std::uint32_t WakeTicket(WakeWord* word) {
    return std::atomic_ref<std::uint32_t>(word->value).load(std::memory_order_acquire);
}

void WakeAll(WakeWord* word) {
    std::atomic_ref<std::uint32_t>(word->value).fetch_add(1, std::memory_order_release);
    ::syscall(SYS_futex, &word->value, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

Deadline DeadlineAfter(std::uint64_t units) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t ns = static_cast<std::uint64_t>(now.tv_nsec) + (units % 10000000) * 100;
    timespec end{};
    end.tv_sec = now.tv_sec + static_cast<time_t>(units / 10000000 + ns / 1000000000);
    end.tv_nsec = static_cast<long>(ns % 1000000000);
    return end;
}

bool Passed(const Deadline& deadline) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

std::uint64_t MonotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

void Sleep(WakeWord* word, std::uint32_t ticket, const Deadline& deadline) {
    // The kernel compares the word with ticket under its own lock: a wake
    // after the caller's read has changed it, and the call returns at once.
    ::syscall(SYS_futex, &word->value, FUTEX_WAIT_BITSET, ticket, &deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

// --- Handle slots ---

namespace {

// Far beyond any card file: the locks cover no byte anyone reads.
constexpr off_t kSlotBase = off_t{1} << 40;

bool SetLock(int fd, short type, off_t start) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = 1;
    while (::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

}  // namespace

void InitSlotBook(SlotBook*) {}

int ClaimSlot(File file, SlotBook*) {
    const int fd = Fd(file);
    for (int slot = 0; slot < kSlotLimit; ++slot) {
        // A write lock first: it is only granted on a byte nobody locks.
        if (SetLock(fd, F_WRLCK, kSlotBase + slot)) {
            if (SetLock(fd, F_RDLCK, kSlotBase + slot)) return slot;
            int saved = errno;
            SetLock(fd, F_UNLCK, kSlotBase + slot);
            errno = saved;
            return -1;
        }
        if (errno != EAGAIN && errno != EACCES) return -1;
    }
    errno = ENOLCK;
    return -1;
}

bool MarkSlot(File file, SlotBook*, int slot, bool waiting) {
    return SetLock(Fd(file), waiting ? F_WRLCK : F_RDLCK, kSlotBase + slot);
}

void ReleaseSlot(File file, SlotBook*, int slot) {
    SetLock(Fd(file), F_UNLCK, kSlotBase + slot);
}

bool SlotHeld(File file, SlotBook*, int slot) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = kSlotBase + slot;
    fl.l_len = 1;
    return ::fcntl(Fd(file), F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

bool CountHandles(File file, SlotBook*, HandleCounts* counts) {
    HandleCounts n;
    // The kernel reports one conflicting lock of a range, not necessarily the
    // lowest: split the range around each one found.
    std::vector<std::pair<off_t, off_t>> ranges{{kSlotBase, kSlotBase + kSlotLimit}};
    while (!ranges.empty()) {
        auto [from, to] = ranges.back();
        ranges.pop_back();
        if (from >= to) continue;
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = from;
        fl.l_len = to - from;
        if (::fcntl(Fd(file), F_OFD_GETLK, &fl) != 0) return false;
        if (fl.l_type == F_UNLCK) continue;
        off_t lo = std::max(fl.l_start, from);
        off_t hi = fl.l_len == 0 ? to : std::min(fl.l_start + fl.l_len, to);
        n.attached += static_cast<std::int32_t>(hi - lo);
        if (fl.l_type == F_WRLCK) n.waiting += static_cast<std::uint32_t>(hi - lo);
        ranges.emplace_back(from, lo);
        ranges.emplace_back(hi, to);
    }
    *counts = n;
    return true;
}

}  // namespace sim::os
