// The process-wide table of the cards the driver offers, the DriverLock, the
// per-family position maps, closing what the process holds on an entry, and
// the library's load and unload routines.
#pragma once

#include <atomic>
#include <cstdint>

#include "driver/contract.h"

struct DeviceHandle;

inline constexpr int CARD_TABLE_SIZE = 32;
inline constexpr std::uint16_t CARD_VENDOR_ID = 0x1760;

// Which family a device id belongs to. All ranges are inclusive, on the 16-bit
// device id.
constexpr bool DeviceIdIn(std::uint16_t d, std::uint16_t lo, std::uint16_t hi) {
    return d >= lo && d <= hi;
}
constexpr bool IsOx9162Device(std::uint16_t d) {
    return DeviceIdIn(d, 0x0000, 0x01FF) || DeviceIdIn(d, 0x8000, 0x81FF);
}
// EP4GXA cards also carry their identity words in region 0.
constexpr bool IsEp4gxaDevice(std::uint16_t d) {
    return DeviceIdIn(d, 0x0800, 0x08FF) || DeviceIdIn(d, 0x8800, 0x88FF);
}
// Function 0 of a two-function OX952 card: even ids; its partner is id ^ 1.
constexpr bool IsOx952Function0Device(std::uint16_t d) {
    return (d & 1u) == 0 && (DeviceIdIn(d, 0x0200, 0x03FF) || DeviceIdIn(d, 0x8200, 0x83FF));
}
// An OX952 function 1 that stands alone: odd ids.
constexpr bool IsOx952LoneFunction1Device(std::uint16_t d) {
    return (d & 1u) == 1 && (DeviceIdIn(d, 0x0400, 0x05FF) || DeviceIdIn(d, 0x8400, 0x85FF));
}

struct CardEntry {
    std::uint16_t vendorId;
    std::uint16_t deviceId;
    std::uint16_t slot;
    std::uint8_t irqLine;
    std::uint32_t bus;
    std::uint32_t pciAddress;
    std::int32_t irqTimeout;  // ms, kept across Close and Open
    char boardName[32];       // not terminated when 32 characters long
    // Threads of this process inside IRQ_Wait (waiting, or queued for the
    // waitLock) or GetIrqWaits for this card. Interlocked only, and never
    // reset while the entry lives, so it stays the true number whatever
    // Opens and Closes run meanwhile.
    LONG irqWaiters;
    LONG irqWaitersInDriver;      // of those, the ones inside IRQ_Wait: what a discard releases
    CRITICAL_SECTION waitLock;    // one interrupt wait of this process at a time
    CRITICAL_SECTION eepromLock;  // one whole EEPROM operation of this process at a time
    DeviceHandle* handle;         // owned by the table; null while not open
    std::uint32_t irqEnabled;
    std::int32_t connectionKind;
    std::uint32_t irqBase;
    std::uint32_t cardId;
    std::uint32_t serialNumber;
};

// Fields that change after the scan (handle, irqEnabled, irqTimeout,
// connectionKind, irqBase, irqWaiters) are read by threads that do not hold the
// DriverLock; they are accessed through these helpers only.
inline DeviceHandle* LoadHandle(const CardEntry& e) {
    return std::atomic_ref<DeviceHandle*>(const_cast<DeviceHandle*&>(e.handle))
        .load(std::memory_order_acquire);
}
// Keeps the positions that name the entry in step (registry/open_positions.h).
void RefreshOpenPositions(const CardEntry& entry);
inline void StoreHandle(CardEntry& e, DeviceHandle* h) {
    std::atomic_ref<DeviceHandle*>(e.handle).store(h, std::memory_order_release);
    RefreshOpenPositions(e);
}
inline bool IsPresent(const CardEntry& e) {
    return e.boardName[0] != '\0';
}

