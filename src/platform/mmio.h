// Card memory accesses. Every load and store the library makes to mapped card
// memory goes through these: one volatile access of the stated width, never
// merged, split, reordered or left out.
//
// In the real Windows DLL that is all they are. On POSIX, and in the
// simulated DLL, a device model of the simulated card driver may sit behind a
// window of card memory (the EEPROM on its control byte, a recording model in
// tests); an access that touches a window with any of its bytes goes to the
// model, every other access is the plain volatile access.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace mmio {

#if QUELT_MMIO_MODELS
// A device model behind a window of card memory. Offsets are from the window's
// start; width is 1, 4 or 8 bytes. An access that begins before the window
// and reaches into it gets an offset that wrapped below zero: read it as a
// std::ptrdiff_t. Calls may come from any thread.
class Model {
public:
    virtual ~Model() = default;
    virtual std::uint64_t Read(std::size_t offset, unsigned width) = 0;
    virtual void Write(std::size_t offset, unsigned width, std::uint64_t value) = 0;
};

// Registers model for [base, base + size). The model must outlive the window.
// Returns an id for UnregisterWindow, or -1 for a null base or model or an
// empty window.
int RegisterWindow(const volatile void* base, std::size_t size, Model* model);
// Removes the window; returns once no access is inside the model any more.
void UnregisterWindow(int id);

namespace detail {
// The number of registered windows.
extern std::atomic<int> windowCount;

// Which 4 KiB pages an access may start in and still touch a window, hashed
// by page number: a slot holds the one such page that hashes to it, 0 for
// none, or kSharedSlot when several do. The hot path reads one slot and
// writes nothing, so threads on different cards never share a written line;
// a window elsewhere costs an access nothing more than no window at all.
// A slot changes in one store from what held before a change of the windows
// to what holds after it, so a reader always finds every window that is there
// both before and after.
inline constexpr unsigned kPageShift = 12;
inline constexpr std::size_t kPageSlots = 256;
inline constexpr std::uintptr_t kSharedSlot = ~std::uintptr_t{0};
extern std::atomic<std::uintptr_t> windowPages[kPageSlots];

// True when some window holds a byte of the access; then the access was made
// through that window's model. Looks the windows up without a lock.
bool ModelRead(const volatile void* addr, unsigned width, std::uint64_t* value);
bool ModelWrite(volatile void* addr, unsigned width, std::uint64_t value);

// Accesses are at most 8 bytes wide, so a page counts for a window when the
// window holds a byte of it or of the 7 bytes after it (see RegisterWindow).
inline bool MayTouchWindow(const volatile void* addr) {
    const std::uintptr_t page = reinterpret_cast<std::uintptr_t>(addr) >> kPageShift;
    const std::uintptr_t slot = windowPages[page % kPageSlots].load(std::memory_order_relaxed);
    return slot == page || slot == kSharedSlot;
}
}  // namespace detail
#endif

#if QUELT_MMIO_MODELS
namespace detail {
// The access when it may touch a window: out of line, so the inline path
// needs no registers saved for it.
template <typename T>
[[gnu::noinline, gnu::cold]] T ReadNearWindows(const volatile void* addr) {
    std::uint64_t v;
    if (ModelRead(addr, sizeof(T), &v)) return static_cast<T>(v);
    return *static_cast<const volatile T*>(addr);
}
template <typename T>
[[gnu::noinline, gnu::cold]] void WriteNearWindows(volatile void* addr, T value) {
    if (!ModelWrite(addr, sizeof(T), static_cast<std::uint64_t>(value)))
        *static_cast<volatile T*>(addr) = value;
}
}  // namespace detail
#endif

template <typename T>
inline T Read(const volatile void* addr) {
#if QUELT_MMIO_MODELS
    if (detail::MayTouchWindow(addr)) [[unlikely]]
        return detail::ReadNearWindows<T>(addr);
#endif
    return *static_cast<const volatile T*>(addr);
}

template <typename T>
inline void Write(volatile void* addr, T value) {
#if QUELT_MMIO_MODELS
    if (detail::MayTouchWindow(addr)) [[unlikely]]
        return detail::WriteNearWindows<T>(addr, value);
#endif
    *static_cast<volatile T*>(addr) = value;
}

// The plain access, made only when no window can be touched by it: true when
// it was made. Lets a caller keep its own slow path out of line.
template <typename T>
inline bool TryPlainRead(const volatile void* addr, T* value) {
#if QUELT_MMIO_MODELS
    if (detail::MayTouchWindow(addr)) return false;
#endif
    *value = *static_cast<const volatile T*>(addr);
    return true;
}
template <typename T>
inline bool TryPlainWrite(volatile void* addr, T value) {
#if QUELT_MMIO_MODELS
    if (detail::MayTouchWindow(addr)) return false;
#endif
    *static_cast<volatile T*>(addr) = value;
    return true;
}

inline std::uint8_t Read8(const volatile void* addr) {
    return Read<std::uint8_t>(addr);
}
inline std::uint32_t Read32(const volatile void* addr) {
    return Read<std::uint32_t>(addr);
}
inline std::uint64_t Read64(const volatile void* addr) {
    return Read<std::uint64_t>(addr);
}
inline void Write8(volatile void* addr, std::uint8_t v) {
    Write<std::uint8_t>(addr, v);
}
inline void Write32(volatile void* addr, std::uint32_t v) {
    Write<std::uint32_t>(addr, v);
}
inline void Write64(volatile void* addr, std::uint64_t v) {
    Write<std::uint64_t>(addr, v);
}

}  // namespace mmio
