// The machine store of the simulated card driver: the layout of a card file
// and the routines that find, create, map and lock card files. Shared by the
// control API, the SetupAPI listing and the device backend; not for the
// library.
//
// A machine root holds:
//   machine        the index: driver version, next card id, card ids in
//                  device-number order (rewritten whole, under the lock)
//   lock           whole-file lock target that serialises structural changes
//   card-<id>      one file per card: CardFile header, status block, regions
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/control.h"
#include "sim/os.h"

namespace sim::store {

inline constexpr std::size_t kPage = 4096;
inline constexpr std::uint32_t kCardMagic = 0x51534D43;  // "CMSQ"
inline constexpr std::uint32_t kLayoutVersion = 2;
inline constexpr int kMaxRegions = 16;
inline constexpr int kMaxCards = 64;
inline constexpr std::size_t kMaxDescription = 300;
inline constexpr std::uint32_t kDefaultDriverVersion = 110;
// Slots whose waits are marked in the card file rather than by the system.
inline constexpr int kMarkedSlots = 256;

struct RegionSlot {
    std::uint64_t size;
    std::uint64_t offset;  // in the card file, page aligned
    std::uint32_t unmapped;
    std::uint32_t pad;
};

// The 93C46 storage: the words, the behaviour chosen by tests, and room for
// the chip model's own state, which must be shared by every process. `lock`
// (robust, process shared) serialises the chip's accesses.
struct EepromStorage {
    os::SharedMutex lock;
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
    // killed while holding it does not block the others. Who is attached and
    // who waits is not kept here but in the handles' slot locks (below).
    os::SharedMutex lock;
    os::WakeWord wake;            // bumped by interrupts, discards and status writes
    std::uint32_t discardGen;     // bumped by each discard
    std::int32_t handlesCounted;  // slot locks held when the attach count last moved
    [[no_unique_address]] os::SlotBook slots;

    EepromStorage eeprom;

    // Which handles wait for an interrupt, by slot, for the first
    // kMarkedSlots slots: a word the waiter writes, so that a wait makes no
    // system call for it. A mark counts only while its slot is held, and the
    // system gives a slot up with its process (or at exec); whoever takes a
    // slot clears its mark under `lock`. Waits on slots beyond are marked by
    // the system (os::MarkSlot). Zero in files made before the marks.
    std::uint32_t waitMarks[kMarkedSlots];

    // Waits on the card, from every process, that ended only at their
    // deadline: time-outs, and wake-ups that were lost (an interrupt or a
    // discard found only when the time ran out). Zero in older files.
    std::uint32_t waitsEndedAtDeadline;
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

// A whole-file lock on the root's lock file, held for the object's life. Throws
// sim::Error (NoMachine) when the root does not exist: it is never made here.
class MachineLock {
public:
    MachineLock(const std::string& root, bool exclusive);
    ~MachineLock();
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;

private:
    os::File file_ = os::kNoFile;
};

// The card's handles held through files other than this one, and of those
// the ones waiting for an interrupt (marked in the card file or by the
// system). Call under the card's lock. False when the system cannot count.
bool CountCardHandles(os::File file, CardFile* card, os::HandleCounts* counts);
// Marks the handle's slot waiting or not; false when it cannot be marked.
bool MarkWaiting(os::File file, CardFile* card, int slot, bool waiting);
// For a slot just taken, under the card's lock: not waiting.
void ClearWaitMark(CardFile* card, int slot);

// False when the root holds no machine.
bool ReadIndex(const std::string& root, MachineIndex* index);
void WriteIndex(const std::string& root, const MachineIndex& index);

// The text of the error for a root that holds no machine.
std::string NoMachine(const std::string& root);

// Makes the root directory (and its parents) for a machine about to be made.
void MakeRoot(const std::string& root);

// For the default root only: makes the default machine when the root does
// not exist yet, or exists and holds no machine. A default machine that was
// made and then deleted is an error, not silently made again.
void EnsureDefaultMachine(const std::string& root);
// Records that a machine was made at the default root.
void MarkMade(const std::string& root);

// The index of a machine that must exist (throws sim::Error otherwise).
MachineIndex RequireIndex(const std::string& root);
// The card id of device number `device` (1-based); fails naming the number
// and how many devices the machine has.
std::uint32_t RequireCardId(const MachineIndex& index, int device);

// Why a card file of fileSize bytes with this header cannot be used, in a few
// words; "" when it can. Every size and offset is checked against the file,
// so nothing mapped by its header lies past the file's end.
std::string CardProblem(const CardFile& card, std::uint64_t fileSize);
// The error text for a damaged card file: names it and says what to do.
std::string DamagedText(const std::string& path, const std::string& problem);
// Reads a card file's header and size without mapping it; returns its
// problem ("" when sound; a missing file is one). Throws sim::Error when the
// file exists but cannot be read (no descriptor left, say).
std::string ReadCard(const std::string& path, CardFile* card, std::uint64_t* fileSize);

// A mapping of a card file: the header and status block, or the whole file.
class CardMap {
public:
    CardMap() = default;
    // Throws sim::Error when the card file cannot be opened or is damaged
    // (checked before anything is mapped).
    CardMap(const std::string& path, bool whole);
    ~CardMap();
    CardMap(CardMap&& other) noexcept;
    CardMap& operator=(CardMap&& other) noexcept;
    CardMap(const CardMap&) = delete;
    CardMap& operator=(const CardMap&) = delete;

    bool valid() const { return base_ != nullptr; }
    os::File file() const { return file_; }
    CardFile* header() const { return static_cast<CardFile*>(base_); }
    std::uint8_t* bytes() const { return static_cast<std::uint8_t*>(base_); }
    std::uint32_t* statusWord(std::size_t offset) const {
        return reinterpret_cast<std::uint32_t*>(bytes() + kStatusOffset + offset);
    }
    std::size_t size() const { return size_; }
    // Closes the file and keeps the mapping: for a forked child, whose copy
    // of the descriptor would keep the parent's slot lock alive.
    void CloseDescriptor();

private:
    void Release();
    os::File file_ = os::kNoFile;
    void* base_ = nullptr;
    std::size_t size_ = 0;
};

// Maps the card of a device number (1-based) of the current machine.
CardMap MapDevice(int device, bool whole, std::uint32_t* id = nullptr);

// The card's robust lock. A holder that died was changing the published
// attach count, which is recounted from the slot locks under this lock anyway.
class CardLock {
public:
    explicit CardLock(CardFile* card);
    ~CardLock();
    CardLock(const CardLock&) = delete;
    CardLock& operator=(const CardLock&) = delete;

private:
    CardFile* card_;
};

// --- Handle slots (sim/os.h): who is attached and who waits ---
using os::ClaimSlot;
using os::CountHandles;
using os::HandleCounts;
using os::MarkSlot;
using os::ReleaseSlot;

// The interrupt and acknowledged counters of the card's status block.
std::uint32_t* IrqCounter(CardFile* card);
std::uint32_t* AckCounter(CardFile* card);
std::int32_t* AttachCount(CardFile* card);

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
