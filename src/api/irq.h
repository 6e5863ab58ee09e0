// The family interrupt API: waits, counts, time-outs and the driver's wait
// count, over the device-level interrupt functions.
#pragma once

#include <cstdint>

#include "registry/card_table.h"
#include "registry/open_positions.h"

// The map an interrupt member resolves its position through. OX952 members
// work on function 1, except the function-0 count.
enum class IrqSource { OX952_F1, OX952_F0, OX9162, EP4GXA };

// The entry for position (< 32) in the source's map as Open left it; the map
// is never built here. Null when the map gives no card.
CardEntry* IrqEntry(IrqSource source, std::uint32_t position);

std::uint32_t IrqWait(IrqSource source, std::uint32_t position, std::uint32_t* count);
std::uint32_t IrqSetTimeout(IrqSource source, std::uint32_t position, std::int32_t timeoutMs);
std::uint32_t IrqWaitsOfCard(IrqSource source, std::uint32_t position);

inline constexpr PositionMapId MapIdOf(IrqSource source) {
    return source == IrqSource::OX952_F1   ? PositionMapId::OX952Function1
           : source == IrqSource::OX952_F0 ? PositionMapId::OX952Function0
           : source == IrqSource::OX9162   ? PositionMapId::OX9162
                                           : PositionMapId::EP4GXA;
}

// Interrupts since the Open: the status block's counter less the count at
// the Open, or 0 when the position is not open here or its card has no
// status block. Applications poll this, so it reads the position's slot and
// the block only, counted in so that a Close meanwhile keeps the block mapped.
inline std::uint32_t IrqCount(IrqSource source, std::uint32_t position) {
    if (position >= static_cast<std::uint32_t>(CARD_TABLE_SIZE)) return 0;
    const PositionMapId map = MapIdOf(source);
    BlockRead counted;
    const SharedStatusBlock* block = OpenStatusBlock(map, position);
    const CardEntry* entry = OpenEntry(map, position);
    if (block == nullptr || entry == nullptr) return 0;
    return LoadShared(block->irqCounter) - LoadShared(entry->irqBase);
}
// Holds the entry's handle for the length of one call that reads through it:
// the handle is read and pinned in one step, so Close does not release it
// meanwhile. A handle already taken out of the entry reads as null.
class EntryHandleUse {
public:
    explicit EntryHandleUse(CardEntry& entry);
    ~EntryHandleUse();
    EntryHandleUse(const EntryHandleUse&) = delete;
    EntryHandleUse& operator=(const EntryHandleUse&) = delete;
    DeviceHandle* handle() const { return handle_; }

private:
    DeviceHandle* handle_ = nullptr;
};
