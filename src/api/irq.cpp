// The family interrupt API over the device-level wait.
//
// Close may take a card's handle out of its entry while threads of this process
// are inside these calls with the handle in hand. Each call reads the entry's
// handle and pins it in one step (the driver layer's pin table); Close releases
// the handle only once no pin is left on it. Callers that come after the
// take-out read null and never hold it up.
#include "api/irq.h"

#include "api/family.h"
#include "driver/device.h"
#include "driver/handle_pins.h"

namespace {

// 0x40 for an entry that holds a card, 2 for none.
std::uint32_t NotOpenCode(const CardEntry* entry) {
    return (entry != nullptr && IsPresent(*entry)) ? QUELT_NOT_OPEN : QUELT_NO_CARD;
}

std::uint32_t ResultOfWait(std::int32_t result, bool closed) {
    switch (result) {
        case OX_WAIT_REQUEST_FAILED:
            return QUELT_WAIT_FAILED;
        case OX_WAIT_TIMED_OUT:
            return QUELT_TIMEOUT;
        case OX_WAIT_ENDED:
            return QUELT_WAIT_ENDED;
        case OX_WAIT_REFUSED:
            return closed ? QUELT_NOT_OPEN : QUELT_NULL_POINTER;
        default:
            return QUELT_OK;  // 0, and 2: an interrupt came since the last wait
    }
}

class WaiterCount {
public:
    explicit WaiterCount(CardEntry& entry) : entry_(entry), value_(InterlockedIncrement(&entry.irqWaiters)) {}
    ~WaiterCount() { InterlockedDecrement(&entry_.irqWaiters); }
    LONG afterIncrement() const { return value_; }

private:
    CardEntry& entry_;
    LONG value_;
};

// A thread inside the wait proper, which a Close must release by a discard.
class InDriver {
public:
    explicit InDriver(CardEntry& entry) : entry_(entry) { InterlockedIncrement(&entry.irqWaitersInDriver); }
    ~InDriver() { InterlockedDecrement(&entry_.irqWaitersInDriver); }

private:
    CardEntry& entry_;
};

class WaitLockGuard {
public:
    explicit WaitLockGuard(CardEntry& entry) : entry_(entry) { EnterCriticalSection(&entry_.waitLock); }
    ~WaitLockGuard() { LeaveCriticalSection(&entry_.waitLock); }

private:
    CardEntry& entry_;
};

}  // namespace

EntryHandleUse::EntryHandleUse(CardEntry& entry) {
    if (RepinFromSlot(&entry.handle, nullptr, &handle_) != PinResult::Pinned) handle_ = nullptr;
}

EntryHandleUse::~EntryHandleUse() {
    Unpin(handle_);
}

CardEntry* IrqEntry(IrqSource source, std::uint32_t position) {
    switch (source) {
        case IrqSource::OX952_F1:
            return Ox952Function1Entry(position);
        case IrqSource::OX952_F0:
            return Ox952Function0Entry(position);
        case IrqSource::OX9162:
            return FamilyEntry(Family::OX9162, position);
        case IrqSource::EP4GXA:
            break;
    }
    return FamilyEntry(Family::EP4GXA, position);
}

std::uint32_t IrqWait(IrqSource source, std::uint32_t position, std::uint32_t* count) {
    if (position >= POSITION_LIMIT) return QUELT_NO_CARD;
    CardEntry* entry = IrqEntry(source, position);
    if (entry == nullptr || LoadHandle(*entry) == nullptr) return NotOpenCode(entry);
    if (LoadShared(entry->irqEnabled) == 0) return QUELT_IRQ_NOT_ENABLED;
    if (source == IrqSource::OX952_F1 && (entry->deviceId & 1u) == 0) return QUELT_NOT_OPEN;

    EntryHandleUse use(*entry);
    DeviceHandle* const pinned = use.handle();
    if (pinned == nullptr) return QUELT_NOT_OPEN;  // closed before the wait could begin
    const std::uint32_t start = OxGetIrqCounter(pinned);
    std::int32_t result;
    {
        WaiterCount waiter(*entry);
        InDriver inDriver(*entry);
        WaitLockGuard locked(*entry);
        if (LoadHandle(*entry) != pinned) {
            result = OX_WAIT_REFUSED;  // closed while this thread was queued
        } else if (OxGetIrqCounter(pinned) != start) {
            result = OX_WAIT_IRQ;  // an interrupt came while queued: one interrupt frees every waiter
        } else {
            result = OxWaitForIrq(&entry->handle, LoadShared(entry->irqTimeout), 1);
        }
    }
    // A card closed during the wait (and maybe opened again) has no count
    // since its Open to report.
    const bool closed = LoadHandle(*entry) != pinned;
    if (count != nullptr && !closed) *count = OxGetIrqCounter(pinned) - LoadShared(entry->irqBase);
    return ResultOfWait(result, closed);
}

std::uint32_t IrqSetTimeout(IrqSource source, std::uint32_t position, std::int32_t timeoutMs) {
    if (position >= POSITION_LIMIT) return QUELT_NO_CARD;
    CardEntry* entry = IrqEntry(source, position);
    if (entry == nullptr || LoadHandle(*entry) == nullptr) return NotOpenCode(entry);
    StoreShared(entry->irqTimeout, timeoutMs);
    return LoadShared(entry->irqEnabled) == 0 ? QUELT_IRQ_NOT_ENABLED : QUELT_OK;
}

std::uint32_t IrqWaitsOfCard(IrqSource source, std::uint32_t position) {
    if (position >= POSITION_LIMIT) return 0;
    CardEntry* entry = IrqEntry(source, position);
    if (entry == nullptr || LoadHandle(*entry) == nullptr) return 0;

    EntryHandleUse use(*entry);
    if (use.handle() == nullptr) return 0;
    WaiterCount waiter(*entry);
    if (waiter.afterIncrement() > 1) {
        // Another thread may be waiting on the entry's handle, which would hold
        // this query up for a slice: ask through a handle of our own.
        DeviceHandle* temporary = AttachEntryDevice(*entry);
        if (temporary == nullptr) return 0;
        const std::uint32_t waits = OxGetIrqWaits(temporary);
        OxCloseDevice(temporary);
        return waits;
    }
    return OxGetIrqWaits(use.handle());
}
