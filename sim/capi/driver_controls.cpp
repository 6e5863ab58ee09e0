// The entry of libquelt_ox952.so that hands the control library this
// process's driver controls (sim/capi/driver_controls.h). Linked into the
// shared library only: a program that links the driver itself needs no entry.
#include "sim/capi/driver_controls.h"

#include "sim/control.h"

namespace {

const sim::capi::DriverControls kControls = {
    sizeof(sim::capi::DriverControls),
    [](int fault, int device, int times, std::uint32_t errorCode) {
        sim::ArmFault(static_cast<sim::Fault>(fault), device, times, errorCode);
    },
    [] { sim::ClearFaults(); },
    [](bool on) { sim::SetImmediateWaits(on); },
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const sim::capi::DriverControls*
quelt_internal_sim_driver() {
    return &kControls;
}
