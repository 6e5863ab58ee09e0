// The contract with the card driver: its device interface class, the eight
// request codes and the records exchanged with it or shared through it. These
// layouts are fixed by the driver; every offset is checked at compile time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/win32.h"
#include "quelt_ox952.h"

// {90C3D703-9505-4887-8924-69F69CB8D5B9}
inline constexpr GUID CARD_INTERFACE_GUID = {
    0x90C3D703u, 0x9505u, 0x4887u, {0x89u, 0x24u, 0x69u, 0xF6u, 0x9Cu, 0xB8u, 0xD5u, 0xB9u}};

// Device type 0, functions 64..71, buffered, any access.
constexpr DWORD CardRequestCode(DWORD function) {
    return (function << 2);
}
inline constexpr DWORD IOCTL_CARD_ATTACH = CardRequestCode(64);          // 256
inline constexpr DWORD IOCTL_CARD_DETACH = CardRequestCode(65);          // 260
inline constexpr DWORD IOCTL_CARD_WAIT_IRQ = CardRequestCode(66);        // 264
inline constexpr DWORD IOCTL_CARD_DRIVER_VERSION = CardRequestCode(67);  // 268
inline constexpr DWORD IOCTL_CARD_IRQ_WAITS = CardRequestCode(68);       // 272
inline constexpr DWORD IOCTL_CARD_DISCARD_WAITS = CardRequestCode(69);   // 276
inline constexpr DWORD IOCTL_CARD_ALLOC_DMA = CardRequestCode(70);       // 280
inline constexpr DWORD IOCTL_CARD_RELEASE_DMA = CardRequestCode(71);     // 284
static_assert(IOCTL_CARD_ATTACH == 256 && IOCTL_CARD_RELEASE_DMA == 284);

// A wait completed by a discard reports this byte count.
inline constexpr DWORD WAIT_DISCARDED_BYTES = 99;

// DeviceResources is defined in the public header so applications can read it.
static_assert(sizeof(DeviceResources) == 336);

struct AttachRecord {
    std::uint64_t recordSize;  // always 344
    DeviceResources resources;
};
inline constexpr std::uint64_t ATTACH_RECORD_SIZE = 344;
static_assert(sizeof(AttachRecord) == ATTACH_RECORD_SIZE);
static_assert(offsetof(AttachRecord, resources) == 8);

// One per card, mapped by the driver into every process that has the card
// attached. Other processes write it concurrently, so every access goes through
// the Load/Store helpers below (plain 32-bit accesses, never cached), and the
// diagnostic count changes only by interlocked increment and decrement.
struct SharedStatusBlock {
    std::uint32_t reserved;
    std::uint32_t irqCounter;  // 4: raised by the driver per interrupt
    std::uint32_t ackCounter;  // 8: the count the last wait took note of
    std::int32_t attachCount;  // 12: handles attached, kept by the driver
    std::int32_t diagCount;    // 16: diagnostic connections
    std::int32_t slotCount;    // 20: connection slots N
    std::uint32_t slots[250];  // 24: N process ids, then the shared area
};
inline constexpr std::size_t STATUS_BLOCK_SIZE = 1024;
// Slots that fit before the end of the block: a larger slot count, which any
// process can write, is never followed beyond this.
inline constexpr std::int32_t MAX_SLOTS = 250;
static_assert(sizeof(SharedStatusBlock) == STATUS_BLOCK_SIZE);
static_assert(offsetof(SharedStatusBlock, irqCounter) == 4);
static_assert(offsetof(SharedStatusBlock, ackCounter) == 8);
static_assert(offsetof(SharedStatusBlock, attachCount) == 12);
static_assert(offsetof(SharedStatusBlock, diagCount) == 16);
static_assert(offsetof(SharedStatusBlock, slotCount) == 20);
static_assert(offsetof(SharedStatusBlock, slots) == 24);

template <typename T>
inline T LoadShared(const T& field) {
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_relaxed);
}
template <typename T>
inline void StoreShared(T& field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

// Slots a loop may visit for a block's slot count: 0 for N <= 0, at most MAX_SLOTS.
inline std::int32_t BoundedSlotCount(std::int32_t n) {
    return n <= 0 ? 0 : (n > MAX_SLOTS ? MAX_SLOTS : n);
}

// The DMA allocation reply, 20 bytes.
#pragma pack(push, 1)
struct DmaReply {
    std::uint64_t base;
    std::uint64_t key;
    std::uint32_t size;
};
#pragma pack(pop)
static_assert(sizeof(DmaReply) == 20);
static_assert(offsetof(DmaReply, key) == 8 && offsetof(DmaReply, size) == 16);

inline SharedStatusBlock* StatusBlockOf(const DeviceResources* resources) {
    return resources ? static_cast<SharedStatusBlock*>(resources->statusBlock) : nullptr;
}
