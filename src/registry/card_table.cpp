// The card table, the card scan and the library's load and unload routines.
#include "registry/card_table.h"

#include <cstring>

#include "driver/device.h"
#include "driver/version.h"
#include "platform/mmio.h"
#include "registry/connection.h"

namespace {

CardEntry gCardTable[CARD_TABLE_SIZE];
CRITICAL_SECTION gDriverLock;
// Load and unload are called by the entry point and again by tests; a second
// load tears the first state down before starting afresh.
bool gLoaded = false;
// Bit i: entry i's waitLock was initialised by a scan.
std::uint32_t gWaitLocksMade = 0;

// The identity words sit at the end of the first 16 KiB of region 0.
constexpr std::size_t CARD_ID_OFFSET = 0x3FF0;
constexpr std::size_t SERIAL_NUMBER_OFFSET = 0x3FF4;
// Region 0 must be larger than this for both words to be read.
constexpr std::uint64_t IDENTITY_MIN_LENGTH = 0x3FF8;

bool HasIdentityWords(const CardEntry& e) {
    if (e.vendorId != CARD_VENDOR_ID) return false;
    return (e.deviceId >= 0x0800 && e.deviceId <= 0x08FF) || (e.deviceId >= 0x8800 && e.deviceId <= 0x88FF);
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

// Closes what the process still holds on one entry, without discarding waits:
// no other thread of the process uses the library any more.
void UnloadEntry(CardEntry& e) {
    std::atomic_ref<std::uint32_t>(e.irqEnabled).store(0, std::memory_order_relaxed);
    DeviceHandle* handle = LoadHandle(e);
    if (handle == nullptr) return;
    StoreHandle(e, nullptr);
    if (SharedStatusBlock* block = StatusBlockOf(handle)) {
        ReleaseConnection(block,
                          std::atomic_ref<std::int32_t>(e.connectionKind).load(std::memory_order_relaxed));
        std::atomic_ref<std::int32_t>(e.connectionKind).store(CONNECTION_NORMAL, std::memory_order_relaxed);
    }
    OxCloseDevice(handle);
}

}  // namespace

CardEntry* CardTable() {
    return gCardTable;
}

CRITICAL_SECTION* DriverLock() {
    return &gDriverLock;
}

void ScanCards() {
    EnterCriticalSection(&gDriverLock);
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
        // again by the next scan; its wait lock is made only once.
        if (!(gWaitLocksMade & (1u << i))) InitializeCriticalSection(&e.waitLock);
        gWaitLocksMade |= 1u << i;
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
    LeaveCriticalSection(&gDriverLock);
}

void RegistryLoad() {
    if (gLoaded) RegistryUnload();
    InitializeCriticalSection(&gDriverLock);
    std::memset(static_cast<void*>(gCardTable), 0, sizeof gCardTable);
    gWaitLocksMade = 0;
    ResetPositionMaps();
    ResetVersionGate();
    gLoaded = true;
}

void RegistryUnload() {
    if (!gLoaded) return;
    for (CardEntry& e : gCardTable) UnloadEntry(e);
    // Every wait lock the scan initialised is deleted, open or not, so that
    // repeated load and unload leaves nothing behind.
    for (int i = 0; i < CARD_TABLE_SIZE; ++i) {
        if (gWaitLocksMade & (1u << i)) DeleteCriticalSection(&gCardTable[i].waitLock);
    }
    gWaitLocksMade = 0;
    DeleteCriticalSection(&gDriverLock);
    gLoaded = false;
}
