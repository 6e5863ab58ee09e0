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

// The result for one consistent view of the position.
inline std::uint32_t RegionResult(const RegionRule& rule, std::uint32_t position, const OpenRegion& open,
                                  void** address, std::uint32_t* length) {
    if (!open.open()) return NotOpenCode(rule.map, position);
    if (address == nullptr || length == nullptr) return QUELT_NULL_POINTER;
    if (rule.parity != RegionRule::Parity::Any &&
        open.oddDevice() != (rule.parity == RegionRule::Parity::Odd))
        return rule.code;
    if (open.regionCount() < rule.region + 1) return rule.code;
    *address = open.address;
    *length = static_cast<std::uint32_t>(open.length);
    if (rule.nullAddressFails && open.address == nullptr) return rule.code;
    return QUELT_OK;
}

// The same while an Open or Close rewrites the position's state.
std::uint32_t RegionBaseAdrAgain(const RegionRule& rule, std::uint32_t position, void** address,
                                 std::uint32_t* length);

inline std::uint32_t RegionBaseAdr(const RegionRule& rule, std::uint32_t position, void** address,
                                   std::uint32_t* length) {
    if (position >= static_cast<std::uint32_t>(CARD_TABLE_SIZE)) return QUELT_NO_CARD;
    OpenRegion open;
    if (!TryReadOpenRegion(rule.map, position, rule.region, &open)) [[unlikely]]
        return RegionBaseAdrAgain(rule, position, address, length);
    return RegionResult(rule, position, open, address, length);
}

// The shared area of the status block: after the connection slots, up to the
// end of the block. Called inside a BlockRead.
inline std::uint32_t SharedAreaOf(SharedStatusBlock* block, void** address, std::uint32_t* length) {
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

// Every case but the common one: not open, a null output, no block, a slot
// count out of range, an Open or Close meanwhile, and OX952 function 1.
// OX952: function 0's block while function 0 is open, else function 1's.
std::uint32_t SharedBaseAdrSlow(Family family, std::uint32_t position, void** address, std::uint32_t* length);

// The common case calls nothing while counted in, so it needs no registers
// saved.
inline std::uint32_t SharedBaseAdr(Family family, std::uint32_t position, void** address,
                                   std::uint32_t* length) {
    if (position >= static_cast<std::uint32_t>(CARD_TABLE_SIZE)) return QUELT_NO_CARD;
    {
        // The block stays mapped while this call is counted in, whatever
        // Close another thread runs meanwhile.
        BlockRead counted;
        // A block in the slot is an open position's, read in one load.
        SharedStatusBlock* block = OpenStatusBlock(MapIdOf(family), position);
        if (block != nullptr && address != nullptr && length != nullptr) [[likely]] {
            const std::int32_t n = LoadShared(block->slotCount);
            if (n >= 0 && n <= MAX_SLOTS) [[likely]] {
                const std::size_t start = offsetof(SharedStatusBlock, slots) +
                                          sizeof(block->slots[0]) * static_cast<std::size_t>(n);
                *address = reinterpret_cast<std::uint8_t*>(block) + start;
                *length = static_cast<std::uint32_t>(STATUS_BLOCK_SIZE - start);
                return QUELT_OK;
            }
        }
    }
    return SharedBaseAdrSlow(family, position, address, length);
}
