// Kill storms: rounds of real processes opening and closing the same cards in
// all three kinds, waiting for interrupts that other processes raise, closing
// cards under their own waiting threads and writing the EEPROM, while the
// test kills some of them at random moments (SIGKILL) and leaves others
// unreaped as zombies for a round. Bounded in rounds, processes, calls and
// time; nothing waits without a bound.
//
// Afterwards a fresh process opens every card in every kind; nothing is left
// attached or waiting; the first slots are free; every EEPROM word is one a
// writer wrote whole. Throughout, no two processes held a normal connection
// to one card at once, except where the card's diagnostic count still
// counted a connection of a killed process: that stale count lets a second
// normal connection in, which the test recognises and reports separately.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "quelt_ox952.h"
#include "registry/card_table.h"
#include "sim/control.h"
#include "support/child_process.h"
#include "support/temp_machine.h"

namespace {

constexpr int kRounds = 8;
constexpr int kChildrenPerRound = 6;
constexpr int kCallsPerChild = 120;
constexpr int kMaxChildren = kRounds * kChildrenPerRound + 1;
constexpr auto kRoundBound = std::chrono::seconds(20);

constexpr std::size_t DIAG_COUNT = 16, SLOT0 = 24;

// The cards at position 0 of each family; device numbers 1 and 2 (OX952,
// two functions), 3 (OX9162) and 4 (EP4GXA).
struct FamilyCalls {
    const char* name;
    std::uint32_t (*open[3])(std::uint32_t, std::uint32_t);
    std::uint32_t (*close)(std::uint32_t);
    std::uint32_t (*wait)(std::uint32_t, std::uint32_t*);
    std::uint32_t (*setTimeout)(std::uint32_t, std::int32_t);
    std::uint32_t (*count)(std::uint32_t);
    std::uint32_t (*clear)(std::uint32_t);
    int device;     // the device whose block admission of a normal connection reads
    int irqDevice;  // the device whose interrupts its waits see
};
#define STORM_FAMILY_(P, device, irqDevice)                                                              \
    FamilyCalls {                                                                                        \
#P, {P##_Open, P##_OpenMulti, P##_OpenDiagnostic }, P##_Close, P##_IRQ_Wait, P##_IRQ_SetTimeout, \
             P##_IRQ_Count, P##_ClearConnections, device, irqDevice                                      \
    }
const FamilyCalls kFamilies[3] = {STORM_FAMILY_(OX952, 1, 2), STORM_FAMILY_(OX9162, 3, 3),
                                  STORM_FAMILY_(EP4GXA, 4, 4)};

// A checksummed EEPROM word: the high byte is the complement of the low one,
// so a word made of parts of two writes, or half programmed, shows.
std::uint16_t Whole(std::uint8_t low) {
    return static_cast<std::uint16_t>(low | (static_cast<std::uint8_t>(~low) << 8));
}
bool IsWhole(std::uint16_t w) {
    return Whole(static_cast<std::uint8_t>(w)) == w;
}

// Shared by the test and every child (an anonymous shared mapping made
// before the first fork): who holds which connection, as each child declares
// it between its open returning and its close being called.
struct Board {
    std::atomic<pid_t> pids[kMaxChildren];
    std::atomic<int> normal[3][kMaxChildren];
    std::atomic<int> diagnostic[3][kMaxChildren];  // declared, for the EEPROM writer's own checks
    std::atomic<int> doubleNormal;  // two normal connections at once, no stale count to explain it
    std::atomic<int> doubleStale;   // the same, let in by a stale diagnostic count
    std::atomic<int> normalsAdmitted;
    std::atomic<int> eepromWrites;
    std::atomic<int> waitsEndedByClose;
    std::atomic<int> unexpected;  // calls with a result outside their documented set
    char lastUnexpected[160];
};

bool Alive(pid_t pid) {
    if (pid <= 0 || ::kill(pid, 0) != 0) return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] != 'Z' &&
           text[paren + 2] != 'X';
}

class KillStorm : public ::testing::Test {
protected:
    void SetUp() override {
        // The default machine: a two-function OX952 card, an OX9162 and an EP4GXA card.
        machine_ = std::make_unique<quelt_test::TempMachine>(true);
        for (int device : {2, 3}) {
            sim::SetEepromProgramTime(device, 1);
            for (int w = 0; w < 64; ++w) sim::SetEepromWord(device, w, Whole(static_cast<std::uint8_t>(w)));
        }
        void* mem = ::mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(mem, MAP_FAILED);
        board_ = new (mem) Board{};
    }
    void TearDown() override {
        if (board_) ::munmap(board_, sizeof(Board));
        machine_.reset();
    }

