// Keeps a DeviceHandle alive while an interrupt wait of this process uses it.
//
// A waiter reaches its handle through a variable that another thread may empty
// and then close the handle. Every handle this library hands out is known to
// the pin table from its allocation until OxCloseDevice releases it. A waiter
// reads the variable and pins the handle it found in one step under the table's
// lock; OxCloseDevice marks the handle closing and waits until no pin is left
// before it detaches and frees it. The lock is never held across a driver
// request.
#pragma once

struct DeviceHandle;

enum class PinResult {
    Pinned,   // *out holds the pinned handle
    Empty,    // the variable holds no handle
    Closing,  // the handle is being closed: treated as an emptied variable
    Unknown,  // not a handle of this library (or already released)
};

// Makes a freshly allocated handle known. False when the table cannot grow
// (the caller then releases the handle as if its allocation had failed).
bool RegisterHandle(DeviceHandle* handle);

// Reads *slot and, if it names a live handle that is not closing, pins it.
// When previous is not null it is unpinned in the same step, so a handle the
// caller held is never released between the two.
PinResult RepinFromSlot(DeviceHandle* const* slot, DeviceHandle* previous, DeviceHandle** out);

// Drops one pin taken by RepinFromSlot.
void Unpin(DeviceHandle* handle);

// True while some caller holds a pin on the handle.
bool IsPinned(DeviceHandle* handle);

// Marks the handle closing, waits until no pin is left and forgets it. After
// this returns true no waiter uses the handle and none can pin it again. False
// only after AbandonPinnedHandles while the handle is still pinned: it must
// then be left as it is, never freed.
bool RetireHandle(DeviceHandle* handle);

// The process is ending and the threads that held pins are gone (Windows ends
// them before the library's unload): a pinned handle is from now on left to
// the operating system instead of waited for.
void AbandonPinnedHandles();
// True once AbandonPinnedHandles was called: nobody is left to drop a pin.
bool PinsAbandoned();
