// Connection statistics and the reset of a card's connection bookkeeping.
#pragma once

#include <cstdint>

#include "registry/card_table.h"

std::uint32_t CardOpenCount(Family family, std::uint32_t position, std::uint32_t* count);
std::uint32_t ClearConnections(Family family, std::uint32_t position);
