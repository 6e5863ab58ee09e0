// Commands about whole cards: list, info, regions, connections, driver-version.
#include <iostream>

#include "commands.h"
#include "machine.h"
#include "table.h"

namespace quelt_tool {
namespace {

uint32_t TotalCards() {
    uint32_t total = 0;
    for (const auto& f : Families()) total += CardCount(f);
    return total;
}

std::string DeviceNumbers(const std::vector<DeviceInfo>& devices, const CardRef& card) {
    const DeviceInfo* d0 = DeviceOf(devices, card, 0);
    const DeviceInfo* d1 = std::string(card.family->name) == "ox952" ? DeviceOf(devices, card, 1) : nullptr;
    if (!d0) return "-";
    if (d1 && d1 != d0) return std::to_string(d0->number) + "," + std::to_string(d1->number);
    return std::to_string(d0->number);
}

// Every field the library and the driver give for one card.
json CardJson(const std::vector<DeviceInfo>& devices, const CardRef& card) {
    const FamilyApi& f = *card.family;
    uint32_t p = card.position, did = 0, bus = 0, slot = 0;
    Check(f.did(p, &did), card.Name() + ": device id");
    Check(f.bus(p, &bus), card.Name() + ": bus");
    Check(f.slot(p, &slot), card.Name() + ": slot");
    json j = {{"family", f.name}, {"position", p}, {"device_id", did}, {"bus", bus}, {"slot", slot}};
    j["card_id"] = nullptr;
    j["serial_number"] = nullptr;
    if (std::string(f.name) == "ep4gxa") {
        uint32_t id = 0, serial = 0;
        Check(EP4GXA_Card_ID(p, &id), card.Name() + ": card id");
        Check(EP4GXA_Card_SerNr(p, &serial), card.Name() + ": serial number");
        j["card_id"] = id;
        j["serial_number"] = serial;
    }
    const DeviceInfo* d = DeviceOf(devices, card, 0);
    // The device-level view is matched by rule; show it only where it agrees.
    if (d && (d->deviceId & 0xFFFF) != did) d = nullptr;
    j["device_number"] = d ? json(d->number) : json(nullptr);
    j["vendor_id"] = d ? json(d->vendorId & 0xFFFF) : json(nullptr);
    j["pci_address"] = d ? json(d->pciAddress) : json(nullptr);
    j["irq_line"] = d ? json(d->irqLine) : json(nullptr);
    j["description"] = d ? json(d->description) : json(nullptr);
    j["region_lengths"] = d ? json(d->regionLengths) : json(nullptr);
    if (std::string(f.name) == "ox952") {
        const DeviceInfo* d1 = DeviceOf(devices, card, 1);
        j["function1_device_number"] = d1 && d1 != d ? json(d1->number) : json(nullptr);
    }
    return j;
}

std::string Or(const json& v, const std::string& fallback, bool hex = false, int digits = 0) {
    if (v.is_null()) return fallback;
    if (v.is_string()) return v.get<std::string>();
    return hex ? Hex(v.get<uint64_t>(), digits) : std::to_string(v.get<uint64_t>());
}

// The connection records of an open card, in words and as JSON.
json ConnectionsJson(const CardRef& card, std::string* text) {
    uint32_t raw = 0;
    Check(card.family->openCount(card.position, &raw), card.Name() + ": connection count");
    // The count is the attach count minus the diagnostic count. Diagnostic
    // connections of processes that ended without closing stay counted, and
    // can push it below zero: show those as what they are, not as a wrapped
    // number.
    auto signedCount = static_cast<int32_t>(raw);
    uint32_t live = signedCount > 0 ? static_cast<uint32_t>(signedCount) : 0;
    uint32_t stale = signedCount < 0 ? static_cast<uint32_t>(-static_cast<int64_t>(signedCount)) : 0;
    json j = {{"non_diagnostic", live}, {"stale_diagnostic", stale}};
    *text = std::to_string(live) + " non-diagnostic connection(s)";
    std::optional<StatusView> v = ReadStatus(card);
    j["normal_owner"] = nullptr;
    if (v) {
        j["attach_count"] = v->attachCount;
        j["diagnostic_count"] = v->diagnosticCount;
        j["slot_count"] = v->slotCount;
        j["slots"] = v->slots;
        if (!v->slots.empty() && v->slots[0] != 0) {
            bool running = ProcessRunning(v->slots[0]);
            j["normal_owner"] = {{"pid", v->slots[0]}, {"running", running}};
            *text += "; the normal connection is held by process " + std::to_string(v->slots[0]) +
                     (running ? "" : ", which has ended (its record goes at the next open)");
        }
    }
    *text += "\n";
    if (stale > 0)
        *text += std::to_string(stale) +
                 " stale diagnostic connection(s) of ended processes still counted; clear them with: quelt "
                 "connections " +
                 card.Name() + " --clear\n";
    return j;
}

json RegionsJson(const CardRef& card, std::vector<std::vector<std::string>>* rows) {
    json out = json::array();
    for (const auto& r : card.family->regions) {
        void* address = nullptr;
        uint32_t length = 0;
        uint32_t code = r.fn(card.position, &address, &length);
        json j = {{"region", r.name}, {"result", code}};
        if (code == QUELT_OK) {
            j["address"] = reinterpret_cast<uintptr_t>(address);
            j["length"] = length;
            rows->push_back(
                {r.name, Hex(reinterpret_cast<uintptr_t>(address), 12), std::to_string(length) + " bytes"});
        } else {
            j["error"] = quelt_result_text(code);
            rows->push_back(
                {r.name, std::string("not available: ") + quelt_result_text(code) + " (" + Hex(code) + ")"});
        }
        out.push_back(j);
    }
    return out;
}

}  // namespace

int CmdList(bool asJson) {
    std::vector<DeviceInfo> devices = ScanDevices();
    json out = {{"interface_version", OX952_InterfaceVersion()}, {"cards", json::array()}};
    uint32_t total = TotalCards();
    std::string head;
    if (total == 0) {
        // With no card there is nobody to ask the driver version, which is a
        // different matter from an old driver: say so, and ask nothing.
        out["driver_version"] = nullptr;
        out["driver_compatible"] = nullptr;
        head = "no cards: the driver offers no OX952, OX9162 or EP4GXA card";
        if (!devices.empty())
            head += " (" + std::to_string(devices.size()) + " other device(s): see 'quelt devices')";
        head += "\n";
    } else {
        uint32_t version = 0;
        uint32_t code = OX952_DriverVersion(&version);
        out["driver_version"] = version;
        out["driver_compatible"] = code == QUELT_OK;
        head = "driver version " + std::to_string(version) + ", interface version " +
               std::to_string(OX952_InterfaceVersion()) + "\n";
        if (code != QUELT_OK)
            head +=
                "the driver is older than version 109 and cannot be used with this library: install the "
                "card driver of version 109 or later\n";
    }
    std::vector<std::vector<std::string>> rows = {{"FAMILY", "POS", "DEV", "VENDOR", "DEVICE", "BUS", "SLOT",
                                                   "IRQ", "CARD-ID", "SERIAL", "DESCRIPTION"}};
    for (const auto& f : Families()) {
        uint32_t count = CardCount(f);
        for (uint32_t p = 0; p < count; ++p) {
            CardRef card{&f, p};
            json c = CardJson(devices, card);
            out["cards"].push_back(c);
            rows.push_back(
                {f.name, std::to_string(p), DeviceNumbers(devices, card), Or(c["vendor_id"], "-", true, 4),
                 Hex(c["device_id"].get<uint32_t>(), 4), std::to_string(c["bus"].get<uint32_t>()),
                 std::to_string(c["slot"].get<uint32_t>()), Or(c["irq_line"], "-"),
                 Or(c["card_id"], "-", true, 8), Or(c["serial_number"], "-"), Or(c["description"], "")});
        }
    }
    if (asJson) {
        PrintJson(out);
        return ReportMachineProblems(kExitOk);
    }
    std::cout << head;
    if (total > 0) {
        std::cout << "\n";
        PrintTable(rows);
    }
    return ReportMachineProblems(kExitOk);
}

int CmdInfo(const CardOptions& o) {
    CardRef card = ParseCard(o.family, o.position);
    RequireCard(card);
    std::vector<DeviceInfo> devices = ScanDevices();
    OpenCard open(card, ParseKind(o.kind), false);
    json out = CardJson(devices, card);
    std::vector<std::vector<std::string>> regionRows;
    out["regions"] = RegionsJson(card, &regionRows);
    std::string connections;
    out["connections"] = ConnectionsJson(card, &connections);
    std::optional<StatusView> v = ReadStatus(card);
    out["irq_counter"] = v ? json(v->irqCounter) : json(nullptr);
    out["opened_as"] = o.kind;
    if (o.json) {
        PrintJson(out);
        return kExitOk;
    }
    std::cout << card.Name() << ": " << Or(out["description"], "(no description)") << "\n";
    std::vector<std::vector<std::string>> rows = {
        {"device number", DeviceNumbers(devices, card)},
        {"vendor id", Or(out["vendor_id"], "-", true, 4)},
        {"device id", Hex(out["device_id"].get<uint32_t>(), 4)},
        {"bus, slot",
         std::to_string(out["bus"].get<uint32_t>()) + ", " + std::to_string(out["slot"].get<uint32_t>())},
        {"PCI address", Or(out["pci_address"], "-", true, 8)},
        {"interrupt line", Or(out["irq_line"], "-")},
        {"interrupt counter", Or(out["irq_counter"], "-")}};
    if (!out["card_id"].is_null()) {
        rows.push_back({"card id", Or(out["card_id"], "-", true, 8)});
        rows.push_back({"serial number", Or(out["serial_number"], "-")});
    }
    PrintTable(rows, "  ");
    std::cout << "regions (opened as " << o.kind << "):\n";
    PrintTable(regionRows, "  ");
    std::cout << "connections:\n  " << connections;
    return kExitOk;
}

int CmdRegions(const CardOptions& o) {
    CardRef card = ParseCard(o.family, o.position);
    OpenCard open(card, ParseKind(o.kind), false);
    std::vector<std::vector<std::string>> rows;
    json out = RegionsJson(card, &rows);
    if (o.json)
        PrintJson(out);
    else
        PrintTable(rows);
    return kExitOk;
}

int CmdConnections(const CardOptions& o, bool clear) {
    CardRef card = ParseCard(o.family, o.position);
    RequireCard(card);
    if (clear) {
        Check(card.family->clearConnections(card.position),
              card.Name() + ": clearing the connection records");
        if (o.json)
            PrintJson({{"family", card.family->name}, {"position", card.position}, {"cleared", true}});
        else
            std::cout << "connection records of " << card.Name()
                      << " cleared: diagnostic count 0, attach count at most 1, every slot free\n"
                      << "(handles that running processes still hold stay attached)\n";
        return kExitOk;
    }
    // Counting needs the card open here; a diagnostic connection counts in
    // both the attach and the diagnostic count, so it leaves the count as it is.
    OpenCard open(card, Kind::diagnostic, false);
    std::string text;
    json out = ConnectionsJson(card, &text);
    out["family"] = card.family->name;
    out["position"] = card.position;
    if (o.json)
        PrintJson(out);
    else
        std::cout << card.Name() << ": " << text;
    return kExitOk;
}

int CmdDriverVersion(bool asJson) {
    if (TotalCards() == 0 && ScanDevices().empty())
        Fail("no cards: the driver version is asked through a card, and the driver offers none");
    uint32_t version = OxDriverVersion();
    bool compatible = version >= 109;
    if (asJson) {
        PrintJson({{"driver_version", version}, {"compatible", compatible}});
    } else {
        std::cout << "driver version " << version
                  << (compatible ? " (compatible: 109 or later)\n" : " (older than 109: not compatible)\n");
    }
    return compatible ? kExitOk : kExitFailure;
}

}  // namespace quelt_tool
