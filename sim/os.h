// The operating system as the simulated card driver sees it: files and their
// mappings, the cross-process locks, waking and waiting across processes, the
// liveness of attached handles, and where machines live. Everything else in
// sim/ is the same code on every system; only the files behind this header
// (os_posix.cpp, os_win32.cpp) call the system.
//
// Every call states what it may block on, what it returns and what the
// system releases when a process dies. A call that fails leaves the reason
// for LastErrorText() and LastFailure(), in the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#if !defined(_WIN32)
#include <pthread.h>
#include <time.h>
#endif

namespace sim::os {

// --- Errors ---

// What the last failed call of this thread found, for the callers that answer
// differently (a missing card is not a damaged one).
enum class Failure { Other, NotFound, TooManyFiles, NoLock };
Failure LastFailure();
// The system's one-line text for the last failure of this thread.
std::string LastErrorText();

// --- Files ---

// An open file; kNoFile is none. Never inherited by a program this process
// starts (close-on-exec).
using File = std::intptr_t;
inline constexpr File kNoFile = -1;

enum class Access {
    Read,       // an existing file, for reading
    ReadWrite,  // an existing file
    Create,     // made empty (or cut to nothing), readable and writable by the owner only
    OpenAlways  // opened, or made empty when missing; owner only
};
// Never blocks beyond the file system. kNoFile on failure (NotFound for a
// missing file, TooManyFiles when no descriptor is left).
File OpenFile(const std::string& path, Access access);
void CloseFile(File file);
bool FileSize(File file, std::uint64_t* size);
// The whole range or false.
bool ReadAt(File file, void* buffer, std::size_t size, std::uint64_t offset);
bool WriteAt(File file, const void* buffer, std::size_t size, std::uint64_t offset);
bool SetFileSize(File file, std::uint64_t size);

// Maps size bytes of the file from offset (a multiple of the page size),
// readable, writable and shared with every process that maps the same file.
// The mapping stays valid after the file is closed or removed. Null on failure.
void* MapFile(File file, std::uint64_t offset, std::size_t size);
void UnmapFile(void* base, std::size_t size);
// Zero-filled private pages (DMA buffers); null on failure.
void* AllocatePages(std::size_t size);
void FreePages(void* base, std::size_t size);

// Holds a lock on the whole file, shared or exclusive, blocking until it is
// granted. The system drops it when the file is closed, however the process
// ends. False on failure.
bool LockFile(File file, bool exclusive);

// --- Paths ---

enum class PathKind { Missing, Directory, Other };
PathKind KindOf(const std::string& path);
// Removes a file. Processes that map or hold it open keep using it; no later
// open finds it (on Windows the name lingers, refusing opens, until the last
// handle goes).
bool RemoveFile(const std::string& path);
// Renames from over to, replacing it whole: readers see the old or the new.
bool RenameOver(const std::string& from, const std::string& to);
// Makes one directory, for the owner only; true when it exists already.
bool MakeDirectory(const std::string& path);
// Makes a directory and its parents, the last one for the owner only; false
// with *why set on failure.
bool MakeDirectories(const std::string& path, std::string* why);
// Removes a directory and everything in it; false with *why set when
// something could not be removed (what could, is gone). Never blocks.
bool RemoveTree(const std::string& path, std::string* why);
// Makes a new, empty, uniquely named directory for a temporary machine.
// Empty on failure.
std::string MakeTempDirectory();
// The per-user default root of the current user (not made here).
std::string DefaultRoot();
// The process's environment variable name; empty when unset. Reads the
// system's environment block, where a program's own changes show at once.
std::string Environment(const char* name);

// What a later stat of a path is compared with: equal when the file was not
// changed, replaced or touched since.
struct FileStamp {
    std::uint64_t words[7] = {};
    bool operator==(const FileStamp&) const = default;
};
// False with LastFailure() NotFound for a missing file.
bool StampOf(const std::string& path, FileStamp* stamp);

// --- Cross-process mutex ---

// A mutex that lives in a card file. Robust: a process killed while holding it
// leaves it to the next locker, which is told so and repairs what it guards.
// Waiters sleep in the system; none spins.
#if defined(_WIN32)
struct SharedMutex {
    char name[64];       // of the system's named mutex
    std::uint32_t held;  // set while someone holds it: a holder that died shows
    std::uint32_t reserved;
};
#else
struct SharedMutex {
    pthread_mutex_t mutex;
};
#endif
// For a zero-filled record in a file being made, before any process maps it.
void InitSharedMutex(SharedMutex* mutex);
enum class Locked { Normally, OwnerDied };
// Blocks until the mutex is free. OwnerDied: its last holder died holding
// it; the caller now holds it and puts right what that holder may have left
// half done before unlocking.
Locked LockSharedMutex(SharedMutex* mutex);
void UnlockSharedMutex(SharedMutex* mutex);

// --- Waking waiters in other processes ---

// A word in a card file that wakes are counted on. A sleeper that reads the
// word, tests what it waits for and then sleeps is woken by any wake after its
// read, even one that comes before it sleeps.
#if defined(_WIN32)
struct WakeWord {
    std::uint32_t value;
    std::uint32_t sleepers;  // processes' threads between registering and waking
    char name[64];           // of the system's named semaphore
};
#else
struct WakeWord {
    std::uint32_t value;  // a futex
};
#endif
void InitWakeWord(WakeWord* word);
// The word as it is now: pass it to Sleep.
std::uint32_t WakeTicket(WakeWord* word);
// Counts a wake and wakes every sleeper in every process. Never blocks.
void WakeAll(WakeWord* word);

// A point in time on a clock that runs the same in every process.
#if defined(_WIN32)
struct Deadline {
    std::uint64_t ns;
};
#else
using Deadline = timespec;
#endif
// Now plus units of 100 ns (at most about 28 years: callers cap it).
Deadline DeadlineAfter(std::uint64_t units);
bool Passed(const Deadline& deadline);
// The same clock in nanoseconds.
std::uint64_t MonotonicNs();

// Sleeps while the word still holds ticket, until a wake or the deadline. May
// return early for no reason: callers test again. Takes no lock and makes no
// allocation.
void Sleep(WakeWord* word, std::uint32_t ticket, const Deadline& deadline);

// --- Handle slots ---
// Every attached handle holds a slot of its card, which the system gives up
// with the handle's file at detach and however the process ends (the file is
// close-on-exec): on Linux a lock on one byte of the card file, shared while
// attached and exclusive while it waits for an interrupt (MarkSlot); on
// Windows named objects that live as long as a handle to them. The count of
// attached handles and of waits is the slots held, never a guess about which
// processes still run. (The card file marks the waits of its first slots
// itself, counted only while SlotHeld: a wait then makes no system call.)
inline constexpr int kSlotLimit = 1 << 20;

// What the system needs in the card file to find the slots: nothing on Linux,
// where the locks are the book.
#if defined(_WIN32)
struct SlotBook {
    char name[64];            // stem of the slots' object names
    std::uint32_t highWater;  // no slot at or above it was ever claimed
    std::uint32_t reserved;
};
#else
struct SlotBook {};
#endif
void InitSlotBook(SlotBook* book);

// Claims the lowest free slot for the file (a file of its own, opened for the
// handle and never mapped). -1 when none can be held (LastFailure NoLock).
// Never blocks.
int ClaimSlot(File file, SlotBook* book);
// Marks the slot waiting or only attached. Never blocks; false when the
// system refuses the change.
bool MarkSlot(File file, SlotBook* book, int slot, bool waiting);
void ReleaseSlot(File file, SlotBook* book, int slot);

// Whether the slot is held through a file other than this one; false too
// when the system cannot tell. Never blocks.
bool SlotHeld(File file, SlotBook* book, int slot);

struct HandleCounts {
    std::int32_t attached = 0;  // slots held
    std::uint32_t waiting = 0;  // slots marked waiting
};
// Counts the slots held through files other than this one; its own slot is
// invisible to it. False when the system could not answer: nothing may then
// be taken for gone.
bool CountHandles(File file, SlotBook* book, HandleCounts* counts);

}  // namespace sim::os
