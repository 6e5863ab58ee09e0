// Device lookup and device handles: the library's hold on one attached card.
#pragma once

#include <cstdint>

#include "driver/contract.h"

// Allocated zero-filled by AttachDeviceByIndex, released by OxCloseDevice.
struct DeviceHandle {
    HANDLE file;             // INVALID_HANDLE_VALUE once closed
    char boardName[256];     // the name asked for, then the device's description
    std::int32_t index;      // 1-based device index asked for
    AttachRecord attach;     // the driver's DeviceResources after attach
    std::uint64_t reserved;  // 0 after a successful attach
};

// Returns an open file handle on the index-th (1-based) present device of
// CARD_INTERFACE_GUID whose description contains nameBuffer (empty: every
// device), or INVALID_HANDLE_VALUE. On a match nameBuffer (at least 256 bytes)
// receives the device's description, at most copyLength characters, zero
// filled up to copyLength. Never loops without end: the walk over device
// indices stops when the list cannot be had or after a bounded number of
// failing steps.
HANDLE FindDeviceInterface(char* nameBuffer, std::int32_t index, std::uint32_t copyLength);

// A new attached (not admitted) handle, or null with nothing left open.
DeviceHandle* AttachDeviceByIndex(const char* name, std::int32_t index);

// The status block of an attached handle, or null.
inline SharedStatusBlock* StatusBlockOf(const DeviceHandle* handle) {
    return handle ? StatusBlockOf(&handle->attach.resources) : nullptr;
}
