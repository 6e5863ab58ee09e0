// The simulated driver's controls that belong to one process (armed faults,
// the wait mode). They live in the driver the card library carries; the
// control library (libquelt_sim) reaches that one driver through this entry
// of libquelt_ox952.so, so that a fault armed through quelt_sim.h is the fault
// the library's next request meets. Internal: not part of either API.
#pragma once

#include <cstdint>

namespace sim::capi {

struct DriverControls {
    std::uint32_t size;  // sizeof(DriverControls) of the library that gave it
    void (*armFault)(int fault, int device, int times, std::uint32_t errorCode);  // fault: a sim::Fault
    void (*clearFaults)();
    void (*setImmediateWaits)(bool on);
};

// The name libquelt_ox952.so exports the entry under; the version scripts
// and the export check know it.
inline constexpr const char* kDriverControlsEntry = "quelt_internal_sim_driver";
using DriverControlsEntry = const DriverControls* (*)();

}  // namespace sim::capi
