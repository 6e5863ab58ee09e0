// Device lookup through SetupAPI, device handles and the exported Ox functions
// that open, close and inspect them.
#include "driver/device.h"

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

#include "driver/admission.h"
#include "driver/handle_pins.h"
#include "platform/fork_safe.h"

namespace {

// The walk over device indices gives up after this many steps even when every
// step fails with an unexpected error; no machine has this many card devices.
constexpr DWORD MAX_DEVICE_STEPS = 4096;
constexpr std::uint32_t BOARD_NAME_COPY = 255;

// --- Pin table ---

struct PinState {
    int pins = 0;
    bool closing = false;
};

struct PinTable {
    std::condition_variable released;  // a closing handle lost its last pin
    std::unordered_map<DeviceHandle*, PinState> handles;
    bool abandoned = false;  // the process is ending: never wait for a pin

    // A child made by fork has only the forking thread, which is inside no
    // wait: the pins it inherits belong to threads it does not have, and would
    // hold every close of those handles (the unload at its exit too) for ever.
    void AfterForkInChild() {
        for (auto& entry : handles) entry.second.pins = 0;
        new (&released) std::condition_variable;
    }
};

fork_safe::Guarded<PinTable>& Pins() {
    return fork_safe::ProcessWide<PinTable>();
}

DeviceHandle* LoadSlot(DeviceHandle* const* slot) {
    return std::atomic_ref<DeviceHandle*>(const_cast<DeviceHandle*&>(*slot)).load(std::memory_order_acquire);
}

void DropPinLocked(PinTable& t, DeviceHandle* handle) {
    auto it = t.handles.find(handle);
    if (it == t.handles.end() || it->second.pins == 0) return;
    if (--it->second.pins == 0 && it->second.closing) t.released.notify_all();
}

// Releases a record that never reached the caller.
void ReleaseRecord(DeviceHandle* handle) {
    if (RetireHandle(handle)) delete handle;
}

// The description of one listed device, always zero-terminated, or null when
// it cannot be read.
std::unique_ptr<char[]> ReadDescription(HDEVINFO list, SP_DEVINFO_DATA* info) {
    DWORD required = 0;
    SetupDiGetDeviceRegistryPropertyA(list, info, SPDRP_DEVICEDESC, nullptr, nullptr, 0, &required);
    std::unique_ptr<char[]> text(new (std::nothrow) char[static_cast<std::size_t>(required) + 1]());
    if (!text) return nullptr;
    if (!SetupDiGetDeviceRegistryPropertyA(list, info, SPDRP_DEVICEDESC, nullptr,
                                           reinterpret_cast<PBYTE>(text.get()), required, &required)) {
        return nullptr;
    }
    return text;
}

// Opens the device path of the selected device's first interface of the
// class. Returns INVALID_HANDLE_VALUE when there is no path or it cannot be
// opened; *hasInterface tells whether the interface itself was found.
HANDLE OpenFirstInterface(HDEVINFO list, SP_DEVINFO_DATA* info, bool* hasInterface) {
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    *hasInterface = SetupDiEnumDeviceInterfaces(list, info, &CARD_INTERFACE_GUID, 0, &iface) != FALSE;
    if (!*hasInterface) return INVALID_HANDLE_VALUE;

    SP_DEVICE_INTERFACE_DETAIL_DATA_A probe{};
    probe.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(list, &iface, &probe, sizeof(probe), &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return INVALID_HANDLE_VALUE;

    // 8-byte aligned, one spare zero byte so the path is always terminated.
    const std::size_t words = (static_cast<std::size_t>(required) + 1 + 7) / 8;
    std::unique_ptr<std::uint64_t[]> storage(new (std::nothrow) std::uint64_t[words]());
    if (!storage) return INVALID_HANDLE_VALUE;
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(list, &iface, detail, required, nullptr, nullptr)) {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

// --- Pin table ---

bool RegisterHandle(DeviceHandle* handle) {
    auto& [mutex, t] = Pins();
    try {
        std::lock_guard<std::mutex> guard(mutex);
        t.handles.emplace(handle, PinState{});
        return true;
    } catch (...) {
        return false;
    }
}

PinResult RepinFromSlot(DeviceHandle* const* slot, DeviceHandle* previous, DeviceHandle** out) {
    auto& [mutex, t] = Pins();
    std::lock_guard<std::mutex> guard(mutex);
    if (previous) DropPinLocked(t, previous);
    *out = nullptr;
    DeviceHandle* handle = LoadSlot(slot);
    if (!handle) return PinResult::Empty;
    auto it = t.handles.find(handle);
    if (it == t.handles.end()) return PinResult::Unknown;
    if (it->second.closing) return PinResult::Closing;
    ++it->second.pins;
    *out = handle;
    return PinResult::Pinned;
}

void Unpin(DeviceHandle* handle) {
    if (!handle) return;
    auto& [mutex, t] = Pins();
    std::lock_guard<std::mutex> guard(mutex);
    DropPinLocked(t, handle);
}

bool IsPinned(DeviceHandle* handle) {
    auto& [mutex, t] = Pins();
    std::lock_guard<std::mutex> guard(mutex);
    auto it = t.handles.find(handle);
    return it != t.handles.end() && it->second.pins > 0;
}

bool RetireHandle(DeviceHandle* handle) {
    auto& [mutex, t] = Pins();
    std::unique_lock<std::mutex> guard(mutex);
    auto it = t.handles.find(handle);
    if (it == t.handles.end()) return true;
    it->second.closing = true;
    if (it->second.pins > 0 && t.abandoned) return false;
    // A named reference, not the binding: clang 14 (the fuzz build) cannot
    // capture structured bindings.
    t.released.wait(guard, [&, &table = t] {
        auto cur = table.handles.find(handle);
        return cur == table.handles.end() || cur->second.pins == 0;
    });
    t.handles.erase(handle);
    return true;
}

void AbandonPinnedHandles() {
    auto& [mutex, t] = Pins();
    std::lock_guard<std::mutex> guard(mutex);
    t.abandoned = true;
}

bool PinsAbandoned() {
    auto& [mutex, t] = Pins();
    std::lock_guard<std::mutex> guard(mutex);
    return t.abandoned;
}

namespace {
// True when the handle is known and nobody else has begun closing it; marks it
// closing. Lets OxCloseDevice ignore a handle it already released.
bool ClaimForClose(DeviceHandle* handle) {
    auto& [mutex, t] = Pins();
    std::lock_guard<std::mutex> guard(mutex);
    auto it = t.handles.find(handle);
    if (it == t.handles.end() || it->second.closing) return false;
    it->second.closing = true;
    return true;
}
}  // namespace

// --- Device lookup ---

HANDLE FindDeviceInterface(char* nameBuffer, std::int32_t index, std::uint32_t copyLength) {
    if (index < 1) return INVALID_HANDLE_VALUE;

    HDEVINFO list =
        SetupDiGetClassDevsA(&CARD_INTERFACE_GUID, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE || list == nullptr) return INVALID_HANDLE_VALUE;

    // The buffer is overwritten with the description on success; match
    // against a copy of what was asked for.
    char wanted[256];
    const std::size_t wantedLength = strnlen(nameBuffer, 255);
    std::memcpy(wanted, nameBuffer, wantedLength);
    wanted[wantedLength] = '\0';

    // A step whose device cannot be listed, or whose description cannot be
    // read, is still a device: skipping it would make every later device
    // number name the device after it, and open another card than asked.
    // Without a name every step counts, and a step that cannot be listed
    // gives no handle if it is the one asked for. With a name such a step
    // may or may not have matched, so the numbering after it is unknown and
    // the lookup ends.
    std::int32_t remaining = index;
    SP_DEVINFO_DATA info{};
    std::unique_ptr<char[]> description;
    bool selected = false;
    for (DWORD i = 0; i < MAX_DEVICE_STEPS; ++i) {
        info = SP_DEVINFO_DATA{};
        info.cbSize = sizeof(SP_DEVINFO_DATA);
        const bool listed = SetupDiEnumDeviceInfo(list, i, &info) != FALSE;
        if (!listed && GetLastError() == ERROR_NO_MORE_ITEMS) break;
        description = listed ? ReadDescription(list, &info) : nullptr;
        if (wantedLength != 0) {
            if (!description) break;
            if (std::strstr(description.get(), wanted) == nullptr) continue;
        }
        if (--remaining == 0) {
            selected = listed;
            break;
        }
    }

    HANDLE file = INVALID_HANDLE_VALUE;
    if (selected) {
        bool hasInterface = false;
        file = OpenFirstInterface(list, &info, &hasInterface);
        if (hasInterface) {
            // An unreadable description is reported as an empty one.
            const std::size_t n = description ? strnlen(description.get(), copyLength) : 0;
            if (n) std::memcpy(nameBuffer, description.get(), n);
            std::memset(nameBuffer + n, 0, copyLength - n);
        }
    }
    SetupDiDestroyDeviceInfoList(list);
    return file;
}

// --- Device handles ---

DeviceHandle* AttachDeviceByIndex(const char* name, std::int32_t index) {
    if (!name) name = "";
    auto* handle = new (std::nothrow) DeviceHandle{};
    if (!handle) return nullptr;
    if (!RegisterHandle(handle)) {
        delete handle;
        return nullptr;
    }
    handle->attach.recordSize = ATTACH_RECORD_SIZE;
    std::memcpy(handle->boardName, name, strnlen(name, BOARD_NAME_COPY));
    handle->index = index;

    handle->file = FindDeviceInterface(handle->boardName, index, BOARD_NAME_COPY);
    if (handle->file == INVALID_HANDLE_VALUE) {
        ReleaseRecord(handle);
        return nullptr;
    }
    DWORD bytes = 0;
    if (!DeviceIoControl(handle->file, IOCTL_CARD_ATTACH, &handle->attach, sizeof(AttachRecord),
                         &handle->attach, sizeof(AttachRecord), &bytes, nullptr)) {
        OxCloseDevice(handle);  // sends the detach the driver expects after a failed attach
        return nullptr;
    }
    handle->reserved = 0;
    return handle;
}

extern "C" {

QUELT_API DeviceHandle* QUELT_CALL OxOpenDevice(const char* name, int32_t index, int32_t kind) {
    DeviceHandle* handle = AttachDeviceByIndex(name, index);
    if (!handle) return nullptr;
    if (AdmitConnection(handle, kind) != 0) {
        OxCloseDevice(handle);
        return nullptr;
    }
    return handle;
}

QUELT_API void QUELT_CALL OxCloseDevice(DeviceHandle* handle) {
    if (!handle) return;
    // A handle this library does not know (already closed) is left alone.
    if (!ClaimForClose(handle)) return;
    // Returns once no interrupt wait uses the handle; at process end a handle
    // a vanished thread still pins is left to the operating system.
    if (!RetireHandle(handle)) return;

    if (handle->file != INVALID_HANDLE_VALUE) {
        DWORD bytes = 0;
        DeviceIoControl(handle->file, IOCTL_CARD_DETACH, &handle->attach, sizeof(AttachRecord),
                        &handle->attach, sizeof(AttachRecord), &bytes, nullptr);
        CloseHandle(handle->file);
        handle->file = INVALID_HANDLE_VALUE;
    }
    handle->attach.resources.statusBlock = nullptr;
    delete handle;
}

QUELT_API const char* QUELT_CALL OxGetBoardName(DeviceHandle* handle) {
    return handle ? handle->boardName : nullptr;
}

QUELT_API DeviceResources* QUELT_CALL OxGetDeviceResources(DeviceHandle* handle) {
    return handle ? &handle->attach.resources : nullptr;
}

QUELT_API int32_t QUELT_CALL OxInOut(uintptr_t, int32_t, uintptr_t, int32_t) {
    return -100;
}

}  // extern "C"
