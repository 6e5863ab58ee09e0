// Machine files (sim/capi/machine_file.h): JSON in, checked field by field,
// and the same JSON out.
#include "sim/capi/machine_file.h"

#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace sim::machine_file {

namespace {

using nlohmann::json;

// The limits of a card file, checked here so that a file is refused before
// anything is made rather than half way through.
constexpr std::size_t kMaxDescription = 300;
constexpr std::size_t kMaxRegions = 16;
constexpr std::uint64_t kMaxRegionSize = std::uint64_t{1} << 30;
constexpr std::size_t kMaxCards = 64;
constexpr std::uint64_t kIdentityEnd = 16376;  // card id at 16368, serial at 16372

[[noreturn]] void Bad(const std::string& field, const std::string& message) {
    throw FileError(field, message);
}

std::string Member(const std::string& path, const std::string& key) {
    return path.empty() ? key : path + "." + key;
}

std::string Item(const std::string& path, std::size_t i) {
    return path + "[" + std::to_string(i) + "]";
}

// An unsigned number up to max: a JSON integer, or a string in decimal or
// 0x hex (ids read better in hex).
std::uint64_t Number(const json& v, const std::string& field, std::uint64_t max) {
    if (v.is_number_unsigned()) {
        auto n = v.get<std::uint64_t>();
        if (n > max) Bad(field, "is " + std::to_string(n) + ", more than " + std::to_string(max));
        return n;
    }
    if (v.is_number_integer()) Bad(field, "must not be negative");
    if (v.is_string()) {
        const auto text = v.get<std::string>();
        std::size_t used = 0;
        std::uint64_t n = 0;
        bool ok = !text.empty() && text[0] != '-' && text[0] != '+' && text[0] != ' ';
        if (ok) {
            try {
                n = std::stoull(text, &used, 0);
            } catch (const std::exception&) {
                ok = false;
            }
        }
        if (!ok || used != text.size()) Bad(field, "\"" + text + "\" is not a number (decimal or 0x hex)");
        if (n > max) Bad(field, "is " + text + ", more than " + std::to_string(max));
        return n;
    }
    Bad(field, "must be a number");
}

bool Boolean(const json& v, const std::string& field) {
    if (!v.is_boolean()) Bad(field, "must be true or false");
    return v.get<bool>();
}

void OnlyKnown(const json& object, const std::string& path, const std::set<std::string>& known) {
    for (const auto& [key, value] : object.items()) {
        (void)value;
        if (!known.count(key)) Bad(Member(path, key), "is not a field of this format");
    }
}

const std::set<std::string> kCardFields = {
    "family", "function", "description",  "vendor-id",     "device-id", "bus",     "slot",  "pci-address",
    "irq",    "regions",  "status-block", "eeprom-region", "eeprom",    "card-id", "serial"};

Card ParseCard(const json& j, const std::string& path) {
    if (!j.is_object()) Bad(path, "must be an object");
    OnlyKnown(j, path, kCardFields);
    Card card;
    CardConfig& c = card.config;
    auto field = [&](const char* key) { return Member(path, key); };

    if (j.contains("family")) {
        const json& f = j["family"];
        const std::string name = f.is_string() ? f.get<std::string>() : "";
        if (name == "ox952") {
            c = DefaultCard(CardFamily::OX952);
        } else if (name == "ox9162") {
            c = DefaultCard(CardFamily::OX9162);
        } else if (name == "ep4gxa") {
            c = DefaultCard(CardFamily::EP4GXA);
        } else {
            Bad(field("family"), "must be \"ox952\", \"ox9162\" or \"ep4gxa\"");
        }
        if (j.contains("function")) {
            if (name != "ox952") Bad(field("function"), "only an ox952 card has functions");
            if (Number(j["function"], field("function"), 1) == 1) c = Ox952Function1(c);
        }
    } else {
        if (j.contains("function")) Bad(field("function"), "needs \"family\": \"ox952\"");
        if (!j.contains("device-id")) Bad(field("device-id"), "is needed when the card has no family");
    }

    if (j.contains("description")) {
        const json& d = j["description"];
        if (!d.is_string()) Bad(field("description"), "must be a string");
        c.description = d.get<std::string>();
        if (c.description.size() > kMaxDescription)
            Bad(field("description"), "is longer than " + std::to_string(kMaxDescription) + " characters");
        if (c.description.find('\0') != std::string::npos)
            Bad(field("description"), "holds a zero character");
    }
    const std::uint64_t u32 = std::numeric_limits<std::uint32_t>::max();
    if (j.contains("vendor-id"))
        c.vendorId = static_cast<std::uint32_t>(Number(j["vendor-id"], field("vendor-id"), u32));
    if (j.contains("device-id"))
        c.deviceId = static_cast<std::uint32_t>(Number(j["device-id"], field("device-id"), u32));
    if (j.contains("bus")) c.bus = static_cast<std::uint32_t>(Number(j["bus"], field("bus"), u32));
    if (j.contains("slot")) c.slot = static_cast<std::uint32_t>(Number(j["slot"], field("slot"), u32));
    if (j.contains("pci-address"))
        c.pciAddress = static_cast<std::uint32_t>(Number(j["pci-address"], field("pci-address"), u32));
    if (j.contains("irq")) c.irqLine = static_cast<std::uint8_t>(Number(j["irq"], field("irq"), 255));
    if (j.contains("status-block")) c.statusBlock = Boolean(j["status-block"], field("status-block"));

    if (j.contains("regions")) {
        const json& rs = j["regions"];
        const std::string rpath = field("regions");
        if (!rs.is_array()) Bad(rpath, "must be an array");
        if (rs.size() > kMaxRegions) Bad(rpath, "has more than " + std::to_string(kMaxRegions) + " regions");
        c.regions.clear();
        for (std::size_t i = 0; i < rs.size(); ++i) {
            const std::string ipath = Item(rpath, i);
            RegionConfig r;
            const json& rj = rs[i];
            if (!rj.is_object()) Bad(ipath, "must be an object with \"size\"");
            OnlyKnown(rj, ipath, {"size", "unmapped"});
            if (!rj.contains("size")) Bad(Member(ipath, "size"), "is missing");
            r.size = Number(rj["size"], Member(ipath, "size"), kMaxRegionSize);
            if (r.size == 0) Bad(Member(ipath, "size"), "must not be 0");
            if (rj.contains("unmapped")) r.unmapped = Boolean(rj["unmapped"], Member(ipath, "unmapped"));
            c.regions.push_back(r);
        }
    }

    if (j.contains("eeprom-region")) {
        const json& e = j["eeprom-region"];
        c.eepromRegion =
            e.is_null() ? -1 : static_cast<int>(Number(e, field("eeprom-region"), kMaxRegions - 1));
    }
    if (c.eepromRegion >= static_cast<int>(c.regions.size()))
        Bad(field("eeprom-region"), std::to_string(c.eepromRegion) + " is not a region of the card");
    if (c.eepromRegion >= 0 && c.regions[static_cast<std::size_t>(c.eepromRegion)].size < 4)
        Bad(field("eeprom-region"), "the region is too small for the EEPROM's control byte");

    if (j.contains("eeprom")) {
        const json& words = j["eeprom"];
        const std::string epath = field("eeprom");
        if (!words.is_array() || words.size() != 64) Bad(epath, "must be an array of 64 words");
        if (c.eepromRegion < 0) Bad(epath, "the card has no EEPROM (eeprom-region)");
        std::vector<std::uint16_t> out;
        for (std::size_t i = 0; i < 64; ++i)
            out.push_back(static_cast<std::uint16_t>(Number(words[i], Item(epath, i), 0xFFFF)));
        card.eeprom = out;
    }

    for (const char* key : {"card-id", "serial"}) {
        if (!j.contains(key)) continue;
        std::optional<std::uint32_t>& word = std::string(key) == "card-id" ? c.cardId : c.serial;
        if (j[key].is_null())
            word.reset();
        else
            word = static_cast<std::uint32_t>(Number(j[key], field(key), u32));
    }
    if (c.cardId || c.serial) {
        if (c.regions.empty() || c.regions[0].size < kIdentityEnd)
            Bad(field(c.cardId ? "card-id" : "serial"),
                "needs region 0 of at least " + std::to_string(kIdentityEnd) + " bytes");
    }
    return card;
}

std::string HexText(std::uint32_t v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, static_cast<unsigned>(v));
    return buf;
}

}  // namespace

