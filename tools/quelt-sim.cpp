// quelt-sim: controls the simulated machine that stands in for the card
// driver on Linux and under the simulated DLL on Windows: make a machine, add
// and remove cards, raise interrupts, show and set status blocks, set the
// driver version.
#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "registry/card_table.h"
#include "sim/capi/machine_file.h"
#include "sim/control.h"

namespace {

using nlohmann::json;

// A number in decimal or 0x hex that fits max; throws sim::Error otherwise.
std::uint64_t ParseNumber(const std::string& text, std::uint64_t max, const std::string& what) {
    std::string t = text;
    int base = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        t = t.substr(2);
    }
    bool ok = !t.empty();
    std::uint64_t v = 0;
    for (char ch : t) {
        int d;
        if (ch >= '0' && ch <= '9') {
            d = ch - '0';
        } else if (base == 16 && ch >= 'a' && ch <= 'f') {
            d = ch - 'a' + 10;
        } else if (base == 16 && ch >= 'A' && ch <= 'F') {
            d = ch - 'A' + 10;
        } else {
            ok = false;
            break;
        }
        if (v > (max - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base)) {
            throw sim::Error(what + " " + text + " is too large (at most " + std::to_string(max) + ")");
        }
        v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    }
    if (!ok) throw sim::Error(what + " " + text + " is not a number (decimal or 0x hex)");
    return v;
}

std::string Hex(std::uint64_t v, int digits) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*llx", digits, static_cast<unsigned long long>(v));
    return buf;
}

// The family the library would file the card under, by its rules: the
// vendor id first, then the device id ranges. The library keeps the low 16
// bits of both.
std::string FamilyOf(const sim::CardConfig& c) {
    if ((c.vendorId & 0xFFFFu) != CARD_VENDOR_ID) return "-";
    const auto d = static_cast<std::uint16_t>(c.deviceId & 0xFFFFu);
    if (IsOx9162Device(d)) return "OX9162";
    if (IsEp4gxaDevice(d)) return "EP4GXA";
    if (IsOx952Function0Device(d)) return "OX952 f0";
    // A function 1 is its function 0's id with bit 0 set, or one that stands alone.
    if (IsOx952Function0Device(static_cast<std::uint16_t>(d ^ 1u)) || IsOx952LoneFunction1Device(d))
        return "OX952 f1";
    return "-";
}

std::string SizeText(std::uint64_t size) {
    if (size % (1024 * 1024) == 0) return std::to_string(size / (1024 * 1024)) + "M";
    if (size % 1024 == 0) return std::to_string(size / 1024) + "K";
    return std::to_string(size);
}

std::string RegionsText(const sim::CardConfig& c) {
    std::string out;
    for (std::size_t i = 0; i < c.regions.size(); ++i) {
        if (i) out += ",";
        out += SizeText(c.regions[i].size);
        if (c.regions[i].unmapped) out += "(unmapped)";
    }
    return out.empty() ? "-" : out;
}

json CardJson(int device, const sim::CardConfig& c) {
    json regions = json::array();
    for (const auto& r : c.regions) regions.push_back({{"size", r.size}, {"unmapped", r.unmapped}});
    json j = {{"device", device},     {"family", FamilyOf(c)},         {"description", c.description},
              {"vendor", c.vendorId}, {"device_id", c.deviceId},       {"bus", c.bus},
              {"slot", c.slot},       {"pci_address", c.pciAddress},   {"irq", c.irqLine},
              {"regions", regions},   {"status_block", c.statusBlock}, {"eeprom_region", c.eepromRegion}};
    j["card_id"] = c.cardId ? json(*c.cardId) : json(nullptr);
    j["serial"] = c.serial ? json(*c.serial) : json(nullptr);
    return j;
}

void PrintTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        if (widths.size() < row.size()) widths.resize(row.size(), 0);
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        std::cout << line << "\n";
    }
}

// --- status block fields ---

