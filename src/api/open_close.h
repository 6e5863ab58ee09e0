// Opening and closing family card positions, and closing one table entry.
#pragma once

#include <cstdint>

#include "registry/card_table.h"

struct DeviceHandle;

// Opens the family's card at position with the given connection kind (0
// normal, 1 multi, 2 diagnostic); irq non-zero asks for the card's interrupt.
std::uint32_t OpenCard(Family family, std::uint32_t position, std::uint32_t irq, std::int32_t kind);

// Closes the family's card at position (both functions of an OX952 card).
std::uint32_t CloseCard(Family family, std::uint32_t position);

// Takes the handle out of the entry under the DriverLock; null when it held
// none. Whoever gets a handle from here closes it (CloseEntry).
DeviceHandle* TakeHandle(CardEntry& entry);

// Finishes closing an entry whose handle was already taken out: releases this
// process's connection on the card, ends pending interrupt waits of this
// process through a temporary handle, and closes the handle. Null is ignored.
void CloseEntry(CardEntry& entry, DeviceHandle* handle);
