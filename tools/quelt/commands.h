// One function per quelt command. main.cpp parses the command line into these
// option records; each function throws Failure to end with a message.
#pragma once

#include <string>
#include <vector>

#include "common.h"

namespace quelt_tool {

struct CardOptions {
    std::string family, position;
    std::string kind = "diagnostic";
    bool json = false;
};

int CmdList(bool asJson);
int CmdInfo(const CardOptions& o);
int CmdRegions(const CardOptions& o);
int CmdConnections(const CardOptions& o, bool clear);
int CmdDriverVersion(bool asJson);

struct AccessOptions {
    CardOptions card;
    std::string region;  // empty: the family's first region
    std::string width;   // empty: the region's default width
    std::string offset;
    std::string count = "1";
    std::vector<std::string> values;  // write: one value (two for 2x32)
};
int CmdRead(const AccessOptions& o);
int CmdWrite(const AccessOptions& o);

struct WatchOptions {
    AccessOptions access;
    std::vector<std::string> offsets;
    std::string interval = "500", duration = "0";
};
int CmdWatch(const WatchOptions& o);

struct EepromOptions {
    CardOptions card;
    std::string word, value, file;
    bool yes = false;
};
int CmdEepromRead(const EepromOptions& o);
int CmdEepromWrite(const EepromOptions& o);
int CmdEepromErase(const EepromOptions& o);
int CmdEepromSave(const EepromOptions& o);
int CmdEepromLoad(const EepromOptions& o);

struct IrqOptions {
    CardOptions card;
    std::string timeout = "5000", waits = "1", during = "0";
};
int CmdIrqWait(const IrqOptions& o);
int CmdIrqCount(const IrqOptions& o);
int CmdIrqWaits(const IrqOptions& o);
int CmdIrqDiscard(const IrqOptions& o);

struct DeviceOptions {
    std::string name, index = "1", kind = "multi";
    std::string size, hold = "0", timeout = "5000";
    bool waitIrq = false, discard = false, json = false;
};
int CmdDevices(bool asJson);
int CmdOpen(const DeviceOptions& o);
int CmdDma(const DeviceOptions& o);

}  // namespace quelt_tool