// Entry i belongs to the driver's device number i + 1.
CardEntry* CardTable();
inline int TableIndexOf(const CardEntry& e) {
    return static_cast<int>(&e - CardTable());
}
inline std::int32_t DeviceIndexOf(const CardEntry& e) {
    return TableIndexOf(e) + 1;
}

// Attaches the entry's device again by its number. The driver numbers its
// devices afresh for every listing, so once a card of the machine is gone the
// number may lead to another card: such a handle is closed again and null
// returned, and a position never reaches a card that is not its own.
DeviceHandle* AttachEntryDevice(const CardEntry& e);

// The one process-wide critical section (recursive).
CRITICAL_SECTION* DriverLock();

// Fills the table from the driver's devices; harmless when already filled.
void ScanCards();

// Load and unload, called by the library entry point (and by tests). Unload
// closes every entry as Close does, ending the interrupt waits other threads
// may still have in progress, so that the process never waits for a slice.
void RegistryLoad();
void RegistryUnload();

// Takes the handle out of the entry under the DriverLock; null when it held
// none. Whoever gets a handle from here closes it (CloseEntry).
DeviceHandle* TakeHandle(CardEntry& entry);

// Finishes closing an entry whose handle was already taken out: releases this
// process's connection on the card, ends pending interrupt waits of this
// process through a temporary handle, and closes the handle once no thread of
// the process uses it any more. Null is ignored.
void CloseEntry(CardEntry& entry, DeviceHandle* handle);

// Closes a handle taken out of the entry without touching its connection
// record, once no lock-free read of its status block is left. Null is ignored.
void CloseTakenHandle(CardEntry& entry, DeviceHandle* handle);

// The OX952 partner of a function-0 entry: the one present entry with device
// id ^ 1 on the same bus and slot. NO_CARD when there is none,
// AMBIGUOUS_PARTNER when there is more than one.
std::int8_t Ox952PartnerOf(const CardEntry& function0);

// --- Position maps ---
//
// A map value is a table index 0..31, NO_CARD, or (OX952 function-1 map only)
// AMBIGUOUS_PARTNER. The no-card mark is kept apart from every table index, so
// a full table of 32 cards cannot make a position without a card resolve to
// entry 31.
inline constexpr std::int8_t NO_CARD = -1;
inline constexpr std::int8_t AMBIGUOUS_PARTNER = 32;

struct PositionMap {
    std::atomic<bool> built;
    std::atomic<std::int8_t> index[CARD_TABLE_SIZE];
};

enum class Family { OX952, OX9162, EP4GXA };

// The family's map, built first if it is not built yet (under the DriverLock;
// marked built only once complete). For OX952 this is the function-0 map.
// Only the calls that name cards without needing an open one build a map:
// enumeration, Open and Close, and the connection queries that may open.
const PositionMap& BuiltMap(Family family);
// The OX952 function-1 map (built together with the function-0 map). Open
// writes pairings into it.
PositionMap& Ox952Function1Map();
// Every map back to unbuilt (load).
void ResetPositionMaps();
// The map as it stands, never building it: every position of an unbuilt map
// is NO_CARD. OX952: the function-0 and the function-1 map.
const PositionMap& MapAsBuilt(Family family);
const PositionMap& Ox952Function1MapAsBuilt();

// The entry a map value names, or null for NO_CARD, AMBIGUOUS_PARTNER and any
// value that is not a table index.
CardEntry* EntryFor(std::int8_t mapValue);

// Lookups by position, reading the maps as they stand: they never build a
// map, so a position of an unbuilt map names no entry (null). Callers test
// position < 32 first; callers that must build call BuiltMap first.
CardEntry* FamilyEntry(Family family, std::uint32_t position);  // OX9162, EP4GXA
CardEntry* Ox952Function0Entry(std::uint32_t position);
CardEntry* Ox952Function1Entry(std::uint32_t position);
// Function-0 entry when the position has one, else the function-1 entry.
CardEntry* Ox952CardEntry(std::uint32_t position);
