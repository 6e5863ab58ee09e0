// Machine files: a simulated machine described in JSON, so a test rig can be
// kept beside the tests that use it, made with `quelt-sim init --from FILE`
// and written back out with `quelt-sim export`. The format is described in
// docs/python.md ("Machine files").
//
// A tool library: used by quelt-sim and libquelt_sim, never by the library.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/control.h"

namespace sim::machine_file {

inline constexpr int kFormatVersion = 1;
inline constexpr const char* kFormatName = "quelt-sim-machine";

// A file that cannot be read as a machine. field() names the offending
// member as a path ("cards[1].regions[0].size"), empty for the file as a
// whole; what() is the whole line, the path first.
class FileError : public std::runtime_error {
public:
    FileError(std::string field, const std::string& message);
    const std::string& field() const { return field_; }

private:
    std::string field_;
};

struct Card {
    CardConfig config;
    // The 64 EEPROM words; absent: the card keeps the erased part's 0xFFFF.
    std::optional<std::vector<std::uint16_t>> eeprom;
};

struct Machine {
    std::uint32_t driverVersion = 110;
    std::vector<Card> cards;
};

// Parses and checks a whole machine file (every limit a card file has), so
// that a machine is only made from a file that can be made whole.
Machine Parse(const std::string& text);
Machine ReadFile(const std::string& path);  // FileError also for an unreadable file

// The machine file text of a machine, which Parse reads back to the same machine.
std::string Write(const Machine& machine);

// The machine at the current root (sim::CurrentRoot), as a file would describe it.
Machine Capture();

// Makes the machine at the current root: replaces the machine there when
// replace is set, else fails (sim::Error) when one exists.
void Apply(const Machine& machine, bool replace);

// The family name a device id belongs to ("ox952", "ox9162", "ep4gxa"), or
// empty for an id of no family.
std::string FamilyOfDeviceId(std::uint32_t deviceId);

}  // namespace sim::machine_file
