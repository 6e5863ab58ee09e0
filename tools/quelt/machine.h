// What is wrong with the simulated machine under the library, in words: the
// library only sees the cards it can use, so without this a damaged card is
// simply missing and an unusable root looks like a machine without cards.
#pragma once

#include <string>
#include <vector>

namespace quelt_tool {

// One line per problem ("device 3: card file ... is damaged: ..." or "the
// machine index in ROOT is damaged"); empty when the machine is sound, and
// always empty where the library drives real hardware.
std::vector<std::string> MachineProblems();

// For the listing commands: prints each problem as an error line and returns
// the failure exit code when there is any, else rc.
int ReportMachineProblems(int rc);

}  // namespace quelt_tool
