#include "machine.h"

#include <iostream>

#include "common.h"

#if QUELT_TOOL_SIM
#include "quelt_sim.h"
#endif

namespace quelt_tool {

#if QUELT_TOOL_SIM
std::vector<std::string> MachineProblems() {
    // The machine the library uses: a null root is the library's own choice.
    std::vector<std::string> problems;
    int count = 0;
    const int code = quelt_sim_card_count(nullptr, &count);
    if (code == QUELT_SIM_NO_MACHINE)
        return {std::string(quelt_sim_last_error()) + " (make one with quelt-sim init)"};
    if (code != QUELT_SIM_OK) return {quelt_sim_last_error()};
    for (int device = 1; device <= count; ++device) {
        const std::string n = std::to_string(device);
        char problem[1024], file[4096];
        if (quelt_sim_card_problem(nullptr, device, problem, sizeof problem, file, sizeof file) !=
            QUELT_SIM_OK)
            problems.push_back("device " + n + ": " + quelt_sim_last_error());
        else if (problem[0] != '\0')
            problems.push_back("device " + n + ": card file " + file + " is damaged: " + problem +
                               " (quelt-sim repair " + n + ", or quelt-sim remove " + n + ")");
    }
    return problems;
}
#else
std::vector<std::string> MachineProblems() {
    return {};
}
#endif

int ReportMachineProblems(int rc) {
    const std::vector<std::string> problems = MachineProblems();
    for (const std::string& problem : problems) std::cerr << "quelt: " << problem << "\n";
    return problems.empty() ? rc : kExitFailure;
}

}  // namespace quelt_tool
