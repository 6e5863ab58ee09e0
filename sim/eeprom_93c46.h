// A 93C46 serial EEPROM (16-bit organisation, 64 words) behind the EEPROM
// control byte of a simulated card: bit 0 clock, bit 1 chip select, bit 2 data
// in, bit 3 data out.
//
// It decodes the lines as the part does: data in is sampled at each rising
// clock edge from the level set before that edge; once chip select is high
// (set up before the edge, not raised with it), a 1 so sampled is the start
// bit, then two opcode bits and six address bits, then (write, write all)
// sixteen data bits. Programming commands need the write-enable state and
// start when chip select falls. During the self-timed programming cycle the
// part ignores every command and cannot be read: raising chip select shows
// busy (0) on data out, then ready (1), until the next start bit. A read
// drives a dummy 0 after the address, then D15 to D0, one bit per rising
// clock edge, and goes on with the next word.
//
// The words, the test-chosen behaviour and the chip's serial state live in
// the card file, so every process that maps the card drives the same part.
// Each model instance serves one process's mapping of the card.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/mmio.h"
#include "sim/models.h"
#include "sim/store.h"

namespace sim {

class Eeprom93c46 : public mmio::Model {
public:
    // storage: in this process's mapping of the card file; must outlive the model.
    explicit Eeprom93c46(store::EepromStorage* storage);

    // The window covers the control byte only (offset 0).
    std::uint64_t Read(std::size_t offset, unsigned width) override;
    void Write(std::size_t offset, unsigned width, std::uint64_t value) override;

private:
    store::EepromStorage* storage_;
};

// The factory the driver calls at attach for a card's EEPROM region.
std::unique_ptr<mmio::Model> MakeEeprom93c46(const ModelContext& context);

}  // namespace sim
