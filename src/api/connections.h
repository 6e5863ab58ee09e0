// Connection statistics and the reset of a card's connection bookkeeping.
#pragma once

#include <cstdint>

#include "driver/contract.h"
#include "registry/card_table.h"

std::uint32_t CardOpenCount(Family family, std::uint32_t position, std::uint32_t* count);
std::uint32_t ClearConnections(Family family, std::uint32_t position);

// The reset of one block: attach count cut down to 1, no diagnostic
// connections, every slot free (never beyond the block); the slot count stays.
void ResetConnectionRecords(SharedStatusBlock& block);
