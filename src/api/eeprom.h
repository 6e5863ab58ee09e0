// The serial EEPROM of OX952 and OX9162 cards: a 93C46-type three-wire part in
// its 16-bit organisation (64 words), driven bit by bit through one byte of a
// mapped card region, the EEPROM control byte at base + 3.
//
// Each routine takes the region's base, sends whole frames and leaves chip
// select low when it returns. They keep no state and take no lock: callers
// hold the card's EepromLock around each call, so that frames of two threads
// never interleave on one card.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

struct CardEntry;

// Offset of the EEPROM control byte from the base of its region.
inline constexpr std::size_t EEPROM_CONTROL_OFFSET = 3;
inline constexpr int EEPROM_WORDS = 64;

// Results of the routines (0 is success).
inline constexpr int EEPROM_OK = 0;
inline constexpr int EEPROM_NO_BASE = -1;         // EEPROM_Command, _EraseWord, _WriteWord
inline constexpr int EEPROM_READ_NO_RESULT = -1;  // EEPROM_ReadWord: null result pointer
inline constexpr int EEPROM_READ_NO_BASE = -2;    // EEPROM_ReadWord: null base
inline constexpr int EEPROM_ENABLE_FAILED = -2;   // _EraseWord, _WriteWord
inline constexpr int EEPROM_NEVER_READY = -3;     // _EraseWord, _WriteWord: write disable was still sent

// Address fields of the two extended commands.
inline constexpr std::uint8_t EEPROM_WRITE_ENABLE = 48;
inline constexpr std::uint8_t EEPROM_WRITE_DISABLE = 0;

// Sends one command without data phase (write enable: 48, write disable: 0).
// -1 when base is null, else 0.
int EEPROM_Command(void* base, std::uint8_t addressField);

// Erases one word (to 0xFFFF) between write enable and write disable, waiting
// up to 51 ms for the part to finish. address is taken modulo 64.
// 0 done; -1 null base; -2 write enable failed; -3 the part never reported
// ready (write disable was sent all the same).
int EEPROM_EraseWord(void* base, std::uint32_t address);

// Writes one word; results as EEPROM_EraseWord.
int EEPROM_WriteWord(void* base, std::uint32_t address, std::uint16_t value);

// Reads one word into *value (set to 0 first). No wait. 0 done; -1 null value;
// -2 null base (then *value is left alone).
int EEPROM_ReadWord(void* base, std::uint32_t address, std::uint16_t* value);

// Holds the card entry's EEPROM lock for its lifetime. Whole operations (a
// read, or enable-program-wait-disable) run under it. Never taken while the
// DriverLock is held, and no other lock is taken under it.
class EepromLock {
public:
    explicit EepromLock(CardEntry& entry);
    ~EepromLock();
    EepromLock(const EepromLock&) = delete;
    EepromLock& operator=(const EepromLock&) = delete;

private:
    CRITICAL_SECTION* lock_;
};

// The pause of the ready wait. Tests count the pauses through this; null
// restores Sleep.
using EepromSleepFunction = void (*)(DWORD milliseconds);
void SetEepromSleepForTesting(EepromSleepFunction sleep);
