// Commands on card memory: read, write and watch registers and bytes of any
// region a family has, including the shared area.
#include <chrono>
#include <iostream>

#include "commands.h"
#include "stop.h"

namespace quelt_tool {
namespace {

// One region of an open card and how it is accessed.
struct Access {
    CardRef card;
    const NamedRegion* region = nullptr;
    unsigned width = 8;      // bits; 64 for the 2x32 form too
    bool pair = false;       // the 2x32 form: a 64-bit register as two 32-bit halves
    bool registers = false;  // EP4GXA region 0, through the library's register functions
    volatile uint8_t* base = nullptr;
    uint32_t length = 0;

    // 8-bit registers of EP4GXA region 0 sit one per 32-bit word.
    uint32_t Stride() const { return registers && width == 8 ? 4 : width / 8; }
    uint32_t Alignment() const { return registers ? (width == 64 ? 8 : 4) : width / 8; }
    std::string WidthName() const { return pair ? "2x32" : std::to_string(width); }
    std::string Where(uint32_t offset) const {
        return card.Name() + " " + region->name + "+" + Hex(offset, 4);
    }
};

// Region and width from the options, with the family's defaults: bytes for
// OX952 and OX9162 memory and every shared area, 32-bit registers for EP4GXA.
Access Prepare(const AccessOptions& o, const CardRef& card) {
    Access a;
    a.card = card;
    const FamilyApi& f = *card.family;
    a.region = o.region.empty() ? &f.regions.front() : FindRegion(f, o.region);
    if (!a.region) Usage("no region '" + o.region + "' on " + f.name + ": give one of " + RegionNames(f));
    a.registers = std::string(f.name) == "ep4gxa" && a.region == &f.regions.front();
    const bool byteMemory = f.memRead != nullptr;
    std::string width = o.width.empty() ? std::to_string(a.region->defaultWidth) : o.width;
    if (width == "2x32" && a.registers) {
        a.width = 64;
        a.pair = true;
    } else if (width == "8" || (!byteMemory && (width == "32" || width == "64"))) {
        a.width = static_cast<unsigned>(std::stoul(width));
    } else if (byteMemory) {
        Usage(std::string(f.name) + " memory is read and written a byte at a time: --width 8 (the default)");
    } else {
        Usage("bad width '" + width + "' for " + f.name + " " + a.region->name + ": give 8, 32 or 64" +
              (a.registers ? " or 2x32" : ""));
    }
    return a;
}

void Map(Access& a) {
    void* base = nullptr;
    Check(a.region->fn(a.card.position, &base, &a.length), a.card.Name() + " region " + a.region->name);
    if (!base) Fail(a.card.Name() + " region " + a.region->name + " has no address");
    a.base = static_cast<volatile uint8_t*>(base);
}

// The whole range is tested before the first access, so a dump never stops
// half way and nothing is written outside the region.
void CheckRange(const Access& a, uint32_t offset, uint64_t count) {
    if (offset % a.Alignment() != 0)
        Usage("offset " + Hex(offset) + " of a " + a.WidthName() + "-bit access to " + a.region->name +
              " must be a multiple of " + std::to_string(a.Alignment()));
    uint64_t last = offset + (count - 1) * a.Stride();
    uint32_t bytes = a.width / 8;
    if (a.length < bytes || last > a.length - bytes) {
        uint64_t maxOffset = a.length >= bytes ? (a.length - bytes) / a.Alignment() * a.Alignment() : 0;
        Usage(a.card.Name() + " " + a.region->name + " is " + std::to_string(a.length) +
              " bytes: " + a.WidthName() + "-bit accesses lie at offsets from 0 to " + Hex(maxOffset) +
              (count > 1 ? ", and " + std::to_string(count) + " of them from " + Hex(offset) + " do not fit"
                         : ""));
    }
}

uint64_t ReadOne(const Access& a, uint32_t offset, uint32_t* high) {
    const uint32_t p = a.card.position;
    const std::string where = a.Where(offset);
    if (a.registers) {
        if (a.pair) {
            uint32_t low = 0;
            Check(EP4GXA_ReadReg2x32(p, offset, &low, high), where);
            return low;
        }
        if (a.width == 8) {
            uint8_t v = 0;
            Check(EP4GXA_ReadReg8(p, offset, &v), where);
            return v;
        }
        if (a.width == 32) {
            uint32_t v = 0;
            Check(EP4GXA_ReadReg32(p, offset, &v), where);
            return v;
        }
        uint64_t v = 0;
        Check(EP4GXA_ReadReg64(p, offset, &v), where);
        return v;
    }
    if (a.card.family->memRead) return a.card.family->memRead(const_cast<uint8_t*>(a.base), offset);
    // EP4GXA regions the library has no accessors for: one volatile access
    // of the width asked, as the library's own accessors make.
    switch (a.width) {
        case 8:
            return a.base[offset];
        case 32:
            return *reinterpret_cast<volatile uint32_t*>(a.base + offset);
        default:
            return *reinterpret_cast<volatile uint64_t*>(a.base + offset);
    }
}

void WriteOne(const Access& a, uint32_t offset, uint64_t value, uint32_t high) {
    const uint32_t p = a.card.position;
    const std::string where = a.Where(offset);
    if (a.registers) {
        if (a.pair)
            Check(EP4GXA_WriteReg2x32(p, offset, static_cast<uint32_t>(value), high), where);
        else if (a.width == 8)
            Check(EP4GXA_WriteReg8(p, offset, static_cast<uint8_t>(value)), where);
        else if (a.width == 32)
            Check(EP4GXA_WriteReg32(p, offset, static_cast<uint32_t>(value)), where);
        else
            Check(EP4GXA_WriteReg64(p, offset, value), where);
        return;
    }
    if (a.card.family->memWrite) {
        a.card.family->memWrite(const_cast<uint8_t*>(a.base), offset, static_cast<uint8_t>(value));
        return;
    }
    switch (a.width) {
        case 8:
            a.base[offset] = static_cast<uint8_t>(value);
            break;
        case 32:
            *reinterpret_cast<volatile uint32_t*>(a.base + offset) = static_cast<uint32_t>(value);
            break;
        default:
            *reinterpret_cast<volatile uint64_t*>(a.base + offset) = value;
            break;
    }
}

std::string ValueText(const Access& a, uint64_t value, uint32_t high) {
    if (a.pair) return "low " + Hex(value, 8) + " high " + Hex(high, 8);
    return Hex(value, static_cast<int>(a.width / 4));
}

json ValueJson(const Access& a, uint64_t value, uint32_t high) {
    if (a.pair) return {{"low", value}, {"high", high}};
    return value;
}

uint64_t WidthMax(const Access& a) {
    return a.width == 64 && !a.pair ? UINT64_MAX : (1ull << (a.pair ? 32 : a.width)) - 1;
}

}  // namespace

int CmdRead(const AccessOptions& o) {
    CardRef card = ParseCard(o.card.family, o.card.position);
    Access a = Prepare(o, card);
    uint32_t offset = static_cast<uint32_t>(ParseNumber(o.offset, UINT32_MAX, "offset"));
    uint64_t count = ParseNumber(o.count, 1u << 20, "count");
    if (count == 0) Usage("bad count '0': give a number from 1 to 1048576 (0x100000)");
    OpenCard open(card, ParseKind(o.card.kind), false);
    Map(a);
    CheckRange(a, offset, count);
    json values = json::array();
    // Each line of a dump covers 16 bytes of the region.
    const uint64_t perLine = a.pair ? 1 : 16 / a.Stride();
    std::string line;
    for (uint64_t i = 0; i < count; ++i) {
        uint32_t at = offset + static_cast<uint32_t>(i * a.Stride());
        uint32_t high = 0;
        uint64_t v = ReadOne(a, at, &high);
        values.push_back(ValueJson(a, v, high));
        if (o.card.json) continue;
        if (count == 1) {
            std::cout << ValueText(a, v, high) << "\n";
            continue;
        }
        if (i % perLine == 0) line = Hex(at, 4) + ":";
        line += " " + (a.pair ? ValueText(a, v, high) : Hex(v, static_cast<int>(a.width / 4)).substr(2));
        if (i % perLine == perLine - 1 || i + 1 == count) std::cout << line << "\n";
    }
    if (o.card.json) {
        json out = {{"family", card.family->name},
                    {"position", card.position},
                    {"region", a.region->name},
                    {"offset", offset},
                    {"width", a.WidthName()},
                    {"stride", a.Stride()},
                    {"values", values}};
        PrintJson(out);
    }
    return kExitOk;
}

int CmdWrite(const AccessOptions& o) {
    CardRef card = ParseCard(o.card.family, o.card.position);
    Access a = Prepare(o, card);
    uint32_t offset = static_cast<uint32_t>(ParseNumber(o.offset, UINT32_MAX, "offset"));
    if (o.values.size() != (a.pair ? 2u : 1u))
        Usage(a.pair ? "a 2x32 write takes two values: LOW HIGH" : "write takes one value");
    uint64_t value = ParseNumber(o.values[0], WidthMax(a), "value");
    uint32_t high = a.pair ? static_cast<uint32_t>(ParseNumber(o.values[1], UINT32_MAX, "high value")) : 0;
    OpenCard open(card, ParseKind(o.card.kind), false);
    Map(a);
    CheckRange(a, offset, 1);
    WriteOne(a, offset, value, high);
    if (o.card.json) {
        PrintJson({{"family", card.family->name},
                   {"position", card.position},
                   {"region", a.region->name},
                   {"offset", offset},
                   {"width", a.WidthName()},
                   {"written", ValueJson(a, value, high)}});
        return kExitOk;
    }
    std::cout << "wrote " << ValueText(a, value, high) << " to " << a.Where(offset) << " (" << a.WidthName()
              << " bits)\n";
    return kExitOk;
}

int CmdWatch(const WatchOptions& o) {
    CardRef card = ParseCard(o.access.card.family, o.access.card.position);
    Access a = Prepare(o.access, card);
    std::vector<uint32_t> offsets;
    for (const auto& text : o.offsets)
        offsets.push_back(static_cast<uint32_t>(ParseNumber(text, UINT32_MAX, "offset")));
    uint32_t interval = static_cast<uint32_t>(ParseNumber(o.interval, 3600000, "interval (ms)"));
    uint64_t duration = ParseNumber(o.duration, 86400000, "duration (ms)");
    if (interval == 0) Usage("bad interval (ms) '0': give a number from 1 to 3600000");
    OpenCard open(card, ParseKind(o.access.card.kind), false);
    Map(a);
    for (uint32_t off : offsets) CheckRange(a, off, 1);
    StopEndsNormally();
    auto show = [&](uint32_t off, uint64_t v, uint32_t high, const json& previous,
                    const std::string& prevText) {
        if (o.access.card.json) {
            json line = {{"time", Timestamp()},
                         {"region", a.region->name},
                         {"offset", off},
                         {"value", ValueJson(a, v, high)},
                         {"previous", previous}};
            std::cout << line.dump() << std::endl;
        } else {
            std::cout << Timestamp() << "  " << a.region->name << "+" << Hex(off, 4) << "  "
                      << (prevText.empty() ? "" : prevText + " -> ") << ValueText(a, v, high) << std::endl;
        }
    };
    std::vector<std::pair<uint64_t, uint32_t>> last;
    for (uint32_t off : offsets) {
        uint32_t high = 0;
        uint64_t v = ReadOne(a, off, &high);
        last.emplace_back(v, high);
        show(off, v, high, nullptr, "");
    }
    const auto start = std::chrono::steady_clock::now();
    while (SleepUnlessStopped(interval)) {
        for (std::size_t i = 0; i < offsets.size(); ++i) {
            uint32_t high = 0;
            uint64_t v = ReadOne(a, offsets[i], &high);
            if (v == last[i].first && high == last[i].second) continue;
            show(offsets[i], v, high, ValueJson(a, last[i].first, last[i].second),
                 ValueText(a, last[i].first, last[i].second));
            last[i] = {v, high};
        }
        auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        if (duration > 0 && static_cast<uint64_t>(elapsed.count()) >= duration) break;
    }
    return kExitOk;
}

}  // namespace quelt_tool
