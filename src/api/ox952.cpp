// The OX952_ function set. Argument checks run in each function's own order;
// the work is done by the shared family routines.
#include "api/base_address.h"
#include "api/connections.h"
#include "api/eeprom.h"
#include "api/enumeration.h"
#include "api/family.h"
#include "api/irq.h"
#include "api/open_close.h"
#include "api/register_access.h"
#include "driver/admission.h"

extern "C" {

// --- versions and enumeration ---

QUELT_API uint32_t QUELT_CALL OX952_DriverVersion(uint32_t* version) {
    return FamilyDriverVersion(version);
}
QUELT_API uint32_t QUELT_CALL OX952_InterfaceVersion(void) {
    return QUELT_INTERFACE_VERSION;
}
QUELT_API uint32_t QUELT_CALL OX952_CardsInSystem(uint32_t* count) {
    return FamilyCardsInSystem(Family::OX952, count);
}
QUELT_API uint32_t QUELT_CALL OX952_Card_DID(uint32_t position, uint32_t* deviceId) {
    return FamilyCardField(Family::OX952, position, deviceId, CardField::DeviceId, NullCheck::First);
}
QUELT_API uint32_t QUELT_CALL OX952_Card_BUS(uint32_t position, uint32_t* bus) {
    return FamilyCardField(Family::OX952, position, bus, CardField::Bus, NullCheck::AfterPosition);
}
QUELT_API uint32_t QUELT_CALL OX952_Card_SLOT(uint32_t position, uint32_t* slot) {
    return FamilyCardField(Family::OX952, position, slot, CardField::Slot, NullCheck::AfterPosition);
}

// --- open and close ---

QUELT_API uint32_t QUELT_CALL OX952_Open(uint32_t position, uint32_t irq) {
    return OpenCard(Family::OX952, position, irq, CONNECTION_NORMAL);
}
QUELT_API uint32_t QUELT_CALL OX952_OpenMulti(uint32_t position, uint32_t irq) {
    return OpenCard(Family::OX952, position, irq, CONNECTION_MULTI);
}
QUELT_API uint32_t QUELT_CALL OX952_OpenDiagnostic(uint32_t position, uint32_t irq) {
    return OpenCard(Family::OX952, position, irq, CONNECTION_DIAGNOSTIC);
}
QUELT_API uint32_t QUELT_CALL OX952_Close(uint32_t position) {
    return CloseCard(Family::OX952, position);
}

// --- connection statistics and reset ---

QUELT_API uint32_t QUELT_CALL OX952_Card_OpenCount(uint32_t position, uint32_t* count) {
    return CardOpenCount(Family::OX952, position, count);
}
QUELT_API uint32_t QUELT_CALL OX952_ClearConnections(uint32_t position) {
    return ClearConnections(Family::OX952, position);
}

// --- base addresses ---

QUELT_API uint32_t QUELT_CALL OX952_BAR05_BaseAdr(uint32_t position, void** address, uint32_t* length) {
    return RegionBaseAdr(OX952_BAR05, position, address, length);
}
QUELT_API uint32_t QUELT_CALL OX952_BAR11_BaseAdr(uint32_t position, void** address, uint32_t* length) {
    return RegionBaseAdr(OX952_BAR11, position, address, length);
}
QUELT_API uint32_t QUELT_CALL OX952_BAR13_BaseAdr(uint32_t position, void** address, uint32_t* length) {
    return RegionBaseAdr(OX952_BAR13, position, address, length);
}
QUELT_API uint32_t QUELT_CALL OX952_SHARED_BaseAdr(uint32_t position, void** address, uint32_t* length) {
    return SharedBaseAdr(Family::OX952, position, address, length);
}

// --- interrupts ---

QUELT_API uint32_t QUELT_CALL OX952_IRQ_Wait(uint32_t position, uint32_t* count) {
    return IrqWait(IrqSource::OX952_F1, position, count);
}
QUELT_API uint32_t QUELT_CALL OX952_IRQ_Count(uint32_t position) {
    return IrqCount(IrqSource::OX952_F1, position);
}
QUELT_API uint32_t QUELT_CALL OX952_IRQ_CountF0(uint32_t position) {
    return IrqCount(IrqSource::OX952_F0, position);
}
QUELT_API uint32_t QUELT_CALL OX952_IRQ_SetTimeout(uint32_t position, int32_t timeoutMs) {
    return IrqSetTimeout(IrqSource::OX952_F1, position, timeoutMs);
}

// --- memory and register access ---

QUELT_API void QUELT_CALL OX952_MemWrite(void* base, uint32_t offset, uint8_t value) {
    ByteWrite(base, offset, value);
}
QUELT_API uint8_t QUELT_CALL OX952_MemRead(void* base, uint32_t offset) {
    return ByteRead(base, offset);
}

// --- serial EEPROM ---

}  // extern "C"

namespace {

// The EEPROM sits on function 1's second region. op runs under the card's
// EEPROM lock; the region codes of OX952_BAR13_BaseAdr pass through unchanged.
template <typename Op>
std::uint32_t Ox952Eeprom(std::uint32_t position, Op op) {
    void* base = nullptr;
    std::uint32_t length = 0;
    const std::uint32_t code = OX952_BAR13_BaseAdr(position, &base, &length);
    if (code != QUELT_OK) return code;
    CardEntry* entry = Ox952Function1Entry(position);
    if (entry == nullptr) return QUELT_NOT_OPEN;
    EepromLock lock(*entry);
    return op(base) == EEPROM_OK ? QUELT_OK : QUELT_NOT_OPEN;
}

}  // namespace

extern "C" {

QUELT_API uint32_t QUELT_CALL OX952_EEPROM_RD(uint32_t position, uint32_t address, uint16_t* value) {
    if (value == nullptr) return QUELT_NULL_POINTER;
    return Ox952Eeprom(position, [&](void* base) { return EEPROM_ReadWord(base, address, value); });
}

QUELT_API uint32_t QUELT_CALL OX952_EEPROM_WR(uint32_t position, uint32_t address, uint16_t value) {
    return Ox952Eeprom(position, [&](void* base) { return EEPROM_WriteWord(base, address, value); });
}

QUELT_API uint32_t QUELT_CALL OX952_EEPROM_Erase(uint32_t position, uint32_t address) {
    return Ox952Eeprom(position, [&](void* base) { return EEPROM_EraseWord(base, address); });
}

}  // extern "C"
