// Admission of connections against the card's shared status block, and the
// bookkeeping of this process's connections in it.
//
// The block is shared with other processes and no lock spans them. Every
// field goes through LoadShared/StoreShared; loops over the slots never go
// beyond the block, whatever slot count another process wrote.
#include "driver/admission.h"

#include <algorithm>
#include <memory>
#include <new>

#include "driver/device.h"

namespace {

constexpr DWORD FIRST_PROCESS_LIST_IDS = 1024;
// Beyond this the list is not believed complete and nothing is pruned.
constexpr DWORD MAX_PROCESS_LIST_IDS = DWORD{1} << 22;

// The ids of every running process, sorted; false when the whole list cannot
// be had.
bool RunningProcesses(std::unique_ptr<DWORD[]>* ids, DWORD* count) {
    for (DWORD capacity = FIRST_PROCESS_LIST_IDS; capacity <= MAX_PROCESS_LIST_IDS; capacity *= 2) {
        std::unique_ptr<DWORD[]> buffer(new (std::nothrow) DWORD[capacity]);
        if (!buffer) return false;
        const DWORD size = capacity * sizeof(DWORD);
        DWORD returned = 0;
        if (!EnumProcesses(buffer.get(), size, &returned)) return false;
        // A full buffer may have cut the list short: ask again with more room.
        if (returned >= size) continue;
        *count = returned / sizeof(DWORD);
        std::sort(buffer.get(), buffer.get() + *count);
        *ids = std::move(buffer);
        return true;
    }
    return false;
}

// Clears a slot only if it still holds the id that was judged, so an id that
// another process stored meanwhile is never lost.
void ClearSlotIf(std::uint32_t& slot, std::uint32_t expected) {
    std::atomic_ref<std::uint32_t>(slot).compare_exchange_strong(expected, 0, std::memory_order_relaxed);
}

}  // namespace

void PruneStaleProcesses(SharedStatusBlock* block) {
    if (!block) return;
    const std::int32_t slots = BoundedSlotCount(LoadShared(block->slotCount));
    if (slots == 0) return;

    std::unique_ptr<DWORD[]> running;
    DWORD count = 0;
    if (!RunningProcesses(&running, &count)) return;

    const std::uint32_t self = GetCurrentProcessId();
    for (std::int32_t i = 0; i < slots; ++i) {
        const std::uint32_t id = LoadShared(block->slots[i]);
        if (id == 0 || id == self) continue;
        if (!std::binary_search(running.get(), running.get() + count, static_cast<DWORD>(id))) {
            ClearSlotIf(block->slots[i], id);
        }
    }
}

std::int32_t AdmitConnection(DeviceHandle* handle, std::int32_t kind) {
    SharedStatusBlock* block = StatusBlockOf(handle);
    if (!block) return 0;

    PruneStaleProcesses(block);
    if (LoadShared(block->slotCount) < 1) {
        StoreShared(block->slotCount, std::int32_t{1});
        StoreShared(block->slots[0], std::uint32_t{0});
    }

    const std::uint32_t self = GetCurrentProcessId();
    switch (kind) {
        case CONNECTION_NORMAL: {
            // 32-bit wrapping difference: the driver already counts this handle.
            const auto others =
                static_cast<std::int32_t>(static_cast<std::uint32_t>(LoadShared(block->attachCount)) -
                                          static_cast<std::uint32_t>(LoadShared(block->diagCount)));
            if (others >= 2) return 1;
            if (LoadShared(block->slotCount) >= 1) StoreShared(block->slots[0], self);
            return 0;
        }
        case CONNECTION_MULTI: {
            if (LoadShared(block->slotCount) < 1) return 0;
            const std::uint32_t owner = LoadShared(block->slots[0]);
            return (owner != 0 && owner != self) ? 1 : 0;
        }
        case CONNECTION_DIAGNOSTIC:
            InterlockedIncrement(reinterpret_cast<LONG volatile*>(&block->diagCount));
            return 0;
        default:
            return 0;
    }
}

void ReleaseConnection(SharedStatusBlock* block, std::int32_t kind) {
    if (!block) return;
    if (kind == CONNECTION_DIAGNOSTIC) {
        // Lowered only while above zero, also against concurrent releases.
        std::atomic_ref<std::int32_t> diag(block->diagCount);
        std::int32_t current = diag.load(std::memory_order_relaxed);
        while (current > 0 && !diag.compare_exchange_weak(current, current - 1, std::memory_order_relaxed)) {
        }
    }
    const std::uint32_t self = GetCurrentProcessId();
    const std::int32_t slots = BoundedSlotCount(LoadShared(block->slotCount));
    for (std::int32_t i = 0; i < slots; ++i) {
        if (LoadShared(block->slots[i]) == self) ClearSlotIf(block->slots[i], self);
    }
}
