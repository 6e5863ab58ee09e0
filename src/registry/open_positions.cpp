// The open state of every family position, kept in step with the table's
// handles (see open_positions.h).
#include "registry/open_positions.h"

#include "driver/device.h"

namespace open_positions_detail {
std::atomic<const DeviceResources*> resources[POSITION_MAP_COUNT][CARD_TABLE_SIZE];
std::atomic<const OxRegion*> firstRegions[POSITION_MAP_COUNT][CARD_TABLE_SIZE];
std::atomic<const CardEntry*> entries[POSITION_MAP_COUNT][CARD_TABLE_SIZE];
}  // namespace open_positions_detail

namespace {

using open_positions_detail::entries;
using open_positions_detail::firstRegions;
using open_positions_detail::resources;

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
void Refresh(int map, std::uint32_t position, const CardEntry* e) {
    entries[map][position].store(e, std::memory_order_seq_cst);
    for (;;) {
        const DeviceResources* res = ResourcesOf(e);
        const OxRegion* first = res != nullptr && res->regionCount >= 1 && res->regions[0].address != nullptr
                                    ? &res->regions[0]
                                    : nullptr;
        firstRegions[map][position].store(first, std::memory_order_seq_cst);
        resources[map][position].store(res, std::memory_order_seq_cst);
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
            const CardEntry* mapped = MappedEntry(static_cast<PositionMapId>(m), p);
            if (mapped == &entry || entries[m][p].load(std::memory_order_relaxed) == &entry)
                Refresh(m, p, mapped);
        }
    }
}

void ForgetOpenPositions() {
    for (int m = 0; m < POSITION_MAP_COUNT; ++m) {
        for (int p = 0; p < CARD_TABLE_SIZE; ++p) {
            resources[m][p].store(nullptr, std::memory_order_seq_cst);
            firstRegions[m][p].store(nullptr, std::memory_order_seq_cst);
            entries[m][p].store(nullptr, std::memory_order_seq_cst);
        }
    }
}
