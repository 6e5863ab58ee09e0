// Connection statistics (Card_OpenCount) and the reset of a card's connection
// bookkeeping (ClearConnections).
#include "api/connections.h"

#include "api/family.h"
#include "api/irq.h"
#include "api/open_close.h"
#include "driver/device.h"

namespace {

// Non-diagnostic connections: the attach count minus the diagnostic count,
// 32-bit wrapping.
std::uint32_t OpenConnections(const SharedStatusBlock& block) {
    return static_cast<std::uint32_t>(LoadShared(block.attachCount)) -
           static_cast<std::uint32_t>(LoadShared(block.diagCount));
}

enum class ResetOutcome { Reset, OpenFailed, NoBlock };

// Wipes the bookkeeping of the entry's card through a temporary handle
// (attached, never admitted). The slot count stays.
ResetOutcome ResetBlock(const CardEntry& entry) {
    DeviceHandle* temporary = AttachEntryDevice(entry);
    if (temporary == nullptr) return ResetOutcome::OpenFailed;
    ResetOutcome outcome = ResetOutcome::NoBlock;
    if (SharedStatusBlock* block = StatusBlockOf(temporary)) {
        ResetConnectionRecords(*block);
        outcome = ResetOutcome::Reset;
    }
    OxCloseDevice(temporary);
    return outcome;
}

std::uint32_t SingleCardOpenCount(Family family, std::uint32_t position, std::uint32_t* count) {
    BuiltMap(family);
    CardEntry* entry = FamilyEntry(family, position);
    if (entry == nullptr) return QUELT_NO_CARD;
    EntryHandleUse use(*entry);
    if (use.handle() == nullptr) return IsPresent(*entry) ? QUELT_NOT_OPEN : QUELT_NO_CARD;
    const SharedStatusBlock* block = StatusBlockOf(use.handle());
    if (block == nullptr) return QUELT_NULL_POINTER;
    *count = OpenConnections(*block);
    return QUELT_OK;
}

// Both functions of the card; the larger count. The map is read as Open left
// it: a position of an unbuilt map holds nothing open.
std::uint32_t Ox952OpenCount(std::uint32_t position, std::uint32_t* count) {
    CardEntry* entries[2] = {IrqEntry(IrqSource::OX952_F0, position),
                             IrqEntry(IrqSource::OX952_F1, position)};
    bool anyOpen = false;
    std::uint32_t result = 0;
    for (CardEntry* entry : entries) {
        if (entry == nullptr) continue;
        EntryHandleUse use(*entry);
        if (use.handle() == nullptr) continue;
        const SharedStatusBlock* block = StatusBlockOf(use.handle());
        if (block != nullptr) {
            const std::uint32_t n = OpenConnections(*block);
            if (n > result) result = n;
        }
        anyOpen = true;
    }
    if (!anyOpen) return QUELT_NOT_OPEN;
    *count = result;
    return QUELT_OK;
}

std::uint32_t SingleCardClear(Family family, std::uint32_t position) {
    BuiltMap(family);
    CardEntry* entry = FamilyEntry(family, position);
    if (entry == nullptr) return QUELT_NO_CARD;
    if (LoadHandle(*entry) != nullptr) CloseCard(family, position);
    switch (ResetBlock(*entry)) {
        case ResetOutcome::Reset:
            return QUELT_OK;
        case ResetOutcome::OpenFailed:
            return QUELT_OPEN_FAILED;
        case ResetOutcome::NoBlock:
            break;
    }
    return QUELT_NULL_POINTER;
}

// Per function: still a card to reset, none (an absent function or a failed
// open), or none because its block is missing or its pairing was ambiguous.
enum class FunctionState { Card, NoCard, NoBlock };

std::uint32_t Ox952Clear(std::uint32_t position) {
    BuiltMap(Family::OX952);
    std::int8_t values[2] = {
        MapAsBuilt(Family::OX952).index[position].load(std::memory_order_relaxed),
        Ox952Function1MapAsBuilt().index[position].load(std::memory_order_relaxed),
    };
    // Only an open records the second function; a process that never opened
    // the card still resets both blocks, so search the partner here.
    if (EntryFor(values[1]) == nullptr && EntryFor(values[0]) != nullptr)
        values[1] = Ox952PartnerOf(*EntryFor(values[0]));
    CardEntry* entries[2] = {EntryFor(values[0]), EntryFor(values[1])};
    FunctionState states[2];
    for (int f = 0; f < 2; ++f) {
        if (entries[f] != nullptr) {
            states[f] = FunctionState::Card;
        } else {
            states[f] = values[f] == AMBIGUOUS_PARTNER ? FunctionState::NoBlock : FunctionState::NoCard;
        }
    }
    if (entries[0] == nullptr && entries[1] == nullptr) return QUELT_NO_CARD;

    const bool open = (entries[0] != nullptr && LoadHandle(*entries[0]) != nullptr) ||
                      (entries[1] != nullptr && LoadHandle(*entries[1]) != nullptr);
    if (open) CloseCard(Family::OX952, position);

    for (int f = 0; f < 2; ++f) {
        if (entries[f] == nullptr) continue;
        switch (ResetBlock(*entries[f])) {
            case ResetOutcome::Reset:
                break;
            case ResetOutcome::OpenFailed:
                states[f] = FunctionState::NoCard;
                break;
            case ResetOutcome::NoBlock:
                states[f] = FunctionState::NoBlock;
                break;
        }
    }
    if (states[0] == FunctionState::NoBlock && states[1] == FunctionState::NoBlock) return QUELT_NULL_POINTER;
    if (states[0] != FunctionState::Card && states[1] != FunctionState::Card) return QUELT_OPEN_FAILED;
    return QUELT_OK;
}

}  // namespace

void ResetConnectionRecords(SharedStatusBlock& block) {
    if (LoadShared(block.attachCount) > 1) StoreShared(block.attachCount, std::int32_t{1});
    StoreShared(block.diagCount, std::int32_t{0});
    const std::int32_t slots = BoundedSlotCount(LoadShared(block.slotCount));
    for (std::int32_t i = 0; i < slots; ++i) StoreShared(block.slots[i], std::uint32_t{0});
}

std::uint32_t CardOpenCount(Family family, std::uint32_t position, std::uint32_t* count) {
    if (position >= POSITION_LIMIT) return QUELT_NO_CARD;
    if (count == nullptr) return QUELT_NULL_POINTER;
    return family == Family::OX952 ? Ox952OpenCount(position, count)
                                   : SingleCardOpenCount(family, position, count);
}

std::uint32_t ClearConnections(Family family, std::uint32_t position) {
    if (position >= POSITION_LIMIT) return QUELT_NO_CARD;
    return family == Family::OX952 ? Ox952Clear(position) : SingleCardClear(family, position);
}
