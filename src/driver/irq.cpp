// The device-level interrupt wait and the interrupt counters.
#include "driver/device.h"
#include "driver/handle_pins.h"

namespace {

// The driver is never handed more than this at once, so a waiter looks at its
// variable and at the status block at least this often.
constexpr std::int32_t SLICE_MS = 5000;
constexpr std::int64_t HUNDRED_NS_PER_MS = 10000;

// A time-out of 0 waits in whole slices for ever. A negative one is handed on
// as one negative wait time, which the driver may read as a relative interval:
// it gets no more than a slice either, so a Close never waits longer behind it.
std::int32_t SliceFor(std::int32_t remaining) {
    if (remaining > SLICE_MS || remaining == 0) return SLICE_MS;
    if (remaining < -SLICE_MS) return -SLICE_MS;
    return remaining;
}

// Holds the pin of the handle a wait currently uses and drops it on every way
// out.
class PinnedHandle {
public:
    ~PinnedHandle() { Unpin(handle_); }
    PinResult Take(DeviceHandle* const* slot) {
        DeviceHandle* next = nullptr;
        PinResult r = RepinFromSlot(slot, handle_, &next);
        handle_ = next;
        return r;
    }
    DeviceHandle* get() const { return handle_; }

private:
    DeviceHandle* handle_ = nullptr;
};

}  // namespace

extern "C" {

QUELT_API int32_t QUELT_CALL OxWaitForIrq(DeviceHandle** slot, int32_t timeoutMs, uint8_t waitFlag) {
    if (!slot) return OX_WAIT_REFUSED;

    PinnedHandle pinned;
    switch (pinned.Take(slot)) {
        case PinResult::Pinned:
            break;
        case PinResult::Empty:
        case PinResult::Closing:
            return OX_WAIT_ENDED;
        case PinResult::Unknown:
            return OX_WAIT_REFUSED;
    }
    SharedStatusBlock* block = StatusBlockOf(pinned.get());
    if (!block) return OX_WAIT_REFUSED;

    const std::uint32_t counter = LoadShared(block->irqCounter);
    if (LoadShared(block->ackCounter) != counter) {
        StoreShared(block->ackCounter, counter);
        return OX_WAIT_ALREADY_CAME;
    }

    const std::uint32_t start = LoadShared(block->ackCounter);
    std::int32_t remaining = timeoutMs;
    for (;;) {
        std::int64_t waitTime = static_cast<std::int64_t>(SliceFor(remaining)) * HUNDRED_NS_PER_MS;
        if (waitFlag == 0) return OX_WAIT_REFUSED;

        DWORD bytes = 0;
        if (!DeviceIoControl(pinned.get()->file, IOCTL_CARD_WAIT_IRQ, &waitTime, sizeof(waitTime), nullptr, 0,
                             &bytes, nullptr)) {
            return OX_WAIT_REQUEST_FAILED;
        }

        // From here on the handle is whatever the variable holds now.
        switch (pinned.Take(slot)) {
            case PinResult::Pinned:
                break;
            case PinResult::Empty:
            case PinResult::Closing:
                return OX_WAIT_ENDED;
            case PinResult::Unknown:
                return OX_WAIT_REFUSED;
        }
        block = StatusBlockOf(pinned.get());
        if (!block) return OX_WAIT_ENDED;

        const std::uint32_t now = LoadShared(block->irqCounter);
        StoreShared(block->ackCounter, now);
        if (bytes == WAIT_DISCARDED_BYTES) return OX_WAIT_ENDED;
        if (now != start) return OX_WAIT_IRQ;

        if (remaining == 0) continue;
        if (remaining <= SLICE_MS) return OX_WAIT_TIMED_OUT;
        remaining -= SLICE_MS;
    }
}

QUELT_API void QUELT_CALL OxDiscardWaitForIrq(DeviceHandle* handle) {
    if (!StatusBlockOf(handle)) return;
    DWORD bytes = 0;
    DeviceIoControl(handle->file, IOCTL_CARD_DISCARD_WAITS, nullptr, 0, nullptr, 0, &bytes, nullptr);
}

QUELT_API uint32_t QUELT_CALL OxGetIrqCounter(DeviceHandle* handle) {
    const SharedStatusBlock* block = StatusBlockOf(handle);
    return block ? LoadShared(block->irqCounter) : 0;
}

QUELT_API uint32_t QUELT_CALL OxGetIrqWaits(DeviceHandle* handle) {
    if (!handle) return 0;
    DWORD bytes = 0;
    DeviceIoControl(handle->file, IOCTL_CARD_IRQ_WAITS, nullptr, 0, nullptr, 0, &bytes, nullptr);
    return bytes;
}

}  // extern "C"
