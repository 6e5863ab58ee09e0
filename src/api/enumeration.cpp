// Versions, card counts and the identity queries of the three families.
#include "api/enumeration.h"

#include "api/family.h"
#include "driver/version.h"

namespace {

// The entry a family position names for the identity queries; OX952 takes
// function 0 where the position has one, else its lone function 1.
const CardEntry* IdentityEntry(Family family, std::uint32_t position) {
    const CardEntry* e = family == Family::OX952 ? Ox952CardEntry(position) : FamilyEntry(family, position);
    return e != nullptr && IsPresent(*e) ? e : nullptr;
}

std::uint32_t FieldOf(const CardEntry& e, CardField field) {
    switch (field) {
        case CardField::DeviceId:
            return e.deviceId;
        case CardField::Bus:
            return e.bus;
        case CardField::Slot:
            return e.slot;
        case CardField::CardId:
            return e.cardId;
        case CardField::SerialNumber:
            return e.serialNumber;
    }
    return 0;
}

bool PositionHoldsCard(Family family, std::uint32_t position) {
    if (family != Family::OX952) return IdentityEntry(family, position) != nullptr;
    const CardEntry* f0 = Ox952Function0Entry(position);
    const CardEntry* f1 = Ox952Function1Entry(position);
    return (f0 != nullptr && IsPresent(*f0)) || (f1 != nullptr && IsPresent(*f1));
}

}  // namespace

std::uint32_t FamilyDriverVersion(std::uint32_t* version) {
    if (version == nullptr) return QUELT_NULL_POINTER;
    const std::uint32_t v = OxDriverVersion();
    *version = v;
    return v < DRIVER_VERSION_MINIMUM ? QUELT_OLD_DRIVER : QUELT_OK;
}

std::uint32_t FamilyCardsInSystem(Family family, std::uint32_t* count) {
    if (count == nullptr) return QUELT_NULL_POINTER;
    BuiltMap(family);
    std::uint32_t n = 0;
    for (std::uint32_t p = 0; p < POSITION_LIMIT; ++p) {
        if (PositionHoldsCard(family, p)) ++n;
    }
    *count = n;
    return QUELT_OK;
}

std::uint32_t FamilyCardField(Family family, std::uint32_t position, std::uint32_t* out, CardField field,
                              NullCheck order) {
    if (order == NullCheck::First && out == nullptr) return QUELT_NULL_POINTER;
    if (position >= POSITION_LIMIT) return QUELT_NO_CARD;
    if (order == NullCheck::AfterPosition && out == nullptr) return QUELT_NULL_POINTER;
    BuiltMap(family);
    const CardEntry* e = IdentityEntry(family, position);
    if (e == nullptr) return QUELT_NO_CARD;
    if (out == nullptr) return QUELT_NULL_POINTER;
    *out = FieldOf(*e, field);
    return QUELT_OK;
}
