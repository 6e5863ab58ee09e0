#include "common.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "stop.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace quelt_tool {

void Fail(const std::string& what) {
    throw Failure{kExitFailure, what};
}
void Usage(const std::string& what) {
    throw Failure{kExitUsage, what};
}

void Check(uint32_t code, const std::string& what) {
    if (code == QUELT_OK) return;
    Fail(what + ": " + quelt_result_text(code) + " (" + Hex(code) + ")");
}

namespace {

std::string RangeText(uint64_t max) {
    return "from 0 to " + std::to_string(max) + (max > 9 ? " (" + Hex(max) + ")" : "");
}

// Digits of one base only; no sign, no octal, no trailing text.
bool ParseDigits(const std::string& text, uint64_t* value) {
    std::string digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits = digits.substr(2);
    }
    if (digits.empty()) return false;
    uint64_t v = 0;
    for (char ch : digits) {
        unsigned d;
        if (ch >= '0' && ch <= '9')
            d = static_cast<unsigned>(ch - '0');
        else if (base == 16 && ch >= 'a' && ch <= 'f')
            d = static_cast<unsigned>(ch - 'a' + 10);
        else if (base == 16 && ch >= 'A' && ch <= 'F')
            d = static_cast<unsigned>(ch - 'A' + 10);
        else
            return false;
        if (v > (UINT64_MAX - d) / static_cast<uint64_t>(base)) {
            *value = UINT64_MAX;  // too large for anything: the range check reports it
            return true;
        }
        v = v * static_cast<uint64_t>(base) + d;
    }
    *value = v;
    return true;
}

}  // namespace

uint64_t ParseNumber(const std::string& text, uint64_t max, const std::string& what) {
    uint64_t v = 0;
    if (!ParseDigits(text, &v) || v > max)
        Usage("bad " + what + " '" + text + "': give a decimal or 0x-hex number " + RangeText(max));
    return v;
}

int64_t ParseSigned(const std::string& text, int64_t min, int64_t max, const std::string& what) {
    bool negative = !text.empty() && text[0] == '-';
    uint64_t magnitude = 0;
    bool ok = ParseDigits(negative ? text.substr(1) : text, &magnitude);
    int64_t v = 0;
    if (ok && magnitude <= static_cast<uint64_t>(INT64_MAX))
        v = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    else
        ok = false;
    if (!ok || v < min || v > max)
        Usage("bad " + what + " '" + text + "': give a decimal or 0x-hex number from " + std::to_string(min) +
              " to " + std::to_string(max));
    return v;
}

std::string Hex(uint64_t value, int digits) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*" PRIX64, digits, value);
    return buf;
}

std::string Timestamp() {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t t = system_clock::to_time_t(now);
    auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
#if defined(_WIN32)
    localtime_s(&tm, &t);
#else
    localtime_r(&t, &tm);
#endif
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    char out[80];
    std::snprintf(out, sizeof out, "%s.%03d", buf, static_cast<int>(ms));
    return out;
}

void PrintJson(const json& j) {
    std::cout << j.dump(2) << "\n";
}

// --- families ---