FileError::FileError(std::string field, const std::string& message)
    : std::runtime_error(field.empty() ? message : field + ": " + message), field_(std::move(field)) {}

std::string FamilyOfDeviceId(std::uint32_t deviceId) {
    switch (deviceId) {
        case 0x0300:
        case 0x0301:
            return "ox952";
        case 0x0100:
            return "ox9162";
        case 0x0810:
            return "ep4gxa";
        default:
            return "";
    }
}

Machine Parse(const std::string& text) {
    json j;
    try {
        j = json::parse(text);
    } catch (const json::parse_error& e) {
        Bad("", std::string("not a JSON document: ") + e.what());
    }
    if (!j.is_object()) Bad("", "a machine file is a JSON object");
    OnlyKnown(j, "", {"format", "version", "driver-version", "cards"});
    if (!j.contains("format") || !j["format"].is_string() || j["format"].get<std::string>() != kFormatName)
        Bad("format", std::string("must be \"") + kFormatName + "\"");
    if (!j.contains("version")) Bad("version", "is missing");
    const auto version = Number(j["version"], "version", std::numeric_limits<std::uint32_t>::max());
    if (version != kFormatVersion)
        Bad("version", std::to_string(version) + " is not supported (this build reads version " +
                           std::to_string(kFormatVersion) + ")");
    Machine m;
    if (j.contains("driver-version"))
        m.driverVersion = static_cast<std::uint32_t>(
            Number(j["driver-version"], "driver-version", std::numeric_limits<std::uint32_t>::max()));
    if (!j.contains("cards")) Bad("cards", "is missing");
    const json& cards = j["cards"];
    if (!cards.is_array()) Bad("cards", "must be an array");
    if (cards.size() > kMaxCards) Bad("cards", "has more than " + std::to_string(kMaxCards) + " cards");
    for (std::size_t i = 0; i < cards.size(); ++i) m.cards.push_back(ParseCard(cards[i], Item("cards", i)));
    return m;
}

