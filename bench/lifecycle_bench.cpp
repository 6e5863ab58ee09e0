// Opening and closing a card, and the first call of a process (the card
// scan), by the number of cards in the machine and the number of other
// processes holding cards open; each beside what the operating system has to
// do at the least: opening a card file and mapping it (and, for the scan, that
// for every card).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "bench_machine.h"

namespace {

struct Crowd : bench::Scenario {
    bench::Machine machine;
    Crowd(int cards, int processes) : machine(cards) { machine.AddHolders(processes); }
};

Crowd& TheCrowd(const benchmark::State& state) {
    const int cards = static_cast<int>(state.range(0));
    const int processes = static_cast<int>(state.range(1));
    return bench::Use<Crowd>("crowd:" + std::to_string(cards) + ":" + std::to_string(processes),
                             [&] { return std::make_unique<Crowd>(cards, processes); });
}

// The last card, so a scan that stops early would not be measured.
void BM_EP4GXA_OpenClose(benchmark::State& state) {
    TheCrowd(state);
    std::uint32_t count = 0;
    EP4GXA_CardsInSystem(&count);
    const std::uint32_t position = count - 1;
    for (auto _ : state) {
        if (EP4GXA_OpenMulti(position, 0) != 0 || EP4GXA_Close(position) != 0) {
            state.SkipWithError("open or close failed");
            break;
        }
    }
}

// What an attach and a detach are at the least: a card file opened, mapped
// whole, unmapped and closed.
void MapCardFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("open " + path);
    struct stat st {};
    fstat(fd, &st);
    void* p = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    benchmark::DoNotOptimize(p);
    if (p != MAP_FAILED) munmap(p, static_cast<std::size_t>(st.st_size));
    close(fd);
}

void BM_Raw_OpenMapFile(benchmark::State& state) {
    const std::string path = TheCrowd(state).machine.root() + "/card-1";
    for (auto _ : state) MapCardFile(path);
}

// The first family call of a process: the scan attaches and detaches every
// device, then the map is built. Unload and load between runs are not timed.
void BM_FirstCall(benchmark::State& state) {
    TheCrowd(state);
    std::uint32_t count = 0;
    for (auto _ : state) {
        state.PauseTiming();
        RegistryUnload();
        RegistryLoad();
        state.ResumeTiming();
        EP4GXA_CardsInSystem(&count);
    }
    if (count != static_cast<std::uint32_t>(state.range(0))) state.SkipWithError("the scan missed cards");
}

void BM_Raw_OpenMapEveryFile(benchmark::State& state) {
    const Crowd& crowd = TheCrowd(state);
    std::vector<std::string> paths;
    for (int i = 1; i <= state.range(0); ++i)
        paths.push_back(crowd.machine.root() + "/card-" + std::to_string(i));
    for (auto _ : state)
        for (const auto& p : paths) MapCardFile(p);
}

// Registered crowd by crowd, so each machine is made once for the four.
[[maybe_unused]] const bool kRegistered = [] {
    using Fn = void (*)(benchmark::State&);
    const std::pair<const char*, Fn> benchmarks[] = {{"BM_EP4GXA_OpenClose", BM_EP4GXA_OpenClose},
                                                     {"BM_Raw_OpenMapFile", BM_Raw_OpenMapFile},
                                                     {"BM_FirstCall", BM_FirstCall},
                                                     {"BM_Raw_OpenMapEveryFile", BM_Raw_OpenMapEveryFile}};
    for (int cards : {1, 8, 32}) {
        for (int processes : {0, 4, 16, 32}) {
            for (const auto& [name, fn] : benchmarks) {
                benchmark::RegisterBenchmark(name, fn)
                    ->Args({cards, processes})
                    ->ArgNames({"cards", "processes"})
                    ->Unit(benchmark::kMicrosecond);
            }
        }
    }
    return true;
}();

}  // namespace
