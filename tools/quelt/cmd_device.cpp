// The device-level functions: every device the driver offers, one device
// opened by board name and index, and DMA buffers.
#include <atomic>
#include <iostream>

#include "commands.h"
#include "machine.h"
#include "stop.h"
#include "table.h"

namespace quelt_tool {
namespace {

int32_t DeviceKind(const std::string& text) {
    Kind kind = ParseKind(text);
    return kind == Kind::normal ? 0 : kind == Kind::multi ? 1 : 2;
}

// The diagnostic count lives at byte 16 of the card's status block.
constexpr std::size_t kDiagnosticCountOffset = 16;

// OxCloseDevice leaves a device-level diagnostic connection in the card's
// diagnostic count, where it would stay for good. Take it out again before
// the close, as the family Close does for its connections, so that looking
// at a device leaves nothing counted.
void ReleaseDiagnostic(const DeviceResources* r) {
    if (r == nullptr || r->statusBlock == nullptr) return;
    auto* count = reinterpret_cast<int32_t*>(static_cast<uint8_t*>(r->statusBlock) + kDiagnosticCountOffset);
    std::atomic_ref<int32_t> diagnostic(*count);
    int32_t v = diagnostic.load();
    while (v > 0 && !diagnostic.compare_exchange_weak(v, v - 1)) {
    }
}

struct OpenDevice {
    DeviceHandle* handle;
    int32_t index;
    int32_t kind;
    explicit OpenDevice(const DeviceOptions& o) {
        index = static_cast<int32_t>(ParseNumber(o.index, 32, "index"));
        if (index == 0) Usage("bad index '0': devices are counted from 1 (1 to 32)");
        kind = DeviceKind(o.kind);
        handle = OxOpenDevice(o.name.c_str(), index, kind);
        if (!handle)
            Fail("no device opened: none whose description contains '" + o.name + "' at index " + o.index +
                 ", or its " + o.kind + " connection was refused (see 'quelt devices')");
    }
    ~OpenDevice() {
        if (kind == 2) ReleaseDiagnostic(OxGetDeviceResources(handle));
        OxCloseDevice(handle);
    }
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;
};

const char* WaitResultText(int32_t r) {
    switch (r) {
        case OX_WAIT_IRQ:
            return "interrupt";
        case OX_WAIT_REQUEST_FAILED:
            return "the driver's wait request failed";
        case OX_WAIT_ALREADY_CAME:
            return "an interrupt had already come (no wait)";
        case OX_WAIT_TIMED_OUT:
            return "timed out";
        case OX_WAIT_ENDED:
            return "the wait was ended (discarded, or the handle was taken away)";
        default:
            return "no wait: the device has no status block";
    }
}

const char* DmaResultText(int32_t r) {
    switch (r) {
        case OX_DMA_OK:
            return "done";
        case OX_DMA_NULL_HANDLE:
            return "no handle";
        case OX_DMA_WRONG_STATE:
            return "the handle already holds a buffer (allocate) or holds none (release)";
        case OX_DMA_REQUEST_FAILED:
            return "the driver refused the request";
        case OX_DMA_SHORT_REPLY:
            return "the driver's reply was short";
        default:
            return "unknown result";
    }
}

}  // namespace

int CmdDevices(bool asJson) {
    std::vector<DeviceInfo> devices = ScanDevices();
    json out = json::array();
    std::vector<std::vector<std::string>> rows = {{"DEV", "VENDOR", "DEVICE", "BUS", "SLOT", "PCI-ADDRESS",
                                                   "IRQ", "REGIONS", "STATUS", "FAMILY", "POS",
                                                   "DESCRIPTION"}};
    for (const auto& d : devices) {
        json j = {{"device_number", d.number},
                  {"description", d.description},
                  {"vendor_id", d.vendorId},
                  {"device_id", d.deviceId},
                  {"bus", d.bus},
                  {"slot", d.slot},
                  {"pci_address", d.pciAddress},
                  {"irq_line", d.irqLine},
                  {"region_lengths", d.regionLengths},
                  {"status_block", d.statusBlock}};
        j["family"] = d.family.empty() ? json(nullptr) : json(d.family);
        j["position"] = d.position < 0 ? json(nullptr) : json(d.position);
        j["function"] = d.function < 0 ? json(nullptr) : json(d.function);
        out.push_back(j);
        std::string regions;
        for (uint64_t len : d.regionLengths) regions += (regions.empty() ? "" : ",") + std::to_string(len);
        std::string family =
            d.family.empty() ? "-" : d.family + (d.function >= 0 ? " f" + std::to_string(d.function) : "");
        rows.push_back({std::to_string(d.number), Hex(d.vendorId, 4), Hex(d.deviceId, 4),
                        std::to_string(d.bus), std::to_string(d.slot), Hex(d.pciAddress, 8),
                        std::to_string(d.irqLine), regions.empty() ? "-" : regions,
                        d.statusBlock ? "yes" : "no", family,
                        d.position < 0 ? "-" : std::to_string(d.position), d.description});
    }
    if (asJson) {
        PrintJson({{"devices", out}});
    } else if (devices.empty()) {
        std::cout << "no devices: the driver offers no card\n";
    } else {
        PrintTable(rows);
    }
    return ReportMachineProblems(kExitOk);
}

int CmdOpen(const DeviceOptions& o) {
    auto timeout = static_cast<int32_t>(ParseSigned(o.timeout, 0, INT32_MAX, "time-out (ms)"));
    OpenDevice dev(o);
    DeviceHandle* slot = dev.handle;
    const DeviceResources* r = OxGetDeviceResources(dev.handle);
    json regions = json::array();
    for (int i = 0; i < r->regionCount && i < 16; ++i)
        regions.push_back({{"address", reinterpret_cast<uintptr_t>(r->regions[i].address)},
                           {"length", r->regions[i].length}});
    json out = {{"board_name", OxGetBoardName(dev.handle)},
                {"kind", o.kind},
                {"vendor_id", r->vendorId},
                {"device_id", r->deviceId},
                {"bus", r->bus},
                {"slot", r->slot},
                {"pci_address", r->pciAddress},
                {"irq_line", r->irqLine},
                {"regions", regions},
                {"status_block", r->statusBlock != nullptr},
                {"irq_counter", OxGetIrqCounter(dev.handle)},
                {"irq_waits", OxGetIrqWaits(dev.handle)},
                {"dma", {{"key", r->dmaKey}, {"size", r->dmaSize}, {"base", r->dmaBase}}}};
    int rc = kExitOk;
    if (o.waitIrq) {
        int32_t result;
        {
            // Ctrl-C empties the variable the wait reads and discards the
            // waits through a second handle, as the family Close does. The
            // wait reads the variable atomically while it runs, so it is
            // emptied atomically too.
            WaitSpan span([&slot, &o, &dev] {
                std::atomic_ref<DeviceHandle*>(slot).store(nullptr);
                if (DeviceHandle* other = OxOpenDevice(o.name.c_str(), dev.index, kLookKind)) {
                    OxDiscardWaitForIrq(other);
                    OxCloseDevice(other);
                }
            });
            result = OxWaitForIrq(&slot, timeout, 1);
        }
        if (StopRequested())
            throw Failure{StopExitCode(), "interrupted: the wait was ended and the device closed"};
        out["wait_result"] = result;
        out["wait_result_text"] = WaitResultText(result);
        out["wait_time"] = Timestamp();
        rc = result == OX_WAIT_IRQ || result == OX_WAIT_ALREADY_CAME ? kExitOk
             : result == OX_WAIT_TIMED_OUT                           ? kExitTimeout
                                                                     : kExitFailure;
    }
    if (o.discard) OxDiscardWaitForIrq(dev.handle);
    if (o.json) {
        PrintJson(out);
        return rc;
    }
    std::cout << "device '" << out["board_name"].get<std::string>() << "' opened as " << o.kind << "\n";
    std::vector<std::vector<std::string>> rows = {
        {"vendor, device id", Hex(r->vendorId, 4) + ", " + Hex(r->deviceId, 4)},
        {"bus, slot", std::to_string(r->bus) + ", " + std::to_string(r->slot)},
        {"PCI address", Hex(r->pciAddress, 8)},
        {"interrupt line", std::to_string(r->irqLine)},
        {"status block", r->statusBlock ? "yes" : "no"},
        {"interrupt counter", std::to_string(out["irq_counter"].get<uint32_t>())},
        {"interrupt waits", std::to_string(out["irq_waits"].get<uint32_t>())}};
    for (std::size_t i = 0; i < regions.size(); ++i)
        rows.push_back({"region " + std::to_string(i),
                        Hex(regions[i]["address"].get<uint64_t>(), 12) + "  " +
                            std::to_string(regions[i]["length"].get<uint64_t>()) + " bytes"});
    PrintTable(rows, "  ");
    if (o.waitIrq)
        std::cout << out["wait_time"].get<std::string>()
                  << "  wait: " << out["wait_result_text"].get<std::string>() << " ("
                  << out["wait_result"].get<int>() << ")\n";
    if (o.discard) std::cout << "discarded the interrupt waits pending on the card\n";
    return rc;
}

int CmdDma(const DeviceOptions& o) {
    auto size = static_cast<uint32_t>(ParseNumber(o.size, UINT32_MAX, "size"));
    auto hold = static_cast<uint32_t>(ParseNumber(o.hold, 86400000, "hold time (ms)"));
    OpenDevice dev(o);
    int32_t allocated = OxAllocateDMAmem(dev.handle, size);
    if (allocated != 0)
        Fail("allocating a DMA buffer of " + std::to_string(size) + " bytes: " + DmaResultText(allocated) +
             " (" + std::to_string(allocated) + ")");
    const DeviceResources* r = OxGetDeviceResources(dev.handle);
    json out = {{"allocate_result", allocated},
                {"base", r->dmaBase},
                {"size", r->dmaSize},
                {"key", r->dmaKey},
                {"held_ms", hold}};
    if (!o.json)
        std::cout << "DMA buffer: base " << Hex(r->dmaBase, 12)
                  << " (this process's address of the buffer), size " << r->dmaSize << " bytes, key "
                  << Hex(r->dmaKey) << std::endl;
    if (hold > 0) {
        StopEndsNormally();
        SleepUnlessStopped(hold);
    }
    int32_t released = OxReleaseDMAmem(dev.handle);
    out["release_result"] = released;
    if (o.json)
        PrintJson(out);
    else
        std::cout << "released: " << DmaResultText(released) << "\n";
    if (released != 0) Fail(std::string("releasing the DMA buffer: ") + DmaResultText(released));
    return kExitOk;
}

}  // namespace quelt_tool