const std::vector<FamilyApi>& Families() {
    static const std::vector<FamilyApi> families = {
        {"ox952",
         OX952_DriverVersion,
         OX952_CardsInSystem,
         OX952_Card_DID,
         OX952_Card_BUS,
         OX952_Card_SLOT,
         OX952_Open,
         OX952_OpenMulti,
         OX952_OpenDiagnostic,
         OX952_Close,
         OX952_Card_OpenCount,
         OX952_ClearConnections,
         {{"bar05", OX952_BAR05_BaseAdr, 8},
          {"bar11", OX952_BAR11_BaseAdr, 8},
          {"bar13", OX952_BAR13_BaseAdr, 8},
          {"shared", OX952_SHARED_BaseAdr, 8}},
         OX952_IRQ_Wait,
         OX952_IRQ_Count,
         OX952_IRQ_SetTimeout,
         nullptr,
         OX952_EEPROM_RD,
         OX952_EEPROM_WR,
         OX952_EEPROM_Erase,
         OX952_MemWrite,
         OX952_MemRead},
        {"ox9162",
         OX9162_DriverVersion,
         OX9162_CardsInSystem,
         OX9162_Card_DID,
         OX9162_Card_BUS,
         OX9162_Card_SLOT,
         OX9162_Open,
         OX9162_OpenMulti,
         OX9162_OpenDiagnostic,
         OX9162_Close,
         OX9162_Card_OpenCount,
         OX9162_ClearConnections,
         {{"bar3", OX9162_BAR3_BaseAdr, 8},
          {"bar4", OX9162_BAR4_BaseAdr, 8},
          {"shared", OX9162_SHARED_BaseAdr, 8}},
         OX9162_IRQ_Wait,
         OX9162_IRQ_Count,
         OX9162_IRQ_SetTimeout,
         OX9162_GetIrqWaits,
         OX9162_EEPROM_RD,
         OX9162_EEPROM_WR,
         OX9162_EEPROM_Erase,
         OX9162_MemWrite,
         OX9162_MemRead},
        {"ep4gxa",
         EP4GXA_DriverVersion,
         EP4GXA_CardsInSystem,
         EP4GXA_Card_DID,
         EP4GXA_Card_BUS,
         EP4GXA_Card_SLOT,
         EP4GXA_Open,
         EP4GXA_OpenMulti,
         EP4GXA_OpenDiagnostic,
         EP4GXA_Close,
         EP4GXA_Card_OpenCount,
         EP4GXA_ClearConnections,
         {{"bar0", EP4GXA_BAR0_BaseAdr, 32},
          {"bar1", EP4GXA_BAR1_BaseAdr, 32},
          {"bar2", EP4GXA_BAR2_BaseAdr, 32},
          {"shared", EP4GXA_SHARED_BaseAdr, 8}},
         EP4GXA_IRQ_Wait,
         EP4GXA_IRQ_Count,
         EP4GXA_IRQ_SetTimeout,
         EP4GXA_GetIrqWaits,
         nullptr,
         nullptr,
         nullptr,
         nullptr,
         nullptr},
    };
    return families;
}

const FamilyApi& FamilyByName(const std::string& name) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    for (const auto& f : Families())
        if (lower == f.name) return f;
    Usage("unknown family '" + name + "': give ox952, ox9162 or ep4gxa");
}

const NamedRegion* FindRegion(const FamilyApi& f, const std::string& name) {
    for (const auto& r : f.regions)
        if (name == r.name) return &r;
    return nullptr;
}

std::string RegionNames(const FamilyApi& f) {
    std::string out;
    for (const auto& r : f.regions) out += (out.empty() ? "" : ", ") + std::string(r.name);
    return out;
}

std::string CardRef::Name() const {
    return std::string(family->name) + " " + std::to_string(position);
}

CardRef ParseCard(const std::string& family, const std::string& position) {
    return CardRef{&FamilyByName(family), static_cast<uint32_t>(ParseNumber(position, 31, "position"))};
}

uint32_t CardCount(const FamilyApi& f) {
    uint32_t count = 0;
    Check(f.cardsInSystem(&count), std::string(f.name) + ": counting the cards");
    return count;
}

void RequireCard(const CardRef& card) {
    uint32_t count = CardCount(*card.family);
    if (card.position < count) return;
    if (count == 0)
        Fail("no " + std::string(card.family->name) + " cards in this machine (see 'quelt list')");
    Fail("no " + card.Name() + ": the machine has " + std::to_string(count) + " " + card.family->name +
         " card(s), at positions 0 to " + std::to_string(count - 1));
}

