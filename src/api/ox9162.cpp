// The OX9162_ function set. Argument checks run in each function's own order;
// the work is done by the shared family routines.
#include "api/family.h"
#include "api/eeprom.h"
#include "driver/device.h"

extern "C" {

// --- versions and enumeration ---

// --- open and close ---

// --- connection statistics and reset ---

// --- base addresses ---

// --- interrupts ---

// --- memory and register access ---

// --- serial EEPROM ---

}  // extern "C"

namespace {

// The EEPROM sits on the first region the driver recorded for the card. The
// position resolves through the OX9162 map only (built on first use), so a
// card opened through another family is never reached. op runs under the
// card's EEPROM lock.
template <typename Op>
std::uint32_t Ox9162Eeprom(std::uint32_t position, Op op)
{
    if (position >= POSITION_LIMIT) return QUELT_NO_CARD;
    const CardEntry* entry = FamilyEntry(Family::OX9162, position);
    if (entry == nullptr) return QUELT_NO_CARD;
    const DeviceHandle* handle = LoadHandle(*entry);
    if (handle == nullptr) return IsPresent(*entry) ? QUELT_NOT_OPEN : QUELT_NO_CARD;
    void* base = handle->attach.resources.regions[0].address;
    EepromLock lock(*entry);
    return op(base) == EEPROM_OK ? QUELT_OK : QUELT_NOT_OPEN;
}

}  // namespace

extern "C" {

QUELT_API uint32_t QUELT_CALL OX9162_EEPROM_RD(uint32_t position, uint32_t address, uint16_t* value)
{
    if (value == nullptr) return QUELT_NULL_POINTER;
    return Ox9162Eeprom(position, [&](void* base) { return EEPROM_ReadWord(base, address, value); });
}

QUELT_API uint32_t QUELT_CALL OX9162_EEPROM_WR(uint32_t position, uint32_t address, uint16_t value)
{
    return Ox9162Eeprom(position, [&](void* base) { return EEPROM_WriteWord(base, address, value); });
}

QUELT_API uint32_t QUELT_CALL OX9162_EEPROM_Erase(uint32_t position, uint32_t address)
{
    return Ox9162Eeprom(position, [&](void* base) { return EEPROM_EraseWord(base, address); });
}

}  // extern "C"
