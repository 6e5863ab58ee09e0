// The driver version gate: the library works only with card drivers of
// version 109 or later, and says so once per process when it does not fit.
#pragma once

#include <cstdint>

#include "platform/win32.h"

inline constexpr std::uint32_t DRIVER_VERSION_ASKING = 99;    // kept when the request reports nothing
inline constexpr std::uint32_t DRIVER_VERSION_NO_CARD = 100;  // no card to ask; final
inline constexpr std::uint32_t DRIVER_VERSION_FINAL = 100;    // from here on the answer is kept
inline constexpr std::uint32_t DRIVER_VERSION_MINIMUM = 109;

// 0 when the driver is version 109 or later, else -1 (with the message shown
// once per process, text "quelt_ox9162.dll").
std::int32_t CheckDriverVersion();

// Version cache and message flag back to their state at load. Version
// requests run under serialiseWith (the registry hands in the lock of its card
// scan, so that the two never overlap); it must stay valid until the next reset.
void ResetVersionGate(CRITICAL_SECTION* serialiseWith);

// Gate calls now between their question and their message; while any is, a
// direct OxDriverVersion call shows nothing. For tests that order a race.
int DriverVersionGatesInFlight();
