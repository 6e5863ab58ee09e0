// Reaching the simulated driver the way the library does: SetupAPI listing,
// CreateFileA on the interface path, DeviceIoControl, CloseHandle.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/contract.h"
#include "platform/win32.h"

namespace sim_test {

// Descriptions of the listed devices, in listing order (ends at the first
// step that fails with ERROR_NO_MORE_ITEMS; other failing steps are skipped).
std::vector<std::string> ListDescriptions();

// The device path of the device-th (1-based) listed device, or "".
std::string DevicePathOf(int device);

// CreateFileA on the device's path as the library opens it.
HANDLE OpenCard(int device);

struct Reply {
    BOOL ok;
    DWORD bytes;
    DWORD error;  // GetLastError after a failure
};
Reply Request(HANDLE h, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize);

// Attach with a fresh record; the record receives the reply.
Reply Attach(HANDLE h, AttachRecord* record);
Reply Detach(HANDLE h, AttachRecord* record);
// One wait request of the given 100 ns units.
Reply WaitIrq(HANDLE h, std::int64_t units);

}  // namespace sim_test
