// A word read from the simulated 93C46 EEPROM of an OX9162 card, beside the
// control-byte accesses such a read is made of, each made through the
// device-model window as the library's are.
#include <benchmark/benchmark.h>

#include "bench_machine.h"
#include "platform/mmio.h"

namespace {

// 21 writes for the deselect, start bit, opcode and address field, 48 for
// clocking the 16 data bits out (two writes and a read each), 1 to deselect.
constexpr int kAccessesPerWordRead = 70;
constexpr std::uint32_t kControlByte = 3;

struct EepromCard : bench::Scenario {
    bench::Machine machine{0, 1, 0};
    volatile std::uint8_t* control = nullptr;
    EepromCard() {
        if (OX9162_Open(0, 0) != 0) throw std::runtime_error("OX9162_Open");
        void* base = nullptr;
        std::uint32_t size = 0;
        OX9162_BAR3_BaseAdr(0, &base, &size);
        control = static_cast<volatile std::uint8_t*>(base) + kControlByte;
    }
};

EepromCard& TheCard() {
    return bench::Use<EepromCard>("eeprom", [] { return std::make_unique<EepromCard>(); });
}

void BM_OX9162_EEPROM_RD(benchmark::State& state) {
    TheCard();
    std::uint16_t word = 0;
    std::uint32_t address = 0;
    for (auto _ : state) {
        if (OX9162_EEPROM_RD(0, address++ % 64, &word) != 0) {
            state.SkipWithError("EEPROM read failed");
            break;
        }
        benchmark::DoNotOptimize(word);
    }
}

// Reads only: they leave the part's state as it is.
void BM_Raw_ControlByteAccesses(benchmark::State& state) {
    volatile std::uint8_t* control = TheCard().control;
    for (auto _ : state)
        for (int i = 0; i < kAccessesPerWordRead; ++i) benchmark::DoNotOptimize(mmio::Read8(control));
}

BENCHMARK(BM_OX9162_EEPROM_RD)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Raw_ControlByteAccesses)->Unit(benchmark::kMicrosecond);

}  // namespace
