// A fresh simulated machine for one test: created in a new temporary root,
// made this process's root, and deleted again with everything the test armed
// (by the process that made it only: a forked child leaves it alone).
#pragma once

#include <string>

#include "sim/control.h"

namespace quelt_test {

class TempMachine {
public:
    // withDefaultCards: the default machine (OX952 two functions, OX9162,
    // EP4GXA); otherwise an empty machine.
    explicit TempMachine(bool withDefaultCards = false);
    ~TempMachine();
    TempMachine(const TempMachine&) = delete;
    TempMachine& operator=(const TempMachine&) = delete;

    const std::string& root() const { return root_; }

private:
    std::string root_;
    int creatorPid_ = 0;  // a forked child that unwinds must not delete the parent's machine
};

}  // namespace quelt_test