Kind ParseKind(const std::string& text) {
    if (text == "normal") return Kind::normal;
    if (text == "multi") return Kind::multi;
    if (text == "diagnostic") return Kind::diagnostic;
    Usage("unknown connection kind '" + text + "': give normal, multi or diagnostic");
}

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::normal:
            return "normal";
        case Kind::multi:
            return "multi";
        default:
            return "diagnostic";
    }
}

OpenCard::OpenCard(const CardRef& card, Kind kind, bool irq) : card_(card) {
    RequireCard(card);
    const FamilyApi& f = *card.family;
    OpenFn open = kind == Kind::normal ? f.open : kind == Kind::multi ? f.openMulti : f.openDiagnostic;
    uint32_t code = open(card.position, irq ? 1 : 0);
    if (code == QUELT_REFUSED)
        Fail(card.Name() + ": a " + KindName(kind) +
             " connection is refused while the card's other connections stand (see 'quelt connections " +
             card.Name() + "'; --kind diagnostic is always admitted)");
    if (code == QUELT_NO_IRQ_LINE) Fail(card.Name() + ": the card has no interrupt line");
    Check(code, card.Name() + ": opening");
    RegisterOpenCard(f.close, card.position);
}

OpenCard::~OpenCard() {
    UnregisterOpenCard(card_.family->close, card_.position);
    card_.family->close(card_.position);
}

// --- the device-level view ---

namespace {

bool InRange(uint32_t d, uint32_t lo, uint32_t hi) {
    return d >= lo && d <= hi;
}
constexpr uint32_t kVendor = 0x1760;

// The library's family rules, so that each device can be shown with the
// family position at which the family functions find it.
void AssignFamilies(std::vector<DeviceInfo>& devices) {
    bool anySlot =
        std::any_of(devices.begin(), devices.end(), [](const DeviceInfo& d) { return d.slot != 0; });
    std::vector<uint32_t> slots;
    for (const auto& d : devices) slots.push_back(anySlot ? (d.slot & 0xFFFF) : (d.pciAddress >> 16));
    int ox952 = 0, ox9162 = 0, ep4gxa = 0;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        DeviceInfo& dev = devices[i];
        if ((dev.vendorId & 0xFFFF) != kVendor || dev.deviceId == 0) continue;
        uint32_t d = dev.deviceId & 0xFFFF;
        if (InRange(d, 0x0000, 0x01FF) || InRange(d, 0x8000, 0x81FF)) {
            dev.family = "ox9162";
            dev.position = ox9162++;
        } else if (InRange(d, 0x0800, 0x08FF) || InRange(d, 0x8800, 0x88FF)) {
            dev.family = "ep4gxa";
            dev.position = ep4gxa++;
        } else if (d % 2 == 0 && (InRange(d, 0x0200, 0x03FF) || InRange(d, 0x8200, 0x83FF))) {
            for (std::size_t j = 0; j < devices.size(); ++j) {
                const DeviceInfo& other = devices[j];
                if ((other.deviceId & 0xFFFF) == (d ^ 1) && other.bus == dev.bus && slots[j] == slots[i]) {
                    dev.family = "ox952";
                    dev.function = 0;
                    dev.position = ox952++;
                    if (devices[j].family.empty()) {
                        devices[j].family = "ox952";
                        devices[j].function = 1;
                        devices[j].position = dev.position;
                    }
                    break;
                }
            }
        } else if (d % 2 == 1 && (InRange(d, 0x0400, 0x05FF) || InRange(d, 0x8400, 0x85FF))) {
            dev.family = "ox952";
            dev.function = 1;
            dev.position = ox952++;
        }
    }
}

}  // namespace

