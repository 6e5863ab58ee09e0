// quelt: the card tool. Lists the cards and devices, shows a card's identity,
// regions and connections, reads, writes and watches registers and memory,
// reads and writes the serial EEPROM, waits for and counts interrupts, and
// reaches the device-level functions (devices, open, DMA). It uses only the
// library's public interface, as any application would.
#include <CLI/CLI.hpp>
#include <iostream>

#include "commands.h"
#include "machine.h"
#include "stop.h"

using namespace quelt_tool;

namespace {

// kindDefault null: the command chooses its connection itself (no --kind).
void AddCard(CLI::App* cmd, CardOptions& o, const char* kindDefault = "diagnostic") {
    cmd->add_option("family", o.family, "ox952, ox9162 or ep4gxa")->required();
    cmd->add_option("position", o.position,
                    "the card's position within its family, 0 to 31 (see 'quelt list')")
        ->required();
    cmd->add_flag("--json", o.json, "JSON output");
    if (!kindDefault) return;
    o.kind = kindDefault;
    cmd->add_option("--kind", o.kind, "connection kind: normal, multi or diagnostic")
        ->default_str(*kindDefault ? kindDefault : "normal for writes, diagnostic for reads");
}

void AddAccess(CLI::App* cmd, AccessOptions& o) {
    AddCard(cmd, o.card);
    cmd->add_option(
           "--region", o.region,
           "region: ox952 bar05|bar11|bar13|shared, ox9162 bar3|bar4|shared, ep4gxa bar0|bar1|bar2|shared")
        ->default_str("the family's first region");
    cmd->add_option("--width", o.width,
                    "access width in bits: 8 (ox952, ox9162, every shared area), 8|32|64 (ep4gxa), 2x32 "
                    "(ep4gxa bar0)")
        ->default_str("8 for ox952/ox9162 and shared areas, 32 for ep4gxa bar0/bar1/bar2");
}

}  // namespace

