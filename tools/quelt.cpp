// quelt: the card tool. Lists the cards, shows their memory regions, reads and
// writes registers and memory bytes, reads and writes the serial EEPROM, waits
// for and counts interrupts, and shows or clears a card's connections. It uses
// only the library's public interface, like any application would.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "quelt_ox952.h"

namespace {

using json = nlohmann::json;

using VersionFn = uint32_t(QUELT_CALL*)(uint32_t*);
using CountFn = uint32_t(QUELT_CALL*)(uint32_t*);
using QueryFn = uint32_t(QUELT_CALL*)(uint32_t, uint32_t*);
using OpenFn = uint32_t(QUELT_CALL*)(uint32_t, uint32_t);
using PositionFn = uint32_t(QUELT_CALL*)(uint32_t);
using RegionFn = uint32_t(QUELT_CALL*)(uint32_t, void**, uint32_t*);
using TimeoutFn = uint32_t(QUELT_CALL*)(uint32_t, int32_t);
using EepromReadFn = uint32_t(QUELT_CALL*)(uint32_t, uint32_t, uint16_t*);
using EepromWriteFn = uint32_t(QUELT_CALL*)(uint32_t, uint32_t, uint16_t);
using EepromEraseFn = uint32_t(QUELT_CALL*)(uint32_t, uint32_t);

struct NamedRegion {
    const char* name;
    RegionFn fn;
};

// One family's function set, so every command is written once for all three.
struct FamilyApi {
    const char* name;
    VersionFn driverVersion;
    CountFn cardsInSystem;
    QueryFn did, bus, slot;
    OpenFn open, openMulti, openDiagnostic;
    PositionFn close;
    QueryFn openCount;
    PositionFn clearConnections;
    std::vector<NamedRegion> regions;
    RegionFn shared;
    uint32_t(QUELT_CALL* irqWait)(uint32_t, uint32_t*);
    PositionFn irqCount;
    TimeoutFn irqSetTimeout;
    EepromReadFn eepromRead;   // null: the family has no EEPROM
    EepromWriteFn eepromWrite;
    EepromEraseFn eepromErase;
    void(QUELT_CALL* memWrite)(void*, uint32_t, uint8_t);  // null: registers instead of bytes
    uint8_t(QUELT_CALL* memRead)(void*, uint32_t);
};

const std::vector<FamilyApi>& Families()
{
    static const std::vector<FamilyApi> families = {
        {"ox952", OX952_DriverVersion, OX952_CardsInSystem, OX952_Card_DID, OX952_Card_BUS, OX952_Card_SLOT,
         OX952_Open, OX952_OpenMulti, OX952_OpenDiagnostic, OX952_Close, OX952_Card_OpenCount,
         OX952_ClearConnections,
         {{"bar05", OX952_BAR05_BaseAdr}, {"bar11", OX952_BAR11_BaseAdr}, {"bar13", OX952_BAR13_BaseAdr}},
         OX952_SHARED_BaseAdr, OX952_IRQ_Wait, OX952_IRQ_Count, OX952_IRQ_SetTimeout, OX952_EEPROM_RD,
         OX952_EEPROM_WR, OX952_EEPROM_Erase, OX952_MemWrite, OX952_MemRead},
        {"ox9162", OX9162_DriverVersion, OX9162_CardsInSystem, OX9162_Card_DID, OX9162_Card_BUS,
         OX9162_Card_SLOT, OX9162_Open, OX9162_OpenMulti, OX9162_OpenDiagnostic, OX9162_Close,
         OX9162_Card_OpenCount, OX9162_ClearConnections,
         {{"bar3", OX9162_BAR3_BaseAdr}, {"bar4", OX9162_BAR4_BaseAdr}}, OX9162_SHARED_BaseAdr,
         OX9162_IRQ_Wait, OX9162_IRQ_Count, OX9162_IRQ_SetTimeout, OX9162_EEPROM_RD, OX9162_EEPROM_WR,
         OX9162_EEPROM_Erase, OX9162_MemWrite, OX9162_MemRead},
        {"ep4gxa", EP4GXA_DriverVersion, EP4GXA_CardsInSystem, EP4GXA_Card_DID, EP4GXA_Card_BUS,
         EP4GXA_Card_SLOT, EP4GXA_Open, EP4GXA_OpenMulti, EP4GXA_OpenDiagnostic, EP4GXA_Close,
         EP4GXA_Card_OpenCount, EP4GXA_ClearConnections,
         {{"bar0", EP4GXA_BAR0_BaseAdr}, {"bar1", EP4GXA_BAR1_BaseAdr}, {"bar2", EP4GXA_BAR2_BaseAdr}},
         EP4GXA_SHARED_BaseAdr, EP4GXA_IRQ_Wait, EP4GXA_IRQ_Count, EP4GXA_IRQ_SetTimeout, nullptr, nullptr,
         nullptr, nullptr, nullptr},
    };
    return families;
}

const FamilyApi* FindFamily(const std::string& name)
{
    for (const auto& f : Families())
        if (name == f.name) return &f;
    return nullptr;
}

// A failed library call: the one line the user sees, and the exit status.
struct Failure {
    std::string what;
};

void Check(uint32_t code, const std::string& what)
{
    if (code != QUELT_OK) {
        char hex[32];
        std::snprintf(hex, sizeof hex, "0x%" PRIX32, code);
        throw Failure{what + ": " + quelt_result_text(code) + " (" + hex + ")"};
    }
}

std::string Hex(uint64_t v, int digits = 0)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*" PRIX64, digits, v);
    return buf;
}

