// Ctrl-C and SIGTERM (the console control handler on Windows) end the tool
// cleanly: a wait in progress is ended by closing the cards it waits on, and
// every card is closed before the process exits, so no connection of an
// ended tool stays counted in a card's status block.
#pragma once

#include <cstdint>
#include <functional>

#include "quelt_ox952.h"

namespace quelt_tool {

// Takes over SIGINT and SIGTERM (or the console control events). Call once,
// before any other thread exists.
void InstallStopHandler();

bool StopRequested();
// The exit code for a stopped run: 128 + the signal's number (130 for Ctrl-C).
int StopExitCode();
// For commands that run until stopped (watch, dma --hold 0): a stop is their
// normal end, and the tool exits 0.
void StopEndsNormally();
bool StopIsNormalEnd();
// The main thread has closed everything; a console close event may let the
// process end now.
void NoteCleanupDone();

// Cards open in this process, closed by the stop handler if it fires while a
// wait runs.
using CloseFn = uint32_t(QUELT_CALL*)(uint32_t);
void RegisterOpenCard(CloseFn close, uint32_t position);
void UnregisterOpenCard(CloseFn close, uint32_t position);

// Marks the span of a blocking library wait. If a stop arrives inside it (or
// has arrived before it begins), end() runs on the stop handler's thread to
// end the wait; for family waits the default closes every registered card.
class WaitSpan {
public:
    explicit WaitSpan(std::function<void()> end = nullptr);
    ~WaitSpan();
    WaitSpan(const WaitSpan&) = delete;
    WaitSpan& operator=(const WaitSpan&) = delete;
};

// Sleeps up to ms; returns false at once when a stop is requested.
bool SleepUnlessStopped(uint32_t ms);

}  // namespace quelt_tool
