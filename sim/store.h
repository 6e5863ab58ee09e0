// The machine store of the simulated card driver: the layout of a card file
// and the routines that find, create, map and lock card files. Shared by the
// control API, the SetupAPI listing and the device backend; not for the
// library.
//
// A machine root holds:
//   machine        the index: driver version, next card id, card ids in
//                  device-number order (rewritten whole, under the lock)
//   lock           flock target that serialises structural changes
//   card-<id>      one file per card: CardFile header, status block, regions
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/control.h"

namespace sim::store {

inline constexpr std::size_t kPage = 4096;
inline constexpr std::uint32_t kCardMagic = 0x51534D43;  // "CMSQ"
inline constexpr std::uint32_t kLayoutVersion = 1;
inline constexpr int kMaxRegions = 16;
inline constexpr int kMaxProcs = 96;
inline constexpr int kMaxCards = 64;
inline constexpr std::size_t kMaxDescription = 300;
inline constexpr std::uint32_t kDefaultDriverVersion = 110;

struct RegionSlot {
    std::uint64_t size;
    std::uint64_t offset;  // in the card file, page aligned
    std::uint32_t unmapped;
    std::uint32_t pad;
};

// One process that holds handles on the card: what to undo when it dies.
struct ProcEntry {
    std::int32_t pid;  // 0: free
    std::uint32_t pad;
    std::uint64_t startTime;  // guards against pid reuse
    std::int32_t attached;    // handles of this process counted in attachCount
    std::int32_t waits;       // waits of this process counted in pendingWaits
};

// The 93C46 storage: the words, the behaviour chosen by tests, and room for
// the chip model's own state, which must be shared by every process.
struct EepromStorage {
    std::uint16_t words[64];
    std::uint32_t mode;  // EepromMode
    std::uint32_t programMs;
    alignas(8) std::uint8_t chip[256];
};

struct CardFile {
    std::uint32_t magic;
    std::uint32_t layout;
    std::uint32_t id;
    std::uint32_t hasStatusBlock;
    char description[kMaxDescription + 4];
    std::uint32_t vendorId;
    std::uint32_t deviceId;
    std::uint32_t bus;
    std::uint32_t slot;
    std::uint32_t pciAddress;
    std::uint32_t irqLine;
    std::int32_t regionCount;
    std::int32_t eepromRegion;
    RegionSlot regions[kMaxRegions];
    std::uint64_t fileSize;
    std::uint32_t hasCardId;
    std::uint32_t hasSerial;

    // Driver bookkeeping. `lock` is robust and process shared: a process
    // killed while holding it does not block the others.
    pthread_mutex_t lock;
    std::uint32_t wakeWord;      // futex word: bumped by interrupts and discards
    std::uint32_t discardGen;    // bumped by each discard
    std::uint32_t pendingWaits;  // waits in progress, all processes
    std::uint32_t pad;
    ProcEntry procs[kMaxProcs];

    EepromStorage eeprom;
};

inline constexpr std::size_t kHeaderSize = 2 * kPage;
inline constexpr std::size_t kStatusOffset = kHeaderSize;
inline constexpr std::size_t kFirstRegionOffset = kStatusOffset + kPage;
static_assert(sizeof(CardFile) <= kHeaderSize);

inline std::size_t PageRound(std::uint64_t n) {
    return static_cast<std::size_t>((n + kPage - 1) & ~(kPage - 1));
}

template <typename T>
inline std::atomic_ref<T> Shared(T& field) {
    return std::atomic_ref<T>(field);
}

// --- Machine index ---
struct MachineIndex {
    std::uint32_t driverVersion = kDefaultDriverVersion;
    std::uint32_t nextId = 1;
    std::vector<std::uint32_t> ids;  // device number n is ids[n - 1]
};

std::string IndexPath(const std::string& root);
std::string CardPath(const std::string& root, std::uint32_t id);

// flock on the root's lock file, held for the object's life.
class MachineLock {
public:
    MachineLock(const std::string& root, bool exclusive);
    ~MachineLock();
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;

private:
    int fd_ = -1;
};

// False when the root holds no machine.
bool ReadIndex(const std::string& root, MachineIndex* index);
void WriteIndex(const std::string& root, const MachineIndex& index);

// Under an exclusive MachineLock: creates the default machine when the root
// holds none. Used by the device listing.
void EnsureMachine(const std::string& root);

// The index of a machine that must exist (throws sim::Error otherwise).
MachineIndex RequireIndex(const std::string& root);

// A mapping of a card file: the header and status block, or the whole file.
class CardMap {
public:
    CardMap() = default;
    // Throws sim::Error when the card file cannot be opened.
    CardMap(const std::string& path, bool whole);
    ~CardMap();
    CardMap(CardMap&& other) noexcept;
    CardMap& operator=(CardMap&& other) noexcept;
    CardMap(const CardMap&) = delete;
    CardMap& operator=(const CardMap&) = delete;

    bool valid() const { return base_ != nullptr; }
    int fd() const { return fd_; }
    CardFile* header() const { return static_cast<CardFile*>(base_); }
    std::uint8_t* bytes() const { return static_cast<std::uint8_t*>(base_); }
    std::uint32_t* statusWord(std::size_t offset) const {
        return reinterpret_cast<std::uint32_t*>(bytes() + kStatusOffset + offset);
    }
    std::size_t size() const { return size_; }

private:
    void Release();
    int fd_ = -1;
    void* base_ = nullptr;
    std::size_t size_ = 0;
};

// Maps the card of a device number (1-based) of the current machine.
CardMap MapDevice(int device, bool whole, std::uint32_t* id = nullptr);

// The card's robust lock.
class CardLock {
public:
    explicit CardLock(CardFile* card);
    ~CardLock();
    CardLock(const CardLock&) = delete;
    CardLock& operator=(const CardLock&) = delete;

private:
    CardFile* card_;
};

// This process's entry in the card's process table, created on demand; null
// when the table is full. Call under CardLock.
ProcEntry* OwnEntry(CardFile* card, bool create);
// Undoes what dead processes left counted. Call under CardLock.
void ReapDead(CardFile* card);
// Start time of a process (clock ticks since boot), 0 when it does not run.
std::uint64_t ProcessStartTime(int pid);

// Raises count interrupts and wakes the waiters.
void RaiseIrq(CardFile* card, std::uint32_t count);
// Ends every wait in progress on the card.
void DiscardWaits(CardFile* card);
void WakeAll(CardFile* card);

// Reads the config back out of a card file; the identity words only when
// mappedSize covers them (a whole-file mapping).
CardConfig ConfigOf(const CardFile* card, std::size_t mappedSize);

// Writes a new card file for config under the given id (throws sim::Error
// for a config that cannot be built). Call under an exclusive MachineLock.
void CreateCardFile(const std::string& root, std::uint32_t id, const CardConfig& config);

// The device path the listing reports for a card, and the card id back out
// of such a path (0 when path is no device path of the simulator).
std::string DevicePath(const CardFile* card);
bool IsDevicePath(const char* path);
std::uint32_t CardIdOfPath(const char* path);

// The cards of the default machine, in device-number order.
std::vector<CardConfig> DefaultMachine();

}  // namespace sim::store