// Accepts decimal or 0x hex, the whole string, within max.
uint64_t ParseNumber(const std::string& text, uint64_t max, const std::string& what)
{
    if (text.empty() || text[0] == '-') throw Failure{"bad " + what + ": '" + text + "'"};
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max) throw Failure{"bad " + what + ": '" + text + "'"};
    return v;
}

// Opens a card for the length of one command and closes it again on every path.
class OpenCard {
public:
    OpenCard(const FamilyApi& f, uint32_t position, const std::string& kind, bool irq) : f_(f), pos_(position)
    {
        OpenFn open = kind == "normal" ? f.open : kind == "multi" ? f.openMulti : f.openDiagnostic;
        Check(open(position, irq ? 1 : 0), std::string(f.name) + " position " + std::to_string(position) + ": open");
    }
    ~OpenCard() { f_.close(pos_); }
    OpenCard(const OpenCard&) = delete;
    OpenCard& operator=(const OpenCard&) = delete;

private:
    const FamilyApi& f_;
    uint32_t pos_;
};

void Print(const json& j, bool asJson, const std::string& text)
{
    if (asJson)
        std::printf("%s\n", j.dump(2).c_str());
    else
        std::fputs(text.c_str(), stdout);
}

// --- commands ---

void CmdList(bool asJson)
{
    json out;
    std::string text;
    uint32_t version = 0;
    uint32_t vcode = OX952_DriverVersion(&version);
    out["driver_version"] = version;
    out["driver_compatible"] = vcode == QUELT_OK;
    out["interface_version"] = OX952_InterfaceVersion();
    char line[256];
    std::snprintf(line, sizeof line, "driver version %u%s, interface version %u\n\n", version,
                  vcode == QUELT_OK ? "" : " (incompatible)", OX952_InterfaceVersion());
    text += line;
    std::snprintf(line, sizeof line, "%-8s %4s  %-8s %5s %5s  %-10s %-10s\n", "FAMILY", "POS", "DEVICE", "BUS",
                  "SLOT", "CARD-ID", "SERIAL");
    text += line;
    out["cards"] = json::array();
    for (const auto& f : Families()) {
        uint32_t count = 0;
        Check(f.cardsInSystem(&count), std::string(f.name) + ": count");
        for (uint32_t p = 0; p < count; ++p) {
            uint32_t did = 0, bus = 0, slot = 0, id = 0, serial = 0;
            Check(f.did(p, &did), "device id");
            Check(f.bus(p, &bus), "bus");
            Check(f.slot(p, &slot), "slot");
            json card = {{"family", f.name}, {"position", p}, {"device_id", did}, {"bus", bus}, {"slot", slot}};
            std::string idText = "-", serialText = "-";
            if (std::string(f.name) == "ep4gxa") {
                Check(EP4GXA_Card_ID(p, &id), "card id");
                Check(EP4GXA_Card_SerNr(p, &serial), "serial number");
                card["card_id"] = id;
                card["serial"] = serial;
                idText = Hex(id, 8);
                serialText = std::to_string(serial);
            }
            out["cards"].push_back(card);
            std::snprintf(line, sizeof line, "%-8s %4u  %-8s %5u %5u  %-10s %-10s\n", f.name, p,
                          Hex(did, 4).c_str(), bus, slot, idText.c_str(), serialText.c_str());
            text += line;
        }
    }
    if (out["cards"].empty()) text += "(no cards)\n";
    Print(out, asJson, text);
}