    std::unique_ptr<quelt_test::TempMachine> machine_;
    Board* board_ = nullptr;
};

void Unexpected(Board& b, const std::string& what) {
    b.unexpected.fetch_add(1);
    std::snprintf(b.lastUnexpected, sizeof b.lastUnexpected, "%s", what.c_str());
}

// After a normal open of family f by child me: is another live process
// holding a normal connection to the card? Admission refuses a second normal
// connection while the card's attach count minus its diagnostic count is 2
// or more; live diagnostic connections are attached too, so only a count of
// connections that are gone (a killed process's) can let one in. The count
// was read right after the open returned: a stale count stays until a reset,
// so a double with a count of 0 is a real fault.
void CheckSoleNormal(Board& b, int f, int me, std::uint32_t diagAfterOpen) {
    for (int j = 0; j < kMaxChildren; ++j) {
        if (j == me || b.normal[f][j].load() == 0 || !Alive(b.pids[j].load())) continue;
        // A process killed this moment may still look alive while the kernel
        // drops its handles: judge again a little later.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        if (b.normal[f][j].load() == 0 || !Alive(b.pids[j].load())) continue;
        if (diagAfterOpen > 0)
            b.doubleStale.fetch_add(1);
        else
            b.doubleNormal.fetch_add(1);
        return;
    }
}

// One storm process: opens, holds, waits and closes, or writes the EEPROM.
int StormChild(Board& b, int me, unsigned seed, bool eepromWriter) {
    RegistryLoad();
    std::mt19937 rng(seed);
    for (int i = 0; i < kCallsPerChild; ++i) {
        const int f = static_cast<int>(rng() % 3);
        const FamilyCalls& fam = kFamilies[f];
        const unsigned what = eepromWriter && i % 2 == 0 ? 99 : rng() % 4;
        if (what == 99) {  // a word of each EEPROM, read back whole
            const bool ox952 = rng() % 2;
            if ((ox952 ? OX952_OpenDiagnostic(0, 0) : OX9162_OpenDiagnostic(0, 0)) != 0) {
                Unexpected(b, "diagnostic open for the EEPROM refused");
                continue;
            }
            b.diagnostic[ox952 ? 0 : 1][me].store(1);
            const std::uint32_t word = rng() % 64;
            const std::uint16_t v = Whole(static_cast<std::uint8_t>(rng()));
            std::uint16_t back = 0;
            const std::uint32_t w = ox952 ? OX952_EEPROM_WR(0, word, v) : OX9162_EEPROM_WR(0, word, v);
            const std::uint32_t r =
                ox952 ? OX952_EEPROM_RD(0, word, &back) : OX9162_EEPROM_RD(0, word, &back);
            if (w != 0 || r != 0 || back != v)
                Unexpected(b, "EEPROM word " + std::to_string(word) + " wrote " + std::to_string(v) +
                                  " read " + std::to_string(back) + " (codes " + std::to_string(w) + ", " +
                                  std::to_string(r) + ")");
            b.eepromWrites.fetch_add(1);
            b.diagnostic[ox952 ? 0 : 1][me].store(0);
            (ox952 ? OX952_Close : OX9162_Close)(0);
        } else if (what == 3) {  // raise interrupts for the others
            sim::RaiseIrq(kFamilies[rng() % 3].irqDevice);
        } else {
            const int kind = static_cast<int>(rng() % 3);
            const std::uint32_t r = fam.open[kind](0, 1);
            const std::uint32_t diagAfterOpen = sim::ReadStatusWord(fam.device, DIAG_COUNT);
            if (r == QUELT_REFUSED) continue;
            if (r != 0) {
                Unexpected(b, std::string(fam.name) + " open kind " + std::to_string(kind) + " gave " +
                                  std::to_string(r));
                continue;
            }
            if (kind == 0) {
                b.normal[f][me].store(1);
                b.normalsAdmitted.fetch_add(1);
                CheckSoleNormal(b, f, me, diagAfterOpen);
            }
            if (kind == 2) b.diagnostic[f][me].store(1);
            if (what == 2) {
                // Close under a waiting thread: the wait has no time limit and
                // ends by the close (or by an interrupt another process raised).
                fam.setTimeout(0, 0);
                std::atomic<std::uint32_t> result{0xFFFFFFFFu};
                std::thread waiter([&] { result = fam.wait(0, nullptr); });
                std::this_thread::sleep_for(std::chrono::milliseconds(1 + rng() % 5));
                b.normal[f][me].store(0);
                b.diagnostic[f][me].store(0);
                fam.close(0);
                waiter.join();
                const std::uint32_t got = result.load();
                if (got == QUELT_WAIT_ENDED) b.waitsEndedByClose.fetch_add(1);
                // A wait that starts while the close runs finds interrupts
                // already disabled (0x100) or the card gone (0x40).
                else if (got != 0 && got != QUELT_NOT_OPEN && got != QUELT_IRQ_NOT_ENABLED)
                    Unexpected(b,
                               std::string(fam.name) + "_IRQ_Wait under a close gave " + std::to_string(got));
                continue;
            }
            fam.setTimeout(0, 1 + static_cast<std::int32_t>(rng() % 5));
            const std::uint32_t waited = fam.wait(0, nullptr);
            // Another process closing the card discards every wait pending on
            // it, in every process.
            if (waited != 0 && waited != QUELT_TIMEOUT && waited != QUELT_WAIT_ENDED)
                Unexpected(b, std::string(fam.name) + "_IRQ_Wait gave " + std::to_string(waited));
            fam.count(0);
            b.normal[f][me].store(0);
            b.diagnostic[f][me].store(0);
            if (fam.close(0) != 0) Unexpected(b, std::string(fam.name) + "_Close failed");
        }
    }
    RegistryUnload();
    return 0;
}

