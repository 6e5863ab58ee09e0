// What every quelt command shares: failures and exit codes, number parsing,
// output, the three families' function sets, the device-level view of the
// machine, and a card opened for the length of one command.
#pragma once

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "quelt_ox952.h"

namespace quelt_tool {

using json = nlohmann::json;

// The tool's exit codes; the manual page and the user guide list them.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,       // the library or the card refused or failed
    kExitUsage = 2,         // the command line is wrong
    kExitTimeout = 3,       // an interrupt wait timed out
    kExitInterrupted = 130  // ended by Ctrl-C or SIGTERM, every card closed
};

// Thrown to end a command: the one line for stderr and the exit code.
struct Failure {
    int exitCode;
    std::string what;
};
[[noreturn]] void Fail(const std::string& what);
[[noreturn]] void Usage(const std::string& what);
// Fails with the library's text and the code in hex when code is not QUELT_OK.
void Check(uint32_t code, const std::string& what);

// A decimal or 0x-hex number from 0 to max; a leading zero does not make it
// octal. Anything else is a usage error that names the allowed range.
uint64_t ParseNumber(const std::string& text, uint64_t max, const std::string& what);
int64_t ParseSigned(const std::string& text, int64_t min, int64_t max, const std::string& what);

std::string Hex(uint64_t value, int digits = 0);
// Whether the stream is a terminal (a console on Windows, where the null
// device NUL also counts as a character device but asks no one).
bool IsTerminal(FILE* stream);
std::string Timestamp();  // local time with milliseconds, ISO 8601
void PrintJson(const json& j);

// --- the family function sets ---

using RegionFn = uint32_t(QUELT_CALL*)(uint32_t, void**, uint32_t*);
using QueryFn = uint32_t(QUELT_CALL*)(uint32_t, uint32_t*);
using OpenFn = uint32_t(QUELT_CALL*)(uint32_t, uint32_t);
using PositionFn = uint32_t(QUELT_CALL*)(uint32_t);

struct NamedRegion {
    const char* name;
    RegionFn fn;
    unsigned defaultWidth;  // 8 for byte memory, 32 for EP4GXA register regions
};

// One family's functions, so each command is written once for all three.
struct FamilyApi {
    const char* name;
    uint32_t(QUELT_CALL* driverVersion)(uint32_t*);
    uint32_t(QUELT_CALL* cardsInSystem)(uint32_t*);
    QueryFn did, bus, slot;
    OpenFn open, openMulti, openDiagnostic;
    PositionFn close;
    QueryFn openCount;
    PositionFn clearConnections;
    std::vector<NamedRegion> regions;  // the memory regions, then "shared"
    uint32_t(QUELT_CALL* irqWait)(uint32_t, uint32_t*);
    PositionFn irqCount;
    uint32_t(QUELT_CALL* irqSetTimeout)(uint32_t, int32_t);
    PositionFn irqWaits;  // null for OX952, which has no such member
    uint32_t(QUELT_CALL* eepromRead)(uint32_t, uint32_t, uint16_t*);  // null: no EEPROM
    uint32_t(QUELT_CALL* eepromWrite)(uint32_t, uint32_t, uint16_t);
    uint32_t(QUELT_CALL* eepromErase)(uint32_t, uint32_t);
    void(QUELT_CALL* memWrite)(void*, uint32_t, uint8_t);  // null for EP4GXA
    uint8_t(QUELT_CALL* memRead)(void*, uint32_t);
};

const std::vector<FamilyApi>& Families();
const FamilyApi& FamilyByName(const std::string& name);
const NamedRegion* FindRegion(const FamilyApi& f, const std::string& name);
std::string RegionNames(const FamilyApi& f);  // "bar0, bar1, bar2, shared"

// A card named on the command line.
struct CardRef {
    const FamilyApi* family;
    uint32_t position;
    std::string Name() const;  // "ep4gxa 0"
};
CardRef ParseCard(const std::string& family, const std::string& position);

// The family's card count; a position beyond it fails with a clear message.
uint32_t CardCount(const FamilyApi& f);
void RequireCard(const CardRef& card);

enum class Kind { normal, multi, diagnostic };
Kind ParseKind(const std::string& text);
const char* KindName(Kind kind);

// A card opened through its family for the length of one command; closed on
// every path, and closed by the stop handler when Ctrl-C ends a wait.
class OpenCard {
public:
    OpenCard(const CardRef& card, Kind kind, bool irq);
    ~OpenCard();
    OpenCard(const OpenCard&) = delete;
    OpenCard& operator=(const OpenCard&) = delete;

private:
    CardRef card_;
};

// --- the device-level view ---

// A device looked at through OxOpenDevice with a kind that the admission
// records nowhere, so that looking leaves no trace in the card's bookkeeping.
constexpr int32_t kLookKind = 3;

struct DeviceInfo {
    int number = 0;  // 1-based, the driver's enumeration order
    std::string description;
    uint32_t vendorId = 0, deviceId = 0, bus = 0, slot = 0, pciAddress = 0;
    uint8_t irqLine = 0;
    std::vector<uint64_t> regionLengths;
    bool statusBlock = false;
    // Where the family functions find this device; empty for none.
    std::string family;
    int position = -1;
    int function = -1;  // OX952: 0 or 1
};

// Every device the driver offers, numbered as the library's card scan numbers
// them, with the family and position the library gives each.
std::vector<DeviceInfo> ScanDevices();
// The device behind a family position (function 1 for OX952 when asked), or null.
const DeviceInfo* DeviceOf(const std::vector<DeviceInfo>& devices, const CardRef& card, int function = 0);

// The counters and connection records of a card's shared status block, read
// through the shared area of an open card.
struct StatusView {
    uint32_t irqCounter = 0;
    int32_t attachCount = 0, diagnosticCount = 0, slotCount = 0;
    std::vector<uint32_t> slots;
};
std::optional<StatusView> ReadStatus(const CardRef& card);
bool ProcessRunning(uint32_t pid);

// argv[0] without its folder and, on Windows, its ".exe" ("quelt" if absent).
std::string ProgramName(const char* argv0);

// The version lines of --version.
std::string VersionText();

}  // namespace quelt_tool
