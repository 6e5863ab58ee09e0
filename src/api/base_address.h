// The mapped addresses of a card's memory regions and of the shared area of
// its status block.
//
// These run once for every register access and EEPROM operation, so they are
// inline and read the position's open state in one load (open_positions.h):
// no lock, no driver request, no allocation, and never a map build. A map
// that is not built yet reads as "no card".
#pragma once

#include <cstddef>
#include <cstdint>

#include "quelt_ox952.h"
#include "registry/card_table.h"
#include "registry/open_positions.h"

// What distinguishes one region function from another.
struct RegionRule {
    PositionMapId map;
    enum class Parity { Any, Even, Odd } parity;
    std::int32_t region;    // region table entry returned
    std::uint32_t code;     // region missing, or the device id has the wrong parity
    bool nullAddressFails;  // a listed address of 0 gives `code` (outputs written)
};

inline constexpr RegionRule OX952_BAR05 = {PositionMapId::OX952Function0, RegionRule::Parity::Even, 0,
                                           QUELT_NO_REGION, false};
inline constexpr RegionRule OX952_BAR11 = {PositionMapId::OX952Function1, RegionRule::Parity::Odd, 0,
                                           QUELT_NO_BAR11, false};
inline constexpr RegionRule OX952_BAR13 = {PositionMapId::OX952Function1, RegionRule::Parity::Odd, 1,
                                           QUELT_NO_BAR13, false};
inline constexpr RegionRule OX9162_BAR3 = {PositionMapId::OX9162, RegionRule::Parity::Any, 0, QUELT_NO_BAR3,
                                           true};
inline constexpr RegionRule OX9162_BAR4 = {PositionMapId::OX9162, RegionRule::Parity::Any, 1, QUELT_NO_REGION,
                                           true};
inline constexpr RegionRule EP4GXA_BAR0 = {PositionMapId::EP4GXA, RegionRule::Parity::Any, 0, QUELT_NO_REGION,
                                           true};
inline constexpr RegionRule EP4GXA_BAR1 = {PositionMapId::EP4GXA, RegionRule::Parity::Any, 1, QUELT_NO_REGION,
                                           true};
inline constexpr RegionRule EP4GXA_BAR2 = {PositionMapId::EP4GXA, RegionRule::Parity::Any, 2, QUELT_NO_REGION,
                                           true};

// The code for a position that is not open here: QUELT_NOT_OPEN when the map
// names a card, else QUELT_NO_CARD.
std::uint32_t NotOpenCode(PositionMapId map, std::uint32_t position);

inline bool ParityFits(RegionRule::Parity parity, const CardEntry* entry) {
    if (parity == RegionRule::Parity::Any) return true;
    const bool odd = entry != nullptr && (entry->deviceId & 1u) == 1u;
    return parity == RegionRule::Parity::Odd ? odd : !odd;
}

inline std::uint32_t RegionBaseAdr(const RegionRule& rule, std::uint32_t position, void** address,
                                   std::uint32_t* length) {
    if (position >= static_cast<std::uint32_t>(CARD_TABLE_SIZE)) return QUELT_NO_CARD;
    const DeviceResources* res = OpenResources(rule.map, position);
    if (res == nullptr) return NotOpenCode(rule.map, position);
    if (address == nullptr || length == nullptr) return QUELT_NULL_POINTER;
    if (rule.parity != RegionRule::Parity::Any && !ParityFits(rule.parity, OpenEntry(rule.map, position)))
        return rule.code;
    if (res->regionCount < rule.region + 1) return rule.code;
    const OxRegion& region = res->regions[rule.region];
    *address = region.address;
    *length = static_cast<std::uint32_t>(region.length);
    if (rule.nullAddressFails && region.address == nullptr) return rule.code;
    return QUELT_OK;
}

// The shared area of the status block: after the connection slots, up to the
// end of the block. OX952: function 0's block while function 0 is open, else
// function 1's.
inline std::uint32_t SharedAreaOf(const DeviceResources* res, void** address, std::uint32_t* length) {
    SharedStatusBlock* block = StatusBlockOf(res);
    if (block == nullptr) return QUELT_NULL_POINTER;
    // Any process can write the slot count; one that would put the area
    // outside the block is treated like a missing block.
    const std::int32_t n = LoadShared(block->slotCount);
    if (n < 0 || n > MAX_SLOTS) return QUELT_NULL_POINTER;
    const std::size_t start =
        offsetof(SharedStatusBlock, slots) + sizeof(block->slots[0]) * static_cast<std::size_t>(n);
    *address = reinterpret_cast<std::uint8_t*>(block) + start;
    *length = static_cast<std::uint32_t>(STATUS_BLOCK_SIZE - start);
    return QUELT_OK;
}

inline std::uint32_t SharedBaseAdr(Family family, std::uint32_t position, void** address,
                                   std::uint32_t* length) {
    if (position >= static_cast<std::uint32_t>(CARD_TABLE_SIZE)) return QUELT_NO_CARD;
    PositionMapId map = MapIdOf(family);
    const DeviceResources* res = OpenResources(map, position);
    if (res == nullptr && family == Family::OX952) {
        map = PositionMapId::OX952Function1;
        res = OpenResources(map, position);
    }
    if (res == nullptr) return NotOpenCode(map, position);
    if (address == nullptr || length == nullptr) return QUELT_NULL_POINTER;
    return SharedAreaOf(res, address, length);
}
