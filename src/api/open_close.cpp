// Opening and closing family card positions.
#include "api/open_close.h"

#include "api/family.h"
#include "api/irq.h"
#include "driver/admission.h"
#include "driver/device.h"
#include "driver/version.h"

namespace {

// Records a fresh connection on an entry. The interrupt base is read first so
// that an interrupt API call that sees irqEnabled already counts from it.
void RecordConnection(CardEntry& e, DeviceHandle* handle, std::uint32_t irq, std::int32_t kind) {
    StoreShared(e.irqBase, OxGetIrqCounter(handle));
    StoreShared(e.connectionKind, kind);
    StoreShared(e.irqEnabled, irq);
}

// Attaches the entry's device into e.handle unless it is already held. Called
// with the DriverLock held. Returns QUELT_ALREADY_OPEN, QUELT_OPEN_FAILED or
// QUELT_OK.
std::uint32_t ClaimLocked(CardEntry& e) {
    if (LoadHandle(e) != nullptr) return QUELT_ALREADY_OPEN;
    // irqWaiters is left as it is: threads of an earlier connection may still
    // be leaving their waits, and the count must stay their true number.
    StoreHandle(e, AttachEntryDevice(e));
    return LoadHandle(e) == nullptr ? QUELT_OPEN_FAILED : QUELT_OK;
}

// Admits the claimed entry's connection; a refused handle is taken out and
// closed again, leaving the entry not open.
std::uint32_t AdmitClaimed(CardEntry& e, std::uint32_t irq, std::int32_t kind) {
    DeviceHandle* handle = LoadHandle(e);
    if (AdmitConnection(handle, kind) != 0) {
        CloseTakenHandle(e, TakeHandle(e));
        return QUELT_REFUSED;
    }
    RecordConnection(e, handle, irq, kind);
    return QUELT_OK;
}

std::uint32_t OpenSingleFunctionCard(Family family, std::uint32_t position, std::uint32_t irq,
                                     std::int32_t kind) {
    CardEntry* e = FamilyEntry(family, position);
    if (e == nullptr || !IsPresent(*e)) return QUELT_NO_CARD;
    if (irq != 0 && e->irqLine == 0) return QUELT_NO_IRQ_LINE;

    EnterCriticalSection(DriverLock());
    const std::uint32_t claimed = ClaimLocked(*e);
    LeaveCriticalSection(DriverLock());
    if (claimed != QUELT_OK) return claimed;
    return AdmitClaimed(*e, irq, kind);
}

// Function 1 of a two-function card opens with function 0, in the same kind.
// Its admission is bookkeeping only: function 0's admission decided.
void OpenPartner(CardEntry& e1, std::uint32_t irq, std::int32_t kind) {
    // Claimed under the DriverLock, so two openers can never both attach it
    // and lose one handle.
    EnterCriticalSection(DriverLock());
    DeviceHandle* handle = nullptr;
    const bool claimed = LoadHandle(e1) == nullptr;
    if (claimed) {
        handle = AttachEntryDevice(e1);
        StoreHandle(e1, handle);
    }
    LeaveCriticalSection(DriverLock());
    if (!claimed) return;
    AdmitConnection(handle, kind);
    RecordConnection(e1, handle, irq, kind);
}

std::uint32_t OpenOx952Card(std::uint32_t position, std::uint32_t irq, std::int32_t kind) {
    CardEntry* e0 = Ox952Function0Entry(position);
    if (e0 == nullptr) {
        // No function 0: a lone function 1, or no card at all.
        CardEntry* e1 = Ox952Function1Entry(position);
        if (e1 == nullptr) return irq != 0 ? QUELT_NO_IRQ_LINE : QUELT_OPEN_FAILED;
        EnterCriticalSection(DriverLock());
        if (LoadHandle(*e1) != nullptr) {
            LeaveCriticalSection(DriverLock());
            return QUELT_ALREADY_OPEN;
        }
        if (irq != 0 && e1->irqLine == 0) {
            LeaveCriticalSection(DriverLock());
            return QUELT_NO_IRQ_LINE;
        }
        const std::uint32_t claimed = ClaimLocked(*e1);
        LeaveCriticalSection(DriverLock());
        if (claimed != QUELT_OK) return claimed;
        return AdmitClaimed(*e1, irq, kind);
    }

    EnterCriticalSection(DriverLock());
    const std::uint32_t claimed = ClaimLocked(*e0);
    LeaveCriticalSection(DriverLock());
    if (claimed != QUELT_OK) return claimed;
    if (const std::uint32_t admitted = AdmitClaimed(*e0, irq, kind); admitted != QUELT_OK) return admitted;

    // A pairing found once stays; an ambiguous one is searched again.
    std::atomic<std::int8_t>& f1 = Ox952Function1Map().index[position];
    if (EntryFor(f1.load(std::memory_order_relaxed)) == nullptr)
        f1.store(Ox952PartnerOf(*e0), std::memory_order_relaxed);

    if (CardEntry* e1 = EntryFor(f1.load(std::memory_order_relaxed))) {
        OpenPartner(*e1, irq, kind);
        return QUELT_OK;
    }
    StoreShared(e0->irqEnabled, 0u);
    CloseEntry(*e0, TakeHandle(*e0));
    return QUELT_NO_FUNCTION1;
}

std::uint32_t CloseSingleFunctionCard(Family family, std::uint32_t position) {
    CardEntry* e = FamilyEntry(family, position);
    if (e == nullptr || !IsPresent(*e)) return QUELT_NO_CARD;
    StoreShared(e->irqEnabled, 0u);
    DeviceHandle* handle = TakeHandle(*e);
    if (handle == nullptr) return QUELT_NOT_OPEN;
    CloseEntry(*e, handle);
    return QUELT_OK;
}

std::uint32_t CloseOx952Card(std::uint32_t position) {
    CardEntry* e0 = Ox952Function0Entry(position);
    CardEntry* e1 = Ox952Function1Entry(position);
    const bool open0 = e0 != nullptr && LoadHandle(*e0) != nullptr;
    const bool open1 = e1 != nullptr && LoadHandle(*e1) != nullptr;
    if (!open0 && !open1) return QUELT_NOT_OPEN;
    if (e0 != nullptr) StoreShared(e0->irqEnabled, 0u);
    if (e1 != nullptr) StoreShared(e1->irqEnabled, 0u);
    if (open0) CloseEntry(*e0, TakeHandle(*e0));
    if (open1) CloseEntry(*e1, TakeHandle(*e1));
    return QUELT_OK;
}

}  // namespace

std::uint32_t OpenCard(Family family, std::uint32_t position, std::uint32_t irq, std::int32_t kind) {
    if (position >= POSITION_LIMIT) return QUELT_NO_CARD;
    if (CheckDriverVersion() != 0) return QUELT_OLD_DRIVER;
    BuiltMap(family);
    return family == Family::OX952 ? OpenOx952Card(position, irq, kind)
                                   : OpenSingleFunctionCard(family, position, irq, kind);
}

std::uint32_t CloseCard(Family family, std::uint32_t position) {
    if (position >= POSITION_LIMIT) return QUELT_NO_CARD;
    BuiltMap(family);
    return family == Family::OX952 ? CloseOx952Card(position) : CloseSingleFunctionCard(family, position);
}
