// kernel32's device calls in the simulated flavour of the DLL: CreateFileA of
// a device path of the simulated card driver, and DeviceIoControl and
// CloseHandle of the handle it gives, go to the simulated driver through the
// calls the POSIX layer uses too (platform/sim_device.h). Every other file
// and handle goes to the system unchanged.
//
// A device handle is a real handle of the system (an unnamed event nobody
// waits on) kept in a table here: no system handle can have its value while
// it is open, and the value is free for reuse only after it has left the
// table. A CloseHandle racing with a request on another thread never frees
// the device under the request: the device is closed when the last user lets
// go, as the system does for a file object still referenced by pending I/O.
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/sim_device.h"
#include "platform/win32.h"

// This file defines the stand-ins and calls the system's own functions.
#undef CreateFileA
#undef CloseHandle
#undef DeviceIoControl

namespace {

struct DeviceHandle {
    sim::driver::Device* device;

    explicit DeviceHandle(sim::driver::Device* d) : device(d) {}
    DeviceHandle(const DeviceHandle&) = delete;
    DeviceHandle& operator=(const DeviceHandle&) = delete;
    ~DeviceHandle() { sim::driver::Close(device); }
};

struct DeviceTable {
    std::mutex mutex;
    std::unordered_map<HANDLE, std::shared_ptr<DeviceHandle>> entries;
};

// Never destroyed: handles may still be closed while the process ends.
DeviceTable& Devices() {
    static auto* table = new DeviceTable;
    return *table;
}

std::shared_ptr<DeviceHandle> Find(HANDLE handle) {
    DeviceTable& table = Devices();
    std::lock_guard lock(table.mutex);
    auto it = table.entries.find(handle);
    return it == table.entries.end() ? nullptr : it->second;
}

}  // namespace

// A device path opens a simulated device (OPEN_EXISTING only; errors as the
// POSIX layer gives them); any other path is the system's CreateFileA.
HANDLE QueltSim_CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                            LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                            DWORD flagsAndAttributes, HANDLE templateFile) {
    if (fileName == nullptr || !sim::driver::IsDevicePath(fileName))
        return ::CreateFileA(fileName, desiredAccess, shareMode, securityAttributes, creationDisposition,
                             flagsAndAttributes, templateFile);
    DWORD error = ERROR_GEN_FAILURE;
    sim::driver::Device* device = sim_device::Open(fileName, creationDisposition, &error);
    if (device == nullptr) {
        ::SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (handle == nullptr) {
        error = ::GetLastError();
        sim::driver::Close(device);
        ::SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    try {
        auto object = std::make_shared<DeviceHandle>(device);
        device = nullptr;  // the object closes it now
        DeviceTable& table = Devices();
        std::lock_guard lock(table.mutex);
        table.entries.emplace(handle, std::move(object));
    } catch (const std::bad_alloc&) {
        if (device != nullptr) sim::driver::Close(device);
        ::CloseHandle(handle);
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    ::SetLastError(ERROR_SUCCESS);
    return handle;
}

// A device handle leaves the table and is detached by the simulator once no
// request on another thread still uses it; the call does not wait for such a
// request. Any other handle is the system's CloseHandle.
BOOL QueltSim_CloseHandle(HANDLE handle) {
    std::shared_ptr<DeviceHandle> object;
    {
        DeviceTable& table = Devices();
        std::lock_guard lock(table.mutex);
        auto it = table.entries.find(handle);
        if (it != table.entries.end()) {
            object = std::move(it->second);
            table.entries.erase(it);
        }
    }
    if (object == nullptr) return ::CloseHandle(handle);
    object.reset();  // outside the table lock: closing a device may take the simulator's locks
    ::CloseHandle(handle);
    return TRUE;
}

// A request on a device handle goes to the simulated driver, synchronously
// (sim_device::Request); any other handle is the system's DeviceIoControl.
BOOL QueltSim_DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                              LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                              LPOVERLAPPED overlapped) {
    std::shared_ptr<DeviceHandle> object = Find(device);
    if (object == nullptr)
        return ::DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
                                 bytesReturned, overlapped);
    DWORD error = ERROR_SUCCESS;
    if (sim_device::Request(object->device, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
                            bytesReturned, overlapped, &error))
        return TRUE;
    ::SetLastError(error);
    return FALSE;
}
