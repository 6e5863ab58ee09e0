// How fast the paths that applications run in loops are: register access
// (with its region lookup and checks), byte access, the interrupt counter,
// and a card-memory access with and without a device-model window present.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/mmio.h"
#include "quelt_ox952.h"
#include "registry/card_table.h"
#include "sim/control.h"

namespace {

// One simulated machine with the default cards and the library loaded, for
// the whole run.
struct Machine {
    std::string root;
    Machine()
    {
        root = sim::CreateTempMachine(true);
        RegistryLoad();
        EP4GXA_Open(0, 1);
        OX9162_Open(0, 0);
    }
    ~Machine()
    {
        RegistryUnload();
        sim::DeleteMachine(root);
    }
};

Machine& TheMachine()
{
    static Machine m;
    return m;
}

void BM_EP4GXA_ReadReg32(benchmark::State& state)
{
    TheMachine();
    uint32_t v = 0;
    for (auto _ : state) {
        EP4GXA_ReadReg32(0, 0x40, &v);
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(BM_EP4GXA_ReadReg32);

void BM_EP4GXA_WriteReg2x32(benchmark::State& state)
{
    TheMachine();
    uint32_t i = 0;
    for (auto _ : state) EP4GXA_WriteReg2x32(0, 0x48, i++, 0xFFFFFFFFu);
}
BENCHMARK(BM_EP4GXA_WriteReg2x32);

void BM_OX9162_MemRead(benchmark::State& state)
{
    TheMachine();
    void* base = nullptr;
    uint32_t len = 0;
    OX9162_BAR4_BaseAdr(0, &base, &len);
    if (!base) OX9162_BAR3_BaseAdr(0, &base, &len);
    for (auto _ : state) benchmark::DoNotOptimize(OX9162_MemRead(base, 0x20));
}
BENCHMARK(BM_OX9162_MemRead);

void BM_EP4GXA_IRQ_Count(benchmark::State& state)
{
    TheMachine();
    for (auto _ : state) benchmark::DoNotOptimize(EP4GXA_IRQ_Count(0));
}
BENCHMARK(BM_EP4GXA_IRQ_Count);

// The plain volatile access against the same access while a window exists
// elsewhere (the POSIX layer then looks the address up first).
class NullModel : public mmio::Model {
public:
    std::uint64_t Read(std::size_t, unsigned) override { return 0; }
    void Write(std::size_t, unsigned, std::uint64_t) override {}
};

void BM_Mmio_Read32(benchmark::State& state)
{
    static std::vector<std::uint32_t> memory(1024);
    static std::uint8_t elsewhere[16];
    NullModel model;
    int id = state.range(0) ? mmio::RegisterWindow(elsewhere, sizeof elsewhere, &model) : -1;
    for (auto _ : state) benchmark::DoNotOptimize(mmio::Read32(&memory[17]));
    if (id >= 0) mmio::UnregisterWindow(id);
}
BENCHMARK(BM_Mmio_Read32)->Arg(0)->Arg(1)->ArgNames({"windows"});

}  // namespace
