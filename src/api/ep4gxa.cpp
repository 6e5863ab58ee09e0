// The EP4GXA_ function set. Argument checks run in each function's own order;
// the work is done by the shared family routines.
#include "api/family.h"

extern "C" {

// --- versions and enumeration ---

// --- open and close ---

// --- connection statistics and reset ---

// --- base addresses ---

// --- interrupts ---

// --- memory and register access ---

// --- serial EEPROM ---

}  // extern "C"