void CmdRegions(const FamilyApi& f, uint32_t pos, const std::string& kind, bool asJson)
{
    OpenCard card(f, pos, kind, false);
    json out = json::array();
    std::string text;
    char line[256];
    auto show = [&](const char* name, RegionFn fn) {
        void* addr = nullptr;
        uint32_t len = 0;
        uint32_t code = fn(pos, &addr, &len);
        json r = {{"region", name}, {"result", code}};
        if (code == QUELT_OK) {
            r["address"] = reinterpret_cast<uintptr_t>(addr);
            r["length"] = len;
            std::snprintf(line, sizeof line, "%-7s %-18s %10u bytes\n", name,
                          Hex(reinterpret_cast<uintptr_t>(addr), 12).c_str(), len);
        } else {
            std::snprintf(line, sizeof line, "%-7s %s\n", name, quelt_result_text(code));
        }
        out.push_back(r);
        text += line;
    };
    for (const auto& r : f.regions) show(r.name, r.fn);
    show("shared", f.shared);
    Print(out, asJson, text);
}

// Register access: EP4GXA through its register functions (region 0); the
// byte families through a region's base and the byte accessors.
void CmdAccess(const FamilyApi& f, uint32_t pos, const std::string& kind, const std::string& region,
               uint32_t offset, unsigned width, const std::string* value)
{
    OpenCard card(f, pos, kind, false);
    std::string where = std::string(f.name) + " position " + std::to_string(pos) + " offset " + Hex(offset);
    if (!f.memRead) {
        if (!region.empty() && region != "bar0") throw Failure{"ep4gxa registers live in bar0"};
        if (value) {
            uint64_t v = ParseNumber(*value, width == 64 ? UINT64_MAX : (width == 32 ? UINT32_MAX : 0xFF), "value");
            uint32_t code = width == 8    ? EP4GXA_WriteReg8(pos, offset, static_cast<uint8_t>(v))
                            : width == 32 ? EP4GXA_WriteReg32(pos, offset, static_cast<uint32_t>(v))
                                          : EP4GXA_WriteReg64(pos, offset, v);
            Check(code, where + ": write");
            return;
        }
        uint64_t v = 0;
        uint32_t code;
        if (width == 8) {
            uint8_t b = 0;
            code = EP4GXA_ReadReg8(pos, offset, &b);
            v = b;
        } else if (width == 32) {
            uint32_t w = 0;
            code = EP4GXA_ReadReg32(pos, offset, &w);
            v = w;
        } else {
            code = EP4GXA_ReadReg64(pos, offset, &v);
        }
        Check(code, where + ": read");
        std::printf("%s\n", Hex(v, static_cast<int>(width / 4)).c_str());
        return;
    }
    if (width != 8) throw Failure{std::string(f.name) + " memory is accessed a byte at a time (--width 8)"};
    RegionFn fn = f.regions.front().fn;
    if (!region.empty()) {
        fn = nullptr;
        for (const auto& r : f.regions)
            if (region == r.name) fn = r.fn;
        if (!fn) throw Failure{"no region '" + region + "' on " + f.name};
    }
    void* base = nullptr;
    uint32_t len = 0;
    Check(fn(pos, &base, &len), where + ": region");
    if (offset >= len) throw Failure{where + ": beyond the region's " + std::to_string(len) + " bytes"};
    if (value) {
        uint8_t v = static_cast<uint8_t>(ParseNumber(*value, 0xFF, "value"));
        f.memWrite(base, offset, v);
        return;
    }
    uint8_t v = f.memRead(base, offset);
    std::printf("%s\n", Hex(v, 2).c_str());
}