struct Field {
    const char* name;  // on the command line
    const char* key;   // in JSON
    std::size_t offset;
    bool isSigned;
};
constexpr Field kFields[] = {
    {"irq-counter", "irq_counter", 4, false},   {"ack-counter", "ack_counter", 8, false},
    {"attach-count", "attach_count", 12, true}, {"diag-count", "diag_count", 16, true},
    {"slot-count", "slot_count", 20, true},
};
constexpr std::size_t kMaxSlots = 250;

// Offset of a settable field name; throws for an unknown name.
std::size_t FieldOffset(const std::string& name, bool* isSigned) {
    for (const auto& f : kFields) {
        if (name == f.name || name == f.key) {
            *isSigned = f.isSigned;
            return f.offset;
        }
    }
    if (name.rfind("slot", 0) == 0 && name.size() > 4 &&
        name.find_first_not_of("0123456789", 4) == std::string::npos) {
        std::uint64_t i = ParseNumber(name.substr(4), kMaxSlots - 1, "slot");
        *isSigned = false;
        return 24 + 4 * static_cast<std::size_t>(i);
    }
    throw sim::Error("unknown status field " + name +
                     " (irq-counter, ack-counter, attach-count, diag-count, slot-count, slot0 ... slot249)");
}

std::uint32_t ParseFieldValue(const std::string& text, bool isSigned, const std::string& field) {
    if (isSigned && !text.empty() && text[0] == '-') {
        std::uint64_t mag = ParseNumber(text.substr(1), 0x80000000ull, field);
        return static_cast<std::uint32_t>(-static_cast<std::int64_t>(mag));
    }
    return static_cast<std::uint32_t>(ParseNumber(text, 0xFFFFFFFFull, field));
}

int ShowStatus(int device, bool asJson) {
    sim::CardConfig card = sim::GetCard(device);
    auto word = [device](std::size_t off) { return sim::ReadStatusWord(device, off); };
    auto slotCount = static_cast<std::int32_t>(word(20));
    std::size_t shown =
        slotCount <= 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(slotCount), kMaxSlots);
    std::uint32_t waits = sim::PendingWaits(device);
    if (asJson) {
        json j;
        j["device"] = device;
        for (const auto& f : kFields) {
            if (f.isSigned)
                j[f.key] = static_cast<std::int32_t>(word(f.offset));
            else
                j[f.key] = word(f.offset);
        }
        json slots = json::array();
        for (std::size_t i = 0; i < shown; ++i) {
            j["slot" + std::to_string(i)] = word(24 + 4 * i);
            slots.push_back(word(24 + 4 * i));
        }
        j["slots"] = slots;
        j["waits"] = waits;
        j["status_block"] = card.statusBlock;
        std::cout << j.dump(2) << "\n";
        return 0;
    }
    std::cout << "device " << device << ": " << card.description << "\n";
    if (!card.statusBlock) std::cout << "  (the driver gives this card no status block to applications)\n";
    std::vector<std::vector<std::string>> rows;
    for (const auto& f : kFields) {
        std::uint32_t v = word(f.offset);
        rows.push_back({"  " + std::string(f.name),
                        f.isSigned ? std::to_string(static_cast<std::int32_t>(v)) : std::to_string(v)});
    }
    for (std::size_t i = 0; i < shown; ++i) {
        std::uint32_t pid = word(24 + 4 * i);
        rows.push_back({"  slot" + std::to_string(i), pid ? "pid " + std::to_string(pid) : "free"});
    }
    rows.push_back({"  waits", std::to_string(waits) + " pending"});
    PrintTable(rows);
    if (slotCount > static_cast<std::int32_t>(kMaxSlots))
        std::cout << "  (slot-count is beyond the " << kMaxSlots << " slots that fit in the block)\n";
    return 0;
}

