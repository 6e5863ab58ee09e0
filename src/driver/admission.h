// Admission of connection kinds against a card's shared status block, and
// the bookkeeping of this process's connections in it.
#pragma once

#include <cstdint>

#include "driver/contract.h"

struct DeviceHandle;

enum ConnectionKind : std::int32_t {
    CONNECTION_NORMAL = 0,
    CONNECTION_MULTI = 1,
    CONNECTION_DIAGNOSTIC = 2,
};

// 0 admitted, 1 refused. A null handle or one without status block is admitted.
std::int32_t AdmitConnection(DeviceHandle* handle, std::int32_t kind);

// Clears the slots of processes that no longer run. Clears nothing unless the
// whole process list could be had.
void PruneStaleProcesses(SharedStatusBlock* block);

// Releases this process's record on the block before its handle is closed.
void ReleaseConnection(SharedStatusBlock* block, std::int32_t kind);
