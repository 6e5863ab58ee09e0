// The paths applications run in loops, each beside its raw equivalent in the
// same run: register access against a volatile load or store at the same
// mapped address, byte access likewise, the base-address lookup against two
// loads from a record, and the interrupt counter against a load of the
// counter word in the status block.
//
// Argument `windows`: 0 opens only the EP4GXA card, so no device-model window
// exists; 1 also opens an OX9162 card, whose EEPROM control byte then sits
// behind a window, as in an application using both.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "bench_machine.h"

namespace {

// One card of each family; the EP4GXA card open.
struct Cards : bench::Scenario {
    bench::Machine machine{1, 1, 1};
    void* region0 = nullptr;
    std::uint32_t region0Size = 0;
    void* ox9162Region = nullptr;
    volatile std::uint32_t* irqCounter = nullptr;
    bool ox9162Open = false;

    Cards() {
        if (EP4GXA_Open(0, 1) != 0) throw std::runtime_error("EP4GXA_Open");
        EP4GXA_BAR0_BaseAdr(0, &region0, &region0Size);
        void* shared = nullptr;
        std::uint32_t sharedSize = 0;
        EP4GXA_SHARED_BaseAdr(0, &shared, &sharedSize);
        // The counter word sits at byte 4 of the status block; the shared
        // area starts after the block's slots (24 + 4 * slot count).
        auto* block = static_cast<std::uint8_t*>(shared) - (1024 - sharedSize);
        irqCounter =
            reinterpret_cast<volatile std::uint32_t*>(block + offsetof(SharedStatusBlock, irqCounter));
    }
    // The OX9162 card open, and with it the EEPROM window.
    void OpenOx9162() {
        if (OX9162_Open(0, 0) != 0) throw std::runtime_error("OX9162_Open");
        std::uint32_t size = 0;
        OX9162_BAR3_BaseAdr(0, &ox9162Region, &size);
        ox9162Open = true;
    }
};

Cards& TheCards(const benchmark::State& state) {
    const bool windows = state.range(0) != 0;
    return bench::Use<Cards>(windows ? "cards+window" : "cards", [windows] {
        auto c = std::make_unique<Cards>();
        if (windows) c->OpenOx9162();
        return c;
    });
}

constexpr std::uint32_t kRegister = 0x40;

void BM_EP4GXA_ReadReg32(benchmark::State& state) {
    TheCards(state);
    std::uint32_t v = 0;
    for (auto _ : state) {
        EP4GXA_ReadReg32(0, kRegister, &v);
        benchmark::DoNotOptimize(v);
    }
}

void BM_Raw_Load32(benchmark::State& state) {
    auto* reg = reinterpret_cast<volatile std::uint32_t*>(
        static_cast<std::uint8_t*>(TheCards(state).region0) + kRegister);
    for (auto _ : state) benchmark::DoNotOptimize(*reg);
}

void BM_EP4GXA_WriteReg32(benchmark::State& state) {
    TheCards(state);
    std::uint32_t i = 0;
    for (auto _ : state) EP4GXA_WriteReg32(0, kRegister, i++);
}

void BM_Raw_Store32(benchmark::State& state) {
    auto* reg = reinterpret_cast<volatile std::uint32_t*>(
        static_cast<std::uint8_t*>(TheCards(state).region0) + kRegister);
    std::uint32_t i = 0;
    for (auto _ : state) *reg = i++;
}

void BM_EP4GXA_ReadReg2x32(benchmark::State& state) {
    TheCards(state);
    std::uint32_t lo = 0, hi = 0;
    for (auto _ : state) {
        EP4GXA_ReadReg2x32(0, kRegister, &lo, &hi);
        benchmark::DoNotOptimize(lo);
        benchmark::DoNotOptimize(hi);
    }
}

void BM_Raw_Load64(benchmark::State& state) {
    auto* reg = reinterpret_cast<volatile std::uint64_t*>(
        static_cast<std::uint8_t*>(TheCards(state).region0) + kRegister);
    for (auto _ : state) benchmark::DoNotOptimize(*reg);
}

// The byte accessors on the EP4GXA region: with windows on, the OX9162
// window lies elsewhere, as for an application's own card.
void BM_OX9162_MemRead(benchmark::State& state) {
    void* base = TheCards(state).region0;
    for (auto _ : state) {
        const std::uint32_t v = OX9162_MemRead(base, kRegister);
        benchmark::DoNotOptimize(v);
    }
}

void BM_OX952_MemWrite(benchmark::State& state) {
    void* base = TheCards(state).region0;
    std::uint8_t i = 0;
    for (auto _ : state) OX952_MemWrite(base, kRegister, i++);
}

void BM_Raw_Load8(benchmark::State& state) {
    auto* reg = static_cast<volatile std::uint8_t*>(TheCards(state).region0) + kRegister;
    for (auto _ : state) {
        const std::uint32_t v = *reg;  // widened as the library's result is
        benchmark::DoNotOptimize(v);
    }
}

void BM_Raw_Store8(benchmark::State& state) {
    auto* reg = static_cast<volatile std::uint8_t*>(TheCards(state).region0) + kRegister;
    std::uint8_t i = 0;
    for (auto _ : state) *reg = i++;
}

void BM_EP4GXA_BAR0_BaseAdr(benchmark::State& state) {
    TheCards(state);
    void* base = nullptr;
    std::uint32_t size = 0;
    for (auto _ : state) {
        EP4GXA_BAR0_BaseAdr(0, &base, &size);
        benchmark::DoNotOptimize(base);
        benchmark::DoNotOptimize(size);
    }
}

void BM_OX9162_SHARED_BaseAdr(benchmark::State& state) {
    TheCards(state);
    if (!TheCards(state).ox9162Open) {
        state.SkipWithError("needs the OX9162 card open (windows:1)");
        return;
    }
    void* base = nullptr;
    std::uint32_t size = 0;
    for (auto _ : state) {
        OX9162_SHARED_BaseAdr(0, &base, &size);
        benchmark::DoNotOptimize(base);
        benchmark::DoNotOptimize(size);
    }
}

// A base and a size read from a record, as an application that kept them.
void BM_Raw_LoadPair(benchmark::State& state) {
    struct {
        void* volatile base;
        volatile std::uint32_t size;
    } kept{TheCards(state).region0, TheCards(state).region0Size};
    for (auto _ : state) {
        benchmark::DoNotOptimize(kept.base);
        benchmark::DoNotOptimize(kept.size);
    }
}

void BM_EP4GXA_IRQ_Count(benchmark::State& state) {
    TheCards(state);
    for (auto _ : state) benchmark::DoNotOptimize(EP4GXA_IRQ_Count(0));
}

void BM_Raw_LoadIrqCounter(benchmark::State& state) {
    volatile std::uint32_t* counter = TheCards(state).irqCounter;
    for (auto _ : state) benchmark::DoNotOptimize(*counter);
}

void Windows(benchmark::internal::Benchmark* b) {
    b->ArgNames({"windows"})->Arg(0)->Arg(1);
}
// Two threads on the same card, against two threads on raw accesses.
void WindowsTwoThreads(benchmark::internal::Benchmark* b) {
    Windows(b);
    b->Threads(1)->Threads(2);
}

BENCHMARK(BM_EP4GXA_ReadReg32)->Apply(WindowsTwoThreads);
BENCHMARK(BM_Raw_Load32)->Apply(WindowsTwoThreads);
BENCHMARK(BM_EP4GXA_WriteReg32)->Apply(WindowsTwoThreads);
BENCHMARK(BM_Raw_Store32)->Apply(WindowsTwoThreads);
BENCHMARK(BM_EP4GXA_ReadReg2x32)->Apply(Windows);
BENCHMARK(BM_Raw_Load64)->Apply(Windows);
BENCHMARK(BM_OX9162_MemRead)->Apply(Windows);
BENCHMARK(BM_Raw_Load8)->Apply(Windows);
BENCHMARK(BM_OX952_MemWrite)->Apply(Windows);
BENCHMARK(BM_Raw_Store8)->Apply(Windows);
BENCHMARK(BM_EP4GXA_BAR0_BaseAdr)->Apply(Windows);
BENCHMARK(BM_OX9162_SHARED_BaseAdr)->ArgNames({"windows"})->Arg(1);
BENCHMARK(BM_Raw_LoadPair)->Apply(Windows);
BENCHMARK(BM_EP4GXA_IRQ_Count)->Apply(WindowsTwoThreads);
BENCHMARK(BM_Raw_LoadIrqCounter)->Apply(WindowsTwoThreads);

}  // namespace
