// A fresh simulated machine for one test: created in a new temporary root,
// made this process's root, and deleted again with everything the test armed.
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
    std::string previousRoot_;
};

}  // namespace quelt_test
