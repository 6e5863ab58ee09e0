// The card table, the card scan and the library's load and unload routines.
#include "registry/card_table.h"

#include <cstring>

#include "driver/admission.h"
#include "driver/device.h"
#include "driver/handle_pins.h"
#include "driver/version.h"
#include "platform/mmio.h"
#include "registry/open_positions.h"

namespace {

CardEntry gCardTable[CARD_TABLE_SIZE];
CRITICAL_SECTION gDriverLock;
// Load and unload are called by the entry point and again by tests; a second
// load tears the first state down before starting afresh.
bool gLoaded = false;
// Bit i: entry i's locks (waitLock, eepromLock) were initialised by a scan.
std::uint32_t gEntryLocksMade = 0;
// A scan is filling the table (written under the DriverLock).
bool gScanning = false;

// While a waiter remains, Close discards again this often: a waiter that sent
// its request after the previous discard would otherwise hold on for a slice.
constexpr int REDISCARD_EVERY_MS = 10;

// The identity words sit at the end of the first 16 KiB of region 0.
constexpr std::size_t CARD_ID_OFFSET = 0x3FF0;
constexpr std::size_t SERIAL_NUMBER_OFFSET = 0x3FF4;
// Region 0 must be larger than this for both words to be read.
constexpr std::uint64_t IDENTITY_MIN_LENGTH = 0x3FF8;

bool HasIdentityWords(const CardEntry& e) {
    return e.vendorId == CARD_VENDOR_ID && IsEp4gxaDevice(e.deviceId);
}

// Copies what the scan keeps of one attached device into its entry.
// Returns true when the device reported a slot number.
bool FillEntry(CardEntry& e, DeviceHandle* handle) {
    std::strncpy(e.boardName, OxGetBoardName(handle), sizeof e.boardName);

    const DeviceResources* res = OxGetDeviceResources(handle);
    e.irqLine = res->irqLine;
    e.bus = res->bus;
    e.slot = static_cast<std::uint16_t>(res->slot & 0xFFFFu);

    if (res->vendorId != 0 && res->deviceId != 0) {
        e.vendorId = static_cast<std::uint16_t>(res->vendorId & 0xFFFFu);
        e.deviceId = static_cast<std::uint16_t>(res->deviceId & 0xFFFFu);
        e.pciAddress = res->pciAddress;
    }

    const OxRegion& region0 = res->regions[0];
    if (HasIdentityWords(e) && region0.address != nullptr && region0.length > IDENTITY_MIN_LENGTH) {
        const auto* base = static_cast<const volatile std::uint8_t*>(region0.address);
        e.cardId = mmio::Read32(base + CARD_ID_OFFSET);
        e.serialNumber = mmio::Read32(base + SERIAL_NUMBER_OFFSET);
    }
    return res->slot != 0;
}

void MakeEntryLocks(int i) {
    if (gEntryLocksMade & (1u << i)) return;
    InitializeCriticalSection(&gCardTable[i].waitLock);
    InitializeCriticalSection(&gCardTable[i].eepromLock);
    gEntryLocksMade |= 1u << i;
}

void DeleteEntryLocks() {
    for (int i = 0; i < CARD_TABLE_SIZE; ++i) {
        if (!(gEntryLocksMade & (1u << i))) continue;
        DeleteCriticalSection(&gCardTable[i].waitLock);
        DeleteCriticalSection(&gCardTable[i].eepromLock);
    }
    gEntryLocksMade = 0;
}

// While a thread of this process still holds the handle, discards the waits
// on the card through a temporary handle (again and again, since a waiter may
// send its request after a discard), and returns once none does. At the end of
// a process whose other threads are already gone their pins never drop: then
// it returns at once and the handle is left to the operating system.
void EndHandleUses(CardEntry& entry, DeviceHandle* handle) {
    DeviceHandle* temporary = nullptr;
    int sinceDiscard = REDISCARD_EVERY_MS;
    while (IsPinned(handle) && !PinsAbandoned()) {
        const bool waiting = LoadShared(entry.irqWaitersInDriver) > 0;
        if (waiting && sinceDiscard >= REDISCARD_EVERY_MS) {
            // The waits occupy the card's own handle: discard through another.
            if (temporary == nullptr) temporary = AttachEntryDevice(entry);
            if (temporary != nullptr) OxDiscardWaitForIrq(temporary);
            sinceDiscard = 0;
        }
        Sleep(1);
        ++sinceDiscard;
    }
    OxCloseDevice(temporary);
}

// Closes what the process still holds on one entry, as Close does: other
// threads may still be inside an interrupt wait on it.
void UnloadEntry(CardEntry& e) {
    std::atomic_ref<std::uint32_t>(e.irqEnabled).store(0, std::memory_order_relaxed);
    CloseEntry(e, TakeHandle(e));
}

#if !QUELT_WINDOWS
// A child made by fork is a process of its own, with only the forking thread.
// The cards its parent holds are the parent's: releasing them at the child's
// exit or Close would take the parent's connections out of the card's shared
// count. The child forgets them (their mappings go with the child), and the
// locks that threads it does not have may have held are made anew. A scan cut
// short by the fork is started again by the child's first call that needs it.
void ForgetInheritedCards() {
    if (!gLoaded) return;
    InitializeCriticalSection(&gDriverLock);
    if (gScanning) {
        gScanning = false;
        std::memset(static_cast<void*>(gCardTable), 0, sizeof gCardTable);
        gEntryLocksMade = 0;
        ResetPositionMaps();
        ForgetBlockReaders();
        return;
    }
    for (int i = 0; i < CARD_TABLE_SIZE; ++i) {
        CardEntry& e = gCardTable[i];
        StoreHandle(e, nullptr);
        StoreShared(e.irqEnabled, 0u);
        StoreShared(e.irqWaiters, LONG{0});
        StoreShared(e.irqWaitersInDriver, LONG{0});
        if (gEntryLocksMade & (1u << i)) {
            InitializeCriticalSection(&e.waitLock);
            InitializeCriticalSection(&e.eepromLock);
        }
    }
    // Readers counted in by threads the child does not have never leave.
    ForgetBlockReaders();
}

// Registered while the program starts, before any thread can race a fork.
[[maybe_unused]] const bool kForgetAtForkReady =
    ::pthread_atfork(nullptr, nullptr, &ForgetInheritedCards) == 0;
#endif

}  // namespace

