// The open state of every family position, kept in step with the table's
// handles (see open_positions.h).
#include "registry/open_positions.h"

#include "driver/device.h"

namespace open_positions_detail {
OpenPosition positions[POSITION_MAP_COUNT][CARD_TABLE_SIZE];
}

namespace {

using open_positions_detail::positions;

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

const DeviceResources* ResourcesOf(const CardEntry* e) {
    const DeviceHandle* h = e != nullptr ? LoadHandle(*e) : nullptr;
    return h != nullptr ? &h->attach.resources : nullptr;
}

// Writes the slot from the entry's handle until the handle read after the
// write is the one written: two threads changing the same entry at once (the
// library changes handles under the DriverLock, so only a misuse could) still
// leave the slot with the last handle.
void Refresh(OpenPosition& slot, const CardEntry* e) {
    slot.entry.store(e, std::memory_order_seq_cst);
    for (;;) {
        const DeviceResources* res = ResourcesOf(e);
        slot.resources.store(res, std::memory_order_seq_cst);
        if (ResourcesOf(e) == res) return;
    }
}

}  // namespace

const CardEntry* MappedEntry(PositionMapId map, std::uint32_t position) {
    if (position >= static_cast<std::uint32_t>(CARD_TABLE_SIZE)) return nullptr;
    return EntryFor(MapOf(map).index[position].load(std::memory_order_relaxed));
}

void RefreshOpenPositions(const CardEntry& entry) {
    for (int m = 0; m < POSITION_MAP_COUNT; ++m) {
        for (std::uint32_t p = 0; p < static_cast<std::uint32_t>(CARD_TABLE_SIZE); ++p) {
            OpenPosition& slot = positions[m][p];
            const CardEntry* mapped = MappedEntry(static_cast<PositionMapId>(m), p);
            if (mapped == &entry || slot.entry.load(std::memory_order_relaxed) == &entry)
                Refresh(slot, mapped);
        }
    }
}

void ForgetOpenPositions() {
    for (auto& map : positions) {
        for (auto& slot : map) {
            slot.resources.store(nullptr, std::memory_order_seq_cst);
            slot.entry.store(nullptr, std::memory_order_seq_cst);
        }
    }
}
