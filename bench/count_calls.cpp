// Calls each hot path, and its raw equivalent, a fixed number of times, for
// counting instructions under callgrind (bench/run does that):
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect=NAME ...
//            quelt_bench_count WINDOWS [CALLS]
// WINDOWS 0: only the EP4GXA card is open, so no device-model window exists;
// 1: every card is open, and the OX9162 and OX952 EEPROM windows exist.
// Instructions per call are a function's inclusive count divided by CALLS.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_machine.h"

namespace raw {
// The raw equivalents, out of line so each is one call like the library's.
[[gnu::noinline]] std::uint32_t Load32(const volatile std::uint32_t* p) {
    return *p;
}
[[gnu::noinline]] void Store32(volatile std::uint32_t* p, std::uint32_t v) {
    *p = v;
}
[[gnu::noinline]] std::uint64_t Load64(const volatile std::uint64_t* p) {
    return *p;
}
[[gnu::noinline]] void Store64(volatile std::uint64_t* p, std::uint64_t v) {
    *p = v;
}
// A region's base and size kept in a record, as the base-address functions return them.
struct Kept {
    void* base;
    std::uint32_t size;
};
[[gnu::noinline]] std::uint32_t LoadPair(const volatile Kept* k, void** base, std::uint32_t* size) {
    *base = k->base;
    *size = k->size;
    return 0;
}
[[gnu::noinline]] std::uint8_t Load8(const volatile std::uint8_t* p) {
    return *p;
}
[[gnu::noinline]] void Store8(volatile std::uint8_t* p, std::uint8_t v) {
    *p = v;
}
}  // namespace raw

namespace {

volatile std::uint64_t gSink;

using BaseFn = std::uint32_t (*)(std::uint32_t, void**, std::uint32_t*);

void Repeat(long calls, BaseFn fn) {
    void* base = nullptr;
    std::uint32_t size = 0;
    for (long i = 0; i < calls; ++i) gSink = fn(0, &base, &size) + size;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s WINDOWS [CALLS]\n", argv[0]);
        return 2;
    }
    const bool windows = std::atoi(argv[1]) != 0;
    const long calls = argc > 2 ? std::atol(argv[2]) : 100000;

    bench::Machine machine(1, 1, 1);
    if (EP4GXA_Open(0, 1) != 0) return 1;
    if (windows && (OX9162_Open(0, 1) != 0 || OX952_Open(0, 1) != 0)) return 1;
    void* region = nullptr;
    std::uint32_t size = 0;
    if (EP4GXA_BAR0_BaseAdr(0, &region, &size) != 0) return 1;
    auto* bytes = static_cast<std::uint8_t*>(region);
    constexpr std::uint32_t at = 0x40;

    std::uint32_t v32 = 0, lo = 0, hi = 0;
    std::uint8_t v8 = 0;
    for (long i = 0; i < calls; ++i) {
        gSink = EP4GXA_ReadReg32(0, at, &v32) + v32;
        gSink = EP4GXA_WriteReg32(0, at, static_cast<std::uint32_t>(i));
        gSink = EP4GXA_ReadReg8(0, at, &v8) + v8;
        gSink = EP4GXA_ReadReg2x32(0, at, &lo, &hi) + lo;
        gSink = EP4GXA_WriteReg64(0, at, static_cast<std::uint64_t>(i));
        gSink = OX9162_MemRead(region, at);
        OX952_MemWrite(region, at, static_cast<std::uint8_t>(i));
        gSink = EP4GXA_IRQ_Count(0);
        gSink = raw::Load32(reinterpret_cast<volatile std::uint32_t*>(bytes + at));
        raw::Store32(reinterpret_cast<volatile std::uint32_t*>(bytes + at), static_cast<std::uint32_t>(i));
        gSink = raw::Load64(reinterpret_cast<volatile std::uint64_t*>(bytes + at));
        raw::Store64(reinterpret_cast<volatile std::uint64_t*>(bytes + at), static_cast<std::uint64_t>(i));
        gSink = raw::Load8(bytes + at);
        raw::Store8(bytes + at, static_cast<std::uint8_t>(i));
    }
    const raw::Kept kept{region, size};
    for (long i = 0; i < calls; ++i) {
        void* base = nullptr;
        std::uint32_t length = 0;
        gSink = raw::LoadPair(&kept, &base, &length) + length;
    }
    Repeat(calls, EP4GXA_BAR0_BaseAdr);
    Repeat(calls, EP4GXA_BAR1_BaseAdr);
    Repeat(calls, EP4GXA_BAR2_BaseAdr);
    Repeat(calls, EP4GXA_SHARED_BaseAdr);
    if (windows) {
        Repeat(calls, OX9162_BAR3_BaseAdr);
        Repeat(calls, OX9162_BAR4_BaseAdr);
        Repeat(calls, OX9162_SHARED_BaseAdr);
        Repeat(calls, OX952_BAR05_BaseAdr);
        Repeat(calls, OX952_BAR11_BaseAdr);
        Repeat(calls, OX952_BAR13_BaseAdr);
        Repeat(calls, OX952_SHARED_BaseAdr);
        for (long i = 0; i < calls; ++i) gSink = OX9162_IRQ_Count(0) + OX952_IRQ_Count(0);
    }
    return 0;
}
