// libFuzzer entry for the exported API. An input is a sequence of steps, one
// byte choosing the call and the bytes after it its arguments: positions in
// and out of range (31, 32, -1 among them), null and real pointers, the three
// connection kinds and others, time-outs (0 and negative too), EEPROM
// addresses, register offsets and widths near and past the end of the
// region, DMA sizes, and driver faults armed for the next request.
//
// The machine has cards of every family: an OX952 two-function card, an
// OX9162 card with an EEPROM and one without an interrupt line or second
// region, an EP4GXA card and one the driver gives no status block. Beside the
// calls the fuzzer keeps a model of what this process holds, and after every
// step compares it with the machine: handles attached per card, the
// diagnostic count and the first connection slot, EEPROM words and registers
// read back, interrupt counts since open. At the end of an input everything
// is closed and nothing may stay attached, counted, waiting or mapped.
// Any disagreement aborts with a message, which libFuzzer reports as a crash.
#include <unistd.h>

#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/posix/test_hooks.h"
#include "quelt_ox952.h"
#include "registry/card_table.h"
#include "sim/control.h"

namespace {

[[noreturn]] void Fail(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fprintf(stderr, "api fuzzer: model disagrees: ");
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "\n");
    va_end(args);
    std::abort();
}

constexpr std::size_t IRQ_COUNTER = 4, ATTACH_COUNT = 12, DIAG_COUNT = 16, SLOT0 = 24;
constexpr int kDevices = 6;
constexpr std::uint32_t kEpRegion0 = 65536;

// The cards a position of a family reaches.
enum Card { OX952_0, OX9162_0, OX9162_1, EP4GXA_0, EP4GXA_1, kCards };
struct CardInfo {
    int family;      // 0 OX952, 1 OX9162, 2 EP4GXA
    int position;    // in its family
    int devices[2];  // device numbers it attaches (OX952: both functions), 0: none
    int irqDevice;   // whose interrupts its waits see
    bool irqLine;
    bool block;  // the driver gives a status block
};
const CardInfo kCardInfo[kCards] = {
    {0, 0, {1, 2}, 2, true, true}, {1, 0, {3, 0}, 3, true, true},  {1, 1, {4, 0}, 4, false, true},
    {2, 0, {5, 0}, 5, true, true}, {2, 1, {6, 0}, 6, true, false},
};

struct FamilyCalls {
    std::uint32_t (*open[3])(std::uint32_t, std::uint32_t);
    std::uint32_t (*close)(std::uint32_t);
    std::uint32_t (*wait)(std::uint32_t, std::uint32_t*);
    std::uint32_t (*count)(std::uint32_t);
    std::uint32_t (*setTimeout)(std::uint32_t, std::int32_t);
    std::uint32_t (*openCount)(std::uint32_t, std::uint32_t*);
    std::uint32_t (*clear)(std::uint32_t);
    std::uint32_t (*shared)(std::uint32_t, void**, std::uint32_t*);
    std::uint32_t (*did)(std::uint32_t, std::uint32_t*);
    std::uint32_t (*cards)(std::uint32_t*);
    std::uint32_t (*version)(std::uint32_t*);
};
#define FUZZ_FAMILY_(P)                                                                                     \
    FamilyCalls {                                                                                           \
        {P##_Open, P##_OpenMulti, P##_OpenDiagnostic}, P##_Close, P##_IRQ_Wait, P##_IRQ_Count,              \
            P##_IRQ_SetTimeout, P##_Card_OpenCount, P##_ClearConnections, P##_SHARED_BaseAdr, P##_Card_DID, \
            P##_CardsInSystem, P##_DriverVersion                                                            \
    }
const FamilyCalls kFamilies[3] = {FUZZ_FAMILY_(OX952), FUZZ_FAMILY_(OX9162), FUZZ_FAMILY_(EP4GXA)};

// What this process holds, as the calls so far should have left it.
struct Entry {
    bool open = false;
    int kind = 0;
    bool irq = false;
    bool second = false;  // OX952: function 1 attached too
    std::int32_t timeout = 0;
    std::uint32_t irqBase = 0;
    bool block = false;  // its handle has a status block (a short attach reply leaves none)
};
struct OxHandle {
    DeviceHandle* handle;
    int device;
    bool dma;
    bool block;  // attached with a status block (a short attach reply leaves none)
};
struct Model {
    Entry entries[kCards];
    std::vector<OxHandle> ox;
    int held[kDevices + 1] = {};
    std::uint32_t diag[kDevices + 1] = {};
    std::uint32_t slot0[kDevices + 1] = {};
    std::array<std::uint16_t, 64> eeprom[2];  // OX952 function 1 (device 2), OX9162 (device 3)
    std::vector<std::uint8_t> regs;           // EP4GXA region 0 as written
    bool faults = false;                      // a fault may be armed: failures of the driver allowed
    bool paired = false;                      // an OX952 open has found function 1 of the card
    bool unreadable[kDevices + 1] = {};       // a description fault armed for the device (0: any)
};

std::string gRoot;
std::uint32_t gPid = 0;
std::uint8_t* gEpRegion = nullptr;  // the harness's own mapping of the EP4GXA card's region 0
std::vector<std::string> gDescriptions;
int gBaselineMaps = 0;

int MappingsOfRoot() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    int n = 0;
    while (std::getline(maps, line))
        if (line.find(gRoot) != std::string::npos) ++n;
    return n;
}

