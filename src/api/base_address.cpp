// The mapped addresses of a card's memory regions and of the shared area: the
// cold paths of base_address.h.
#include "api/base_address.h"

std::uint32_t NotOpenCode(PositionMapId map, std::uint32_t position) {
    const CardEntry* e = MappedEntry(map, position);
    return e != nullptr && IsPresent(*e) ? QUELT_NOT_OPEN : QUELT_NO_CARD;
}

std::uint32_t RegionBaseAdrAgain(const RegionRule& rule, std::uint32_t position, void** address,
                                 std::uint32_t* length) {
    return RegionResult(rule, position, ReadOpenRegionAgain(rule.map, position, rule.region), address,
                        length);
}

std::uint32_t SharedBaseAdrSlow(Family family, std::uint32_t position, void** address,
                                std::uint32_t* length) {
    PositionMapId map = MapIdOf(family);
    BlockRead counted;
    OpenBlock open = ReadOpenBlock(map, position);
    if (!open.open && family == Family::OX952) {
        map = PositionMapId::OX952Function1;
        open = ReadOpenBlock(map, position);
    }
    if (!open.open) return NotOpenCode(map, position);
    if (address == nullptr || length == nullptr) return QUELT_NULL_POINTER;
    return SharedAreaOf(open.block, address, length);
}
