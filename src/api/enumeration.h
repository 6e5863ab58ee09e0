// Versions, card counts and the identity queries of the three families.
#pragma once

#include <cstdint>

#include "registry/card_table.h"

std::uint32_t FamilyDriverVersion(std::uint32_t* version);
std::uint32_t FamilyCardsInSystem(Family family, std::uint32_t* count);

// The identity fields a query can return.
enum class CardField { DeviceId, Bus, Slot, CardId, SerialNumber };

// Where the null test of the out pointer falls among the argument checks;
// each query has its own order, and callers passing both a bad position and a
// null pointer see the difference.
enum class NullCheck {
    First,          // null -> 0x400 before the position test
    AfterPosition,  // after the position test, before the lookup
    Last,           // after the lookup and the presence test
};

std::uint32_t FamilyCardField(Family family, std::uint32_t position, std::uint32_t* out, CardField field,
                              NullCheck order);