// Reads the input a byte at a time; past its end every read is 0.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool more() const { return at_ < size_; }
    std::uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(u8()) << (8 * i);
        return v;
    }
    std::uint32_t position() {
        static const std::uint32_t kPositions[] = {0, 1, 0, 1, 2, 31, 32, 0xFFFFFFFFu};
        return kPositions[u8() % 8];
    }
    std::int32_t timeout() {
        static const std::int32_t kTimeouts[] = {0, -1, 1, 3, 5000, 5001, -5001, INT32_MIN};
        return kTimeouts[u8() % 8];
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// The card at a family position, or -1.
int CardAt(int family, std::uint32_t position) {
    for (int c = 0; c < kCards; ++c)
        if (kCardInfo[c].family == family && static_cast<std::uint32_t>(kCardInfo[c].position) == position)
            return c;
    return -1;
}

void Expect(bool ok, const char* what, std::uint32_t got) {
    if (!ok) Fail("%s returned %u (0x%x)", what, got, got);
}

bool NormalRefused(int device) {
    // The attach count already includes the new handle.
    const auto attach = static_cast<std::int32_t>(sim::ReadStatusWord(device, ATTACH_COUNT)) + 1;
    return attach - static_cast<std::int32_t>(sim::ReadStatusWord(device, DIAG_COUNT)) >= 2;
}

bool HasBlock(int device);

void Admitted(Model& m, int device, int kind) {
    if (!HasBlock(device)) return;
    if (kind == 0) m.slot0[device] = gPid;
    if (kind == 2) ++m.diag[device];
}

bool HasBlock(int device) {
    return device != 6;
}

void Released(Model& m, int device, int kind) {
    if (!HasBlock(device)) return;
    if (kind == 2 && m.diag[device] > 0) --m.diag[device];
    if (m.slot0[device] == gPid) m.slot0[device] = 0;
}

void CheckMachine(const Model& m, const char* after) {
    for (int d = 1; d <= kDevices; ++d) {
        const int attached = sim::AttachedHandles(d);
        if (attached != m.held[d]) {
            std::string all;
            for (int k = 1; k <= kDevices; ++k)
                all += " " + std::to_string(sim::AttachedHandles(k)) + "/" + std::to_string(m.held[k]);
            Fail("after %s: device %d has %d handles attached, model %d (all devices, attached/model:%s)",
                 after, d, attached, m.held[d], all.c_str());
        }
        if (sim::PendingWaits(d) != 0) Fail("after %s: device %d has a wait pending", after, d);
        if (!HasBlock(d)) continue;
        const std::uint32_t diag = sim::ReadStatusWord(d, DIAG_COUNT);
        if (diag != m.diag[d])
            Fail("after %s: device %d diagnostic count %u, model %u", after, d, diag, m.diag[d]);
        const std::uint32_t slot = sim::ReadStatusWord(d, SLOT0);
        if (slot != m.slot0[d])
            Fail("after %s: device %d first slot %u, model %u", after, d, slot, m.slot0[d]);
    }
}

void ResyncBlocks(Model& m, int c) {
    for (int d : kCardInfo[c].devices)
        if (d && HasBlock(d)) {
            m.diag[d] = sim::ReadStatusWord(d, DIAG_COUNT);
            m.slot0[d] = sim::ReadStatusWord(d, SLOT0);
        }
}

void OpenCard(Model& m, Reader& in) {
    const int family = in.u8() % 3;
    const std::uint32_t position = in.position();
    const int kind = in.u8() % 3;
    const std::uint32_t irq = (in.u8() % 4 == 0) ? 0xFFFFFFFFu : in.u8() % 2;
    const int c = CardAt(family, position);
    // Predict before the call: admission reads the block as it is now.
    const bool refused = c >= 0 && kind == 0 && kCardInfo[c].block && NormalRefused(kCardInfo[c].devices[0]);
    const bool secondRefused = c == OX952_0 && kind == 0 && NormalRefused(2);
    const std::uint32_t r = kFamilies[family].open[kind](position, irq);
    if (std::getenv("QUELT_FUZZ_TRACE"))
        std::fprintf(stderr, "  open family %d position %u kind %d irq %u: %u\n", family, position, kind, irq,
                     r);
    std::uint32_t expected;
    if (position >= 32)
        expected = QUELT_NO_CARD;
    else if (c < 0)
        expected = family == 0 ? (irq ? QUELT_NO_IRQ_LINE : QUELT_OPEN_FAILED) : QUELT_NO_CARD;
    else if (family != 0 && irq && !kCardInfo[c].irqLine)
        expected = QUELT_NO_IRQ_LINE;  // OX9162 and EP4GXA test the line before "already open"
    else if (m.entries[c].open)
        expected = QUELT_ALREADY_OPEN;
    else
        expected = refused ? QUELT_REFUSED : 0;
    // A short attach reply (a fault) gives a handle without a status block,
    // which no connection rule can refuse.
    bool blockless = false;
    if (r == 0 && c >= 0 && m.faults && kCardInfo[c].block) {
        void* shared = nullptr;
        std::uint32_t length = 0;
        blockless = kFamilies[family].shared(position, &shared, &length) == QUELT_NULL_POINTER;
        if (blockless && expected == QUELT_REFUSED) expected = 0;
    }
    // With a driver fault armed, the version query may fail (for every
    // position in range: the gate comes before the card is looked up), and
    // so may the attach of a card that is not open yet.
    const bool driverFailure =
        m.faults && position < 32 &&
        (r == QUELT_OLD_DRIVER ||
         (c >= 0 && !m.entries[c].open && (r == QUELT_OPEN_FAILED || r == QUELT_NO_FUNCTION1)));
    if (r != expected && !driverFailure) Expect(false, "Open", r);
    if (r != 0) return;
    Entry& e = m.entries[c];
    if (c == OX952_0) m.paired = true;
    e.open = true;
    e.block = kCardInfo[c].block && !blockless;
    e.kind = kind;
    e.irq = irq != 0;
    const int d0 = kCardInfo[c].devices[0];
    ++m.held[d0];
    if (e.block) Admitted(m, d0, kind);  // a handle without a block records nothing
    if (c == OX952_0) {
        // The second function is attached and its bookkeeping done, whatever
        // the admission says; an attach that fails (a fault) leaves it out.
        e.second = sim::AttachedHandles(2) == m.held[2] + 1;
        if (!e.second && !m.faults) Fail("OX952 open did not attach function 1");
        if (e.second) {
            ++m.held[2];
            if (!(kind == 0 && secondRefused)) Admitted(m, 2, kind);
        }
    }
    e.irqBase =
        HasBlock(kCardInfo[c].irqDevice) ? sim::ReadStatusWord(kCardInfo[c].irqDevice, IRQ_COUNTER) : 0;
    // An attach with a short reply (a fault) gives a handle without a status
    // block, which is admitted with nothing recorded: take what is there.
    if (m.faults) ResyncBlocks(m, c);
}

void CloseEntry(Model& m, int c) {
    Entry& e = m.entries[c];
    const int d0 = kCardInfo[c].devices[0];
    --m.held[d0];
    if (e.block) Released(m, d0, e.kind);
    if (e.second) {
        --m.held[2];
        Released(m, 2, e.kind);
    }
    e.open = false;
    e.second = false;
}

void CloseCard(Model& m, Reader& in) {
    const int family = in.u8() % 3;
    const std::uint32_t position = in.position();
    const int c = CardAt(family, position);
    const std::uint32_t r = kFamilies[family].close(position);
    std::uint32_t expected;
    if (position >= 32)
        expected = QUELT_NO_CARD;
    else if (c < 0)
        expected = family == 0 ? QUELT_NOT_OPEN : QUELT_NO_CARD;
    else
        expected = m.entries[c].open ? 0 : QUELT_NOT_OPEN;
    Expect(r == expected, "Close", r);
    if (r == 0) CloseEntry(m, c);
}

void ClearConnections(Model& m, Reader& in) {
    const int family = in.u8() % 3;
    const std::uint32_t position = in.position();
    const int c = CardAt(family, position);
    const std::uint32_t r = kFamilies[family].clear(position);
    if (c < 0) {
        Expect(r == QUELT_NO_CARD, "ClearConnections", r);
        return;
    }
    if (m.entries[c].open) CloseEntry(m, c);
    const bool block = kCardInfo[c].block;
    Expect(r == (block ? 0u : QUELT_NULL_POINTER) ||
               (m.faults && (r == QUELT_OPEN_FAILED || r == QUELT_NULL_POINTER)),
           "ClearConnections", r);
    for (int d : kCardInfo[c].devices) {
        if (!d || !HasBlock(d)) continue;
        if (r == 0 && !m.faults) {
            m.diag[d] = 0;  // a reset forgets every connection
            m.slot0[d] = 0;
        } else if (sim::ReadStatusWord(d, DIAG_COUNT) == 0 && sim::ReadStatusWord(d, SLOT0) == 0) {
            m.diag[d] = 0;  // with a fault armed, one of the two blocks may have been reset
            m.slot0[d] = 0;
        }
    }
}

void Wait(Model& m, Reader& in) {
    const int family = in.u8() % 3;
    const std::uint32_t position = in.position();
    const bool withCount = in.u8() % 2;
    const int c = CardAt(family, position);
    if (c >= 0 && m.entries[c].open && m.entries[c].irq && m.entries[c].timeout == 0 &&
        HasBlock(kCardInfo[c].irqDevice))
        sim::RaiseIrq(kCardInfo[c].irqDevice);  // a wait without limit must have something to see
    std::uint32_t count = 0xFEEDu;
    const std::uint32_t r = kFamilies[family].wait(position, withCount ? &count : nullptr);
    if (c < 0) {
        Expect(r == QUELT_NO_CARD, "IRQ_Wait", r);
        return;
    }
    const Entry& e = m.entries[c];
    if (!e.open) {
        // Until an open pairs it, function 1 of the OX952 card is not in the
        // map, and its position reads as holding no card.
        Expect(r == QUELT_NOT_OPEN || (c == OX952_0 && !m.paired && r == QUELT_NO_CARD), "IRQ_Wait", r);
        return;
    }
    if (!e.irq) {
        Expect(r == QUELT_IRQ_NOT_ENABLED && count == 0xFEEDu, "IRQ_Wait", r);
        return;
    }
    if (c == OX952_0 && !e.second) {
        Expect(r == QUELT_NOT_OPEN, "IRQ_Wait without function 1", r);
        return;
    }
    // The OX952 card waits on function 1's handle, whose block a fault may
    // have left out or not: only its own handle's block is known here.
    if (!kCardInfo[c].block || (!e.block && c != OX952_0)) {
        Expect(r == QUELT_NULL_POINTER, "IRQ_Wait without status block", r);
        return;
    }
    // Under a fault the second function's handle may lack its block too.
    const bool ok =
        r == 0 || r == QUELT_TIMEOUT ||
        (m.faults && (r == QUELT_WAIT_FAILED || r == QUELT_WAIT_ENDED || r == QUELT_NULL_POINTER));
    if (r == QUELT_NULL_POINTER) return;
    Expect(ok, "IRQ_Wait", r);
    if (withCount) {
        const std::uint32_t now = sim::ReadStatusWord(kCardInfo[c].irqDevice, IRQ_COUNTER) - e.irqBase;
        if (count != now) Fail("IRQ_Wait count %u, interrupts since open %u", count, now);
    }
}

void Counts(Model& m, Reader& in) {
    const int family = in.u8() % 3;
    const std::uint32_t position = in.position();
    const int c = CardAt(family, position);
    const std::uint32_t n = kFamilies[family].count(position);
    std::uint32_t expected = 0;
    if (c >= 0 && m.entries[c].open && (c != OX952_0 || m.entries[c].second) && kCardInfo[c].block &&
        (m.entries[c].block || c == OX952_0))
        expected = sim::ReadStatusWord(kCardInfo[c].irqDevice, IRQ_COUNTER) - m.entries[c].irqBase;
    if (n != expected && !(m.faults && n == 0)) Fail("IRQ_Count %u, expected %u", n, expected);
    std::uint32_t open = 0xFEEDu;
    const std::uint32_t r = kFamilies[family].openCount(position, in.u8() % 4 ? &open : nullptr);
    Expect(r == 0 || r == QUELT_NOT_OPEN || r == QUELT_NO_CARD || r == QUELT_NULL_POINTER, "Card_OpenCount",
           r);
    if (c >= 0 && m.entries[c].open && r != 0 && r != QUELT_NULL_POINTER)
        Expect(false, "Card_OpenCount of an open card", r);
    if (family == 1) OX9162_GetIrqWaits(position);
    if (family == 2) EP4GXA_GetIrqWaits(position);
    if (family == 0) OX952_IRQ_CountF0(position);
}

void SetTimeout(Model& m, Reader& in) {
    const int family = in.u8() % 3;
    const std::uint32_t position = in.position();
    const std::int32_t t = in.timeout();
    const int c = CardAt(family, position);
    const std::uint32_t r = kFamilies[family].setTimeout(position, t);
    if (c >= 0 && m.entries[c].open && (c != OX952_0 || m.entries[c].second)) {
        Expect(r == (m.entries[c].irq ? 0u : QUELT_IRQ_NOT_ENABLED), "IRQ_SetTimeout", r);
        m.entries[c].timeout = t;
    } else {
        Expect(r == QUELT_NO_CARD || r == QUELT_NOT_OPEN, "IRQ_SetTimeout", r);
    }
}

void Eeprom(Model& m, Reader& in) {
    const bool ox952 = in.u8() % 2;
    const std::uint32_t position = in.position();
    const std::uint32_t address = in.u8() % 3 == 0 ? in.u32() : in.u8();
    const int op = in.u8() % 4;
    const std::uint16_t value = static_cast<std::uint16_t>(in.u32());
    const int c = ox952 ? (position == 0 ? OX952_0 : -1) : CardAt(1, position);
    const bool usable = c >= 0 && m.entries[c].open && (c != OX952_0 || m.entries[c].second) && c != OX9162_1;
    auto& words = m.eeprom[ox952 ? 0 : 1];
    std::uint16_t got = 0xBEEF;
    std::uint32_t r;
    switch (op) {
        case 0:
            r = ox952 ? OX952_EEPROM_RD(position, address, &got) : OX9162_EEPROM_RD(position, address, &got);
            if (usable) {
                Expect(r == 0, "EEPROM_RD", r);
                if (got != words[address % 64])
                    Fail("EEPROM word %u read %04x, written %04x", address % 64, got, words[address % 64]);
            }
            break;
        case 1:
            r = ox952 ? OX952_EEPROM_RD(position, address, nullptr)
                      : OX9162_EEPROM_RD(position, address, nullptr);
            Expect(r == QUELT_NULL_POINTER, "EEPROM_RD(null)", r);
            return;
        case 2:
            r = ox952 ? OX952_EEPROM_WR(position, address, value)
                      : OX9162_EEPROM_WR(position, address, value);
            if (usable && r == 0) words[address % 64] = value;
            break;
        default:
            r = ox952 ? OX952_EEPROM_Erase(position, address) : OX9162_EEPROM_Erase(position, address);
            if (usable && r == 0) words[address % 64] = 0xFFFF;
            break;
    }
    if (usable)
        Expect(r == 0, "EEPROM", r);
    else if (c == OX9162_1 && m.entries[c].open)
        Expect(r == 0 || r == QUELT_NOT_OPEN, "EEPROM of a card without one", r);
    else
        Expect(r == QUELT_NO_CARD || r == QUELT_NOT_OPEN || (ox952 && r == QUELT_NO_BAR13), "EEPROM", r);
}

void Registers(Model& m, Reader& in) {
    const std::uint32_t position = in.position();
    static const std::uint32_t kNearEnd[] = {
        0,           4,           8, 16368, 16372, kEpRegion0 - 8, kEpRegion0 - 4, kEpRegion0, kEpRegion0 + 4,
        0xFFFFFFF8u, 0xFFFFFFFCu, 2, 6};
    const std::uint32_t offset = in.u8() % 2 ? kNearEnd[in.u8() % 13] : (in.u32() & 0xFFFFu);
    const int width = in.u8() % 5;  // 8, 32, 2x32, 64 bits; 4: a null result pointer
    const bool write = in.u8() % 2;
    const std::uint64_t value = (static_cast<std::uint64_t>(in.u32()) << 32) | in.u32();
    const int c = CardAt(2, position);
    const unsigned align = (width == 2 || width == 3) ? 8 : 4;
    const unsigned size = width == 0 ? 1 : width == 1 ? 4 : 8;
    const bool open = c >= 0 && m.entries[c].open;
    const bool inside =
        c == EP4GXA_0 ? offset < kEpRegion0 && offset % align == 0 : offset < 4096 && offset % align == 0;
    std::uint32_t r = 0;
    std::uint64_t got = 0;
    if (width == 4) {
        r = EP4GXA_ReadReg32(position, offset, nullptr);
        Expect(r == QUELT_NULL_POINTER, "EP4GXA_ReadReg32(null)", r);
        return;
    }
    if (write) {
        switch (width) {
            case 0:
                r = EP4GXA_WriteReg8(position, offset, static_cast<std::uint8_t>(value));
                break;
            case 1:
                r = EP4GXA_WriteReg32(position, offset, static_cast<std::uint32_t>(value));
                break;
            case 2:
                r = EP4GXA_WriteReg2x32(position, offset, static_cast<std::uint32_t>(value),
                                        static_cast<std::uint32_t>(value >> 32));
                break;
            default:
                r = EP4GXA_WriteReg64(position, offset, value);
                break;
        }
    } else {
        std::uint8_t b = 0;
        std::uint32_t w = 0, lo = 0, hi = 0;
        switch (width) {
            case 0:
                r = EP4GXA_ReadReg8(position, offset, &b);
                got = b;
                break;
            case 1:
                r = EP4GXA_ReadReg32(position, offset, &w);
                got = w;
                break;
            case 2:
                r = EP4GXA_ReadReg2x32(position, offset, &lo, &hi);
                got = (static_cast<std::uint64_t>(hi) << 32) | lo;
                break;
            default:
                r = EP4GXA_ReadReg64(position, offset, &got);
                break;
        }
    }
    if (!open) {
        Expect(r == QUELT_NO_CARD || r == QUELT_NOT_OPEN, "EP4GXA register access", r);
        return;
    }
    Expect(r == (inside ? 0u : QUELT_BAD_OFFSET), "EP4GXA register access", r);
    if (r != 0 || c != EP4GXA_0) return;
    if (write) {
        std::memcpy(m.regs.data() + offset, &value, size);
    } else {
        std::uint64_t expected = 0;
        std::memcpy(&expected, m.regs.data() + offset, size);
        if (got != expected)
            Fail("register at %u read %llx, written %llx", offset, (unsigned long long)got,
                 (unsigned long long)expected);
    }
    if (std::memcmp(gEpRegion + (offset & ~7u), m.regs.data() + (offset & ~7u), 8) != 0)
        Fail("register memory at %u differs from what was written", offset);
}

void Regions(Model& m, Reader& in) {
    static std::uint32_t (*const kRegionFns[])(std::uint32_t, void**, std::uint32_t*) = {
        OX952_BAR05_BaseAdr, OX952_BAR11_BaseAdr, OX952_BAR13_BaseAdr, OX9162_BAR3_BaseAdr,
        OX9162_BAR4_BaseAdr, EP4GXA_BAR0_BaseAdr, EP4GXA_BAR1_BaseAdr, EP4GXA_BAR2_BaseAdr};
    static const int kFamilyOf[] = {0, 0, 0, 1, 1, 2, 2, 2};
    const int which = in.u8() % 8;
    const std::uint32_t position = in.position();
    const int nulls = in.u8() % 4;
    void* address = nullptr;
    std::uint32_t length = 0;
    const std::uint32_t r =
        kRegionFns[which](position, nulls & 1 ? nullptr : &address, nulls & 2 ? nullptr : &length);
    const int c = CardAt(kFamilyOf[which], position);
    if (c < 0 || !m.entries[c].open) {
        Expect(r == QUELT_NO_CARD || r == QUELT_NOT_OPEN, "BaseAdr", r);
        return;
    }
    if (nulls) {
        Expect(r == QUELT_NULL_POINTER || (c == OX9162_1 && r == QUELT_NO_REGION) ||
                   ((which == 1 || which == 2) && !m.entries[c].second),
               "BaseAdr(null)", r);
        return;
    }
    Expect(r == 0 || r == QUELT_NO_REGION ||
               ((which == 1 || which == 2) && !m.entries[c].second && r == QUELT_NOT_OPEN),
           "BaseAdr", r);
    if (r == 0 && address) {
        // A byte written through the mapping reads back through it.
        const std::uint32_t off = in.u8() % (length ? length : 1);
        const std::uint8_t v = in.u8();
        if (kFamilyOf[which] == 2) {
            return;  // EP4GXA regions are the registers' business
        }
        if (which == 2) return;  // the EEPROM control byte lives in this region
        if (kFamilyOf[which] == 1 && off == 3) return;
        OX952_MemWrite(address, off, v);
        if (OX9162_MemRead(address, off) != v) Fail("byte at %u of a mapped region did not read back", off);
    }
    void* shared = nullptr;
    std::uint32_t sharedLength = 0;
    const std::uint32_t s = kFamilies[kFamilyOf[which]].shared(position, &shared, &sharedLength);
    Expect(s == (m.entries[c].block ? 0u : QUELT_NULL_POINTER), "SHARED_BaseAdr", s);
}

void Identity(Model&, Reader& in) {
    const int family = in.u8() % 3;
    const std::uint32_t position = in.position();
    std::uint32_t v = 0;
    const std::uint32_t r = kFamilies[family].did(position, in.u8() % 3 ? &v : nullptr);
    Expect(r == 0 || r == QUELT_NO_CARD || r == QUELT_NULL_POINTER, "Card_DID", r);
    if (CardAt(family, position) >= 0 && r == 0 && (v & 0xFF00u) == 0) Fail("Card_DID gave %x", v);
    std::uint32_t n = 0;
    Expect(kFamilies[family].cards(&n) == 0 && n == (family == 0 ? 1u : 2u), "CardsInSystem", n);
    std::uint32_t version = 0;
    const std::uint32_t vr = kFamilies[family].version(in.u8() % 4 ? &version : nullptr);
    Expect(vr == 0 || vr == QUELT_NULL_POINTER || vr == QUELT_OLD_DRIVER, "DriverVersion", vr);
    if (EP4GXA_InterfaceVersion() != 318) Fail("interface version");
}

int DeviceNamed(const char* name, std::int32_t index) {
    if (index < 1) return 0;
    std::int32_t seen = 0;
    for (std::size_t i = 0; i < gDescriptions.size(); ++i)
        if (!name || gDescriptions[i].find(name) != std::string::npos)
            if (++seen == index) return static_cast<int>(i) + 1;
    return 0;
}

void DeviceOpen(Model& m, Reader& in) {
    static const char* const kNames[] = {nullptr,  "",           "OX952",       "OX9162",
                                         "EP4GXA", "Function 1", "no such card"};
    static const std::int32_t kIndexes[] = {1, 2, 3, 0, -1, 7, 33, INT32_MIN};
    static const std::int32_t kKinds[] = {0, 1, 2, 3, -1, 7};
    const char* name = kNames[in.u8() % 7];
    const std::int32_t index = kIndexes[in.u8() % 8];
    const std::int32_t kind = kKinds[in.u8() % 6];
    const int device = DeviceNamed(name && *name ? name : nullptr, index);
    const bool refused = device && kind == 0 && HasBlock(device) && NormalRefused(device);
    DeviceHandle* h = OxOpenDevice(name, index, kind);
    // A short attach reply gives a handle without a status block, which no
    // connection rule can refuse.
    const bool blockless = h && !OxGetDeviceResources(h)->statusBlock;
    if (blockless && HasBlock(device) && !m.faults) Fail("OxOpenDevice: attached without a status block");
    if (!device || (refused && !(blockless && m.faults))) {
        if (h) Fail("OxOpenDevice(%s, %d, %d) gave a handle", name ? name : "null", index, kind);
        return;
    }
    if (!h) {
        if (!m.faults) Fail("OxOpenDevice(%s, %d) failed", name ? name : "null", index);
        return;
    }
    // A device whose description could not be read is opened by its number
    // alone, its name reported empty.
    const bool unread = *OxGetBoardName(h) == '\0' && (m.unreadable[0] || m.unreadable[device]);
    if (!unread && std::strncmp(OxGetBoardName(h), gDescriptions[device - 1].c_str(), 255) != 0)
        Fail("OxOpenDevice(%s, %d) board name \"%s\", device %d", name ? name : "null", index,
             OxGetBoardName(h), device);
    ++m.held[device];
    if (HasBlock(device)) Admitted(m, device, kind);
    if (m.faults && HasBlock(device)) {  // a short attach reply: admitted with nothing recorded
        m.diag[device] = sim::ReadStatusWord(device, DIAG_COUNT);
        m.slot0[device] = sim::ReadStatusWord(device, SLOT0);
    }
    m.ox.push_back({h, device, false, !blockless});
}

void DeviceUse(Model& m, Reader& in) {
    if (m.ox.empty()) return;
    OxHandle& o = m.ox[in.u8() % m.ox.size()];
    static const std::uint32_t kSizes[] = {4096, 1, 0, 65536, 1u << 20, 4097};
    switch (in.u8() % 6) {
        case 0: {
            const std::int32_t r = OxAllocateDMAmem(o.handle, kSizes[in.u8() % 6]);
            if (o.dma)
                Expect(r == -2, "OxAllocateDMAmem with a buffer held", static_cast<std::uint32_t>(r));
            else
                Expect(r == 0 || r == -3 || (m.faults && r == -4), "OxAllocateDMAmem",
                       static_cast<std::uint32_t>(r));
            if (r == 0) {
                // A reply with key 0 (a fault) leaves the handle holding no buffer it knows of.
                o.dma = OxGetDeviceResources(o.handle)->dmaKey != 0;
                if (!m.faults && !o.dma) Fail("DMA buffer held with key 0");
            }
            break;
        }
        case 1: {
            const std::int32_t r = OxReleaseDMAmem(o.handle);
            if (!o.dma)
                Expect(r == -2, "OxReleaseDMAmem without a buffer", static_cast<std::uint32_t>(r));
            else
                Expect(r == 0 || (m.faults && r == -3), "OxReleaseDMAmem", static_cast<std::uint32_t>(r));
            if (r == 0) o.dma = false;
            break;
        }
        case 2: {
            const std::int32_t t = in.timeout();
            const std::uint8_t flag = in.u8() % 3;
            if (t == 0 && flag && o.block) sim::RaiseIrq(o.device);
            DeviceHandle* slot = o.handle;
            const std::int32_t r = OxWaitForIrq(&slot, t, flag);
            // An interrupt that came since the last wait is reported before
            // the flag is looked at.
            if (!o.block)
                Expect(r == 5, "OxWaitForIrq", static_cast<std::uint32_t>(r));
            else if (flag == 0)
                Expect(r == 5 || r == 2, "OxWaitForIrq(flag 0)", static_cast<std::uint32_t>(r));
            else
                Expect(r == 0 || r == 2 || r == 3 || (m.faults && (r == 1 || r == 4)), "OxWaitForIrq",
                       static_cast<std::uint32_t>(r));
            break;
        }
        case 3:
            OxDiscardWaitForIrq(o.handle);
            OxGetIrqWaits(o.handle);
            if (o.block && OxGetIrqCounter(o.handle) != sim::ReadStatusWord(o.device, IRQ_COUNTER))
                Fail("OxGetIrqCounter");
            break;
        default: {
            DeviceResources* res = OxGetDeviceResources(o.handle);
            if (!res || (res->statusBlock != nullptr) != o.block) Fail("OxGetDeviceResources");
            // Closing releases the buffer and the mappings, but not the bookkeeping.
            OxCloseDevice(o.handle);
            --m.held[o.device];
            o = m.ox.back();
            m.ox.pop_back();
            break;
        }
    }
}

void ArmFault(Model& m, Reader& in) {
    static const sim::Fault kFaults[] = {
        sim::Fault::ClassDevsFails, sim::Fault::EnumStepFails,      sim::Fault::DescriptionUnreadable,
        sim::Fault::NoInterface,    sim::Fault::NoDevicePath,       sim::Fault::CreateFileFails,
        sim::Fault::AttachFails,    sim::Fault::AttachShortReply,   sim::Fault::WaitFails,
        sim::Fault::WaitDiscarded,  sim::Fault::DriverVersionFails, sim::Fault::DmaAllocFails,
        sim::Fault::DmaShortReply,  sim::Fault::DmaZeroKey,         sim::Fault::DmaReleaseFails};
    const sim::Fault f = kFaults[in.u8() % 15];
    const int device = in.u8() % (kDevices + 1);
    const int times = 1 + in.u8() % 2;
    if (std::getenv("QUELT_FUZZ_TRACE"))
        std::fprintf(stderr, "  fault %d on device %d, %d times\n", static_cast<int>(f), device, times);
    sim::ArmFault(f, device, times);
    m.faults = true;
    if (f == sim::Fault::DescriptionUnreadable) m.unreadable[device] = true;
}

void CloseEverything(Model& m) {
    for (int c = 0; c < kCards; ++c) {
        if (!m.entries[c].open) continue;
        const std::uint32_t r =
            kFamilies[kCardInfo[c].family].close(static_cast<std::uint32_t>(kCardInfo[c].position));
        Expect(r == 0, "Close at the end", r);
        CloseEntry(m, c);
    }
    for (const OxHandle& o : m.ox) {
        OxCloseDevice(o.handle);
        --m.held[o.device];
    }
    m.ox.clear();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gRoot = sim::CreateTempMachine(false);
    sim::CardConfig f0 = sim::DefaultCard(sim::CardFamily::OX952);
    sim::AddCard(f0);                                         // 1
    sim::AddCard(sim::Ox952Function1(f0));                    // 2
    sim::AddCard(sim::DefaultCard(sim::CardFamily::OX9162));  // 3
    sim::CardConfig quiet = sim::DefaultCard(sim::CardFamily::OX9162);
    quiet.irqLine = 0;
    quiet.slot = 7;
    quiet.regions = {sim::RegionConfig{4096}};
    quiet.eepromRegion = -1;
    sim::AddCard(quiet);                                      // 4
    sim::AddCard(sim::DefaultCard(sim::CardFamily::EP4GXA));  // 5
    sim::CardConfig blind = sim::DefaultCard(sim::CardFamily::EP4GXA);
    blind.slot = 8;
    blind.statusBlock = false;
    blind.regions = {sim::RegionConfig{4096}};
    blind.cardId.reset();
    blind.serial.reset();
    sim::AddCard(blind);  // 6
    sim::SetEepromProgramTime(2, 0);
    sim::SetEepromProgramTime(3, 0);
    sim::SetImmediateWaits(true);
    for (int d = 1; d <= kDevices; ++d) gDescriptions.push_back(sim::GetCard(d).description);
    gPid = static_cast<std::uint32_t>(::getpid());
    gEpRegion = sim::RegionMemory(5, 0);
    gBaselineMaps = MappingsOfRoot();
    std::atexit([] { sim::DeleteMachine(gRoot); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    RegistryLoad();
    Model m;
    // The maps are built before any fault is armed, so the card positions
    // are those of the whole machine.
    for (const FamilyCalls& f : kFamilies) {
        std::uint32_t n = 0;
        f.cards(&n);
    }
    for (int d = 1; d <= kDevices; ++d)
        if (HasBlock(d)) {
            m.diag[d] = sim::ReadStatusWord(d, DIAG_COUNT);
            m.slot0[d] = sim::ReadStatusWord(d, SLOT0);
        }
    const auto w952 = sim::EepromWords(2), w9162 = sim::EepromWords(3);
    std::copy(w952.begin(), w952.begin() + 64, m.eeprom[0].begin());
    std::copy(w9162.begin(), w9162.begin() + 64, m.eeprom[1].begin());
    m.regs.assign(gEpRegion, gEpRegion + kEpRegion0);

    Reader in(data, size);
    static const char* const kStepNames[] = {"open",    "close",  "clear", "wait",    "counts",
                                             "timeout", "eeprom", "regs",  "regions", "identity",
                                             "ox open", "ox use", "fault", "raise"};
    for (int step = 0; step < 64 && in.more(); ++step) {
        const int op = in.u8() % 14;
        // QUELT_FUZZ_TRACE=1 prints each step, for replaying a saved input.
        static const bool trace = std::getenv("QUELT_FUZZ_TRACE") != nullptr;
        if (trace) {
            std::fprintf(stderr, "step %d: %s   [attach/diag/slot0:", step, kStepNames[op]);
            for (int d = 1; d <= kDevices; ++d)
                if (HasBlock(d))
                    std::fprintf(stderr, " %d:%u/%u/%u", d, sim::ReadStatusWord(d, ATTACH_COUNT),
                                 sim::ReadStatusWord(d, DIAG_COUNT), sim::ReadStatusWord(d, SLOT0));
            std::fprintf(stderr, "]\n");
        }
        switch (op) {
            case 0:
                OpenCard(m, in);
                break;
            case 1:
                CloseCard(m, in);
                break;
            case 2:
                ClearConnections(m, in);
                break;
            case 3:
                Wait(m, in);
                break;
            case 4:
                Counts(m, in);
                break;
            case 5:
                SetTimeout(m, in);
                break;
            case 6:
                Eeprom(m, in);
                break;
            case 7:
                Registers(m, in);
                break;
            case 8:
                Regions(m, in);
                break;
            case 9:
                Identity(m, in);
                break;
            case 10:
                DeviceOpen(m, in);
                break;
            case 11:
                DeviceUse(m, in);
                break;
            case 12:
                ArmFault(m, in);
                break;
            default: {
                const int d = 1 + in.u8() % kDevices;
                if (HasBlock(d)) sim::RaiseIrq(d, 1 + in.u8() % 3);
                break;
            }
        }
        // Comparing with the machine costs more than most calls: after every
        // call that opens, closes or resets, and every eighth step otherwise.
        if (op <= 2 || op == 10 || op == 11 || step % 8 == 7) CheckMachine(m, kStepNames[op]);
    }
    sim::ClearFaults();
    CloseEverything(m);
    CheckMachine(m, "closing everything");
    for (int d = 1; d <= kDevices; ++d)
        if (m.held[d] != 0) Fail("model still holds %d handles of device %d", m.held[d], d);
    RegistryUnload();
    if (posix_test::OpenHandleCount() != 0) Fail("%zu handles left open", posix_test::OpenHandleCount());
    if (MappingsOfRoot() != gBaselineMaps)
        Fail("card memory left mapped: %d mappings, %d before", MappingsOfRoot(), gBaselineMaps);
    const auto e952 = sim::EepromWords(2), e9162 = sim::EepromWords(3);
    if (!std::equal(m.eeprom[0].begin(), m.eeprom[0].end(), e952.begin()) ||
        !std::equal(m.eeprom[1].begin(), m.eeprom[1].end(), e9162.begin()))
        Fail("EEPROM contents differ from the words written");
    // What Ox diagnostic connections leave counted is theirs to leave (their
    // close does not release it); reset it so every input starts alike.
    for (int d = 1; d <= kDevices; ++d)
        if (HasBlock(d)) {
            sim::WriteStatusWord(d, DIAG_COUNT, 0);
            sim::WriteStatusWord(d, SLOT0, 0);
        }
    return 0;
}