int main(int argc, char** argv) {
    InstallStopHandler();
    CLI::App app{
        "quelt: list and use OX952, OX9162 and EP4GXA cards through the quelt_ox952 library.\n"
        "Numbers are decimal or 0x-hex. Exit codes: 0 done, 1 failed, 2 bad command line, 3 interrupt wait "
        "timed "
        "out, 130 ended by Ctrl-C (every card closed)."};
    // The bare name, without the folder or ".exe": the help reads the same
    // in a Windows console as in a Linux shell.
    app.name(ProgramName(argc > 0 ? argv[0] : nullptr));
    app.require_subcommand(1);
    app.set_version_flag(
        "--version", [] { return VersionText(); }, "show the tool, library interface and driver versions");
    app.get_formatter()->column_width(34);

    bool listJson = false, devicesJson = false, versionJson = false, clear = false;
    auto* list = app.add_subcommand("list", "list every card of every family, with its device and identity");
    list->add_flag("--json", listJson, "JSON output");

    CardOptions infoOpts, regionsOpts, connOpts;
    auto* info = app.add_subcommand(
        "info", "a card's identity, regions, shared area, connections (opened as diagnostic)");
    AddCard(info, infoOpts);
    auto* regions = app.add_subcommand("regions", "a card's mapped memory regions and shared area");
    AddCard(regions, regionsOpts);
    auto* conns =
        app.add_subcommand("connections", "show a card's connections, or clear its connection records");
    AddCard(conns, connOpts, nullptr);
    conns->add_flag("--clear", clear,
                    "close this process's connection and reset the card's records (diagnostic count 0, "
                    "attach count at most 1, slots free)");

    AccessOptions readOpts, writeOpts;
    auto* read = app.add_subcommand("read", "read a register or memory (a hex dump with --count)");
    AddAccess(read, readOpts);
    read->add_option("offset", readOpts.offset, "byte offset in the region")->required();
    read->add_option("--count", readOpts.count, "how many values to read from the offset on")
        ->default_str("1");
    auto* write = app.add_subcommand("write", "write a register or memory");
    AddAccess(write, writeOpts);
    write->add_option("offset", writeOpts.offset, "byte offset in the region")->required();
    write->add_option("value", writeOpts.values, "the value (with --width 2x32: LOW HIGH)")
        ->required()
        ->expected(1, 2);

    WatchOptions watchOpts;
    auto* watch =
        app.add_subcommand("watch", "poll registers or memory and print each change with a time stamp");
    AddAccess(watch, watchOpts.access);
    watch->add_option("offset", watchOpts.offsets, "byte offsets to watch")->required();
    watch->add_option("--interval", watchOpts.interval, "polling interval in ms")->default_str("500");
    watch->add_option("--duration", watchOpts.duration, "stop after this many ms (0: at Ctrl-C)")
        ->default_str("0");

    auto* eeprom =
        app.add_subcommand("eeprom", "the serial EEPROM of ox952 and ox9162 cards (64 words of 16 bits)");
    eeprom->require_subcommand(1);
    EepromOptions eRead, eWrite, eErase, eSave, eLoad;
    auto* eepromRead = eeprom->add_subcommand("read", "show all 64 words, or one");
    AddCard(eepromRead, eRead.card, "");
    eepromRead->add_option("word", eRead.word, "word number 0 to 63")->default_str("all");
    auto* eepromWrite = eeprom->add_subcommand("write", "write one word and read it back");
    AddCard(eepromWrite, eWrite.card, "");
    eepromWrite->add_option("word", eWrite.word, "word number 0 to 63")->required();
    eepromWrite->add_option("value", eWrite.value, "16-bit value")->required();
    auto* eepromErase = eeprom->add_subcommand("erase", "erase one word (to 0xFFFF) and read it back");
    AddCard(eepromErase, eErase.card, "");
    eepromErase->add_option("word", eErase.word, "word number 0 to 63")->required();
    auto* eepromSave = eeprom->add_subcommand("save", "save the 64 words to a file");
    AddCard(eepromSave, eSave.card, "");
    eepromSave->add_option("file", eSave.file, "the file to write")->required();
    auto* eepromLoad =
        eeprom->add_subcommand("load", "write a saved file to the EEPROM: shows the changes, asks, verifies");
    AddCard(eepromLoad, eLoad.card, "");
    eepromLoad->add_option("file", eLoad.file, "a file written by 'quelt eeprom save'")->required();
    eepromLoad->add_flag("--yes", eLoad.yes, "write without asking");

    auto* irq = app.add_subcommand("irq", "wait for, count and discard a card's interrupts");
    irq->require_subcommand(1);
    IrqOptions iWait, iCount, iWaits, iDiscard;
    auto* irqWait = irq->add_subcommand("wait", "wait for interrupts and print each with a time stamp");
    AddCard(irqWait, iWait.card);
    irqWait->add_option("--timeout", iWait.timeout, "time-out per wait in ms (0: none)")->default_str("5000");
    irqWait->add_option("--waits", iWait.waits, "how many interrupts to wait for")->default_str("1");
    auto* irqCount = irq->add_subcommand("count", "count the interrupts of a period");
    AddCard(irqCount, iCount.card);
    irqCount->add_option("--during", iCount.during, "how long to count, in ms")->default_str("0");
    auto* irqWaits = irq->add_subcommand("waits", "the driver's count of interrupt waits on the card");
    AddCard(irqWaits, iWaits.card);
    auto* irqDiscard =
        irq->add_subcommand("discard", "end every interrupt wait pending on the card, in every process");
    AddCard(irqDiscard, iDiscard.card, nullptr);

    auto* driverVersion = app.add_subcommand("driver-version", "ask the card driver for its version");
    driverVersion->add_flag("--json", versionJson, "JSON output");

    auto* devices =
        app.add_subcommand("devices", "list the driver's devices, with the family position of each");
    devices->add_flag("--json", devicesJson, "JSON output");

    DeviceOptions openOpts, dmaOpts;
    auto addDevice = [](CLI::App* cmd, DeviceOptions& o) {
        cmd->add_option("name", o.name,
                        "text that the device's description contains (\"\" matches every device)")
            ->required();
        cmd->add_option("--index", o.index, "which of the matching devices, from 1")->default_str("1");
        cmd->add_option("--kind", o.kind, "connection kind: normal, multi or diagnostic")
            ->default_str("multi");
        cmd->add_flag("--json", o.json, "JSON output");
    };
    auto* open = app.add_subcommand("open", "open a device by board name and index and show its resources");
    addDevice(open, openOpts);
    open->add_flag("--wait-irq", openOpts.waitIrq, "wait for the device's next interrupt");
    open->add_option("--timeout", openOpts.timeout, "time-out of --wait-irq in ms (0: none)")
        ->default_str("5000");
    open->add_flag("--discard", openOpts.discard, "discard the interrupt waits pending on the card");
    auto* dma = app.add_subcommand("dma", "allocate a DMA buffer on a device, show it, release it");
    addDevice(dma, dmaOpts);
    dma->add_option("--size", dmaOpts.size, "buffer size in bytes")->required();
    dma->add_option("--hold", dmaOpts.hold, "keep the buffer this many ms before releasing it (Ctrl-C ends)")
        ->default_str("0");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    int rc = kExitOk;
    try {
        if (*list) rc = CmdList(listJson);
        if (*info) rc = CmdInfo(infoOpts);
        if (*regions) rc = CmdRegions(regionsOpts);
        if (*conns) rc = CmdConnections(connOpts, clear);
        if (*read) rc = CmdRead(readOpts);
        if (*write) rc = CmdWrite(writeOpts);
        if (*watch) rc = CmdWatch(watchOpts);
        if (*eepromRead) rc = CmdEepromRead(eRead);
        if (*eepromWrite) rc = CmdEepromWrite(eWrite);
        if (*eepromErase) rc = CmdEepromErase(eErase);
        if (*eepromSave) rc = CmdEepromSave(eSave);
        if (*eepromLoad) rc = CmdEepromLoad(eLoad);
        if (*irqWait) rc = CmdIrqWait(iWait);
        if (*irqCount) rc = CmdIrqCount(iCount);
        if (*irqWaits) rc = CmdIrqWaits(iWaits);
        if (*irqDiscard) rc = CmdIrqDiscard(iDiscard);
        if (*driverVersion) rc = CmdDriverVersion(versionJson);
        if (*devices) rc = CmdDevices(devicesJson);
        if (*open) rc = CmdOpen(openOpts);
        if (*dma) rc = CmdDma(dmaOpts);
    } catch (const Failure& e) {
        std::cerr << "quelt: " << e.what << "\n";
        // A card the library cannot see may be a damaged one: name it.
        if (e.exitCode == kExitFailure)
            for (const std::string& problem : MachineProblems()) std::cerr << "quelt: " << problem << "\n";
        rc = e.exitCode;
    }
    // Every card was closed by the command's own scope by now.
    NoteCleanupDone();
    if (StopRequested() && !StopIsNormalEnd() && rc == kExitOk) rc = StopExitCode();
    return rc;
}
