// The OX9162_ function set. Argument checks run in each function's own order;
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
#include "driver/device.h"

extern "C" {

// --- versions and enumeration ---

QUELT_API uint32_t QUELT_CALL OX9162_DriverVersion(uint32_t* version) {
    return FamilyDriverVersion(version);
}
QUELT_API uint32_t QUELT_CALL OX9162_InterfaceVersion(void) {
    return QUELT_INTERFACE_VERSION;
}
QUELT_API uint32_t QUELT_CALL OX9162_CardsInSystem(uint32_t* count) {
    return FamilyCardsInSystem(Family::OX9162, count);
}
QUELT_API uint32_t QUELT_CALL OX9162_Card_DID(uint32_t position, uint32_t* deviceId) {
    return FamilyCardField(Family::OX9162, position, deviceId, CardField::DeviceId, NullCheck::Last);
}
QUELT_API uint32_t QUELT_CALL OX9162_Card_BUS(uint32_t position, uint32_t* bus) {
    return FamilyCardField(Family::OX9162, position, bus, CardField::Bus, NullCheck::Last);
}
QUELT_API uint32_t QUELT_CALL OX9162_Card_SLOT(uint32_t position, uint32_t* slot) {
    return FamilyCardField(Family::OX9162, position, slot, CardField::Slot, NullCheck::Last);
}

// --- open and close ---

QUELT_API uint32_t QUELT_CALL OX9162_Open(uint32_t position, uint32_t irq) {
    return OpenCard(Family::OX9162, position, irq, CONNECTION_NORMAL);
}
QUELT_API uint32_t QUELT_CALL OX9162_OpenMulti(uint32_t position, uint32_t irq) {
    return OpenCard(Family::OX9162, position, irq, CONNECTION_MULTI);
}
QUELT_API uint32_t QUELT_CALL OX9162_OpenDiagnostic(uint32_t position, uint32_t irq) {
    return OpenCard(Family::OX9162, position, irq, CONNECTION_DIAGNOSTIC);
}
QUELT_API uint32_t QUELT_CALL OX9162_Close(uint32_t position) {
    return CloseCard(Family::OX9162, position);
}

// --- connection statistics and reset ---

QUELT_API uint32_t QUELT_CALL OX9162_Card_OpenCount(uint32_t position, uint32_t* count) {
    return CardOpenCount(Family::OX9162, position, count);
}
QUELT_API uint32_t QUELT_CALL OX9162_ClearConnections(uint32_t position) {
    return ClearConnections(Family::OX9162, position);
}

// --- base addresses ---

QUELT_API uint32_t QUELT_CALL OX9162_BAR3_BaseAdr(uint32_t position, void** address, uint32_t* length) {
    return RegionBaseAdr(OX9162_BAR3, position, address, length);
}
QUELT_API uint32_t QUELT_CALL OX9162_BAR4_BaseAdr(uint32_t position, void** address, uint32_t* length) {
    return RegionBaseAdr(OX9162_BAR4, position, address, length);
}
QUELT_API uint32_t QUELT_CALL OX9162_SHARED_BaseAdr(uint32_t position, void** address, uint32_t* length) {
    return SharedBaseAdr(Family::OX9162, position, address, length);
}

// --- interrupts ---

QUELT_API uint32_t QUELT_CALL OX9162_IRQ_Wait(uint32_t position, uint32_t* count) {
    return IrqWait(IrqSource::OX9162, position, count);
}
QUELT_API uint32_t QUELT_CALL OX9162_IRQ_Count(uint32_t position) {
    return IrqCount(IrqSource::OX9162, position);
}
QUELT_API uint32_t QUELT_CALL OX9162_IRQ_SetTimeout(uint32_t position, int32_t timeoutMs) {
    return IrqSetTimeout(IrqSource::OX9162, position, timeoutMs);
}
QUELT_API uint32_t QUELT_CALL OX9162_GetIrqWaits(uint32_t position) {
    return IrqWaitsOfCard(IrqSource::OX9162, position);
}

// --- memory and register access ---

QUELT_API void QUELT_CALL OX9162_MemWrite(void* base, uint32_t offset, uint8_t value) {
    ByteWrite(base, offset, value);
}
QUELT_API uint8_t QUELT_CALL OX9162_MemRead(void* base, uint32_t offset) {
    return ByteRead(base, offset);
}

// --- serial EEPROM ---

}  // extern "C"

namespace {

// The EEPROM sits on the first region the driver recorded for the card. The
// position resolves through the OX9162 map as Open left it (never building
// it), so a card opened through another family is never reached. op runs
// under the card's EEPROM lock.
template <typename Op>
std::uint32_t Ox9162Eeprom(std::uint32_t position, Op op) {
    if (position >= POSITION_LIMIT) return QUELT_NO_CARD;
    CardEntry* entry = FamilyEntry(Family::OX9162, position);
    if (entry == nullptr) return QUELT_NO_CARD;
    const DeviceHandle* handle = LoadHandle(*entry);
    if (handle == nullptr) return IsPresent(*entry) ? QUELT_NOT_OPEN : QUELT_NO_CARD;
    void* base = handle->attach.resources.regions[0].address;
    EepromLock lock(*entry);
    return op(base) == EEPROM_OK ? QUELT_OK : QUELT_NOT_OPEN;
}

}  // namespace

extern "C" {

QUELT_API uint32_t QUELT_CALL OX9162_EEPROM_RD(uint32_t position, uint32_t address, uint16_t* value) {
    if (value == nullptr) return QUELT_NULL_POINTER;
    return Ox9162Eeprom(position, [&](void* base) { return EEPROM_ReadWord(base, address, value); });
}

QUELT_API uint32_t QUELT_CALL OX9162_EEPROM_WR(uint32_t position, uint32_t address, uint16_t value) {
    return Ox9162Eeprom(position, [&](void* base) { return EEPROM_WriteWord(base, address, value); });
}

QUELT_API uint32_t QUELT_CALL OX9162_EEPROM_Erase(uint32_t position, uint32_t address) {
    return Ox9162Eeprom(position, [&](void* base) { return EEPROM_EraseWord(base, address); });
}

}  // extern "C"
