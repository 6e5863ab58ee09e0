// The EP4GXA_ function set. Argument checks run in each function's own order;
// the work is done by the shared family routines.
#include "api/base_address.h"
#include "api/connections.h"
#include "api/enumeration.h"
#include "api/family.h"
#include "api/irq.h"
#include "api/open_close.h"
#include "api/register_access.h"
#include "driver/admission.h"

extern "C" {

// --- versions and enumeration ---

QUELT_API uint32_t QUELT_CALL EP4GXA_DriverVersion(uint32_t* version) {
    return FamilyDriverVersion(version);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_InterfaceVersion(void) {
    return QUELT_INTERFACE_VERSION;
}
QUELT_API uint32_t QUELT_CALL EP4GXA_CardsInSystem(uint32_t* count) {
    return FamilyCardsInSystem(Family::EP4GXA, count);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_Card_DID(uint32_t position, uint32_t* deviceId) {
    return FamilyCardField(Family::EP4GXA, position, deviceId, CardField::DeviceId, NullCheck::Last);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_Card_BUS(uint32_t position, uint32_t* bus) {
    return FamilyCardField(Family::EP4GXA, position, bus, CardField::Bus, NullCheck::Last);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_Card_SLOT(uint32_t position, uint32_t* slot) {
    return FamilyCardField(Family::EP4GXA, position, slot, CardField::Slot, NullCheck::Last);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_Card_ID(uint32_t position, uint32_t* id) {
    return FamilyCardField(Family::EP4GXA, position, id, CardField::CardId, NullCheck::AfterPosition);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_Card_SerNr(uint32_t position, uint32_t* serialNumber) {
    return FamilyCardField(Family::EP4GXA, position, serialNumber, CardField::SerialNumber,
                           NullCheck::AfterPosition);
}

// --- open and close ---

QUELT_API uint32_t QUELT_CALL EP4GXA_Open(uint32_t position, uint32_t irq) {
    return OpenCard(Family::EP4GXA, position, irq, CONNECTION_NORMAL);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_OpenMulti(uint32_t position, uint32_t irq) {
    return OpenCard(Family::EP4GXA, position, irq, CONNECTION_MULTI);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_OpenDiagnostic(uint32_t position, uint32_t irq) {
    return OpenCard(Family::EP4GXA, position, irq, CONNECTION_DIAGNOSTIC);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_Close(uint32_t position) {
    return CloseCard(Family::EP4GXA, position);
}

// --- connection statistics and reset ---

QUELT_API uint32_t QUELT_CALL EP4GXA_Card_OpenCount(uint32_t position, uint32_t* count) {
    return CardOpenCount(Family::EP4GXA, position, count);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_ClearConnections(uint32_t position) {
    return ClearConnections(Family::EP4GXA, position);
}

// --- base addresses ---

QUELT_API uint32_t QUELT_CALL EP4GXA_BAR0_BaseAdr(uint32_t position, void** address, uint32_t* length) {
    return RegionBaseAdr(EP4GXA_BAR0, position, address, length);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_BAR1_BaseAdr(uint32_t position, void** address, uint32_t* length) {
    return RegionBaseAdr(EP4GXA_BAR1, position, address, length);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_BAR2_BaseAdr(uint32_t position, void** address, uint32_t* length) {
    return RegionBaseAdr(EP4GXA_BAR2, position, address, length);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_SHARED_BaseAdr(uint32_t position, void** address, uint32_t* length) {
    return SharedBaseAdr(Family::EP4GXA, position, address, length);
}

// --- interrupts ---

QUELT_API uint32_t QUELT_CALL EP4GXA_IRQ_Wait(uint32_t position, uint32_t* count) {
    return IrqWait(IrqSource::EP4GXA, position, count);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_IRQ_Count(uint32_t position) {
    return IrqCount(IrqSource::EP4GXA, position);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_IRQ_SetTimeout(uint32_t position, int32_t timeoutMs) {
    return IrqSetTimeout(IrqSource::EP4GXA, position, timeoutMs);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_GetIrqWaits(uint32_t position) {
    return IrqWaitsOfCard(IrqSource::EP4GXA, position);
}

// --- memory and register access ---

QUELT_API uint32_t QUELT_CALL EP4GXA_ReadReg8(uint32_t position, uint32_t offset, uint8_t* value) {
    return Ep4gxaRead<uint8_t, 4>(position, offset, value);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_WriteReg8(uint32_t position, uint32_t offset, uint8_t value) {
    return Ep4gxaWrite<uint8_t, 4>(position, offset, value);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_ReadReg32(uint32_t position, uint32_t offset, uint32_t* value) {
    return Ep4gxaRead<uint32_t, 4>(position, offset, value);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_WriteReg32(uint32_t position, uint32_t offset, uint32_t value) {
    return Ep4gxaWrite<uint32_t, 4>(position, offset, value);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_ReadReg2x32(uint32_t position, uint32_t offset, uint32_t* low,
                                                 uint32_t* high) {
    return Ep4gxaRead2x32(position, offset, low, high);  // one access, never two halves
}
QUELT_API uint32_t QUELT_CALL EP4GXA_WriteReg2x32(uint32_t position, uint32_t offset, uint32_t low,
                                                  uint32_t high) {
    return Ep4gxaWrite<uint64_t, 8>(position, offset, JoinWord(low, high));
}
QUELT_API uint32_t QUELT_CALL EP4GXA_ReadReg64(uint32_t position, uint32_t offset, uint64_t* value) {
    return Ep4gxaRead<uint64_t, 8>(position, offset, value);
}
QUELT_API uint32_t QUELT_CALL EP4GXA_WriteReg64(uint32_t position, uint32_t offset, uint64_t value) {
    return Ep4gxaWrite<uint64_t, 8>(position, offset, value);
}

// --- serial EEPROM ---

}  // extern "C"
