// The driver version gate and the exported OxDriverVersion.
#include "driver/version.h"

#include <atomic>

#include "driver/device.h"

namespace {

CRITICAL_SECTION* gRequestLock = nullptr;  // handed in at load; guards gVersionCache
std::uint32_t gVersionCache = 0;
// 0: no message shown yet; 1: shown. Taken by compare-exchange so that the
// message appears at most once however threads race.
std::atomic<std::uint8_t> gMessageShown{0};
// Gate calls that have not yet shown (or decided against) their own message:
// while any is in flight a direct call stays silent, so the gate's text is the
// one the user sees.
std::atomic<int> gGatesInFlight{0};

constexpr const char* MESSAGE_CAPTION =
    "This dll is not compatible with kernel driver.\nPlease reinstall device driver.";
constexpr const char* MESSAGE_TEXT_DIRECT = "VerDllMain.";
constexpr const char* MESSAGE_TEXT_GATE = "quelt_ox9162.dll";

void ShowMessageOnce(const char* text) {
    std::uint8_t expected = 0;
    if (!gMessageShown.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) return;
    MessageBoxA(nullptr, text, MESSAGE_CAPTION, MB_ICONERROR);
}

struct VersionAnswer {
    std::uint32_t version;
    bool asked;  // false: a final answer from the cache
};

VersionAnswer QueryDriverVersion() {
    EnterCriticalSection(gRequestLock);
    if (gVersionCache >= DRIVER_VERSION_FINAL) {
        const std::uint32_t cached = gVersionCache;
        LeaveCriticalSection(gRequestLock);
        return {cached, false};
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
    const std::uint32_t asked = gVersionCache;
    LeaveCriticalSection(gRequestLock);
    return {asked, true};
}

}  // namespace

extern "C" QUELT_API uint32_t QUELT_CALL OxDriverVersion(void) {
    const VersionAnswer answer = QueryDriverVersion();
    // An answer from the cache was judged when it was asked: no message here.
    if (answer.asked && answer.version < DRIVER_VERSION_MINIMUM &&
        gGatesInFlight.load(std::memory_order_acquire) == 0) {
        ShowMessageOnce(MESSAGE_TEXT_DIRECT);
    }
    return answer.version;
}

std::int32_t CheckDriverVersion() {
    gGatesInFlight.fetch_add(1, std::memory_order_acq_rel);
    const bool fits = QueryDriverVersion().version >= DRIVER_VERSION_MINIMUM;
    if (!fits) ShowMessageOnce(MESSAGE_TEXT_GATE);
    gGatesInFlight.fetch_sub(1, std::memory_order_acq_rel);
    return fits ? 0 : -1;
}

void ResetVersionGate(CRITICAL_SECTION* serialiseWith) {
    gRequestLock = serialiseWith;
    gVersionCache = 0;
    gMessageShown.store(0, std::memory_order_relaxed);
    gGatesInFlight.store(0, std::memory_order_relaxed);
}

int DriverVersionGatesInFlight() {
    return gGatesInFlight.load(std::memory_order_acquire);
}
