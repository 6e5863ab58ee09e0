// sim/os.h on Windows: file handles and file mappings, whole-file locks with
// LockFileEx, and named kernel objects for what must be shared between
// processes: a mutex per lock, a semaphore per card that sleepers wait on, and
// an event per held handle slot. A named object lives while any process holds
// a handle to it, so what a dead process held goes with it.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "sim/os.h"

namespace sim::os {

namespace {

HANDLE H(File file) {
    return reinterpret_cast<HANDLE>(file);
}

template <typename T>
std::atomic_ref<T> Atomic(T& value) {
    return std::atomic_ref<T>(value);
}

// Text no other name of this machine has had: the process id, the
// performance counter and a count within the process.
std::string Unique() {
    static std::atomic<std::uint32_t> made{0};
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    char text[48];
    std::snprintf(
        text, sizeof text, "%08lx-%016llx-%08lx", static_cast<unsigned long>(::GetCurrentProcessId()),
        static_cast<unsigned long long>(now.QuadPart), static_cast<unsigned long>(made.fetch_add(1)));
    return text;
}

// The name of a new system object, in this session's namespace.
void MakeName(char* out, std::size_t size, char kind) {
    std::snprintf(out, size, "Local\\quelt-sim-%c%s", kind, Unique().c_str());
}

// The named mutexes and semaphores this process has opened, by name, kept for
// the process's life: each card needs a few, and a lookup allocates nothing.
enum class Kind { Mutex, Semaphore };
HANDLE Named(const char* name, Kind kind) {
    static std::mutex lock;
    static auto* opened = new std::map<std::string, HANDLE, std::less<>>();
    std::lock_guard g(lock);
    auto it = opened->find(std::string_view(name));
    if (it != opened->end()) return it->second;
    HANDLE h = nullptr;
    // Opened when it exists, made when not; a failure (no handles left) is
    // tried again, since a lock or a wake cannot be given up.
    for (;;) {
        h = kind == Kind::Mutex ? ::CreateMutexA(nullptr, FALSE, name)
                                : ::CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, name);
        if (h) break;
        ::Sleep(10);
    }
    opened->emplace(name, h);
    return h;
}

}  // namespace

// --- Errors ---

Failure LastFailure() {
    switch (::GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return Failure::NotFound;
        case ERROR_TOO_MANY_OPEN_FILES:
            return Failure::TooManyFiles;
        case ERROR_LOCK_VIOLATION:
            return Failure::NoLock;
        default:
            return Failure::Other;
    }
}

std::string LastErrorText() {
    const DWORD code = ::GetLastError();
    char text[256] = {};
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                               text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.'))
        --n;
    std::string out(text, n);
    if (out.empty()) out = "error " + std::to_string(code);
    ::SetLastError(code);
    return out;
}

// --- Files ---

File OpenFile(const std::string& path, Access access) {
    DWORD want = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    switch (access) {
        case Access::Read:
            break;
        case Access::ReadWrite:
            want |= GENERIC_WRITE;
            break;
        case Access::Create:
            want |= GENERIC_WRITE;
            disposition = CREATE_ALWAYS;
            break;
        case Access::OpenAlways:
            want |= GENERIC_WRITE;
            disposition = OPEN_ALWAYS;
            break;
    }
    // Shared for everything, deletion included, as a POSIX descriptor is: a
    // card is removed while other processes still map it. Not inherited.
    HANDLE h = ::CreateFileA(path.c_str(), want, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return kNoFile;
    ::SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<File>(h);
}

void CloseFile(File file) {
    if (file == kNoFile) return;
    const DWORD saved = ::GetLastError();
    ::CloseHandle(H(file));
    ::SetLastError(saved);
}

bool FileSize(File file, std::uint64_t* size) {
    LARGE_INTEGER n{};
    if (!::GetFileSizeEx(H(file), &n)) return false;
    *size = static_cast<std::uint64_t>(n.QuadPart);
    return true;
}

namespace {

OVERLAPPED At(std::uint64_t offset) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

}  // namespace

bool ReadAt(File file, void* buffer, std::size_t size, std::uint64_t offset) {
    auto* p = static_cast<char*>(buffer);
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(size < kMaxTransfer ? size : kMaxTransfer);
        OVERLAPPED o = At(offset);
        DWORD got = 0;
        if (!::ReadFile(H(file), p, chunk, &got, &o)) return false;
        if (got == 0) {
            ::SetLastError(ERROR_HANDLE_EOF);
            return false;
        }
        p += got;
        offset += got;
        size -= got;
    }
    return true;
}

