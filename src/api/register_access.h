// Register access on an EP4GXA card's first region, and raw byte access to
// mapped card memory.
//
// An application makes one of these calls per register it touches, so the
// path that succeeds is inline and complete: the position's open state in one
// read (open_positions.h), region 0's base and size, the range and alignment
// tests, the window test and the access. Everything else (refusals, accesses
// near a device-model window) is one out-of-line call, so the inline path needs
// no registers saved.
#pragma once

#include <cstdint>

#include "api/base_address.h"
#include "platform/mmio.h"

// The mapped register of `width` bytes at offset of the EP4GXA card's region
// 0, or the code why there is none: the region codes of the region lookup, or
// QUELT_BAD_OFFSET when the offset is not a multiple of `alignment` or the
// access would not lie wholly inside the region.
std::uint32_t Ep4gxaRegister(std::uint32_t position, std::uint32_t offset, unsigned width, unsigned alignment,
                             volatile void** address);

// The register's address when the card at the position is open here, region 0
// is mapped, and the access lies wholly inside it and is aligned; else null.
template <unsigned Width, unsigned Alignment>
inline volatile void* OpenRegister(std::uint32_t position, std::uint32_t offset) {
    if (position >= static_cast<std::uint32_t>(CARD_TABLE_SIZE)) return nullptr;
    const RegisterRegion region = OpenRegisterRegion(PositionMapId::EP4GXA, position);
    if (region.address == nullptr) return nullptr;
    // The whole access must lie inside the region, also when its size is not
    // a multiple of the access width.
    const std::uint64_t size = region.length;
    if (offset + std::uint64_t{Width} > size || offset % Alignment != 0) return nullptr;
    return static_cast<volatile std::uint8_t*>(region.address) + offset;
}

template <typename T, unsigned Alignment>
[[gnu::noinline]] std::uint32_t Ep4gxaReadSlow(std::uint32_t position, std::uint32_t offset, T* value) {
    volatile void* reg = nullptr;
    const std::uint32_t code = Ep4gxaRegister(position, offset, sizeof(T), Alignment, &reg);
    if (code == QUELT_OK) *value = mmio::Read<T>(reg);
    return code;
}

template <typename T, unsigned Alignment>
[[gnu::noinline]] std::uint32_t Ep4gxaWriteSlow(std::uint32_t position, std::uint32_t offset, T value) {
    volatile void* reg = nullptr;
    const std::uint32_t code = Ep4gxaRegister(position, offset, sizeof(T), Alignment, &reg);
    if (code == QUELT_OK) mmio::Write<T>(reg, value);
    return code;
}

// One read of sizeof(T) bytes; the result pointer is tested first.
template <typename T, unsigned Alignment>
inline std::uint32_t Ep4gxaRead(std::uint32_t position, std::uint32_t offset, T* value) {
    if (value == nullptr) return QUELT_NULL_POINTER;
    volatile void* reg = OpenRegister<sizeof(T), Alignment>(position, offset);
    if (reg != nullptr && mmio::TryPlainRead(reg, value)) [[likely]]
        return QUELT_OK;
    return Ep4gxaReadSlow<T, Alignment>(position, offset, value);
}

template <typename T, unsigned Alignment>
inline std::uint32_t Ep4gxaWrite(std::uint32_t position, std::uint32_t offset, T value) {
    volatile void* reg = OpenRegister<sizeof(T), Alignment>(position, offset);
    if (reg != nullptr && mmio::TryPlainWrite(reg, value)) [[likely]]
        return QUELT_OK;
    return Ep4gxaWriteSlow<T, Alignment>(position, offset, value);
}

// A 64-bit register as two 32-bit halves, read in one 64-bit access: low is
// bits 0 to 31.
inline void SplitWord(std::uint64_t word, std::uint32_t* low, std::uint32_t* high) {
    *low = static_cast<std::uint32_t>(word);
    *high = static_cast<std::uint32_t>(word >> 32);
}

[[gnu::noinline]] inline std::uint32_t Ep4gxaRead2x32Slow(std::uint32_t position, std::uint32_t offset,
                                                          std::uint32_t* low, std::uint32_t* high) {
    std::uint64_t word = 0;
    const std::uint32_t code = Ep4gxaReadSlow<std::uint64_t, 8>(position, offset, &word);
    if (code == QUELT_OK) SplitWord(word, low, high);
    return code;
}

inline std::uint32_t Ep4gxaRead2x32(std::uint32_t position, std::uint32_t offset, std::uint32_t* low,
                                    std::uint32_t* high) {
    if (low == nullptr || high == nullptr) return QUELT_NULL_POINTER;
    volatile void* reg = OpenRegister<8, 8>(position, offset);
    std::uint64_t word;
    if (reg != nullptr && mmio::TryPlainRead(reg, &word)) [[likely]] {
        SplitWord(word, low, high);
        return QUELT_OK;
    }
    return Ep4gxaRead2x32Slow(position, offset, low, high);
}

// The low value is taken as unsigned: its sign never spreads into the high half.
inline std::uint64_t JoinWord(std::uint32_t low, std::uint32_t high) {
    return (static_cast<std::uint64_t>(high) << 32) | static_cast<std::uint64_t>(low);
}

// No test of base or offset: the caller keeps within the region it was given.
inline void ByteWrite(void* base, std::uint32_t offset, std::uint8_t value) {
    mmio::Write8(static_cast<volatile std::uint8_t*>(base) + offset, value);
}
inline std::uint8_t ByteRead(void* base, std::uint32_t offset) {
    return mmio::Read8(static_cast<volatile std::uint8_t*>(base) + offset);
}