void CmdEeprom(const FamilyApi& f, uint32_t pos, const std::string& kind, bool dump,
               const std::vector<std::string>& sets, const std::vector<std::string>& erases, bool asJson)
{
    if (!f.eepromRead) throw Failure{std::string(f.name) + " cards have no serial EEPROM"};
    OpenCard card(f, pos, kind, false);
    for (const auto& e : erases) {
        uint32_t word = static_cast<uint32_t>(ParseNumber(e, 63, "word"));
        Check(f.eepromErase(pos, word), "erase word " + std::to_string(word));
    }
    for (const auto& s : sets) {
        auto eq = s.find('=');
        if (eq == std::string::npos) throw Failure{"expected WORD=VALUE, got '" + s + "'"};
        uint32_t word = static_cast<uint32_t>(ParseNumber(s.substr(0, eq), 63, "word"));
        uint16_t value = static_cast<uint16_t>(ParseNumber(s.substr(eq + 1), 0xFFFF, "value"));
        Check(f.eepromWrite(pos, word, value), "write word " + std::to_string(word));
    }
    if (!dump && (!sets.empty() || !erases.empty())) return;
    json out = json::array();
    std::string text;
    char cell[16];
    for (uint32_t w = 0; w < 64; ++w) {
        uint16_t v = 0;
        Check(f.eepromRead(pos, w, &v), "read word " + std::to_string(w));
        out.push_back(v);
        if (w % 8 == 0) {
            std::snprintf(cell, sizeof cell, "%02u:", w);
            text += cell;
        }
        std::snprintf(cell, sizeof cell, " %04X", v);
        text += cell;
        if (w % 8 == 7) text += "\n";
    }
    Print(out, asJson, text);
}

void CmdIrq(const FamilyApi& f, uint32_t pos, const std::string& kind, int32_t timeoutMs, unsigned waits)
{
    OpenCard card(f, pos, kind, true);
    f.irqSetTimeout(pos, timeoutMs);
    for (unsigned i = 0; i < waits; ++i) {
        uint32_t count = 0;
        uint32_t code = f.irqWait(pos, &count);
        if (code == QUELT_TIMEOUT) {
            std::printf("timed out after %d ms (%u interrupts since open)\n", timeoutMs, count);
            throw Failure{};
        }
        Check(code, "wait");
        std::printf("interrupt: %u since open\n", count);
    }
    if (waits == 0) std::printf("%u interrupts since open\n", f.irqCount(pos));
}

