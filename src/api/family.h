// Shared helpers of the three family function sets (OX952_, OX9162_, EP4GXA_).
// The exported functions live in one source per family and stay thin: each
// checks its arguments in its own order and calls the shared routines here.
#pragma once

#include <cstdint>

#include "quelt_ox952.h"
#include "registry/card_table.h"

// Every position argument is tested unsigned against this before use.
inline constexpr std::uint32_t POSITION_LIMIT = 32;
