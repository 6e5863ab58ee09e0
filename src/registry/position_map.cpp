// The per-family maps from a caller's card position to a card table index.
#include "registry/card_table.h"
#include "registry/open_positions.h"

namespace {

PositionMap gOx9162Map;
PositionMap gEp4gxaMap;
PositionMap gOx952Function0Map;
PositionMap gOx952Function1Map;

bool IsFamilyCandidate(const CardEntry& e) {
    return IsPresent(e) && e.vendorId == CARD_VENDOR_ID;
}

void Clear(PositionMap& map) {
    map.built.store(false, std::memory_order_relaxed);
    for (auto& v : map.index) v.store(NO_CARD, std::memory_order_relaxed);
}

// Map values are written with relaxed stores; the release store of `built`
// publishes them together.
void BuildSimple(PositionMap& map, bool (*inFamily)(std::uint16_t)) {
    const CardEntry* table = CardTable();
    int n = 0;
    for (int i = 0; i < CARD_TABLE_SIZE; ++i) {
        if (IsFamilyCandidate(table[i]) && inFamily(table[i].deviceId)) {
            map.index[n++].store(static_cast<std::int8_t>(i), std::memory_order_relaxed);
        }
    }
    for (; n < CARD_TABLE_SIZE; ++n) map.index[n].store(NO_CARD, std::memory_order_relaxed);
}

void BuildOx952() {
    Clear(gOx952Function0Map);
    Clear(gOx952Function1Map);
    const CardEntry* table = CardTable();
    int n = 0;
    for (int i = 0; i < CARD_TABLE_SIZE; ++i) {
        const CardEntry& e = table[i];
        if (!IsFamilyCandidate(e)) continue;
        if (IsOx952Function0Device(e.deviceId)) {
            // A two-function card counts only when its second function is
            // there; which one it is, Open decides.
            if (Ox952PartnerOf(e) != NO_CARD)
                gOx952Function0Map.index[n++].store(static_cast<std::int8_t>(i), std::memory_order_relaxed);
        } else if (IsOx952LoneFunction1Device(e.deviceId)) {
            gOx952Function1Map.index[n++].store(static_cast<std::int8_t>(i), std::memory_order_relaxed);
        }
    }
    gOx952Function1Map.built.store(true, std::memory_order_release);
}

PositionMap& MapOf(Family family) {
    switch (family) {
        case Family::OX9162:
            return gOx9162Map;
        case Family::EP4GXA:
            return gEp4gxaMap;
        case Family::OX952:
            break;
    }
    return gOx952Function0Map;
}

}  // namespace

void ResetPositionMaps() {
    ForgetOpenPositions();
    Clear(gOx9162Map);
    Clear(gEp4gxaMap);
    Clear(gOx952Function0Map);
    Clear(gOx952Function1Map);
}

const PositionMap& BuiltMap(Family family) {
    PositionMap& map = MapOf(family);
    if (map.built.load(std::memory_order_acquire)) return map;

    // First use: scan and build under the DriverLock, so a concurrent first
    // call waits for the complete map instead of seeing cards missing.
    EnterCriticalSection(DriverLock());
    if (!IsPresent(CardTable()[0])) ScanCards();
    if (!map.built.load(std::memory_order_relaxed)) {
        switch (family) {
            case Family::OX9162:
                BuildSimple(map, IsOx9162Device);
                break;
            case Family::EP4GXA:
                BuildSimple(map, IsEp4gxaDevice);
                break;
            case Family::OX952:
                BuildOx952();
                break;
        }
        map.built.store(true, std::memory_order_release);
    }
    LeaveCriticalSection(DriverLock());
    return map;
}

const PositionMap& MapAsBuilt(Family family) {
    return MapOf(family);
}
const PositionMap& Ox952Function1MapAsBuilt() {
    return gOx952Function1Map;
}

PositionMap& Ox952Function1Map() {
    BuiltMap(Family::OX952);
    return gOx952Function1Map;
}

CardEntry* EntryFor(std::int8_t mapValue) {
    if (mapValue < 0 || mapValue >= CARD_TABLE_SIZE) return nullptr;
    return &CardTable()[mapValue];
}

std::int8_t Ox952PartnerOf(const CardEntry& function0) {
    const CardEntry* table = CardTable();
    const auto partnerId = static_cast<std::uint16_t>(function0.deviceId ^ 1u);
    std::int8_t found = NO_CARD;
    for (int j = 0; j < CARD_TABLE_SIZE; ++j) {
        const CardEntry& c = table[j];
        if (!IsPresent(c) || c.deviceId != partnerId || c.slot != function0.slot || c.bus != function0.bus)
            continue;
        if (found != NO_CARD) return AMBIGUOUS_PARTNER;
        found = static_cast<std::int8_t>(j);
    }
    return found;
}

namespace {

// The value at position of a map that is built; NO_CARD for an unbuilt map.
std::int8_t ValueAsBuilt(const PositionMap& map, std::uint32_t position) {
    if (position >= static_cast<std::uint32_t>(CARD_TABLE_SIZE)) return NO_CARD;
    if (!map.built.load(std::memory_order_acquire)) return NO_CARD;
    return map.index[position].load(std::memory_order_relaxed);
}

}  // namespace

CardEntry* FamilyEntry(Family family, std::uint32_t position) {
    return EntryFor(ValueAsBuilt(MapOf(family), position));
}

CardEntry* Ox952Function0Entry(std::uint32_t position) {
    return FamilyEntry(Family::OX952, position);
}

CardEntry* Ox952Function1Entry(std::uint32_t position) {
    return EntryFor(ValueAsBuilt(gOx952Function1Map, position));
}

CardEntry* Ox952CardEntry(std::uint32_t position) {
    if (CardEntry* f0 = Ox952Function0Entry(position)) return f0;
    return Ox952Function1Entry(position);
}
