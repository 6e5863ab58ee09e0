// Per-process test state of the simulated driver (faults, request log, wait
// mode, open device lists, install parameters), as the driver consults it.
// Private to sim/; tests drive it through sim/control.h.
#pragma once

#include <cstdint>
#include <string>

#include "sim/control.h"
#include "sim/driver.h"

namespace sim::hooks {

// True (and one occurrence used up) when fault is armed for device (or for
// any device). *errorCode receives the armed code, 0 when none was given.
bool TakeFault(Fault fault, int device, std::uint32_t* errorCode = nullptr);

// Whether a test turned the request log on; cheap enough for every request.
bool LogOn();
void LogRequest(LoggedRequest request);
bool ImmediateWaits();

void DeviceListCreated();
void DeviceListDestroyed();

using driver::InstallParams;
InstallParams GetInstallParams(int device);
void SetInstallParams(int device, const InstallParams& params);
void CountInstallDevice(int device);

}  // namespace sim::hooks
