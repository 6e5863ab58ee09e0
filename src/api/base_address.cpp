// The mapped addresses of a card's memory regions and of the shared area: the
// cold paths of base_address.h.
#include "api/base_address.h"

std::uint32_t NotOpenCode(PositionMapId map, std::uint32_t position) {
    const CardEntry* e = MappedEntry(map, position);
    return e != nullptr && IsPresent(*e) ? QUELT_NOT_OPEN : QUELT_NO_CARD;
}
