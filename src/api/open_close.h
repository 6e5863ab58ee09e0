// Opening and closing family card positions.
#pragma once

#include <cstdint>

#include "registry/card_table.h"

struct DeviceHandle;

// Opens the family's card at position with the given connection kind (0
// normal, 1 multi, 2 diagnostic); irq non-zero asks for the card's interrupt.
std::uint32_t OpenCard(Family family, std::uint32_t position, std::uint32_t irq, std::int32_t kind);

// Closes the family's card at position (both functions of an OX952 card).
std::uint32_t CloseCard(Family family, std::uint32_t position);
