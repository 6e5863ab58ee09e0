// Register access on an EP4GXA card's first region, and raw byte access to
// mapped card memory.
#pragma once

#include <cstdint>

#include "platform/mmio.h"

// The mapped register of `width` bytes at offset of the EP4GXA card's region
// 0, or the code why there is none: the region codes of the region lookup, or
// QUELT_BAD_OFFSET when the offset is not a multiple of `alignment` or the
// access would not lie wholly inside the region.
std::uint32_t Ep4gxaRegister(std::uint32_t position, std::uint32_t offset, unsigned width, unsigned alignment,
                             volatile void** address);

// No test of base or offset: the caller keeps within the region it was given.
inline void ByteWrite(void* base, std::uint32_t offset, std::uint8_t value) {
    mmio::Write8(static_cast<volatile std::uint8_t*>(base) + offset, value);
}
inline std::uint8_t ByteRead(void* base, std::uint32_t offset) {
    return mmio::Read8(static_cast<volatile std::uint8_t*>(base) + offset);
}
