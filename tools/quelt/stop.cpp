#include "stop.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <thread>
#endif

namespace quelt_tool {
namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
std::atomic<bool> g_stop{false};
std::atomic<int> g_signal{0};
bool g_cleanupDone = false;
std::vector<std::pair<CloseFn, uint32_t>> g_cards;
bool g_inWait = false;
std::function<void()> g_endWait;

// Under g_mutex. Closing a family card ends the waits of this process on it
// (the library discards them); a device-level wait brings its own way out.
void EndWaitLocked() {
    if (g_endWait) {
        g_endWait();
        return;
    }
    for (const auto& [close, position] : g_cards) close(position);
}

void OnStop(int signal) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_stop.exchange(true)) return;
    g_signal = signal;
    if (g_inWait) EndWaitLocked();
    g_changed.notify_all();
}

#if defined(_WIN32)
BOOL WINAPI OnConsoleEvent(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            // A second Ctrl-C while the first is being handled ends at once,
            // as on Linux; the system releases what the process still holds.
            if (g_stop) TerminateProcess(GetCurrentProcess(), 128 + 2);
            OnStop(2);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: {
            // The system ends the process as soon as this returns, so give
            // the main thread the time to close its cards first.
            OnStop(15);
            std::unique_lock<std::mutex> lock(g_mutex);
            g_changed.wait_for(lock, std::chrono::seconds(4), [] { return g_cleanupDone; });
            return TRUE;
        }
        default:
            return FALSE;
    }
}
#endif

}  // namespace

void InstallStopHandler() {
#if defined(_WIN32)
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    // The signals are taken by one thread with sigwait, so that the work done
    // on a stop (closing cards) runs on an ordinary thread, not in a signal
    // handler where the library's locks must not be taken.
    static sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) continue;
            // A second Ctrl-C while the first is being handled ends at once.
            if (g_stop) _exit(128 + signal);
            OnStop(signal);
        }
    }).detach();
#endif
}

bool StopRequested() {
    return g_stop;
}

namespace {
std::atomic<bool> g_stopIsNormalEnd{false};
}
void StopEndsNormally() {
    g_stopIsNormalEnd = true;
}
bool StopIsNormalEnd() {
    return g_stopIsNormalEnd;
}

int StopExitCode() {
    return 128 + (g_signal ? g_signal.load() : 2);
}

void NoteCleanupDone() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_cleanupDone = true;
    g_changed.notify_all();
}

void RegisterOpenCard(CloseFn close, uint32_t position) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_cards.emplace_back(close, position);
}

void UnregisterOpenCard(CloseFn close, uint32_t position) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto it = g_cards.begin(); it != g_cards.end(); ++it) {
        if (it->first == close && it->second == position) {
            g_cards.erase(it);
            return;
        }
    }
}

WaitSpan::WaitSpan(std::function<void()> end) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_inWait = true;
    g_endWait = std::move(end);
    // A stop that came just before the wait: end it before it starts, so the
    // wait returns at once instead of running its full time.
    if (g_stop) EndWaitLocked();
}

WaitSpan::~WaitSpan() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_inWait = false;
    g_endWait = nullptr;
}

bool SleepUnlessStopped(uint32_t ms) {
    std::unique_lock<std::mutex> lock(g_mutex);
    return !g_changed.wait_for(lock, std::chrono::milliseconds(ms), [] { return g_stop.load(); });
}

}  // namespace quelt_tool
