// The mapped addresses of a card's memory regions and of the shared area.
#include "api/base_address.h"

#include "api/family.h"
#include "driver/device.h"

namespace {

const CardEntry* RegionEntry(const RegionRule& rule, std::uint32_t position) {
    switch (rule.lookup) {
        case RegionRule::Lookup::Ox952Function0:
            return Ox952Function0Entry(position);
        case RegionRule::Lookup::Ox952Function1:
            return Ox952Function1Entry(position);
        case RegionRule::Lookup::Family:
            break;
    }
    return FamilyEntry(rule.family, position);
}

bool ParityFits(const RegionRule& rule, std::uint16_t deviceId) {
    switch (rule.parity) {
        case RegionRule::Parity::Even:
            return (deviceId & 1u) == 0;
        case RegionRule::Parity::Odd:
            return (deviceId & 1u) == 1;
        case RegionRule::Parity::Any:
            break;
    }
    return true;
}

// The handle of an open entry, or the code for a position without one: 0x40
// when a card is there but not open here, 2 when there is no card.
std::uint32_t OpenHandle(const CardEntry* e, DeviceHandle** handle) {
    *handle = e != nullptr ? LoadHandle(*e) : nullptr;
    if (*handle != nullptr) return QUELT_OK;
    return e != nullptr && IsPresent(*e) ? QUELT_NOT_OPEN : QUELT_NO_CARD;
}

}  // namespace

std::uint32_t RegionBaseAdr(const RegionRule& rule, std::uint32_t position, void** address,
                            std::uint32_t* length) {
    if (position >= POSITION_LIMIT) return QUELT_NO_CARD;
    const CardEntry* e = RegionEntry(rule, position);
    DeviceHandle* handle = nullptr;
    if (const std::uint32_t code = OpenHandle(e, &handle); code != QUELT_OK) return code;
    if (address == nullptr || length == nullptr) return QUELT_NULL_POINTER;
    if (!ParityFits(rule, e->deviceId)) return rule.code;
    const DeviceResources* res = OxGetDeviceResources(handle);
    if (res == nullptr) return QUELT_NOT_OPEN;
    if (res->regionCount < rule.region + 1) return rule.code;
    const OxRegion& region = res->regions[rule.region];
    *address = region.address;
    *length = static_cast<std::uint32_t>(region.length);
    if (rule.nullAddressFails && region.address == nullptr) return rule.code;
    return QUELT_OK;
}

std::uint32_t SharedBaseAdr(Family family, std::uint32_t position, void** address, std::uint32_t* length) {
    if (position >= POSITION_LIMIT) return QUELT_NO_CARD;
    const CardEntry* e = nullptr;
    if (family == Family::OX952) {
        // Function 0's block while function 0 is open, else function 1's.
        e = Ox952Function0Entry(position);
        if (e == nullptr || LoadHandle(*e) == nullptr) e = Ox952Function1Entry(position);
    } else {
        e = FamilyEntry(family, position);
    }
    DeviceHandle* handle = nullptr;
    if (const std::uint32_t code = OpenHandle(e, &handle); code != QUELT_OK) return code;
    if (address == nullptr || length == nullptr) return QUELT_NULL_POINTER;
    SharedStatusBlock* block = StatusBlockOf(handle);
    if (block == nullptr) return QUELT_NULL_POINTER;
    // Any process can write the slot count; one that would put the area
    // outside the block is treated like a missing block.
    const std::int32_t n = LoadShared(block->slotCount);
    if (n < 0 || n > MAX_SLOTS) return QUELT_NULL_POINTER;
    *address = reinterpret_cast<std::uint8_t*>(block) + 24 + 4 * static_cast<std::int64_t>(n);
    *length = static_cast<std::uint32_t>(1000 - 4 * n);
    return QUELT_OK;
}
