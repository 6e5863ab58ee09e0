// The mapped addresses of a card's memory regions and of the shared area of
// its status block.
#pragma once

#include <cstdint>

#include "registry/card_table.h"

// What distinguishes one region function from another.
struct RegionRule {
    enum class Lookup { Family, Ox952Function0, Ox952Function1 } lookup;
    Family family;  // for Lookup::Family
    enum class Parity { Any, Even, Odd } parity;
    std::int32_t region;    // region table entry returned
    std::uint32_t code;     // region missing, or the device id has the wrong parity
    bool nullAddressFails;  // a listed address of 0 gives `code` (outputs written)
};

inline constexpr RegionRule OX952_BAR05 = {
    RegionRule::Lookup::Ox952Function0, Family::OX952, RegionRule::Parity::Even, 0, 0x80u, false};
inline constexpr RegionRule OX952_BAR11 = {
    RegionRule::Lookup::Ox952Function1, Family::OX952, RegionRule::Parity::Odd, 0, 0x4000u, false};
inline constexpr RegionRule OX952_BAR13 = {
    RegionRule::Lookup::Ox952Function1, Family::OX952, RegionRule::Parity::Odd, 1, 0x8000u, false};
inline constexpr RegionRule OX9162_BAR3 = {
    RegionRule::Lookup::Family, Family::OX9162, RegionRule::Parity::Any, 0, 0x2000u, true};
inline constexpr RegionRule OX9162_BAR4 = {
    RegionRule::Lookup::Family, Family::OX9162, RegionRule::Parity::Any, 1, 0x80u, true};
inline constexpr RegionRule EP4GXA_BAR0 = {
    RegionRule::Lookup::Family, Family::EP4GXA, RegionRule::Parity::Any, 0, 0x80u, true};
inline constexpr RegionRule EP4GXA_BAR1 = {
    RegionRule::Lookup::Family, Family::EP4GXA, RegionRule::Parity::Any, 1, 0x80u, true};
inline constexpr RegionRule EP4GXA_BAR2 = {
    RegionRule::Lookup::Family, Family::EP4GXA, RegionRule::Parity::Any, 2, 0x80u, true};

std::uint32_t RegionBaseAdr(const RegionRule& rule, std::uint32_t position, void** address,
                            std::uint32_t* length);

// The shared area of the status block: after the connection slots, up to the
// end of the block.
std::uint32_t SharedBaseAdr(Family family, std::uint32_t position, void** address, std::uint32_t* length);
