// quelt-sim: controls the simulated machine that stands in for the card
// driver on Linux and under the simulated DLL on Windows: make a machine, add
// and remove cards, raise interrupts, show and set status blocks, set the
// driver version. A thin command line over the machine's C control API
// (quelt_sim.h): everything it does, a user's own program can do the same way.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "quelt_sim.h"
#include "registry/card_table.h"

namespace {

using nlohmann::json;

// One line for stderr: a refused call or a bad command line value.
struct ToolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The root every call works on; null: QUELT_SIM_ROOT, else the default.
const char* gRoot = nullptr;

// Ends the command with the control API's text when rc is a failure.
void Check(int rc) {
    if (rc == QUELT_SIM_OK) return;
    std::string text = quelt_sim_last_error();
    if (rc == QUELT_SIM_NO_MACHINE && text.find("quelt-sim init") == std::string::npos)
        text += " (make one with: quelt-sim init)";
    throw ToolError(text);
}

std::string Root() {
    char root[4096];
    Check(quelt_sim_root(gRoot, root, sizeof root));
    return root;
}

int CardCount() {
    int count = 0;
    Check(quelt_sim_card_count(gRoot, &count));
    return count;
}

quelt_sim_card GetCard(int device) {
    quelt_sim_card card;
    Check(quelt_sim_get_card(gRoot, device, &card));
    return card;
}

std::uint32_t StatusWord(int device, std::uint32_t offset) {
    std::uint32_t value = 0;
    Check(quelt_sim_read_status(gRoot, device, offset, &value));
    return value;
}

std::uint32_t DriverVersion() {
    std::uint32_t version = 0;
    Check(quelt_sim_get_driver_version(gRoot, &version));
    return version;
}

// A number in decimal or 0x hex that fits max; throws ToolError otherwise.
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
            throw ToolError(what + " " + text + " is too large (at most " + std::to_string(max) + ")");
        }
        v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    }
    if (!ok) throw ToolError(what + " " + text + " is not a number (decimal or 0x hex)");
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
std::string FamilyOf(const quelt_sim_card& c) {
    if ((c.vendor_id & 0xFFFFu) != CARD_VENDOR_ID) return "-";
    const auto d = static_cast<std::uint16_t>(c.device_id & 0xFFFFu);
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

std::string RegionsText(const quelt_sim_card& c) {
    std::string out;
    for (std::uint32_t i = 0; i < c.region_count; ++i) {
        if (i) out += ",";
        out += SizeText(c.region_size[i]);
        if (c.region_unmapped[i]) out += "(unmapped)";
    }
    return out.empty() ? "-" : out;
}

json CardJson(int device, const quelt_sim_card& c) {
    json regions = json::array();
    for (std::uint32_t i = 0; i < c.region_count; ++i)
        regions.push_back({{"size", c.region_size[i]}, {"unmapped", c.region_unmapped[i] != 0}});
    json j = {{"device", device},
              {"family", FamilyOf(c)},
              {"description", c.description},
              {"vendor", c.vendor_id},
              {"device_id", c.device_id},
              {"bus", c.bus},
              {"slot", c.slot},
              {"pci_address", c.pci_address},
              {"irq", c.irq_line},
              {"regions", regions},
              {"status_block", c.status_block != 0},
              {"eeprom_region", c.eeprom_region}};
    j["card_id"] = c.has_card_id ? json(c.card_id) : json(nullptr);
    j["serial"] = c.has_serial ? json(c.serial) : json(nullptr);
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
    std::uint32_t offset;
    bool isSigned;
};
constexpr Field kFields[] = {
    {"irq-counter", "irq_counter", 4, false},   {"ack-counter", "ack_counter", 8, false},
    {"attach-count", "attach_count", 12, true}, {"diag-count", "diag_count", 16, true},
    {"slot-count", "slot_count", 20, true},
};
constexpr std::size_t kMaxSlots = 250;

// Offset of a settable field name; throws for an unknown name.
std::uint32_t FieldOffset(const std::string& name, bool* isSigned) {
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
        return 24 + 4 * static_cast<std::uint32_t>(i);
    }
    throw ToolError("unknown status field " + name +
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
    const quelt_sim_card card = GetCard(device);
    auto word = [device](std::uint32_t off) { return StatusWord(device, off); };
    auto slotCount = static_cast<std::int32_t>(word(20));
    std::size_t shown =
        slotCount <= 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(slotCount), kMaxSlots);
    std::uint32_t waits = 0;
    Check(quelt_sim_pending_waits(gRoot, device, &waits));
    auto slotOffset = [](std::size_t i) { return static_cast<std::uint32_t>(24 + 4 * i); };
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
            j["slot" + std::to_string(i)] = word(slotOffset(i));
            slots.push_back(word(slotOffset(i)));
        }
        j["slots"] = slots;
        j["waits"] = waits;
        j["status_block"] = card.status_block != 0;
        std::cout << j.dump(2) << "\n";
        return 0;
    }
    std::cout << "device " << device << ": " << card.description << "\n";
    if (!card.status_block) std::cout << "  (the driver gives this card no status block to applications)\n";
    std::vector<std::vector<std::string>> rows;
    for (const auto& f : kFields) {
        std::uint32_t v = word(f.offset);
        rows.push_back({"  " + std::string(f.name),
                        f.isSigned ? std::to_string(static_cast<std::int32_t>(v)) : std::to_string(v)});
    }
    for (std::size_t i = 0; i < shown; ++i) {
        std::uint32_t pid = word(slotOffset(i));
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
    const int region = GetCard(device).eeprom_region;
    std::vector<std::uint16_t> words(64);
    Check(quelt_sim_read_eeprom(gRoot, device, words.data()));
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

// Every device of the machine, damaged ones included.
int ListMachine(bool asJson) {
    Check(quelt_sim_use_machine(gRoot));
    const std::string root = Root();
    const int count = CardCount();
    struct Listed {
        std::string problem, file;
        quelt_sim_card card;
    };
    std::vector<Listed> cards(static_cast<std::size_t>(count));
    for (int n = 1; n <= count; ++n) {
        Listed& l = cards[static_cast<std::size_t>(n - 1)];
        char problem[1024], file[4096];
        Check(quelt_sim_card_problem(gRoot, n, problem, sizeof problem, file, sizeof file));
        l.problem = problem;
        l.file = file;
        if (l.problem.empty()) l.card = GetCard(n);
    }
    const std::uint32_t version = DriverVersion();
    if (asJson) {
        json devices = json::array();
        for (int n = 1; n <= count; ++n) {
            const Listed& l = cards[static_cast<std::size_t>(n - 1)];
            if (l.problem.empty())
                devices.push_back(CardJson(n, l.card));
            else
                devices.push_back({{"device", n}, {"damaged", l.problem}, {"file", l.file}});
        }
        json j = {{"root", root}, {"driver_version", version}, {"devices", devices}};
        std::cout << j.dump(2) << "\n";
        return 0;
    }
    std::cout << "machine " << root << ", driver version " << version << ", " << count
              << (count == 1 ? " device" : " devices") << "\n";
    if (count == 0) return 0;
    std::vector<std::vector<std::string>> rows = {{"DEV", "FAMILY", "VENDOR", "DEVICE", "BUS", "SLOT",
                                                   "PCI-ADDR", "IRQ", "REGIONS", "STATUS", "DESCRIPTION"}};
    std::vector<std::string> damaged;
    for (int n = 1; n <= count; ++n) {
        const Listed& l = cards[static_cast<std::size_t>(n - 1)];
        const std::string dev = std::to_string(n);
        if (!l.problem.empty()) {
            rows.push_back({dev, "damaged", "-", "-", "-", "-", "-", "-", "-", "-", l.file});
            damaged.push_back("device " + dev + ": " + l.problem);
            continue;
        }
        const quelt_sim_card& c = l.card;
        rows.push_back({dev, FamilyOf(c), Hex(c.vendor_id, 4), Hex(c.device_id, 4), std::to_string(c.bus),
                        std::to_string(c.slot), Hex(c.pci_address, 8),
                        c.irq_line ? std::to_string(c.irq_line) : "none", RegionsText(c),
                        c.status_block ? "yes" : "no", c.description});
    }
    PrintTable(rows);
    for (const auto& line : damaged) std::cout << line << "\n";
    if (!damaged.empty())
        std::cout << "(the library does not see damaged devices: quelt-sim repair N, or quelt-sim "
                     "remove N)\n";
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
        if (!root.empty()) gRoot = root.c_str();
        auto deviceNumber = [](const std::string& text) {
            auto n = static_cast<int>(ParseNumber(text, 0x7FFFFFFF, "device number"));
            int count = CardCount();
            if (n < 1 || n > count)
                throw ToolError("no device " + text + " (the machine has " + std::to_string(count) +
                                (count == 1 ? " device)" : " devices)"));
            return n;
        };
        auto alreadyExists = [] {
            return ToolError("a machine already exists at " + Root() + " (use --force to replace it)");
        };

        if (*init && !fromFile.empty()) {
            // Read and checked whole first: a bad file leaves the machine there as it was.
            const int rc = quelt_sim_load_file(gRoot, fromFile.c_str(), force ? QUELT_SIM_REPLACE : 0u);
            if (rc == QUELT_SIM_EXISTS) throw alreadyExists();
            Check(rc);
            std::cout << "machine from " << fromFile << " at " << Root() << "\n";
            return 0;
        }
        if (*exportCmd) {
            if (!exportFile.empty()) {
                Check(quelt_sim_export_file(gRoot, exportFile.c_str()));
                return 0;
            }
            // Asked for its size first: a text of no bytes only gives the size a machine file needs.
            std::size_t needed = 0;
            const int rc = quelt_sim_export_text(gRoot, nullptr, 0, &needed);
            if (rc != QUELT_SIM_BAD_ARGUMENT || needed == 0) Check(rc);
            std::vector<char> text(needed);
            Check(quelt_sim_export_text(gRoot, text.data(), text.size(), &needed));
            std::cout << text.data();
            return 0;
        }
        if (*init) {
            const int rc =
                quelt_sim_create(gRoot, (empty ? QUELT_SIM_EMPTY : 0u) | (force ? QUELT_SIM_REPLACE : 0u));
            if (rc == QUELT_SIM_EXISTS) throw alreadyExists();
            Check(rc);
            std::cout << (empty ? "empty machine" : "default machine") << " at " << Root() << "\n";
            return 0;
        }
        if (*add) {
            quelt_sim_card c;
            Check(quelt_sim_default_card(family.c_str(), 0, &c));
            if (!description.empty()) {
                if (description.size() > QUELT_SIM_MAX_DESCRIPTION)
                    throw ToolError("description longer than " + std::to_string(QUELT_SIM_MAX_DESCRIPTION) +
                                    " characters");
                std::memset(c.description, 0, sizeof c.description);
                std::memcpy(c.description, description.data(), description.size());
            }
            if (!vendor.empty())
                c.vendor_id = static_cast<std::uint32_t>(ParseNumber(vendor, 0xFFFFFFFF, "vendor"));
            if (!deviceId.empty())
                c.device_id = static_cast<std::uint32_t>(ParseNumber(deviceId, 0xFFFFFFFF, "device"));
            if (!bus.empty()) c.bus = static_cast<std::uint32_t>(ParseNumber(bus, 0xFFFFFFFF, "bus"));
            if (!slot.empty()) c.slot = static_cast<std::uint32_t>(ParseNumber(slot, 0xFFFFFFFF, "slot"));
            if (!pciAddress.empty())
                c.pci_address =
                    static_cast<std::uint32_t>(ParseNumber(pciAddress, 0xFFFFFFFF, "pci-address"));
            if (!irq.empty()) c.irq_line = static_cast<std::uint32_t>(ParseNumber(irq, 255, "irq"));
            if (!regions.empty()) {
                if (regions.size() > QUELT_SIM_MAX_REGIONS)
                    throw ToolError("more than " + std::to_string(QUELT_SIM_MAX_REGIONS) + " regions");
                c.region_count = 0;
                for (const auto& r : regions) {
                    std::string sizeText = r;
                    bool unmapped = false;
                    auto colon = r.find(':');
                    if (colon != std::string::npos) {
                        if (r.substr(colon + 1) != "unmapped")
                            throw ToolError("region " + r + ": the only mark is :unmapped");
                        unmapped = true;
                        sizeText = r.substr(0, colon);
                    }
                    c.region_size[c.region_count] =
                        ParseNumber(sizeText, std::uint64_t{1} << 30, "region size");
                    c.region_unmapped[c.region_count] = unmapped ? 1 : 0;
                    ++c.region_count;
                }
                if (c.eeprom_region >= static_cast<std::int32_t>(c.region_count)) c.eeprom_region = -1;
            }
            if (!cardId.empty()) {
                c.has_card_id = 1;
                c.card_id = static_cast<std::uint32_t>(ParseNumber(cardId, 0xFFFFFFFF, "card-id"));
            }
            if (!serial.empty()) {
                c.has_serial = 1;
                c.serial = static_cast<std::uint32_t>(ParseNumber(serial, 0xFFFFFFFF, "serial"));
            }
            // Identity words the family default gave, on regions the options shrank, are dropped quietly;
            // asked-for ones are checked when the card is added.
            if ((c.has_card_id || c.has_serial) && (c.region_count == 0 || c.region_size[0] < 16376) &&
                cardId.empty() && serial.empty()) {
                c.has_card_id = c.has_serial = 0;
                c.card_id = c.serial = 0;
            }
            if (noStatus) c.status_block = 0;
            if (eepromRegion == "none") {
                c.eeprom_region = -1;
            } else if (!eepromRegion.empty()) {
                c.eeprom_region = static_cast<std::int32_t>(ParseNumber(eepromRegion, 15, "EEPROM region"));
            }
            int device = 0;
            Check(quelt_sim_add_card(gRoot, &c, &device));
            std::cout << device << "\n";
            return 0;
        }
        if (*list) return ListMachine(listJson);
        if (*repair) {
            int n = deviceNumber(repairDevice);
            Check(quelt_sim_repair_card(gRoot, n));
            std::cout << "repaired device " << n << "\n";
            return 0;
        }
        if (*remove) {
            int n = deviceNumber(removeDevice);
            Check(quelt_sim_remove_card(gRoot, n));
            std::cout << "removed device " << n << "\n";
            return 0;
        }
        if (*irqCmd) {
            int n = deviceNumber(irqDevice);
            auto count = static_cast<std::uint32_t>(ParseNumber(irqCount, 0xFFFFFFFF, "count"));
            Check(quelt_sim_raise_irq(gRoot, n, count));
            std::cout << "device " << n << ": interrupt counter " << StatusWord(n, 4) << "\n";
            return 0;
        }
        if (*status) {
            int n = deviceNumber(statusDevice);
            // All values are checked before any is written.
            std::vector<std::pair<std::uint32_t, std::uint32_t>> writes;
            for (const auto& s : sets) {
                auto eq = s.find('=');
                if (eq == std::string::npos || eq == 0)
                    throw ToolError("--set " + s + ": expected FIELD=VALUE");
                bool isSigned = false;
                std::string name = s.substr(0, eq);
                std::uint32_t off = FieldOffset(name, &isSigned);
                writes.emplace_back(off, ParseFieldValue(s.substr(eq + 1), isSigned, name));
            }
            for (const auto& [off, v] : writes) Check(quelt_sim_write_status(gRoot, n, off, v));
            return ShowStatus(n, statusJson);
        }
        if (*eeprom) {
            int n = deviceNumber(eepromDevice);
            if (GetCard(n).eeprom_region < 0)
                throw ToolError("device " + std::to_string(n) + " has no EEPROM");
            // All words are checked before any is written.
            std::vector<std::pair<int, std::uint16_t>> writes;
            for (const auto& s : eepromSets) {
                auto eq = s.find('=');
                if (eq == std::string::npos || eq == 0)
                    throw ToolError("--set " + s + ": expected WORD=VALUE");
                writes.emplace_back(
                    static_cast<int>(ParseNumber(s.substr(0, eq), 63, "word")),
                    static_cast<std::uint16_t>(ParseNumber(s.substr(eq + 1), 0xFFFF, "value")));
            }
            for (const auto& [w, v] : writes) Check(quelt_sim_write_eeprom_word(gRoot, n, w, v));
            if (writes.empty() || eepromDump || eepromJson) return ShowEeprom(n, eepromJson);
            for (const auto& [w, v] : writes)
                std::cout << "device " << n << ": word " << w << " = " << Hex(v, 4) << "\n";
            return 0;
        }
        if (*driverVersion) {
            if (!version.empty())
                Check(quelt_sim_set_driver_version(
                    gRoot, static_cast<std::uint32_t>(ParseNumber(version, 0xFFFFFFFF, "version"))));
            std::cout << DriverVersion() << "\n";
            return 0;
        }
    } catch (const std::exception& e) {
        std::cerr << "quelt-sim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
