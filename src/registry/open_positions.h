// What the hot paths need of an open card position, ready in one read: the
// driver's resources of the handle that holds the position open.
//
// Register access and base addresses run once per access an application
// makes, so they must not walk from the position through the map, the table
// entry and the handle each time. Every change of an entry's handle
// (StoreHandle: Open, Close, unload) brings the positions that name the entry
// up to date, so a position reads open here exactly while its entry holds a
// handle. The resources a handle delivers do not change while it is attached,
// so the pointer is the whole of the cached state; readers take no lock and
// write nothing.
#pragma once

#include <atomic>
#include <cstdint>

#include "registry/card_table.h"

// The four position maps: the OX952 function-0 and function-1 maps, then the
// OX9162 and EP4GXA maps.
enum class PositionMapId { OX952Function0, OX952Function1, OX9162, EP4GXA };
inline constexpr int POSITION_MAP_COUNT = 4;

namespace open_positions_detail {
// Apart, so the hot paths index an array of pointers and nothing else.
extern std::atomic<const DeviceResources*> resources[POSITION_MAP_COUNT][CARD_TABLE_SIZE];
// Region 0 of those resources when it is listed and mapped, else null: what
// register access needs, with its tests already made.
extern std::atomic<const OxRegion*> firstRegions[POSITION_MAP_COUNT][CARD_TABLE_SIZE];
// The entry the map named at the last change; null while none.
extern std::atomic<const CardEntry*> entries[POSITION_MAP_COUNT][CARD_TABLE_SIZE];
}  // namespace open_positions_detail

inline constexpr PositionMapId MapIdOf(Family family) {
    return family == Family::OX9162   ? PositionMapId::OX9162
           : family == Family::EP4GXA ? PositionMapId::EP4GXA
                                      : PositionMapId::OX952Function0;
}

// The resources of the handle holding the position open, or null; position
// below CARD_TABLE_SIZE.
inline const DeviceResources* OpenResources(PositionMapId map, std::uint32_t position) {
    return open_positions_detail::resources[static_cast<int>(map)][position].load(std::memory_order_acquire);
}

// Region 0 of the open position when the card lists it with an address, or
// null; position below CARD_TABLE_SIZE.
inline const OxRegion* OpenFirstRegion(PositionMapId map, std::uint32_t position) {
    return open_positions_detail::firstRegions[static_cast<int>(map)][position].load(
        std::memory_order_acquire);
}

// The entry behind an open position (read after OpenResources gave non-null).
inline const CardEntry* OpenEntry(PositionMapId map, std::uint32_t position) {
    return open_positions_detail::entries[static_cast<int>(map)][position].load(std::memory_order_relaxed);
}

// Brings every position whose map names `entry`, or named it at the last
// change, up to date with the entry's handle. Called by StoreHandle.
void RefreshOpenPositions(const CardEntry& entry);

// Every position back to not open (load, and when the maps are reset).
void ForgetOpenPositions();

// The entry a position's map names as it stands, never building the map.
const CardEntry* MappedEntry(PositionMapId map, std::uint32_t position);
