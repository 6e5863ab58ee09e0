// Register access on an EP4GXA card's first region: the full path, taken by
// refusals and by accesses near a device-model window.
#include "api/register_access.h"

std::uint32_t Ep4gxaRegister(std::uint32_t position, std::uint32_t offset, unsigned width, unsigned alignment,
                             volatile void** address) {
    void* base = nullptr;
    std::uint32_t size = 0;
    if (const std::uint32_t code = RegionBaseAdr(EP4GXA_BAR0, position, &base, &size); code != QUELT_OK)
        return code;
    if (static_cast<std::uint64_t>(offset) + width > size) return QUELT_BAD_OFFSET;
    if (offset % alignment != 0) return QUELT_BAD_OFFSET;
    *address = static_cast<volatile std::uint8_t*>(base) + offset;
    return QUELT_OK;
}
