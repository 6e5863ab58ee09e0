// SetupAPI on POSIX, served by the simulated card driver: the device listing
// of the card interface class and the install parameters the class installer
// uses. Record sizes, size queries and last-error values are those of 64-bit
// Windows. A device list is a snapshot of the machine when it was made.
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "driver/contract.h"
#include "platform/fork_safe.h"
#include "sim/driver.h"

namespace {

constexpr DWORD kErrorInvalidData = 13;
constexpr DWORD kErrorNoDeviceSelected = 0xE0000211u;
constexpr DWORD kRegSz = 1;
constexpr DWORD kSpintActive = 1;

using sim::driver::ListedDevice;
using sim::driver::Step;

struct DeviceList {
    std::vector<ListedDevice> devices;
};

// Lists handed out and not destroyed: a handle not in here is refused. The
// mutex is held across fork, so a child never inherits it locked.
using ListTable = std::set<const DeviceList*>;
std::mutex& ListsMutex() {
    return fork_safe::ProcessWide<ListTable>().mutex;
}
ListTable& Lists() {
    return fork_safe::ProcessWide<ListTable>().value;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The list behind a handle, or null after SetLastError(ERROR_INVALID_HANDLE).
// Lists are only destroyed by their owner, so the pointer stays good for the call.
DeviceList* ListOf(HDEVINFO set) {
    std::lock_guard g(ListsMutex());
    auto* list = static_cast<DeviceList*>(set);
    if (!Lists().count(list)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return list;
}

// The listed device a SP_DEVINFO_DATA names, or null after SetLastError.
const ListedDevice* DeviceOf(const DeviceList* list, const SP_DEVINFO_DATA* data) {
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return nullptr;
    }
    DWORD n = data->DevInst;
    if (n < 1 || n > list->devices.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &list->devices[n - 1];
}

}  // namespace

// Makes a snapshot of the present devices of a device interface class. Only
// CARD_INTERFACE_GUID with DIGCF_DEVICEINTERFACE lists the simulated cards;
// any other class gives an empty list. When the machine root holds no
// machine, the default machine is created first. Fails with INVALID_HANDLE_VALUE
// only when the machine cannot be read (or by an armed fault).
HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR, HWND, DWORD flags) {
    DWORD armed = 0;
    if (sim::driver::StepFails(Step::ClassDevs, 0, &armed)) {
        SetLastError(armed ? armed : ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!classGuid && !(flags & DIGCF_ALLCLASSES)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto list = std::make_unique<DeviceList>();
    if (classGuid && (flags & DIGCF_DEVICEINTERFACE) && SameGuid(*classGuid, CARD_INTERFACE_GUID)) {
        DWORD error = ERROR_GEN_FAILURE;
        if (!sim::driver::ListDevices(&list->devices, &error)) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
    }
    {
        std::lock_guard g(ListsMutex());
        Lists().insert(list.get());
    }
    sim::driver::ListCreated();
    SetLastError(ERROR_SUCCESS);
    return list.release();
}

// Steps through the list. Past the end: ERROR_NO_MORE_ITEMS. A record whose
// cbSize is not 32 (its size on 64-bit Windows): ERROR_INVALID_USER_BUFFER.
BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex, PSP_DEVINFO_DATA data) {
    DeviceList* list = ListOf(set);
    if (!list) return FALSE;
    if (!data) return Fail(ERROR_INVALID_PARAMETER);
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    if (memberIndex >= list->devices.size()) return Fail(ERROR_NO_MORE_ITEMS);
    const ListedDevice& d = list->devices[memberIndex];
    DWORD armed = 0;
    if (sim::driver::StepFails(Step::EnumDevice, d.number, &armed))
        return Fail(armed && armed != ERROR_NO_MORE_ITEMS ? armed : ERROR_GEN_FAILURE);
    data->ClassGuid = CARD_INTERFACE_GUID;
    data->DevInst = memberIndex + 1;
    data->Reserved = memberIndex + 1;
    return TRUE;
}

// Only SPDRP_DEVICEDESC is held (others: ERROR_INVALID_DATA). With no buffer
// or one too small: ERROR_INSUFFICIENT_BUFFER and *requiredSize the length
// with the terminating zero. An armed DescriptionUnreadable fault fails the
// read into a buffer large enough, not the size query.
BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                       PDWORD propertyRegDataType, PBYTE buffer, DWORD bufferSize,
                                       PDWORD requiredSize) {
    DeviceList* list = ListOf(set);
    if (!list) return FALSE;
    const ListedDevice* d = DeviceOf(list, data);
    if (!d) return FALSE;
    if (!buffer && bufferSize != 0) return Fail(ERROR_INVALID_PARAMETER);
    if (property != SPDRP_DEVICEDESC) return Fail(kErrorInvalidData);
    auto needed = static_cast<DWORD>(d->description.size() + 1);
    if (requiredSize) *requiredSize = needed;
    if (propertyRegDataType) *propertyRegDataType = kRegSz;
    if (!buffer || bufferSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    DWORD armed = 0;
    if (sim::driver::StepFails(Step::Description, d->number, &armed))
        return Fail(armed ? armed : kErrorInvalidData);
    std::memcpy(buffer, d->description.c_str(), needed);
    return TRUE;
}

// Each listed card has exactly one interface of CARD_INTERFACE_GUID. With a
// device: member 0 is its interface. Without: member i is the i-th device's.
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA data, const GUID* interfaceClassGuid,
                                 DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA interfaceData) {
    DeviceList* list = ListOf(set);
    if (!list) return FALSE;
    if (!interfaceData || !interfaceClassGuid) return Fail(ERROR_INVALID_PARAMETER);
    if (interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    const ListedDevice* d = nullptr;
    if (data) {
        d = DeviceOf(list, data);
        if (!d) return FALSE;
        if (memberIndex != 0) return Fail(ERROR_NO_MORE_ITEMS);
    } else {
        if (memberIndex >= list->devices.size()) return Fail(ERROR_NO_MORE_ITEMS);
        d = &list->devices[memberIndex];
    }
    if (!SameGuid(*interfaceClassGuid, CARD_INTERFACE_GUID)) return Fail(ERROR_NO_MORE_ITEMS);
    DWORD armed = 0;
    if (sim::driver::StepFails(Step::Interface, d->number, &armed)) return Fail(ERROR_NO_MORE_ITEMS);
    interfaceData->InterfaceClassGuid = CARD_INTERFACE_GUID;
    interfaceData->Flags = kSpintActive;
    interfaceData->Reserved = static_cast<ULONG_PTR>(d - list->devices.data()) + 1;
    return TRUE;
}

// The interface's device path. A size query (no record, size 0) or a record
// too small: ERROR_INSUFFICIENT_BUFFER with *requiredSize = 4 + path + zero. A
// record whose cbSize is not 8: ERROR_INVALID_USER_BUFFER. An armed
// NoDevicePath fault fails the read into a record large enough.
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA data) {
    DeviceList* list = ListOf(set);
    if (!list) return FALSE;
    if (!interfaceData) return Fail(ERROR_INVALID_PARAMETER);
    if (interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    ULONG_PTR n = interfaceData->Reserved;
    if (n < 1 || n > list->devices.size()) return Fail(ERROR_INVALID_PARAMETER);
    const ListedDevice& d = list->devices[n - 1];
    if (detail) {
        if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
            return Fail(ERROR_INVALID_USER_BUFFER);
    } else if (detailSize != 0) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (data && data->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    auto needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + d.path.size() + 1);
    if (requiredSize) *requiredSize = needed;
    if (!detail || detailSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    DWORD armed = 0;
    if (sim::driver::StepFails(Step::DevicePath, d.number, &armed))
        return Fail(armed ? armed : ERROR_GEN_FAILURE);
    std::memcpy(detail->DevicePath, d.path.c_str(), d.path.size() + 1);
    if (data) {
        data->ClassGuid = CARD_INTERFACE_GUID;
        data->DevInst = static_cast<DWORD>(n);
        data->Reserved = n;
    }
    return TRUE;
}

// Releases the list; an unknown handle: ERROR_INVALID_HANDLE.
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    {
        std::lock_guard g(ListsMutex());
        auto* list = static_cast<DeviceList*>(set);
        if (!Lists().erase(list)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        delete list;
    }
    sim::driver::ListDestroyed();
    return TRUE;
}

namespace {

// Install parameters are kept per device number; 0 stands for the list as a
// whole (no device given).
bool InstallTarget(HDEVINFO set, PSP_DEVINFO_DATA data, int* device) {
    DeviceList* list = ListOf(set);
    if (!list) return false;
    if (!data) {
        *device = 0;
        return true;
    }
    const ListedDevice* d = DeviceOf(list, data);
    if (!d) return false;
    *device = d->number;
    return true;
}

}  // namespace

// Reads the device's install parameters. cbSize must be 320 (64-bit Windows),
// else ERROR_INVALID_USER_BUFFER. An armed InstallParamsFail fault fails it
// with its error code (ERROR_INVALID_PARAMETER when none was given).
BOOL SetupDiGetDeviceInstallParamsA(HDEVINFO set, PSP_DEVINFO_DATA data, PSP_DEVINSTALL_PARAMS_A params) {
    int device = 0;
    if (!InstallTarget(set, data, &device)) return FALSE;
    if (!params) return Fail(ERROR_INVALID_PARAMETER);
    if (params->cbSize != sizeof(SP_DEVINSTALL_PARAMS_A)) return Fail(ERROR_INVALID_USER_BUFFER);
    DWORD armed = 0;
    if (sim::driver::StepFails(Step::InstallParams, device, &armed))
        return Fail(armed ? armed : ERROR_INVALID_PARAMETER);
    sim::driver::InstallParams p = sim::driver::GetInstallParams(device);
    std::memset(reinterpret_cast<char*>(params) + sizeof params->cbSize, 0,
                sizeof *params - sizeof params->cbSize);
    params->Flags = p.flags;
    params->FlagsEx = p.flagsEx;
    std::strncpy(params->DriverPath, p.driverPath.c_str(), MAX_PATH - 1);
    return TRUE;
}

// Stores the device's install parameters (flags, extended flags, driver path).
BOOL SetupDiSetDeviceInstallParamsA(HDEVINFO set, PSP_DEVINFO_DATA data, PSP_DEVINSTALL_PARAMS_A params) {
    int device = 0;
    if (!InstallTarget(set, data, &device)) return FALSE;
    if (!params) return Fail(ERROR_INVALID_PARAMETER);
    if (params->cbSize != sizeof(SP_DEVINSTALL_PARAMS_A)) return Fail(ERROR_INVALID_USER_BUFFER);
    sim::driver::InstallParams p;
    p.flags = params->Flags;
    p.flagsEx = params->FlagsEx;
    p.driverPath.assign(params->DriverPath, strnlen(params->DriverPath, MAX_PATH));
    sim::driver::SetInstallParams(device, p);
    return TRUE;
}

// Counts the installation of the device; an armed InstallDeviceFails fault
// fails it with its error code (ERROR_NO_SUCH_DEVINST when none was given).
// Without a device: ERROR_NO_DEVICE_SELECTED.
BOOL SetupDiInstallDevice(HDEVINFO set, PSP_DEVINFO_DATA data) {
    int device = 0;
    if (!InstallTarget(set, data, &device)) return FALSE;
    if (device == 0) return Fail(kErrorNoDeviceSelected);
    sim::driver::CountInstallDevice(device);
    DWORD armed = 0;
    if (sim::driver::StepFails(Step::InstallDevice, device, &armed))
        return Fail(armed ? armed : ERROR_NO_SUCH_DEVINST);
    return TRUE;
}
