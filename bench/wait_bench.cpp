// An interrupt ping-pong between two processes through the family wait,
// beside a raw futex ping-pong between two processes: one round trip per
// iteration. In the library's, each process waits on its own card with
// EP4GXA_IRQ_Wait and raises the other card's interrupt; the simulated driver
// then wakes the waiter through a futex in the card's shared memory.
#include <benchmark/benchmark.h>
#include <linux/futex.h>
#include <sys/syscall.h>

#include <atomic>

#include "bench_machine.h"

namespace {

// A word both processes map; stop tells the partner to end.
struct SharedWords {
    std::atomic<std::uint32_t> ping{0};
    std::atomic<std::uint32_t> pong{0};
    std::atomic<std::uint32_t> stop{0};
};

SharedWords* MapSharedWords() {
    void* p = mmap(nullptr, sizeof(SharedWords), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::runtime_error("mmap");
    return new (p) SharedWords;
}

void FutexWait(std::atomic<std::uint32_t>* word, std::uint32_t seen) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT, seen, nullptr, nullptr, 0);
}
void FutexWake(std::atomic<std::uint32_t>* word) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

// Waits until the word is no longer `seen`.
void AwaitChange(std::atomic<std::uint32_t>* word, std::uint32_t seen) {
    while (word->load(std::memory_order_acquire) == seen) FutexWait(word, seen);
}

void BM_Raw_FutexPingPong(benchmark::State& state) {
    SharedWords* w = MapSharedWords();
    const pid_t pid = fork();
    if (pid == 0) {
        std::uint32_t seen = 0;
        for (;;) {
            AwaitChange(&w->ping, seen);
            seen = w->ping.load(std::memory_order_acquire);
            if (w->stop.load()) _exit(0);
            w->pong.fetch_add(1, std::memory_order_release);
            FutexWake(&w->pong);
        }
    }
    std::uint32_t seen = 0;
    for (auto _ : state) {
        w->ping.fetch_add(1, std::memory_order_release);
        FutexWake(&w->ping);
        AwaitChange(&w->pong, seen);
        seen = w->pong.load(std::memory_order_acquire);
    }
    w->stop = 1;
    w->ping.fetch_add(1);
    FutexWake(&w->ping);
    waitpid(pid, nullptr, 0);
    munmap(w, sizeof(SharedWords));
}

struct TwoCards : bench::Scenario {
    bench::Machine machine{2};
};

// Two EP4GXA cards: this process waits on position 0, the partner on 1.
void BM_EP4GXA_IrqPingPong(benchmark::State& state) {
    bench::Use<TwoCards>("two cards", [] { return std::make_unique<TwoCards>(); });
    std::uint32_t cards = 0;
    EP4GXA_CardsInSystem(&cards);
    SharedWords* w = MapSharedWords();
    const pid_t pid = fork();
    if (pid == 0) {
        RegistryUnload();  // nothing is open yet; start this process's own state
        RegistryLoad();
        sim::IrqLine first(1);
        const bool open = EP4GXA_Open(1, 1) == 0 && EP4GXA_IRQ_SetTimeout(1, 10000) == 0;
        w->pong.store(open ? 1 : 2);
        FutexWake(&w->pong);
        if (!open) _exit(1);
        std::uint32_t count = 0;
        for (;;) {
            EP4GXA_IRQ_Wait(1, &count);
            if (w->stop.load()) break;
            first.Raise();
        }
        EP4GXA_Close(1);
        _exit(0);
    }
    sim::IrqLine second(2);
    // Only once the partner is open: its first call scans the cards, and a
    // normal connection is refused while the scan has this card attached.
    AwaitChange(&w->pong, 0);
    if (w->pong.load() != 1 || EP4GXA_Open(0, 1) != 0 || EP4GXA_IRQ_SetTimeout(0, 10000) != 0) {
        state.SkipWithError("EP4GXA_Open");
        w->stop = 1;
        second.Raise();
        waitpid(pid, nullptr, 0);
        munmap(w, sizeof(SharedWords));
        return;
    }
    std::uint32_t count = 0;
    for (auto _ : state) {
        second.Raise();
        if (EP4GXA_IRQ_Wait(0, &count) != 0) {
            state.SkipWithError("wait failed");
            break;
        }
    }
    w->stop = 1;
    second.Raise();
    waitpid(pid, nullptr, 0);
    EP4GXA_Close(0);
    munmap(w, sizeof(SharedWords));
}

// Wall time between two processes on a busy machine varies from run to run:
// the median of several runs is reported.
BENCHMARK(BM_EP4GXA_IrqPingPong)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly();
BENCHMARK(BM_Raw_FutexPingPong)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly();

}  // namespace
