// Opening, closing, base addresses and register access on a machine with no
// cards, over Wine's real system calls: every call answers its no-card code
// and writes nothing back.
#include <cstring>
#include <string>

#include "harness.h"

namespace {

using BaseFn = uint32_t(QUELT_CALL*)(uint32_t, void**, uint32_t*);

void ExpectCode(const std::string& call, uint32_t got, uint32_t want, const char* file, int line) {
    if (got != want)
        wine::Fail(file, line, call + " returned " + wine::Show(got) + ", expected " + wine::Show(want));
}

}  // namespace

// Without a card the driver version is the placeholder 100, so every Open of
// a valid position stops at the version gate.
WINE_CHECK(OpenAndCloseWithoutCards) {
    QUELT_REQUIRE_EXPORT(o952, OX952_Open);
    QUELT_REQUIRE_EXPORT(m952, OX952_OpenMulti);
    QUELT_REQUIRE_EXPORT(g952, OX952_OpenDiagnostic);
    QUELT_REQUIRE_EXPORT(c952, OX952_Close);
    QUELT_REQUIRE_EXPORT(o9162, OX9162_Open);
    QUELT_REQUIRE_EXPORT(m9162, OX9162_OpenMulti);
    QUELT_REQUIRE_EXPORT(g9162, OX9162_OpenDiagnostic);
    QUELT_REQUIRE_EXPORT(c9162, OX9162_Close);
    QUELT_REQUIRE_EXPORT(oEp, EP4GXA_Open);
    QUELT_REQUIRE_EXPORT(mEp, EP4GXA_OpenMulti);
    QUELT_REQUIRE_EXPORT(gEp, EP4GXA_OpenDiagnostic);
    QUELT_REQUIRE_EXPORT(cEp, EP4GXA_Close);

    using OpenFn = uint32_t(QUELT_CALL*)(uint32_t, uint32_t);
    const struct {
        const char* name;
        OpenFn open;
    } opens[] = {{"OX952_Open", o952},   {"OX952_OpenMulti", m952},   {"OX952_OpenDiagnostic", g952},
                 {"OX9162_Open", o9162}, {"OX9162_OpenMulti", m9162}, {"OX9162_OpenDiagnostic", g9162},
                 {"EP4GXA_Open", oEp},   {"EP4GXA_OpenMulti", mEp},   {"EP4GXA_OpenDiagnostic", gEp}};
    for (const auto& o : opens) {
        ExpectCode(std::string(o.name) + "(0, 0)", o.open(0, 0), 0x80000000u, __FILE__, __LINE__);
        ExpectCode(std::string(o.name) + "(31, 1)", o.open(31, 1), 0x80000000u, __FILE__, __LINE__);
        ExpectCode(std::string(o.name) + "(32, 0)", o.open(32, 0), 2u, __FILE__, __LINE__);
        ExpectCode(std::string(o.name) + "(-1, 0)", o.open(0xFFFFFFFFu, 0), 2u, __FILE__, __LINE__);
    }
    // OX952 answers "not open" for a position without a card, the others "no card".
    EXPECT_EQ(c952(0), 0x40u);
    EXPECT_EQ(c9162(0), 2u);
    EXPECT_EQ(cEp(0), 2u);
    for (auto close : {c952, c9162, cEp}) EXPECT_EQ(close(32), 2u);
}