bool WriteAt(File file, const void* buffer, std::size_t size, std::uint64_t offset) {
    const auto* p = static_cast<const char*>(buffer);
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(size < kMaxTransfer ? size : kMaxTransfer);
        OVERLAPPED o = At(offset);
        DWORD put = 0;
        if (!::WriteFile(H(file), p, chunk, &put, &o)) return false;
        if (put == 0) {
            ::SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        p += put;
        offset += put;
        size -= put;
    }
    return true;
}

bool SetFileSize(File file, std::uint64_t size) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    return ::SetFilePointerEx(H(file), at, nullptr, FILE_BEGIN) && ::SetEndOfFile(H(file));
}

namespace {

// Views start on the allocation granularity (64 KiB), card regions on pages.
std::uint64_t Granularity() {
    static const std::uint64_t granularity = [] {
        SYSTEM_INFO info{};
        ::GetSystemInfo(&info);
        return static_cast<std::uint64_t>(info.dwAllocationGranularity);
    }();
    return granularity;
}

}  // namespace

void* MapFile(File file, std::uint64_t offset, std::size_t size) {
    const std::uint64_t start = offset & ~(Granularity() - 1);
    const auto lead = static_cast<std::size_t>(offset - start);
    HANDLE section = ::CreateFileMappingA(H(file), nullptr, PAGE_READWRITE, 0, 0, nullptr);
    if (!section) return nullptr;
    // The view keeps the section, and the section the file, for as long as it
    // is mapped.
    void* view = ::MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_WRITE, static_cast<DWORD>(start >> 32),
                                 static_cast<DWORD>(start), size + lead);
    const DWORD error = ::GetLastError();
    ::CloseHandle(section);
    if (!view) {
        ::SetLastError(error);
        return nullptr;
    }
    return static_cast<char*>(view) + lead;
}

void UnmapFile(void* base, std::size_t) {
    if (!base) return;
    // The view began at the granularity boundary below base (see MapFile).
    const auto address = reinterpret_cast<std::uintptr_t>(base);
    ::UnmapViewOfFile(reinterpret_cast<void*>(address & ~static_cast<std::uintptr_t>(Granularity() - 1)));
}