Machine ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Bad("", "cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) Bad("", "cannot read " + path);
    return Parse(text.str());
}

std::string Write(const Machine& machine) {
    // Written in reading order: what the file is first, then the cards.
    using nlohmann::ordered_json;
    ordered_json cards = ordered_json::array();
    for (const Card& card : machine.cards) {
        const CardConfig& c = card.config;
        ordered_json j = ordered_json::object();
        const std::string family = FamilyOfDeviceId(c.deviceId);
        if (!family.empty()) j["family"] = family;
        if (family == "ox952") j["function"] = c.deviceId & 1u;
        j["description"] = c.description;
        j["vendor-id"] = HexText(c.vendorId, 4);
        j["device-id"] = HexText(c.deviceId, 4);
        j["bus"] = c.bus;
        j["slot"] = c.slot;
        j["pci-address"] = HexText(c.pciAddress, 8);
        j["irq"] = c.irqLine;
        ordered_json regions = ordered_json::array();
        for (const auto& r : c.regions) regions.push_back({{"size", r.size}, {"unmapped", r.unmapped}});
        j["regions"] = regions;
        j["status-block"] = c.statusBlock;
        j["eeprom-region"] = c.eepromRegion < 0 ? ordered_json(nullptr) : ordered_json(c.eepromRegion);
        if (card.eeprom) j["eeprom"] = *card.eeprom;
        j["card-id"] = c.cardId ? ordered_json(HexText(*c.cardId, 8)) : ordered_json(nullptr);
        j["serial"] = c.serial ? ordered_json(*c.serial) : ordered_json(nullptr);
        cards.push_back(j);
    }
    ordered_json out = ordered_json::object();
    out["format"] = kFormatName;
    out["version"] = kFormatVersion;
    out["driver-version"] = machine.driverVersion;
    out["cards"] = cards;
    return out.dump(2) + "\n";
}

Machine Capture() {
    Machine m;
    m.driverVersion = DriverVersion();
    const int count = CardCount();
    for (int d = 1; d <= count; ++d) {
        Card card;
        card.config = GetCard(d);
        if (card.config.eepromRegion >= 0) card.eeprom = EepromWords(d);
        m.cards.push_back(card);
    }
    return m;
}

void Apply(const Machine& machine, bool replace) {
    const std::string root = CurrentRoot();
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    if (ec) throw Error("cannot make the machine root " + root + ": " + ec.message());
    if (!replace && MachineExists()) throw Error("a machine already exists at " + root);
    InitMachine(true, true);
    try {
        SetDriverVersion(machine.driverVersion);
        for (std::size_t i = 0; i < machine.cards.size(); ++i) {
            const Card& card = machine.cards[i];
            try {
                const int device = AddCard(card.config);
                if (card.eeprom) {
                    for (int w = 0; w < 64; ++w)
                        SetEepromWord(device, w, (*card.eeprom)[static_cast<std::size_t>(w)]);
                }
            } catch (const Error& e) {
                throw Error(Item("cards", i) + ": " + e.what());
            }
        }
    } catch (...) {
        // No half-made machine: an empty one is left, which every user notices.
        try {
            InitMachine(true, true);
        } catch (const Error&) {
        }
        throw;
    }
}

}  // namespace sim::machine_file