WINE_CHECK(BaseAddressesWithoutCards) {
    const struct {
        const char* name;
        BaseFn fn;
    } functions[] = {
        {"OX952_BAR05_BaseAdr", QUELT_EXPORT(OX952_BAR05_BaseAdr)},
        {"OX952_BAR11_BaseAdr", QUELT_EXPORT(OX952_BAR11_BaseAdr)},
        {"OX952_BAR13_BaseAdr", QUELT_EXPORT(OX952_BAR13_BaseAdr)},
        {"OX952_SHARED_BaseAdr", QUELT_EXPORT(OX952_SHARED_BaseAdr)},
        {"OX9162_BAR3_BaseAdr", QUELT_EXPORT(OX9162_BAR3_BaseAdr)},
        {"OX9162_BAR4_BaseAdr", QUELT_EXPORT(OX9162_BAR4_BaseAdr)},
        {"OX9162_SHARED_BaseAdr", QUELT_EXPORT(OX9162_SHARED_BaseAdr)},
        {"EP4GXA_BAR0_BaseAdr", QUELT_EXPORT(EP4GXA_BAR0_BaseAdr)},
        {"EP4GXA_BAR1_BaseAdr", QUELT_EXPORT(EP4GXA_BAR1_BaseAdr)},
        {"EP4GXA_BAR2_BaseAdr", QUELT_EXPORT(EP4GXA_BAR2_BaseAdr)},
        {"EP4GXA_SHARED_BaseAdr", QUELT_EXPORT(EP4GXA_SHARED_BaseAdr)},
    };
    for (const auto& f : functions) {
        if (f.fn == nullptr) continue;  // already reported
        void* address = reinterpret_cast<void*>(0x1234);
        uint32_t length = 99;
        const std::string name = f.name;
        // The handle test comes before the pointer test: no card, not 0x400.
        ExpectCode(name + "(0, null, null)", f.fn(0, nullptr, nullptr), 2u, __FILE__, __LINE__);
        ExpectCode(name + "(0)", f.fn(0, &address, &length), 2u, __FILE__, __LINE__);
        ExpectCode(name + "(32)", f.fn(32, &address, &length), 2u, __FILE__, __LINE__);
        EXPECT_TRUE(address == reinterpret_cast<void*>(0x1234));
        EXPECT_EQ(length, 99u);
    }
}

WINE_CHECK(RegisterAccessWithoutCards) {
    QUELT_REQUIRE_EXPORT(r8, EP4GXA_ReadReg8);
    QUELT_REQUIRE_EXPORT(w8, EP4GXA_WriteReg8);
    QUELT_REQUIRE_EXPORT(r32, EP4GXA_ReadReg32);
    QUELT_REQUIRE_EXPORT(w32, EP4GXA_WriteReg32);
    QUELT_REQUIRE_EXPORT(r2x32, EP4GXA_ReadReg2x32);
    QUELT_REQUIRE_EXPORT(w2x32, EP4GXA_WriteReg2x32);
    QUELT_REQUIRE_EXPORT(r64, EP4GXA_ReadReg64);
    QUELT_REQUIRE_EXPORT(w64, EP4GXA_WriteReg64);
    uint8_t b = 0;
    uint32_t lo = 0, hi = 0;
    uint64_t q = 0;
    // Result pointers are tested before anything else.
    EXPECT_EQ(r8(40, 2, nullptr), 0x400u);
    EXPECT_EQ(r32(0, 0, nullptr), 0x400u);
    EXPECT_EQ(r2x32(0, 0, &lo, nullptr), 0x400u);
    EXPECT_EQ(r2x32(0, 0, nullptr, &hi), 0x400u);
    EXPECT_EQ(r64(0, 0, nullptr), 0x400u);
    // Then the region lookup: no card at any position.
    EXPECT_EQ(r8(0, 2, &b), 2u);
    EXPECT_EQ(r32(0, 0, &lo), 2u);
    EXPECT_EQ(r2x32(0, 4, &lo, &hi), 2u);
    EXPECT_EQ(r64(32, 0, &q), 2u);
    EXPECT_EQ(w8(0, 0, 1), 2u);
    EXPECT_EQ(w32(0, 3, 1), 2u);
    EXPECT_EQ(w2x32(0, 0, 0xFFFFFFFFu, 0), 2u);
    EXPECT_EQ(w64(0xFFFFFFFFu, 0, 1), 2u);
}

// The byte accessors work on any mapped memory the caller names.
WINE_CHECK(ByteAccessorsOnPlainMemory) {
    QUELT_REQUIRE_EXPORT(w952, OX952_MemWrite);
    QUELT_REQUIRE_EXPORT(r952, OX952_MemRead);
    QUELT_REQUIRE_EXPORT(w9162, OX9162_MemWrite);
    QUELT_REQUIRE_EXPORT(r9162, OX9162_MemRead);
    alignas(8) uint8_t memory[16] = {};
    w952(memory, 3, 0x5A);
    w9162(memory, 9, 0xA5);
    EXPECT_EQ(memory[3], 0x5A);
    EXPECT_EQ(memory[9], 0xA5);
    EXPECT_EQ(memory[2] | memory[4] | memory[8] | memory[10], 0);
    memory[12] = 0x77;
    EXPECT_EQ(r952(memory, 12), 0x77);
    EXPECT_EQ(r9162(memory, 3), 0x5A);
}