// The 93C46 words of a device: 8 rows of 8 as the library's tool shows them,
// or JSON.
int ShowEeprom(int device, bool asJson) {
    const int region = sim::GetCard(device).eepromRegion;
    const std::vector<std::uint16_t> words = sim::EepromWords(device);
    if (asJson) {
        json j = {{"device", device}, {"eeprom_region", region}, {"words", words}};
        std::cout << j.dump(2) << "\n";
        return 0;
    }
    char cell[32];
    for (unsigned w = 0; w < words.size(); ++w) {
        if (w % 8 == 0) {
            std::snprintf(cell, sizeof cell, "%02u:", w);
            std::cout << cell;
        }
        std::snprintf(cell, sizeof cell, " %04X", static_cast<unsigned>(words[w]));
        std::cout << cell << (w % 8 == 7 ? "\n" : "");
    }
    return 0;
}

}  // namespace

// Where the default machine lives, for the help.
#if defined(_WIN32)
constexpr const char* kRootHelp =
    "machine root folder (default: %QUELT_SIM_ROOT%, else %LOCALAPPDATA%\\quelt-sim)";
#else
constexpr const char* kRootHelp =
    "machine root directory (default: $QUELT_SIM_ROOT, else /dev/shm/quelt-sim-UID)";
#endif

