// What the three family function sets (OX952_, OX9162_, EP4GXA_) share at
// their boundary. The exported functions live in one source per family and
// stay thin: each checks its arguments in its own order and calls the
// routines of the api/ source named for the work (open_close, irq, eeprom,
// enumeration, connections, base_address, register_access).
#pragma once

#include <cstdint>

#include "quelt_ox952.h"
#include "registry/card_table.h"

// Every position argument is tested unsigned against this before use: a
// family has at most as many positions as the table has entries.
inline constexpr std::uint32_t POSITION_LIMIT = CARD_TABLE_SIZE;
