// The driver version gate and the exported OxDriverVersion.
#include "driver/version.h"

#include <atomic>

#include "driver/device.h"
#include "platform/win32.h"
#include "registry/card_table.h"

namespace {

std::uint32_t gVersionCache = 0;  // written under the DriverLock only
// 0: no message shown yet; 1: shown. Taken by compare-exchange so that the
// message appears at most once however threads race.
std::atomic<std::uint8_t> gMessageShown{0};

constexpr const char* MESSAGE_CAPTION =
    "This dll is not compatible with kernel driver.\nPlease reinstall device driver.";
constexpr const char* MESSAGE_TEXT_DIRECT = "VerDllMain.";
constexpr const char* MESSAGE_TEXT_GATE = "quelt_ox9162.dll";

void ShowMessageOnce(const char* text) {
    std::uint8_t expected = 0;
    if (!gMessageShown.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) return;
    MessageBoxA(nullptr, text, MESSAGE_CAPTION, MB_ICONERROR);
}

std::uint32_t QueryDriverVersion() {
    EnterCriticalSection(DriverLock());
    if (gVersionCache >= DRIVER_VERSION_FINAL) {
        std::uint32_t v = gVersionCache;
        LeaveCriticalSection(DriverLock());
        return v;
    }
    gVersionCache = DRIVER_VERSION_ASKING;
    if (DeviceHandle* handle = AttachDeviceByIndex("", 1)) {
        // The driver answers with its version as the reply's byte count; a
        // failed request that reports no count leaves the placeholder.
        DWORD bytes = gVersionCache;
        DeviceIoControl(handle->file, IOCTL_CARD_DRIVER_VERSION, nullptr, 0, nullptr, 0, &bytes, nullptr);
        gVersionCache = bytes;
        OxCloseDevice(handle);
    } else {
        gVersionCache = DRIVER_VERSION_NO_CARD;
    }
    std::uint32_t v = gVersionCache;
    LeaveCriticalSection(DriverLock());
    return v;
}

}  // namespace

extern "C" QUELT_API uint32_t QUELT_CALL OxDriverVersion(void) {
    std::uint32_t v = QueryDriverVersion();
    if (v < DRIVER_VERSION_MINIMUM) ShowMessageOnce(MESSAGE_TEXT_DIRECT);
    return v;
}

std::int32_t CheckDriverVersion() {
    // Asked without the direct call's message, so the gate's own text is the
    // one shown when it is the first to find the driver too old.
    if (QueryDriverVersion() >= DRIVER_VERSION_MINIMUM) return 0;
    ShowMessageOnce(MESSAGE_TEXT_GATE);
    return -1;
}

void ResetVersionGate() {
    gVersionCache = 0;
    gMessageShown.store(0, std::memory_order_relaxed);
}