std::vector<DeviceInfo> ScanDevices() {
    std::vector<DeviceInfo> devices;
    for (int n = 1; n <= 32; ++n) {
        DeviceHandle* h = OxOpenDevice("", n, kLookKind);
        if (!h) break;
        DeviceInfo d;
        d.number = n;
        d.description = OxGetBoardName(h);
        const DeviceResources* r = OxGetDeviceResources(h);
        d.vendorId = r->vendorId;
        d.deviceId = r->deviceId;
        d.bus = r->bus;
        d.slot = r->slot;
        d.pciAddress = r->pciAddress;
        d.irqLine = r->irqLine;
        for (int i = 0; i < std::clamp(r->regionCount, 0, 16); ++i)
            d.regionLengths.push_back(r->regions[i].length);
        d.statusBlock = r->statusBlock != nullptr;
        OxCloseDevice(h);
        devices.push_back(d);
    }
    AssignFamilies(devices);
    return devices;
}

const DeviceInfo* DeviceOf(const std::vector<DeviceInfo>& devices, const CardRef& card, int function) {
    for (const auto& d : devices) {
        if (d.family != card.family->name || d.position != static_cast<int>(card.position)) continue;
        if (d.function == -1 || d.function == function) return &d;
    }
    // An OX952 card whose function 1 stands alone answers for function 0 too.
    if (function == 0) return DeviceOf(devices, card, 1);
    return nullptr;
}

std::optional<StatusView> ReadStatus(const CardRef& card) {
    // The shared area is the tail of the status block: it ends at the block's
    // byte 1000 + 24 and starts after the 4-byte connection slots.
    RegionFn shared = FindRegion(*card.family, "shared")->fn;
    void* address = nullptr;
    uint32_t length = 0;
    if (shared(card.position, &address, &length) != QUELT_OK || !address || length > 1000 ||
        (1000 - length) % 4)
        return std::nullopt;
    const auto* area = static_cast<const volatile uint8_t*>(address);
    const volatile uint8_t* block = area - 24 - (1000 - length);
    auto word = [block](std::size_t offset) {
        return *reinterpret_cast<const volatile uint32_t*>(block + offset);
    };
    StatusView v;
    v.irqCounter = word(4);
    v.attachCount = static_cast<int32_t>(word(12));
    v.diagnosticCount = static_cast<int32_t>(word(16));
    v.slotCount = static_cast<int32_t>(word(20));
    for (uint32_t i = 0; i < (1000 - length) / 4; ++i) v.slots.push_back(word(24 + 4 * i));
    return v;
}

bool IsTerminal(FILE* stream) {
#if defined(_WIN32)
    // _isatty is true for every character device, NUL among them: only a
    // console has a console mode.
    const intptr_t handle = _get_osfhandle(_fileno(stream));
    DWORD mode = 0;
    return handle != -1 && GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode);
#else
    return isatty(fileno(stream)) != 0;
#endif
}

bool ProcessRunning(uint32_t pid) {
#if defined(_WIN32)
    if (pid == 0) return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    // A process of another user that we may not look at is still running.
    if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
#else
    return pid != 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
#endif
}

std::string ProgramName(const char* argv0) {
    std::string name = argv0 ? argv0 : "";
#if defined(_WIN32)
    name = name.substr(name.find_last_of("\\/:") + 1);
    if (name.size() > 4) {
        std::string ext = name.substr(name.size() - 4);
        std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
        if (ext == ".exe") name.resize(name.size() - 4);
    }
#else
    name = name.substr(name.find_last_of('/') + 1);
#endif
    return name.empty() ? "quelt" : name;
}

std::string VersionText() {
    std::string text = "quelt " QUELT_TOOL_VERSION "\nlibrary interface version " +
                       std::to_string(OX952_InterfaceVersion()) + "\n";
    uint32_t cards = 0;
    for (const auto& f : Families()) cards += CardCount(f);
    if (cards == 0 && ScanDevices().empty()) return text + "driver version unknown: no cards to ask";
    uint32_t version = OxDriverVersion();
    return text + "driver version " + std::to_string(version) +
           (version < 109 ? " (older than 109: not compatible with this library)" : "");
}

}  // namespace quelt_tool