void* AllocatePages(std::size_t size) {
    return ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreePages(void* base, std::size_t) {
    if (base) ::VirtualFree(base, 0, MEM_RELEASE);
}

bool LockFile(File file, bool exclusive) {
    OVERLAPPED o = At(0);
    return ::LockFileEx(H(file), exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0, 1, 0, &o) != 0;
}

// --- Paths ---

PathKind KindOf(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Directory : PathKind::Other;
}

bool RemoveFile(const std::string& path) {
    return ::DeleteFileA(path.c_str()) != 0;
}

bool RenameOver(const std::string& from, const std::string& to) {
    return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool MakeDirectory(const std::string& path) {
    return ::CreateDirectoryA(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

bool MakeDirectories(const std::string& path, std::string* why) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) {
        *why = ec.message();
        return false;
    }
    return true;
}

bool RemoveTree(const std::string& path, std::string* why) {
    // By hand: a file another process still maps cannot go, and that must end
    // the removal with an error, never hold it up.
    bool ok = true;
    WIN32_FIND_DATAA found{};
    HANDLE search = ::FindFirstFileA((path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            const std::string item = path + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                ok = RemoveTree(item, why) && ok;
            } else if (!::DeleteFileA(item.c_str())) {
                if (ok) *why = item + ": " + LastErrorText();
                ok = false;
            }
        } while (::FindNextFileA(search, &found));
        ::FindClose(search);
    }
    if (!::RemoveDirectoryA(path.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND &&
        ::GetLastError() != ERROR_PATH_NOT_FOUND) {
        if (ok) *why = path + ": " + LastErrorText();
        ok = false;
    }
    return ok;
}

std::string MakeTempDirectory() {
    char base[MAX_PATH + 1] = {};
    const DWORD n = ::GetTempPathA(sizeof base, base);
    if (n == 0 || n > MAX_PATH) return "";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = std::string(base) + "quelt-sim-test-" + Unique();
        if (::CreateDirectoryA(path.c_str(), nullptr)) return path;
        if (::GetLastError() != ERROR_ALREADY_EXISTS) return "";
    }
    return "";
}

std::string DefaultRoot() {
    // The user's local application data folder, which Windows keeps per user
    // and does not roam.
    const std::string local = Environment("LOCALAPPDATA");
    if (!local.empty()) return local + "\\quelt-sim";
    const std::string profile = Environment("USERPROFILE");
    if (!profile.empty()) return profile + "\\AppData\\Local\\quelt-sim";
    return "C:\\quelt-sim";
}

std::string Environment(const char* name) {
    // Not the C runtime's copy, which misses what a program sets through the
    // system (SetEnvironmentVariable) after it starts.
    char small[512];
    const DWORD n = ::GetEnvironmentVariableA(name, small, sizeof small);
    if (n == 0) return "";
    if (n < sizeof small) return std::string(small, n);
    std::string value(n, '\0');
    const DWORD got = ::GetEnvironmentVariableA(name, value.data(), n);
    value.resize(got < n ? got : 0);
    return value;
}

bool StampOf(const std::string& path, FileStamp* stamp) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
    auto time = [](const FILETIME& t) {
        return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    *stamp =
        FileStamp{{(static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow,
                   time(data.ftCreationTime), time(data.ftLastWriteTime), data.dwFileAttributes, 0, 0, 0}};
    return true;
}

// --- Cross-process mutex ---

void InitSharedMutex(SharedMutex* mutex) {
    MakeName(mutex->name, sizeof mutex->name, 'm');
    mutex->held = 0;
}

Locked LockSharedMutex(SharedMutex* mutex) {
    HANDLE h = Named(mutex->name, Kind::Mutex);
    const DWORD got = ::WaitForSingleObject(h, INFINITE);
    // A holder that died while another process had the mutex open leaves it
    // abandoned. One that died while nobody else had it open took the object
    // with it; its mark in the card file is then what tells.
    const bool died = got == WAIT_ABANDONED || Atomic(mutex->held).load() != 0;
    Atomic(mutex->held).store(1);
    return died ? Locked::OwnerDied : Locked::Normally;
}

void UnlockSharedMutex(SharedMutex* mutex) {
    Atomic(mutex->held).store(0);
    ::ReleaseMutex(Named(mutex->name, Kind::Mutex));
}

// --- Waking ---

void InitWakeWord(WakeWord* word) {
    word->value = 0;
    word->sleepers = 0;
    MakeName(word->name, sizeof word->name, 'w');
}

std::uint32_t WakeTicket(WakeWord* word) {
    return Atomic(word->value).load();
}

void WakeAll(WakeWord* word) {
    // The count moves before the sleepers are read, and a sleeper registers
    // before it reads the count (both in one total order): a sleeper either
    // sees the new count and does not sleep, or is counted here and woken.
    Atomic(word->value).fetch_add(1);
    const std::uint32_t sleepers = Atomic(word->sleepers).load();
    if (sleepers == 0) return;
    // A release beyond the semaphore's maximum fails; the sleepers then have
    // counts enough already.
    ::ReleaseSemaphore(Named(word->name, Kind::Semaphore), static_cast<LONG>(sleepers & 0x7FFFFFFF), nullptr);
}

namespace {

std::uint64_t Frequency() {
    static const std::uint64_t frequency = [] {
        LARGE_INTEGER f{};
        ::QueryPerformanceFrequency(&f);
        return static_cast<std::uint64_t>(f.QuadPart);
    }();
    return frequency;
}

}  // namespace

std::uint64_t MonotonicNs() {
    // The performance counter is one clock for the whole system.
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    const auto ticks = static_cast<std::uint64_t>(now.QuadPart);
    const std::uint64_t f = Frequency();
    return ticks / f * 1000000000u + ticks % f * 1000000000u / f;
}

Deadline DeadlineAfter(std::uint64_t units) {
    return Deadline{MonotonicNs() + units * 100};
}

bool Passed(const Deadline& deadline) {
    return MonotonicNs() >= deadline.ns;
}

void Sleep(WakeWord* word, std::uint32_t ticket, const Deadline& deadline) {
    HANDLE semaphore = Named(word->name, Kind::Semaphore);
    Atomic(word->sleepers).fetch_add(1);
    if (Atomic(word->value).load() == ticket) {
        const std::uint64_t now = MonotonicNs();
        const std::uint64_t left = deadline.ns > now ? (deadline.ns - now + 999999) / 1000000 : 0;
        // A release meant for another sleeper may wake this one: the caller
        // tests again, and a count left over wakes a later sleeper early, no
        // more.
        ::WaitForSingleObject(semaphore, left < INFINITE ? static_cast<DWORD>(left) : INFINITE - 1);
    }
    Atomic(word->sleepers).fetch_sub(1);
}

// --- Handle slots ---
// A held slot is a named event, made by the holder and alive while its handle
// is open, so the system ends it with the process. A second event marks the
// slot waiting. Counting opens each name below the high-water mark.

namespace {

void SlotName(char* out, std::size_t size, const SlotBook* book, int slot, char what) {
    std::snprintf(out, size, "%s-%c%d", book->name, what, slot);
}

struct HeldSlot {
    int slot;
    HANDLE attached;
    HANDLE waiting;
};

// The slots held through each file of this process, so that a count leaves
// the file's own slot out, as a lock test does on Linux.
std::mutex& HeldLock() {
    static std::mutex lock;
    return lock;
}
std::map<File, HeldSlot>& Held() {
    static auto* held = new std::map<File, HeldSlot>();
    return *held;
}

}  // namespace

void InitSlotBook(SlotBook* book) {
    MakeName(book->name, sizeof book->name, 's');
    book->highWater = 0;
}

int ClaimSlot(File file, SlotBook* book) {
    for (int slot = 0; slot < kSlotLimit; ++slot) {
        char name[96];
        SlotName(name, sizeof name, book, slot, 'a');
        HANDLE h = ::CreateEventA(nullptr, TRUE, FALSE, name);
        if (!h) return -1;
        if (::GetLastError() == ERROR_ALREADY_EXISTS) {
            ::CloseHandle(h);
            continue;
        }
        std::uint32_t high = Atomic(book->highWater).load();
        while (high < static_cast<std::uint32_t>(slot + 1) &&
               !Atomic(book->highWater).compare_exchange_weak(high, static_cast<std::uint32_t>(slot + 1))) {
        }
        std::lock_guard g(HeldLock());
        Held()[file] = HeldSlot{slot, h, nullptr};
        return slot;
    }
    ::SetLastError(ERROR_LOCK_VIOLATION);
    return -1;
}

bool MarkSlot(File file, SlotBook* book, int slot, bool waiting) {
    std::lock_guard g(HeldLock());
    auto it = Held().find(file);
    if (it == Held().end() || it->second.slot != slot) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    HeldSlot& held = it->second;
    if (!waiting) {
        if (held.waiting) ::CloseHandle(held.waiting);
        held.waiting = nullptr;
        return true;
    }
    if (held.waiting) return true;
    char name[96];
    SlotName(name, sizeof name, book, slot, 'w');
    held.waiting = ::CreateEventA(nullptr, TRUE, FALSE, name);
    return held.waiting != nullptr;
}

void ReleaseSlot(File file, SlotBook*, int slot) {
    std::lock_guard g(HeldLock());
    auto it = Held().find(file);
    if (it == Held().end() || it->second.slot != slot) return;
    if (it->second.waiting) ::CloseHandle(it->second.waiting);
    ::CloseHandle(it->second.attached);
    Held().erase(it);
}

bool SlotHeld(File file, SlotBook* book, int slot) {
    {
        std::lock_guard g(HeldLock());
        auto it = Held().find(file);
        if (it != Held().end() && it->second.slot == slot) return false;  // this file's own
    }
    char name[96];
    SlotName(name, sizeof name, book, slot, 'a');
    HANDLE h = ::OpenEventA(SYNCHRONIZE, FALSE, name);
    if (!h) return false;
    ::CloseHandle(h);
    return true;
}

bool CountHandles(File file, SlotBook* book, HandleCounts* counts) {
    int own = -1;
    {
        std::lock_guard g(HeldLock());
        auto it = Held().find(file);
        if (it != Held().end()) own = it->second.slot;
    }
    HandleCounts n;
    const auto high = static_cast<int>(Atomic(book->highWater).load());
    for (int slot = 0; slot < high && slot < kSlotLimit; ++slot) {
        if (slot == own) continue;
        for (char what : {'a', 'w'}) {
            char name[96];
            SlotName(name, sizeof name, book, slot, what);
            HANDLE h = ::OpenEventA(SYNCHRONIZE, FALSE, name);
            if (!h) {
                if (::GetLastError() == ERROR_FILE_NOT_FOUND) break;  // free, or not waiting
                return false;
            }
            ::CloseHandle(h);
            if (what == 'a')
                ++n.attached;
            else
                ++n.waiting;
        }
    }
    *counts = n;
    return true;
}

}  // namespace sim::os
