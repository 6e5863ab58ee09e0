// What the POSIX platform layer asks of the simulated card driver (sim/): the
// device side of CreateFileA, DeviceIoControl and CloseHandle. The SetupAPI
// listing calls are defined by the simulator directly (sim/setupapi.cpp).
#pragma once

#include "platform/win32.h"

namespace posix_backend {

class Device;  // one open file handle on a simulated device

// True when path names a device of the simulated card driver.
bool IsDevicePath(const char* path);

// Opens the device; null with *error set (a Win32 error code) on failure.
Device* OpenDevice(const char* path, DWORD* error);

// One synchronous request, as DeviceIoControl on a handle opened without the
// overlapped flag: requests on one Device are serialised. On failure returns
// FALSE with *error set; *bytesReturned is written in both cases.
BOOL DeviceControl(Device* device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                   DWORD* bytesReturned, DWORD* error);

// Closes the handle; the driver detaches anything the handle still holds.
void CloseDevice(Device* device);

}  // namespace posix_backend