TEST_F(KillStorm, ProcessesKilledAndLeftAsZombiesLeaveNothingBehind) {
    Board& b = *board_;
    std::mt19937 rng(20261208u);
    int started = 0, killed = 0, zombies = 0;
    std::vector<std::unique_ptr<quelt_test::Child>> unreaped;  // zombies of the round before
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::unique_ptr<quelt_test::Child>> children;
        const int writer = static_cast<int>(rng() % kChildrenPerRound);
        for (int c = 0; c < kChildrenPerRound; ++c) {
            const int me = started++;
            const unsigned seed = rng();
            children.push_back(
                std::make_unique<quelt_test::Child>([&b, me, seed, eeprom = c == writer](quelt_test::Child&) {
                    return StormChild(b, me, seed, eeprom);
                }));
            b.pids[me].store(children.back()->pid());
        }
        // Kill a few at random moments.
        std::vector<bool> victim(kChildrenPerRound);
        for (int c = 0; c < kChildrenPerRound; ++c) victim[c] = rng() % 3 == 0;
        for (int c = 0; c < kChildrenPerRound; ++c) {
            if (!victim[c]) continue;
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 40));
            ::kill(children[c]->pid(), SIGKILL);
            ++killed;
        }
        // The round's zombies of the round before are reaped now.
        for (auto& z : unreaped) z->Wait(kRoundBound);
        unreaped.clear();
        // The others end by themselves; one that ended is left unreaped.
        const int zombie = static_cast<int>(rng() % kChildrenPerRound);
        for (int c = 0; c < kChildrenPerRound; ++c) {
            if (c == zombie && !victim[c]) {
                siginfo_t info{};
                const auto deadline = std::chrono::steady_clock::now() + kRoundBound;
                while (std::chrono::steady_clock::now() < deadline) {
                    info = {};
                    if (::waitid(P_PID, static_cast<id_t>(children[c]->pid()), &info,
                                 WEXITED | WNOWAIT | WNOHANG) == 0 &&
                        info.si_pid != 0)
                        break;
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                ++zombies;
                unreaped.push_back(std::move(children[c]));
                continue;
            }
            const auto outcome = children[c]->Wait(kRoundBound);
            EXPECT_FALSE(outcome.timedOut) << "round " << round << " child " << c << " ran over its bound";
            if (!victim[c]) EXPECT_TRUE(outcome.exited && outcome.code == 0) << outcome.report;
        }
    }
    for (auto& z : unreaped) z->Wait(kRoundBound);
    unreaped.clear();

    EXPECT_EQ(b.unexpected.load(), 0) << b.lastUnexpected;
    EXPECT_EQ(b.doubleNormal.load(), 0) << "two processes held normal connections to one card at once";
    std::printf(
        "kill storm: %d processes, %d killed, %d left as zombies; %d normal connections admitted, %d EEPROM "
        "writes, %d waits ended by their close; second normal connection let in by a stale diagnostic count: "
        "%d\n",
        started, killed, zombies, b.normalsAdmitted.load(), b.eepromWrites.load(), b.waitsEndedByClose.load(),
        b.doubleStale.load());

    // Nobody survives: nothing may stay attached or waiting.
    for (int d = 1; d <= 4; ++d) {
        EXPECT_EQ(sim::AttachedHandles(d), 0) << "device " << d;
        EXPECT_EQ(sim::PendingWaits(d), 0u) << "device " << d;
    }
    // No EEPROM word torn.
    for (int d : {2, 3}) {
        const auto words = sim::EepromWords(d);
        for (std::size_t w = 0; w < 64; ++w)
            EXPECT_TRUE(IsWhole(words[w]))
                << "device " << d << " EEPROM word " << w << " is torn: " << words[w];
    }
    // A fresh process opens every card in every kind, and its EEPROM works.
    quelt_test::Child fresh([](quelt_test::Child& self) {
        RegistryLoad();
        int bad = 0;
        for (const FamilyCalls& f : kFamilies)
            for (int kind = 0; kind < 3; ++kind) {
                const std::uint32_t r = f.open[kind](0, 1);
                const std::uint32_t c = f.close(0);
                if (r != 0 || c != 0) {
                    self.Report(std::string(f.name) + " kind " + std::to_string(kind) + ": open " +
                                std::to_string(r) + " close " + std::to_string(c) + "\n");
                    ++bad;
                }
            }
        for (int ox952 = 0; ox952 < 2; ++ox952) {
            if ((ox952 ? OX952_Open(0, 0) : OX9162_Open(0, 0)) != 0) {
                ++bad;
                continue;
            }
            for (std::uint32_t w = 0; w < 64; ++w) {
                std::uint16_t back = 0;
                const std::uint16_t v = Whole(static_cast<std::uint8_t>(w * 7));
                if ((ox952 ? OX952_EEPROM_WR(0, w, v) : OX9162_EEPROM_WR(0, w, v)) != 0 ||
                    (ox952 ? OX952_EEPROM_RD(0, w, &back) : OX9162_EEPROM_RD(0, w, &back)) != 0 || back != v)
                    ++bad;
            }
            (ox952 ? OX952_Close : OX9162_Close)(0);
        }
        RegistryUnload();
        return bad;
    });
    const auto outcome = fresh.Wait(std::chrono::seconds(60));
    EXPECT_TRUE(outcome.exited && outcome.code == 0) << outcome.report;
    for (int d = 1; d <= 4; ++d) {
        EXPECT_EQ(sim::AttachedHandles(d), 0) << "device " << d;
        EXPECT_EQ(sim::ReadStatusWord(d, SLOT0), 0u) << "first slot of device " << d;
    }
    // Diagnostic connections of killed processes stay counted until a reset,
    // and only until then, also from a process that never opened the cards.
    quelt_test::Child reset([](quelt_test::Child&) {
        RegistryLoad();
        int bad = 0;
        for (const FamilyCalls& f : kFamilies) bad += f.clear(0) != 0;
        RegistryUnload();
        return bad;
    });
    EXPECT_EQ(reset.Wait(std::chrono::seconds(30)).code, 0);
    for (int d = 1; d <= 4; ++d) EXPECT_EQ(sim::ReadStatusWord(d, DIAG_COUNT), 0u) << "device " << d;
}

