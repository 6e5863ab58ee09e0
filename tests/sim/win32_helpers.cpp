#include "win32_helpers.h"

#include <cstring>

namespace sim_test {

std::vector<std::string> ListDescriptions() {
    std::vector<std::string> out;
    HDEVINFO set =
        SetupDiGetClassDevsA(&CARD_INTERFACE_GUID, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return out;
    for (DWORD i = 0; i < 100; ++i) {
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInfo(set, i, &data)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
            continue;
        }
        DWORD size = 0;
        SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_DEVICEDESC, nullptr, nullptr, 0, &size);
        std::vector<BYTE> buf(size);
        if (!SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_DEVICEDESC, nullptr, buf.data(), size,
                                               nullptr))
            continue;
        out.emplace_back(reinterpret_cast<char*>(buf.data()));
    }
    SetupDiDestroyDeviceInfoList(set);
    return out;
}

std::string DevicePathOf(int device) {
    std::string path;
    HDEVINFO set =
        SetupDiGetClassDevsA(&CARD_INTERFACE_GUID, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return path;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof iface;
    if (SetupDiEnumDeviceInfo(set, static_cast<DWORD>(device - 1), &data) &&
        SetupDiEnumDeviceInterfaces(set, &data, &CARD_INTERFACE_GUID, 0, &iface)) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &size, nullptr);
        std::vector<std::uint8_t> buf(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buf.data());
        if (size >= sizeof *detail) {
            detail->cbSize = sizeof *detail;
            if (SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, size, nullptr, nullptr))
                path = detail->DevicePath;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

HANDLE OpenCard(int device) {
    std::string path = DevicePathOf(device);
    if (path.empty()) return INVALID_HANDLE_VALUE;
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

Reply Request(HANDLE h, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize) {
    Reply r{};
    r.bytes = 0xDEADu;
    r.ok = DeviceIoControl(h, code, const_cast<void*>(in), inSize, out, outSize, &r.bytes, nullptr);
    r.error = r.ok ? 0 : GetLastError();
    return r;
}

Reply Attach(HANDLE h, AttachRecord* record) {
    std::memset(record, 0, sizeof *record);
    record->recordSize = ATTACH_RECORD_SIZE;
    return Request(h, IOCTL_CARD_ATTACH, record, sizeof *record, record, sizeof *record);
}

Reply Detach(HANDLE h, AttachRecord* record) {
    return Request(h, IOCTL_CARD_DETACH, record, sizeof *record, record, sizeof *record);
}

Reply WaitIrq(HANDLE h, std::int64_t units) {
    return Request(h, IOCTL_CARD_WAIT_IRQ, &units, 8, nullptr, 0);
}

}  // namespace sim_test
