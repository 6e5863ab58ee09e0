// The open state of every family position, kept in step with the table's
// handles (see open_positions.h).
#include "registry/open_positions.h"

#include "driver/device.h"
#include "driver/handle_pins.h"

namespace open_positions_detail {
OpenState openState;
}  // namespace open_positions_detail

namespace {

using open_positions_detail::OpenSlot;
using open_positions_detail::READER_STRIPES;
auto& slots = open_positions_detail::openState.slots;
auto& blockReaders = open_positions_detail::openState.blockReaders;

const PositionMap& MapOf(PositionMapId map) {
    switch (map) {
        case PositionMapId::OX952Function1:
            return Ox952Function1MapAsBuilt();
        case PositionMapId::OX9162:
            return MapAsBuilt(Family::OX9162);
        case PositionMapId::EP4GXA:
            return MapAsBuilt(Family::EP4GXA);
        case PositionMapId::OX952Function0:
            break;
    }
    return MapAsBuilt(Family::OX952);
}

// Rewrites the slot from the resources (null: not open). Writers are
// serialised by the DriverLock, so the sequence count needs no exchange.
void Write(OpenSlot& slot, const CardEntry* e, const DeviceResources* res) {
    const std::uint32_t sequence = slot.sequence.load(std::memory_order_relaxed);
    slot.sequence.store(sequence + 1, std::memory_order_relaxed);

    slot.entry.store(e, std::memory_order_release);
    const std::int32_t count = res != nullptr ? res->regionCount : 0;
    for (int r = 0; r < CACHED_REGIONS; ++r) {
        const bool listed = res != nullptr && count > r;
        // Addresses are cleared before and written after their lengths (see
        // OpenSlot), for the register path that reads them without the count.
        slot.address[r].store(nullptr, std::memory_order_release);
        slot.length[r].store(listed ? res->regions[r].length : 0, std::memory_order_release);
        if (listed) slot.address[r].store(res->regions[r].address, std::memory_order_release);
    }
    const std::int32_t listed = count < 0 ? 0 : count > 16 ? 16 : count;
    const bool odd = e != nullptr && (e->deviceId & 1u) == 1u;
    slot.state.store(res == nullptr ? open_positions_detail::CLOSED_STATE
                                    : open_positions_detail::OPEN_BIT | listed |
                                          (odd ? open_positions_detail::ODD_DEVICE_BIT : 0),
                     std::memory_order_release);
    // Sequentially consistent: ordered with the counted-in readers of
    // BlockRead, so that either they read null or WaitForBlockReaders sees them.
    slot.block.store(StatusBlockOf(res), std::memory_order_seq_cst);

    slot.sequence.store(sequence + 2, std::memory_order_release);
}

void Refresh(int map, std::uint32_t position, const CardEntry* e) {
    const DeviceHandle* h = e != nullptr ? LoadHandle(*e) : nullptr;
    Write(slots[map][position], e, h != nullptr ? &h->attach.resources : nullptr);
}

}  // namespace

OpenRegion ReadOpenRegionAgain(PositionMapId map, std::uint32_t position, int region) {
    OpenRegion r{};
    while (!TryReadOpenRegion(map, position, region, &r))
        Sleep(0);  // the writer holds the DriverLock briefly
    return r;
}

OpenBlock ReadOpenBlock(PositionMapId map, std::uint32_t position) {
    const auto& slot = open_positions_detail::SlotOf(map, position);
    for (;;) {
        const std::uint32_t before = slot.sequence.load(std::memory_order_acquire);
        const OpenBlock r{slot.state.load(std::memory_order_acquire) != open_positions_detail::CLOSED_STATE,
                          slot.block.load(std::memory_order_seq_cst)};
        if ((before & 1u) == 0 && slot.sequence.load(std::memory_order_relaxed) == before) return r;
        Sleep(0);
    }
}

const CardEntry* MappedEntry(PositionMapId map, std::uint32_t position) {
    if (position >= static_cast<std::uint32_t>(CARD_TABLE_SIZE)) return nullptr;
    return EntryFor(MapOf(map).index[position].load(std::memory_order_relaxed));
}

void RefreshOpenPositions(const CardEntry& entry) {
    for (int m = 0; m < POSITION_MAP_COUNT; ++m) {
        for (std::uint32_t p = 0; p < static_cast<std::uint32_t>(CARD_TABLE_SIZE); ++p) {
            const CardEntry* mapped = MappedEntry(static_cast<PositionMapId>(m), p);
            if (mapped == &entry || slots[m][p].entry.load(std::memory_order_relaxed) == &entry)
                Refresh(m, p, mapped);
        }
    }
}

void WaitForBlockReaders() {
    // A reader counted in after the slot was cleared reads null; one counted
    // in before leaves within a few instructions. Each stripe seen empty once
    // is enough: later readers of that stripe came after the clearing.
    for (auto& stripe : blockReaders) {
        while (stripe.inside.load(std::memory_order_seq_cst) != 0 && !PinsAbandoned()) Sleep(0);
    }
}

std::uint32_t BlockReadersInside() {
    std::uint32_t n = 0;
    for (auto& stripe : blockReaders) n += stripe.inside.load(std::memory_order_seq_cst);
    return n;
}

void ForgetOpenPositions() {
    for (int m = 0; m < POSITION_MAP_COUNT; ++m) {
        for (auto& slot : slots[m]) Write(slot, nullptr, nullptr);
    }
}

void ForgetBlockReaders() {
    for (int i = 0; i < READER_STRIPES; ++i) blockReaders[i].inside.store(0, std::memory_order_relaxed);
}