CardEntry* CardTable() {
    return gCardTable;
}

CRITICAL_SECTION* DriverLock() {
    return &gDriverLock;
}

DeviceHandle* AttachEntryDevice(const CardEntry& e) {
    DeviceHandle* handle = AttachDeviceByIndex("", DeviceIndexOf(e));
    if (handle == nullptr) return nullptr;
    // The bus and, when the driver reports them, the ids and PCI address are
    // what the scan entered; a device that reports none can only be taken on
    // its number.
    const DeviceResources* res = OxGetDeviceResources(handle);
    const bool hasIds = res->vendorId != 0 && res->deviceId != 0;
    const bool same = res->bus == e.bus && (!hasIds || ((res->vendorId & 0xFFFFu) == e.vendorId &&
                                                        (res->deviceId & 0xFFFFu) == e.deviceId &&
                                                        res->pciAddress == e.pciAddress));
    if (same) return handle;
    OxCloseDevice(handle);
    return nullptr;
}

void ScanCards() {
    EnterCriticalSection(&gDriverLock);
    gScanning = true;
    bool anySlot = false;
    std::uint32_t enteredNow = 0;  // bit i: entry i was filled by this scan
    for (int i = 0; i < CARD_TABLE_SIZE; ++i) {
        CardEntry& e = gCardTable[i];
        if (IsPresent(e)) continue;
        DeviceHandle* handle = AttachDeviceByIndex("", i + 1);
        if (handle == nullptr) {
            // Entries are never filled partly, so an absent entry is already
            // all zero; writing it again would race with nothing but is useless.
            if (e.boardName[0] != '\0') std::memset(e.boardName, 0, sizeof e.boardName);
            break;
        }
        if (FillEntry(e, handle)) anySlot = true;
        enteredNow |= 1u << i;
        // A device with an empty name leaves its entry empty and is visited
        // again by the next scan; its locks are made only once.
        MakeEntryLocks(i);
        OxCloseDevice(handle);
    }
    // Machines whose driver reports no slot numbers: the device number on the
    // bus, from the upper half of the PCI address, stands in for the slot.
    if (!anySlot) {
        for (int i = 0; i < CARD_TABLE_SIZE; ++i) {
            if (enteredNow & (1u << i))
                gCardTable[i].slot = static_cast<std::uint16_t>(gCardTable[i].pciAddress >> 16);
        }
    }
    gScanning = false;
    LeaveCriticalSection(&gDriverLock);
}

DeviceHandle* TakeHandle(CardEntry& entry) {
    EnterCriticalSection(&gDriverLock);
    DeviceHandle* handle =
        std::atomic_ref<DeviceHandle*>(entry.handle).exchange(nullptr, std::memory_order_seq_cst);
    // Clears the positions' slots: a status-block reader that comes later
    // reads null; one that came earlier CloseTakenHandle waits for.
    RefreshOpenPositions(entry);
    LeaveCriticalSection(&gDriverLock);
    return handle;
}

void CloseEntry(CardEntry& entry, DeviceHandle* handle) {
    if (handle == nullptr) return;
    ReleaseConnection(StatusBlockOf(handle), LoadShared(entry.connectionKind));
    EndHandleUses(entry, handle);
    CloseTakenHandle(entry, handle);
}

void CloseTakenHandle(CardEntry&, DeviceHandle* handle) {
    if (handle == nullptr) return;
    // The positions no longer name the handle (TakeHandle); the lock-free
    // readers that still read its status block end within a few instructions.
    WaitForBlockReaders();
    OxCloseDevice(handle);
}

void RegistryLoad() {
    if (gLoaded) RegistryUnload();
    InitializeCriticalSection(&gDriverLock);
    std::memset(static_cast<void*>(gCardTable), 0, sizeof gCardTable);
    gEntryLocksMade = 0;
    gScanning = false;
    ResetPositionMaps();
    ResetVersionGate(&gDriverLock);
    gLoaded = true;
}

void RegistryUnload() {
    if (!gLoaded) return;
    for (CardEntry& e : gCardTable) UnloadEntry(e);
    // Every lock the scan initialised is deleted, open or not, so that
    // repeated load and unload leaves nothing behind.
    DeleteEntryLocks();
    DeleteCriticalSection(&gDriverLock);
    gLoaded = false;
}
