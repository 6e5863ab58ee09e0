// Interrupts: wait for them (with time stamps), count them, ask the driver
// how many waits it holds, and discard the waits pending on a card.
#include <cstdio>
#include <iostream>

#include "commands.h"
#include "stop.h"

namespace quelt_tool {
namespace {

[[noreturn]] void Interrupted() {
    throw Failure{StopExitCode(), "interrupted: the wait was ended and every card closed"};
}

// The device that carries a card's interrupts: function 1 of an OX952 card.
const DeviceInfo& IrqDevice(const std::vector<DeviceInfo>& devices, const CardRef& card) {
    const DeviceInfo* d = DeviceOf(devices, card, std::string(card.family->name) == "ox952" ? 1 : 0);
    if (!d) Fail(card.Name() + ": its device was not found among the driver's devices");
    return *d;
}

}  // namespace

int CmdIrqWait(const IrqOptions& o) {
    CardRef card = ParseCard(o.card.family, o.card.position);
    auto timeout = static_cast<int32_t>(ParseSigned(o.timeout, 0, INT32_MAX, "time-out (ms)"));
    uint64_t waits = ParseNumber(o.waits, 1000000, "number of waits");
    if (waits == 0)
        Usage("bad number of waits '0': give a number from 1 to 1000000 (to count, use 'quelt irq count')");
    const FamilyApi& f = *card.family;
    OpenCard open(card, ParseKind(o.card.kind), true);
    Check(f.irqSetTimeout(card.position, timeout), card.Name() + ": setting the time-out");
    if (IsTerminal(stderr))
        std::fprintf(stderr, "waiting for interrupts of %s (time-out %d ms per wait%s; Ctrl-C ends)\n",
                     card.Name().c_str(), timeout, timeout == 0 ? ": none" : "");
    json events = json::array();
    auto finish = [&](const char* result) {
        if (o.card.json)
            PrintJson({{"family", f.name},
                       {"position", card.position},
                       {"timeout_ms", timeout},
                       {"interrupts", events},
                       {"result", result}});
    };
    for (uint64_t i = 0; i < waits; ++i) {
        uint32_t count = 0, code;
        {
            WaitSpan span;
            code = f.irqWait(card.position, &count);
        }
        if (StopRequested()) Interrupted();
        if (code == QUELT_TIMEOUT) {
            finish("timeout");
            throw Failure{kExitTimeout, card.Name() + ": timed out after " + std::to_string(timeout) +
                                            " ms without an interrupt"};
        }
        if (code == QUELT_WAIT_ENDED) {
            finish("ended");
            Fail(card.Name() +
                 ": the wait was ended without an interrupt (discarded, or the card was closed)");
        }
        Check(code, card.Name() + ": waiting for an interrupt");
        // An interrupt that no wait on the card has taken note of yet ends
        // the next wait at once, even one of a later process: say so rather
        // than let it pass for a new one.
        const bool earlier = count == 0;
        std::string time = Timestamp();
        events.push_back({{"time", time}, {"since_open", count}, {"earlier", earlier}});
        if (o.card.json) continue;
        if (earlier)
            std::cout << time << "  interrupt of " << card.Name()
                      << " that came before this wait began (no wait had taken note of it)" << std::endl;
        else
            std::cout << time << "  interrupt of " << card.Name() << " (" << count << " since open)"
                      << std::endl;
    }
    finish("interrupt");
    return kExitOk;
}

int CmdIrqCount(const IrqOptions& o) {
    CardRef card = ParseCard(o.card.family, o.card.position);
    auto during = static_cast<uint32_t>(ParseNumber(o.during, 86400000, "duration (ms)"));
    const FamilyApi& f = *card.family;
    OpenCard open(card, ParseKind(o.card.kind), false);
    if (during > 0 && !SleepUnlessStopped(during)) Interrupted();
    json out = {{"family", f.name},
                {"position", card.position},
                {"during_ms", during},
                {"since_open", f.irqCount(card.position)}};
    std::optional<StatusView> v = ReadStatus(card);
    out["card_counter"] = v ? json(v->irqCounter) : json(nullptr);
    if (std::string(f.name) == "ox952") out["f0_since_open"] = OX952_IRQ_CountF0(card.position);
    if (o.card.json) {
        PrintJson(out);
        return kExitOk;
    }
    std::cout << card.Name() << ": " << out["since_open"].get<uint32_t>() << " interrupt(s) in " << during
              << " ms";
    if (out.contains("f0_since_open"))
        std::cout << " (function 0: " << out["f0_since_open"].get<uint32_t>() << ")";
    if (v) std::cout << "; the driver has counted " << v->irqCounter << " in all";
    std::cout << "\n";
    return kExitOk;
}

int CmdIrqWaits(const IrqOptions& o) {
    CardRef card = ParseCard(o.card.family, o.card.position);
    RequireCard(card);
    uint32_t waits = 0;
    if (card.family->irqWaits) {
        OpenCard open(card, ParseKind(o.card.kind), false);
        waits = card.family->irqWaits(card.position);
    } else {
        // OX952 has no family member for it: ask through the function that
        // carries the interrupts, on a device handle that leaves no record.
        const std::vector<DeviceInfo> devices = ScanDevices();
        const DeviceInfo& d = IrqDevice(devices, card);
        DeviceHandle* h = OxOpenDevice("", d.number, kLookKind);
        if (!h) Fail(card.Name() + ": cannot open device " + std::to_string(d.number));
        waits = OxGetIrqWaits(h);
        OxCloseDevice(h);
    }
    if (o.card.json)
        PrintJson({{"family", card.family->name}, {"position", card.position}, {"irq_waits", waits}});
    else
        std::cout << card.Name() << ": the driver counts " << waits << " interrupt wait(s) on the card\n";
    return kExitOk;
}

int CmdIrqDiscard(const IrqOptions& o) {
    CardRef card = ParseCard(o.card.family, o.card.position);
    RequireCard(card);
    const std::vector<DeviceInfo> devices = ScanDevices();
    const DeviceInfo& d = IrqDevice(devices, card);
    DeviceHandle* h = OxOpenDevice("", d.number, kLookKind);
    if (!h) Fail(card.Name() + ": cannot open device " + std::to_string(d.number));
    const uint32_t pending = OxGetIrqWaits(h);
    OxDiscardWaitForIrq(h);
    OxCloseDevice(h);
    if (o.card.json)
        PrintJson({{"family", card.family->name},
                   {"position", card.position},
                   {"discarded", true},
                   {"irq_waits_before", pending}});
    else
        std::cout << "discarded the interrupt waits pending on " << card.Name() << " (in every process; "
                  << pending << " counted before)\n";
    return kExitOk;
}

}  // namespace quelt_tool
