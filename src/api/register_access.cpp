// Register access on an EP4GXA card's first region.
#include "api/register_access.h"

#include "api/base_address.h"
#include "api/family.h"

std::uint32_t Ep4gxaRegister(std::uint32_t position, std::uint32_t offset, unsigned width, unsigned alignment,
                             volatile void** address) {
    void* base = nullptr;
    std::uint32_t size = 0;
    if (const std::uint32_t code = RegionBaseAdr(EP4GXA_BAR0, position, &base, &size); code != QUELT_OK)
        return code;
    // The whole access must lie inside the region, also when its size is not
    // a multiple of the access width.
    if (static_cast<std::uint64_t>(offset) + width > size) return QUELT_BAD_OFFSET;
    if (offset % alignment != 0) return QUELT_BAD_OFFSET;
    *address = static_cast<volatile std::uint8_t*>(base) + offset;
    return QUELT_OK;
}
