#include "temp_machine.h"

#include <unistd.h>

namespace quelt_test {

namespace {

void ClearTestControls(bool log) {
    sim::ClearFaults();
    sim::ClearRequestLog();
    sim::SetRequestLog(log);
    sim::SetImmediateWaits(false);
}

}  // namespace

TempMachine::TempMachine(bool withDefaultCards) {
    // The tests read what their devices received.
    ClearTestControls(true);
    root_ = sim::CreateTempMachine(withDefaultCards);
    creatorPid_ = static_cast<int>(::getpid());
}

TempMachine::~TempMachine() {
    if (static_cast<int>(::getpid()) != creatorPid_) return;
    ClearTestControls(false);
    try {
        sim::DeleteMachine(root_);
    } catch (const sim::Error&) {
        // Nothing a test can still do about it; the root is under /dev/shm.
    }
    sim::UseRoot("");
}

}  // namespace quelt_test
