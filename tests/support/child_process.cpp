#include "child_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <stdexcept>
#include <thread>

namespace quelt_test {

namespace {

void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

// Reads what is there within bound; false on time-out or end of file.
bool ReadSome(int fd, std::string* into, std::chrono::milliseconds bound) {
    pollfd p{fd, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, static_cast<int>(bound.count()));
    } while (r < 0 && errno == EINTR);
    if (r <= 0) return false;
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    into->append(buf, static_cast<std::size_t>(n));
    return true;
}

}  // namespace

Child::Child(std::function<int(Child&)> body) {
    int up[2];
    int down[2];
    if (::pipe(up) != 0 || ::pipe(down) != 0) throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::close(up[0]);
        ::close(down[1]);
        toParent_ = up[1];
        toChild_ = down[0];
        int code = 100;
        try {
            code = body(*this);
        } catch (const std::exception& e) {
            Report(std::string("exception: ") + e.what() + "\n");
        } catch (...) {
            Report("exception\n");
        }
        // No destructors, no atexit handlers of the test framework.
        ::_exit(code);
    }
    ::close(up[1]);
    ::close(down[0]);
    toParent_ = up[0];
    toChild_ = down[1];
}

Child::~Child() {
    if (pid_ > 0 && !reaped_) Kill();
    if (toParent_ >= 0) ::close(toParent_);
    if (toChild_ >= 0) ::close(toChild_);
}

void Child::Report(const std::string& text) {
    WriteAll(toParent_, text);
}

void Child::Tell(const std::string& line) {
    WriteAll(toChild_, line + "\n");
}

std::string Child::Hear(std::chrono::milliseconds bound) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        auto nl = heard_.find('\n');
        if (nl != std::string::npos) {
            std::string line = heard_.substr(0, nl);
            heard_.erase(0, nl + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0 || !ReadSome(toChild_, &heard_, left)) return "";
    }
}

bool Child::ReadMore(std::chrono::milliseconds bound) {
    return ReadSome(toParent_, &received_, bound);
}

std::string Child::AwaitLine(const std::string& prefix, std::chrono::milliseconds bound) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    std::size_t& scanned = scanned_;  // lines already matched are not matched again
    for (;;) {
        for (;;) {
            auto nl = received_.find('\n', scanned);
            if (nl == std::string::npos) break;
            std::string line = received_.substr(scanned, nl - scanned);
            scanned = nl + 1;
            if (line.rfind(prefix, 0) == 0) return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0 || !ReadMore(left)) return "";
    }
}

Child::Outcome Child::Wait(std::chrono::milliseconds bound) {
    if (reaped_) return outcome_;
    auto deadline = std::chrono::steady_clock::now() + bound;
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            outcome_.timedOut = true;
            break;
        }
        // Drain the pipe meanwhile so a chatty child never blocks on it.
        ReadMore(std::chrono::milliseconds(10));
    }
    reaped_ = true;
    while (ReadMore(std::chrono::milliseconds(0))) {
    }
    outcome_.exited = !outcome_.timedOut && WIFEXITED(status);
    outcome_.code = outcome_.exited ? WEXITSTATUS(status) : -1;
    outcome_.report = received_;
    return outcome_;
}

void Child::Kill() {
    if (reaped_) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
    outcome_.exited = false;
    outcome_.report = received_;
}

}  // namespace quelt_test
