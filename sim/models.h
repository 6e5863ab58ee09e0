// Device models of the simulated card driver that sit behind card-memory
// windows (src/platform/mmio.h). At attach the driver puts the models a card
// has behind windows of the regions as mapped in the calling process, and
// removes them at detach, before the mappings go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/mmio.h"
#include "sim/store.h"

namespace sim {

// What a model factory is given at attach. Every pointer stays valid until the
// model is destroyed (at detach), after its window has been removed.
struct ModelContext {
    int device;                         // device number at open
    int region;                         // region index the window lies in
    volatile std::uint8_t* regionBase;  // the region as mapped in this process
    std::size_t regionSize;
    store::EepromStorage* eeprom;  // the card's EEPROM storage, shared by all processes
};

// Builds the 93C46 model for a card's EEPROM region; its window covers the
// control byte (offset 3 of the region). Returns null to leave the byte plain.
using EepromModelFactory = std::unique_ptr<mmio::Model> (*)(const ModelContext& context);

// Installs the factory used at every later attach; null removes it. The
// EEPROM model registers itself here.
void SetEepromModelFactory(EepromModelFactory factory);
EepromModelFactory CurrentEepromModelFactory();

inline constexpr std::size_t kEepromControlOffset = 3;

}  // namespace sim