// A two-function OX952 card whose second function still counts the
// diagnostic connection of a killed process: a reset from a process that
// has not opened the card must clear both functions' blocks, as it says;
// a count left standing would make OX952_Card_OpenCount of a later open
// report the attach count minus it, wrapped below zero.
TEST_F(KillStorm, ResetOfAFreshProcessClearsBothFunctions) {
    quelt_test::Child holder([](quelt_test::Child& self) {
        RegistryLoad();
        if (OX952_OpenDiagnostic(0, 0) != 0) return 1;
        self.Report("open\n");
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    });
    ASSERT_NE(holder.AwaitLine("open"), "");
    holder.Kill();
    ASSERT_EQ(sim::ReadStatusWord(2, DIAG_COUNT), 1u);
    quelt_test::Child reset([](quelt_test::Child&) {
        RegistryLoad();
        return static_cast<int>(OX952_ClearConnections(0));
    });
    EXPECT_EQ(reset.Wait(std::chrono::seconds(30)).code, 0);
    EXPECT_EQ(sim::ReadStatusWord(1, DIAG_COUNT), 0u) << "function 0";
    EXPECT_EQ(sim::ReadStatusWord(2, DIAG_COUNT), 0u) << "function 1";
    quelt_test::Child counter([](quelt_test::Child& self) {
        RegistryLoad();
        std::uint32_t n = 0;
        if (OX952_Open(0, 0) != 0 || OX952_Card_OpenCount(0, &n) != 0) return 1;
        self.Report("count " + std::to_string(n) + "\n");
        return n == 1 ? 0 : 2;
    });
    const auto outcome = counter.Wait(std::chrono::seconds(30));
    EXPECT_EQ(outcome.code, 0) << outcome.report;
}

}  // namespace
