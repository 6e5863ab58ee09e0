// The simulated card driver as the POSIX platform layer sees it: the device
// listing behind SetupAPI and the device side of CreateFileA, DeviceIoControl
// and CloseHandle. This is the one header of sim/ that src/platform/posix/
// includes; the machine store, the device models and the test controls stay
// behind it.
//
// Every call states what it may block on, what it returns and what holds
// after a process dies. Errors are Win32 error codes, which the caller turns
// into the last-error value of the Win32 call it serves.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace sim::driver {

// --- Device listing ---

// One present device of the card interface class.
struct ListedDevice {
    int number;               // device number: 1-based position in the machine
    std::string description;  // the device description (SPDRP_DEVICEDESC)
    std::string path;         // the device path of its one interface, for CreateFileA
};

// The present devices of the current machine, in device-number order; a card
// whose file is damaged is not present. Costs one open and one read per card.
// When the default root holds no machine, the default machine is made first;
// a root named by QUELT_SIM_ROOT or the control API is never made here.
// Blocks only on the machine's structural lock, which is held for the few
// file operations of a change and released by the kernel when its holder
// dies. Returns false with *error set when the machine cannot be read (no
// machine at an explicit root, a damaged index, no descriptor left); a device
// list is a snapshot and does not follow later changes.
bool ListDevices(std::vector<ListedDevice>* devices, DWORD* error);

// The steps of the listing and of the class installer's calls that a test can
// make fail (sim/control.h, ArmFault).
enum class Step {
    ClassDevs,      // making the list
    EnumDevice,     // one step of SetupDiEnumDeviceInfo
    Description,    // reading a description into a buffer large enough
    Interface,      // SetupDiEnumDeviceInterfaces
    DevicePath,     // reading a device path into a record large enough
    InstallParams,  // SetupDiGetDeviceInstallParamsA
    InstallDevice,  // SetupDiInstallDevice
};
// True (and one armed occurrence used up) when a test made this step fail for
// device (0: the list as a whole); *error receives the armed code, 0 when the
// test gave none. Never blocks beyond a process-local lock.
bool StepFails(Step step, int device, DWORD* error);

// Device lists this process holds, counted for the tests' leak checks.
void ListCreated();
void ListDestroyed();

// The install parameters the class installer stores per device number (0:
// the list as a whole). Process-local, as a device information set is.
struct InstallParams {
    std::uint32_t flags = 0;
    std::uint32_t flagsEx = 0;
    std::string driverPath;
};
InstallParams GetInstallParams(int device);
void SetInstallParams(int device, const InstallParams& params);
void CountInstallDevice(int device);

// --- Device handles ---

class Device;  // one open file handle on a simulated device

// True when path names a device of the simulated card driver (whether or not
// such a device exists). Does not block.
bool IsDevicePath(const char* path);

// Opens the device a listed path names; null with *error set on failure
// (ERROR_FILE_NOT_FOUND for a path of no present device, ERROR_FILE_CORRUPT
// for a damaged card file). Blocks only on the machine's structural lock. The
// handle is not attached yet; it holds two close-on-exec descriptors.
Device* Open(const char* path, DWORD* error);

// One synchronous request, as DeviceIoControl on a handle opened without the
// overlapped flag: requests on one handle run one after the other. Returns
// FALSE with *error set on failure; *bytesReturned is written in both cases.
// - Attach maps the card's regions and status page (checked against the card
//   file first: ERROR_FILE_CORRUPT when it was damaged since the open) and
//   counts the handle. Detach undoes it, and is accepted on a handle that is
//   not attached.
// - Wait, wait count, discard and the DMA requests need an attached handle
//   (else ERROR_NOT_READY).
// - A wait returns at once while the interrupt counter differs from the
//   acknowledged counter; otherwise it blocks, in one sleep (sim/os.h), until the
//   card's next interrupt, a discard from any handle, or its time. It takes
//   no lock, makes no allocation and asks nothing of the process table.
// - The wait count is the waits in progress on the card from all handles.
// - Every other request blocks at most on the card's robust lock.
// After a process dies or execs, its handles are no longer counted as
// attached or waiting by any later request: the kernel has dropped their
// slot locks. A forked child's copy of a handle is no handle
// (ERROR_INVALID_HANDLE); the child does not keep the parent's attach alive.
BOOL Control(Device* device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
             DWORD* bytesReturned, DWORD* error);

// Closes the handle: detaches it if still attached and frees its DMA buffers.
// A request still running on another thread completes first; Close itself
// does not wait for it.
void Close(Device* device);

}  // namespace sim::driver
