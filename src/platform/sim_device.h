// The device side of CreateFileA and DeviceIoControl on the simulated card
// driver, with the checks Windows makes before a request reaches a driver.
// Shared by the POSIX platform layer (posix/kernel32.cpp) and the simulated
// flavour of the Windows DLL (simulated/kernel32.cpp), which differ only in
// how they keep handles.
#pragma once

#include "platform/win32.h"
#include "sim/driver.h"

namespace sim_device {

// CreateFileA of a device path: a device opens only with OPEN_EXISTING
// (ERROR_INVALID_PARAMETER otherwise). Null with *error set on failure. May
// wait for the simulator's structural lock.
inline sim::driver::Device* Open(LPCSTR path, DWORD creationDisposition, DWORD* error) {
    if (creationDisposition != OPEN_EXISTING) {
        *error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    DWORD failure = ERROR_GEN_FAILURE;
    sim::driver::Device* device = sim::driver::Open(path, &failure);
    if (device == nullptr) *error = failure != ERROR_SUCCESS ? failure : ERROR_GEN_FAILURE;
    return device;
}

// DeviceIoControl on a device handle, synchronously, as on a handle opened
// without FILE_FLAG_OVERLAPPED: blocks for as long as the simulated driver
// takes (a wait request until its time-out, an interrupt or a discard).
// Overlapped requests and a missing byte count are refused
// (ERROR_INVALID_PARAMETER); a null buffer with a non-zero size gets
// ERROR_NOACCESS, as the kernel's probe reports it. FALSE with *error set on
// failure.
inline BOOL Request(sim::driver::Device* device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                    LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped,
                    DWORD* error) {
    if (overlapped != nullptr || bytesReturned == nullptr) {
        *error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if ((inBuffer == nullptr && inBufferSize != 0) || (outBuffer == nullptr && outBufferSize != 0)) {
        *bytesReturned = 0;
        *error = ERROR_NOACCESS;
        return FALSE;
    }
    DWORD failure = ERROR_SUCCESS;
    if (sim::driver::Control(device, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
                             bytesReturned, &failure))
        return TRUE;
    *error = failure != ERROR_SUCCESS ? failure : ERROR_GEN_FAILURE;
    return FALSE;
}

}  // namespace sim_device
