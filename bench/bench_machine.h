// What the benchmarks share: a simulated machine with a chosen set of cards
// and the library loaded over it, processes that hold cards open, and the raw
// operations every library figure is measured beside.
#pragma once

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "quelt_ox952.h"
#include "registry/card_table.h"
#include "sim/control.h"

namespace bench {

// The library and the simulator's root are process-wide, so only one set-up
// exists at a time: each benchmark names the one it needs, and a different
// name replaces the current one. Every thread of a benchmark may call Use; the
// first makes the set-up, the others find it.
struct Scenario {
    virtual ~Scenario() = default;
};

template <class S, class Make>
S& Use(const std::string& key, Make make) {
    static std::mutex lock;
    static std::unique_ptr<Scenario> current;
    static std::string currentKey;
    std::lock_guard g(lock);
    if (!current || key != currentKey) {
        current.reset();
        current = make();
        currentKey = key;
    }
    return static_cast<S&>(*current);
}

// A fresh machine of `ep4gxa` EP4GXA cards, `ox9162` OX9162 cards and `ox952`
// two-function OX952 cards, with the library loaded over it. Cards carry no
// identity words unless asked, so the scan reads nothing but the driver.
class Machine : public Scenario {
public:
    Machine(int ep4gxa, int ox9162 = 0, int ox952 = 0) {
        root_ = sim::CreateTempMachine(false);
        for (int i = 0; i < ox952; ++i) {
            sim::CardConfig f0 = sim::DefaultCard(sim::CardFamily::OX952);
            f0.slot = static_cast<std::uint32_t>(i + 1);
            f0.bus = 2;
            sim::AddCard(f0);
            sim::AddCard(sim::Ox952Function1(f0));
        }
        for (int i = 0; i < ox9162; ++i) {
            sim::CardConfig c = sim::DefaultCard(sim::CardFamily::OX9162);
            c.slot = static_cast<std::uint32_t>(i + 1);
            c.bus = 3;
            sim::AddCard(c);
        }
        for (int i = 0; i < ep4gxa; ++i) {
            sim::CardConfig c = sim::DefaultCard(sim::CardFamily::EP4GXA);
            c.slot = static_cast<std::uint32_t>(i + 1);
            c.bus = 4;
            sim::AddCard(c);
        }
        RegistryLoad();
    }
    ~Machine() {
        ReleaseHolders();
        RegistryUnload();
        sim::DeleteMachine(root_);
    }
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    const std::string& root() const { return root_; }

    // `count` other processes, each holding every EP4GXA card of the machine
    // open in a multi connection until the machine goes.
    void AddHolders(int count) {
        std::uint32_t cards = 0;
        EP4GXA_CardsInSystem(&cards);
        for (int i = 0; i < count; ++i) {
            int ready[2], release[2];
            if (pipe(ready) != 0 || pipe(release) != 0) throw std::runtime_error("pipe");
            const pid_t pid = fork();
            if (pid < 0) throw std::runtime_error("fork");
            if (pid == 0) {
                close(ready[0]);
                close(release[1]);
                RegistryUnload();  // the parent's table is not this process's
                RegistryLoad();
                for (std::uint32_t p = 0; p < cards; ++p) EP4GXA_OpenMulti(p, 0);
                char c = 1;
                if (write(ready[1], &c, 1) != 1) _exit(1);
                if (read(release[0], &c, 1) < 0) _exit(1);
                RegistryUnload();
                _exit(0);
            }
            close(ready[1]);
            close(release[0]);
            char c;
            if (read(ready[0], &c, 1) != 1) throw std::runtime_error("holder did not start");
            close(ready[0]);
            holders_.push_back({pid, release[1]});
        }
    }

    void ReleaseHolders() {
        for (const Holder& h : holders_) close(h.release);
        for (const Holder& h : holders_) waitpid(h.pid, nullptr, 0);
        holders_.clear();
    }

private:
    struct Holder {
        pid_t pid;
        int release;
    };
    std::string root_;
    std::vector<Holder> holders_;
};

}  // namespace bench