void CmdConnections(const FamilyApi& f, uint32_t pos, bool clear, bool asJson)
{
    if (clear) {
        Check(f.clearConnections(pos), "clear connections");
        std::printf("connections of %s position %u cleared\n", f.name, pos);
        return;
    }
    // Counting needs an open card; a diagnostic connection is not counted itself.
    OpenCard card(f, pos, "diagnostic", false);
    uint32_t count = 0;
    Check(f.openCount(pos, &count), "open count");
    Print(json{{"family", f.name}, {"position", pos}, {"connections", count}}, asJson,
          std::to_string(count) + " non-diagnostic connection(s)\n");
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"quelt: list and use OX952, OX9162 and EP4GXA cards"};
    app.require_subcommand(1);
    bool asJson = false;
    std::string familyName, kind = "diagnostic", region, offsetText, valueText;
    uint32_t position = 0;
    unsigned width = 32;

    auto addCard = [&](CLI::App* cmd) {
        cmd->add_option("family", familyName, "ox952, ox9162 or ep4gxa")
            ->required()
            ->check(CLI::IsMember({"ox952", "ox9162", "ep4gxa"}));
        cmd->add_option("position", position, "card position within the family (0..31)")->required();
    };
    auto addKind = [&](CLI::App* cmd) {
        cmd->add_option("--kind", kind, "connection kind used for the command")
            ->check(CLI::IsMember({"normal", "multi", "diagnostic"}));
    };

    auto* list = app.add_subcommand("list", "list every card of every family");
    list->add_flag("--json", asJson, "JSON output");

    auto* regions = app.add_subcommand("regions", "show a card's mapped memory regions and shared area");
    addCard(regions);
    addKind(regions);
    regions->add_flag("--json", asJson, "JSON output");

    auto* read = app.add_subcommand("read", "read a register (ep4gxa) or memory byte");
    auto* write = app.add_subcommand("write", "write a register (ep4gxa) or memory byte");
    for (auto* cmd : {read, write}) {
        addCard(cmd);
        cmd->add_option("offset", offsetText, "byte offset in the region")->required();
        addKind(cmd);
        cmd->add_option("--width", width, "access width in bits")->check(CLI::IsMember({8u, 32u, 64u}));
        cmd->add_option("--region", region, "region name (see 'regions'); default: the first");
    }
    write->add_option("value", valueText, "value to write")->required();

    bool dump = false;
    std::vector<std::string> sets, erases;
    auto* eeprom = app.add_subcommand("eeprom", "read, write or erase the serial EEPROM (64 words)");
    addCard(eeprom);
    addKind(eeprom);
    eeprom->add_flag("--dump", dump, "show all 64 words (the default without --set/--erase)");
    eeprom->add_option("--set", sets, "write WORD=VALUE");
    eeprom->add_option("--erase", erases, "erase WORD (to 0xFFFF)");
    eeprom->add_flag("--json", asJson, "JSON output");

    int32_t timeoutMs = 5000;
    unsigned waits = 1;
    auto* irq = app.add_subcommand("irq", "wait for a card's interrupts");
    addCard(irq);
    addKind(irq);
    irq->add_option("--timeout", timeoutMs, "time-out per wait in ms (0: none)");
    irq->add_option("--waits", waits, "number of interrupts to wait for (0: just count)");

    bool clear = false;
    auto* conns = app.add_subcommand("connections", "show or clear a card's connection bookkeeping");
    addCard(conns);
    conns->add_flag("--clear", clear, "close this process's connection and reset the card's records");
    conns->add_flag("--json", asJson, "JSON output");

    CLI11_PARSE(app, argc, argv);

    try {
        if (*list) {
            CmdList(asJson);
            return 0;
        }
        const FamilyApi* f = FindFamily(familyName);
        if (position >= 32) throw Failure{"position must be 0..31"};
        if (*regions) CmdRegions(*f, position, kind, asJson);
        if (*read || *write) {
            uint32_t offset = static_cast<uint32_t>(ParseNumber(offsetText, UINT32_MAX, "offset"));
            CmdAccess(*f, position, kind, region, offset, width, *write ? &valueText : nullptr);
        }
        if (*eeprom) CmdEeprom(*f, position, kind, dump, sets, erases, asJson);
        if (*irq) CmdIrq(*f, position, kind, timeoutMs, waits);
        if (*conns) CmdConnections(*f, position, clear, asJson);
    } catch (const Failure& e) {
        if (!e.what.empty()) std::fprintf(stderr, "quelt: %s\n", e.what.c_str());
        return 1;
    }
    return 0;
}
