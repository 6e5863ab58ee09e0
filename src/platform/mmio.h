// Card memory accesses. Every load and store the library makes to mapped card
// memory goes through these: one volatile access of the stated width, never
// merged, split, reordered or left out.
//
// On Windows that is all they are. On POSIX a device model of the simulated
// card driver may sit behind a window of card memory (the EEPROM on its control
// byte, a recording model in tests); an access inside a window goes to the
// model, every other access is the plain volatile access.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace mmio {

#if !QUELT_WINDOWS
// A device model behind a window of card memory. Offsets are from the window's
// start; width is 1, 4 or 8 bytes. Calls may come from any thread.
class Model {
public:
    virtual ~Model() = default;
    virtual std::uint64_t Read(std::size_t offset, unsigned width) = 0;
    virtual void Write(std::size_t offset, unsigned width, std::uint64_t value) = 0;
};

// Registers model for [base, base + size). The model must outlive the window.
// Returns an id for UnregisterWindow.
int RegisterWindow(const volatile void* base, std::size_t size, Model* model);
// Removes the window; returns once no access is inside the model any more.
void UnregisterWindow(int id);

namespace detail {
extern std::atomic<int> windowCount;
// True when addr lies in a window; then the access was made through the model.
bool ModelRead(const volatile void* addr, unsigned width, std::uint64_t* value);
bool ModelWrite(volatile void* addr, unsigned width, std::uint64_t value);
}  // namespace detail
#endif

template <typename T>
inline T Read(const volatile void* addr)
{
#if !QUELT_WINDOWS
    if (detail::windowCount.load(std::memory_order_acquire) != 0) {
        std::uint64_t v;
        if (detail::ModelRead(addr, sizeof(T), &v)) return static_cast<T>(v);
    }
#endif
    return *static_cast<const volatile T*>(addr);
}

template <typename T>
inline void Write(volatile void* addr, T value)
{
#if !QUELT_WINDOWS
    if (detail::windowCount.load(std::memory_order_acquire) != 0) {
        if (detail::ModelWrite(addr, sizeof(T), static_cast<std::uint64_t>(value))) return;
    }
#endif
    *static_cast<volatile T*>(addr) = value;
}

inline std::uint8_t Read8(const volatile void* addr) { return Read<std::uint8_t>(addr); }
inline std::uint32_t Read32(const volatile void* addr) { return Read<std::uint32_t>(addr); }
inline std::uint64_t Read64(const volatile void* addr) { return Read<std::uint64_t>(addr); }
inline void Write8(volatile void* addr, std::uint8_t v) { Write<std::uint8_t>(addr, v); }
inline void Write32(volatile void* addr, std::uint32_t v) { Write<std::uint32_t>(addr, v); }
inline void Write64(volatile void* addr, std::uint64_t v) { Write<std::uint64_t>(addr, v); }

}  // namespace mmio
