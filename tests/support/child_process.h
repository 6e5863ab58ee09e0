// Real child processes for cross-process tests. The child runs a function
// and reports a result (an exit code and a text) through a pipe; the parent
// waits with a bound and kills the child when it runs over.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

namespace quelt_test {

class Child {
public:
    // What the child's function hands back: its exit code, and whatever it
    // wrote with Report().
    struct Outcome {
        bool exited = false;    // ended by returning (not killed or crashed)
        int code = -1;          // the function's result when exited
        bool timedOut = false;  // killed by Wait for running over
        std::string report;
    };

    // Forks; the child runs body (with a channel to report through) and exits
    // with its result, never returning into the test. An exception in the
    // child ends it with code 100 and the exception's text as its report.
    explicit Child(std::function<int(Child&)> body);
    ~Child();  // kills and reaps a child still running
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // In the child: appends text to the report the parent receives.
    void Report(const std::string& text);
    // In the parent: blocks until the child has reported a line starting with
    // prefix (the child's Report of a line), or the bound passes. Returns the
    // whole line, or "" on time-out or when the child ended.
    std::string AwaitLine(const std::string& prefix,
                          std::chrono::milliseconds bound = std::chrono::seconds(20));
    // In the parent: waits for the end within bound, else kills (SIGKILL).
    Outcome Wait(std::chrono::milliseconds bound = std::chrono::seconds(30));
    // Kills the child at once (SIGKILL) and reaps it.
    void Kill();

    // Parent-to-child: a line the child can block for (with a bound).
    void Tell(const std::string& line);
    std::string Hear(std::chrono::milliseconds bound = std::chrono::seconds(20));

    pid_t pid() const { return pid_; }

private:
    bool ReadMore(std::chrono::milliseconds bound);
    pid_t pid_ = -1;
    int toParent_ = -1;  // child writes, parent reads
    int toChild_ = -1;   // parent writes, child reads
    std::string received_;
    std::string heard_;
    std::size_t scanned_ = 0;
    bool reaped_ = false;
    Outcome outcome_;
};

}  // namespace quelt_test