int main(int argc, char** argv) {
    CLI::App app{
        "Controls the simulated machine of quelt cards (card files mapped by every process that uses them).",
        "quelt-sim"};
    app.require_subcommand(1);
    std::string root;
    auto addRoot = [&root](CLI::App* cmd) { cmd->add_option("--root", root, kRootHelp); };
    addRoot(&app);

    // init
    bool empty = false, force = false;
    auto* init = app.add_subcommand("init", "make the default machine (or an empty one), and its root");
    init->add_flag("--empty", empty, "a machine without cards");
    init->add_flag("--force", force, "replace an existing machine");
    std::string fromFile;
    init->add_option("--from", fromFile, "make the machine a machine file (JSON) describes")
        ->excludes("--empty");
    addRoot(init);

    // export
    std::string exportFile;
    auto* exportCmd = app.add_subcommand("export", "write the machine as a machine file (JSON)");
    exportCmd->add_option("FILE", exportFile, "the file to write (default: standard output)");
    addRoot(exportCmd);

    // add
    std::string family = "ox952", description, vendor, deviceId, bus, slot, pciAddress, irq, cardId, serial;
    std::vector<std::string> regions;
    bool noStatus = false;
    auto* add = app.add_subcommand("add", "add a card at the next device number and print that number");
    add->add_option("--family", family, "ox952 | ox9162 | ep4gxa: the defaults the other options override")
        ->check(CLI::IsMember({"ox952", "ox9162", "ep4gxa"}));
    add->add_option("--description", description,
                    "the device description (board name), up to 300 characters");
    add->add_option("--vendor", vendor, "PCI vendor id (32-bit)");
    add->add_option("--device", deviceId, "PCI device id (32-bit)");
    add->add_option("--bus", bus, "PCI bus number (32-bit)");
    add->add_option("--slot", slot, "slot number (32-bit, 0: unknown)");
    add->add_option("--pci-address", pciAddress, "PCI address (32-bit; upper 16 bits: device on the bus)");
    add->add_option("--irq", irq, "interrupt line (0..255, 0: none)");
    add->add_option("--region", regions, "a region SIZE[:unmapped], in order; replaces the family's regions");
    add->add_option("--card-id", cardId, "identity word at byte 16368 of region 0");
    add->add_option("--serial", serial, "serial number at byte 16372 of region 0");
    add->add_flag("--no-status-block", noStatus, "the driver gives the card no status block");
    std::string eepromRegion;
    add->add_option("--eeprom", eepromRegion, "REGION holding the 93C46 control byte (offset 3), or 'none'");
    addRoot(add);

    // list
    bool listJson = false;
    auto* list = app.add_subcommand(
        "list", "list the machine's devices, damaged ones too (makes the default machine on first use)");
    list->add_flag("--json", listJson, "JSON output");
    addRoot(list);

    // repair
    std::string repairDevice;
    auto* repair = app.add_subcommand(
        "repair", "rebuild damaged device N whose card file was cut short, keeping what it still holds");
    repair->add_option("N", repairDevice, "device number")->required();
    addRoot(repair);

    // remove
    std::string removeDevice;
    auto* remove = app.add_subcommand("remove", "remove device N (the next devices move up)");
    remove->add_option("N", removeDevice, "device number")->required();
    addRoot(remove);

    // irq
    std::string irqDevice, irqCount = "1";
    auto* irqCmd = app.add_subcommand("irq", "raise interrupts on device N");
    irqCmd->add_option("N", irqDevice, "device number")->required();
    irqCmd->add_option("--count", irqCount, "how many interrupts (default 1)");
    addRoot(irqCmd);

    // status
    std::string statusDevice;
    std::vector<std::string> sets;
    bool statusJson = false;
    auto* status = app.add_subcommand("status", "show or set device N's status block and pending waits");
    status->add_option("N", statusDevice, "device number")->required();
    status->add_option("--set", sets,
                       "FIELD=VALUE: irq-counter, ack-counter, attach-count, diag-count, slot-count, slotI");
    status->add_flag("--json", statusJson, "JSON output");
    addRoot(status);

    // eeprom
    std::string eepromDevice;
    std::vector<std::string> eepromSets;
    bool eepromDump = false, eepromJson = false;
    auto* eeprom = app.add_subcommand("eeprom", "show or set the 64 words of device N's 93C46 EEPROM");
    eeprom->add_option("N", eepromDevice, "device number")->required();
    eeprom->add_flag("--dump", eepromDump, "show all 64 words (the default without --set)");
    eeprom->add_option("--set", eepromSets, "WORD=VALUE: word 0..63, value 0..0xFFFF (repeatable)");
    eeprom->add_flag("--json", eepromJson, "JSON output");
    addRoot(eeprom);

    // driver-version
    std::string version;
    auto* driverVersion =
        app.add_subcommand("driver-version", "show or set the driver version the machine reports");
    driverVersion->add_option("V", version, "the new version");
    addRoot(driverVersion);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help
        // One line, like every other error of the tool.
        std::cerr << "quelt-sim: " << e.what() << " (see quelt-sim --help)\n";
        return 2;
    }

    try {
        if (!root.empty()) sim::UseRoot(root);
        auto deviceNumber = [](const std::string& text) {
            auto n = static_cast<int>(ParseNumber(text, 0x7FFFFFFF, "device number"));
            int count = sim::CardCount();
            if (n < 1 || n > count)
                throw sim::Error("no device " + text + " (the machine has " + std::to_string(count) +
                                 (count == 1 ? " device)" : " devices)"));
            return n;
        };

        if (*init && !fromFile.empty()) {
            // Read and checked whole first: a bad file leaves the machine there as it was.
            const auto machine = sim::machine_file::ReadFile(fromFile);
            if (!force && sim::MachineExists())
                throw sim::Error("a machine already exists at " + sim::CurrentRoot() +
                                 " (use --force to replace it)");
            sim::machine_file::Apply(machine, force);
            std::cout << "machine from " << fromFile << " at " << sim::CurrentRoot() << "\n";
            return 0;
        }
        if (*exportCmd) {
            const std::string text = sim::machine_file::Write(sim::machine_file::Capture());
            if (exportFile.empty()) {
                std::cout << text;
                return 0;
            }
            std::ofstream out(exportFile, std::ios::binary | std::ios::trunc);
            out << text;
            out.flush();
            if (!out) throw sim::Error("cannot write " + exportFile);
            return 0;
        }
        if (*init) {
            sim::InitMachine(empty, force);
            std::cout << (empty ? "empty machine" : "default machine") << " at " << sim::CurrentRoot()
                      << "\n";
            return 0;
        }
        if (*add) {
            sim::CardFamily fam = family == "ox9162"   ? sim::CardFamily::OX9162
                                  : family == "ep4gxa" ? sim::CardFamily::EP4GXA
                                                       : sim::CardFamily::OX952;
            sim::CardConfig c = sim::DefaultCard(fam);
            if (!description.empty()) c.description = description;
            if (!vendor.empty())
                c.vendorId = static_cast<std::uint32_t>(ParseNumber(vendor, 0xFFFFFFFF, "vendor"));
            if (!deviceId.empty())
                c.deviceId = static_cast<std::uint32_t>(ParseNumber(deviceId, 0xFFFFFFFF, "device"));
            if (!bus.empty()) c.bus = static_cast<std::uint32_t>(ParseNumber(bus, 0xFFFFFFFF, "bus"));
            if (!slot.empty()) c.slot = static_cast<std::uint32_t>(ParseNumber(slot, 0xFFFFFFFF, "slot"));
            if (!pciAddress.empty())
                c.pciAddress = static_cast<std::uint32_t>(ParseNumber(pciAddress, 0xFFFFFFFF, "pci-address"));
            if (!irq.empty()) c.irqLine = static_cast<std::uint8_t>(ParseNumber(irq, 255, "irq"));
            if (!regions.empty()) {
                c.regions.clear();
                for (const auto& r : regions) {
                    sim::RegionConfig rc;
                    std::string sizeText = r;
                    auto colon = r.find(':');
                    if (colon != std::string::npos) {
                        if (r.substr(colon + 1) != "unmapped")
                            throw sim::Error("region " + r + ": the only mark is :unmapped");
                        rc.unmapped = true;
                        sizeText = r.substr(0, colon);
                    }
                    rc.size = ParseNumber(sizeText, std::uint64_t{1} << 30, "region size");
                    c.regions.push_back(rc);
                }
                if (c.eepromRegion >= static_cast<int>(c.regions.size())) c.eepromRegion = -1;
            }
            if (!cardId.empty())
                c.cardId = static_cast<std::uint32_t>(ParseNumber(cardId, 0xFFFFFFFF, "card-id"));
            if (!serial.empty())
                c.serial = static_cast<std::uint32_t>(ParseNumber(serial, 0xFFFFFFFF, "serial"));
            if (c.cardId || c.serial) {
                // Identity words the family default gave, on regions the options shrank, are dropped quietly;
                // asked-for ones are checked by AddCard.
                if ((c.regions.empty() || c.regions[0].size < 16376) && cardId.empty() && serial.empty()) {
                    c.cardId.reset();
                    c.serial.reset();
                }
            }
            if (noStatus) c.statusBlock = false;
            if (eepromRegion == "none") {
                c.eepromRegion = -1;
            } else if (!eepromRegion.empty()) {
                c.eepromRegion = static_cast<int>(ParseNumber(eepromRegion, 15, "EEPROM region"));
            }
            std::cout << sim::AddCard(c) << "\n";
            return 0;
        }
        if (*list) {
            sim::UseMachine();
            const std::vector<sim::CardStatus> cards = sim::ListCards();
            const auto count = static_cast<int>(cards.size());
            if (listJson) {
                json devices = json::array();
                for (const auto& card : cards) {
                    if (card.problem.empty()) {
                        devices.push_back(CardJson(card.device, card.config));
                    } else {
                        devices.push_back(
                            {{"device", card.device}, {"damaged", card.problem}, {"file", card.file}});
                    }
                }
                json j = {{"root", sim::CurrentRoot()},
                          {"driver_version", sim::DriverVersion()},
                          {"devices", devices}};
                std::cout << j.dump(2) << "\n";
                return 0;
            }
            std::cout << "machine " << sim::CurrentRoot() << ", driver version " << sim::DriverVersion()
                      << ", " << count << (count == 1 ? " device" : " devices") << "\n";
            if (count == 0) return 0;
            std::vector<std::vector<std::string>> rows = {{"DEV", "FAMILY", "VENDOR", "DEVICE", "BUS", "SLOT",
                                                           "PCI-ADDR", "IRQ", "REGIONS", "STATUS",
                                                           "DESCRIPTION"}};
            std::vector<std::string> damaged;
            for (const auto& card : cards) {
                const std::string dev = std::to_string(card.device);
                if (!card.problem.empty()) {
                    rows.push_back({dev, "damaged", "-", "-", "-", "-", "-", "-", "-", "-", card.file});
                    damaged.push_back("device " + dev + ": " + card.problem);
                    continue;
                }
                const sim::CardConfig& c = card.config;
                rows.push_back({dev, FamilyOf(c), Hex(c.vendorId, 4), Hex(c.deviceId, 4),
                                std::to_string(c.bus), std::to_string(c.slot), Hex(c.pciAddress, 8),
                                c.irqLine ? std::to_string(c.irqLine) : "none", RegionsText(c),
                                c.statusBlock ? "yes" : "no", c.description});
            }
            PrintTable(rows);
            for (const auto& line : damaged) std::cout << line << "\n";
            if (!damaged.empty())
                std::cout << "(the library does not see damaged devices: quelt-sim repair N, or quelt-sim "
                             "remove N)\n";
            return 0;
        }
        if (*repair) {
            int n = deviceNumber(repairDevice);
            sim::RepairCard(n);
            std::cout << "repaired device " << n << "\n";
            return 0;
        }
        if (*remove) {
            int n = deviceNumber(removeDevice);
            sim::RemoveCard(n);
            std::cout << "removed device " << n << "\n";
            return 0;
        }
        if (*irqCmd) {
            int n = deviceNumber(irqDevice);
            auto count = static_cast<std::uint32_t>(ParseNumber(irqCount, 0xFFFFFFFF, "count"));
            sim::RaiseIrq(n, count);
            std::cout << "device " << n << ": interrupt counter " << sim::ReadStatusWord(n, 4) << "\n";
            return 0;
        }
        if (*status) {
            int n = deviceNumber(statusDevice);
            // All values are checked before any is written.
            std::vector<std::pair<std::size_t, std::uint32_t>> writes;
            for (const auto& s : sets) {
                auto eq = s.find('=');
                if (eq == std::string::npos || eq == 0)
                    throw sim::Error("--set " + s + ": expected FIELD=VALUE");
                bool isSigned = false;
                std::string name = s.substr(0, eq);
                std::size_t off = FieldOffset(name, &isSigned);
                writes.emplace_back(off, ParseFieldValue(s.substr(eq + 1), isSigned, name));
            }
            for (const auto& [off, v] : writes) sim::WriteStatusWord(n, off, v);
            return ShowStatus(n, statusJson);
        }
        if (*eeprom) {
            int n = deviceNumber(eepromDevice);
            if (sim::GetCard(n).eepromRegion < 0)
                throw sim::Error("device " + std::to_string(n) + " has no EEPROM");
            // All words are checked before any is written.
            std::vector<std::pair<int, std::uint16_t>> writes;
            for (const auto& s : eepromSets) {
                auto eq = s.find('=');
                if (eq == std::string::npos || eq == 0)
                    throw sim::Error("--set " + s + ": expected WORD=VALUE");
                writes.emplace_back(
                    static_cast<int>(ParseNumber(s.substr(0, eq), 63, "word")),
                    static_cast<std::uint16_t>(ParseNumber(s.substr(eq + 1), 0xFFFF, "value")));
            }
            for (const auto& [w, v] : writes) sim::SetEepromWord(n, w, v);
            if (writes.empty() || eepromDump || eepromJson) return ShowEeprom(n, eepromJson);
            for (const auto& [w, v] : writes)
                std::cout << "device " << n << ": word " << w << " = " << Hex(v, 4) << "\n";
            return 0;
        }
        if (*driverVersion) {
            if (!version.empty()) {
                sim::SetDriverVersion(
                    static_cast<std::uint32_t>(ParseNumber(version, 0xFFFFFFFF, "version")));
            }
            std::cout << sim::DriverVersion() << "\n";
            return 0;
        }
    } catch (const sim::Error& e) {
        std::cerr << "quelt-sim: " << e.what() << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "quelt-sim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
