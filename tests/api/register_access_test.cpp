// Register and byte access: one access of the stated width per call, at the
// stated address, and the argument and range checks before it.
#include <cstring>
#include <string>
#include <vector>

#include "platform/mmio.h"
#include "quelt_ox952.h"
#include "registry/registry_fixture.h"
#include "support/recording_model.h"

namespace {

// An EP4GXA card whose region 0 has `size` bytes, open at position 0, with a
// recording window over the region's last 64 bytes.
class RegisterTest : public RegistryTest {
protected:
    void OpenCard(std::uint64_t size) {
        sim::CardConfig c = Ep4gxa();
        c.regions = {sim::RegionConfig{size}};
        c.cardId.reset();
        c.serial.reset();
        sim::AddCard(c);
        ASSERT_EQ(EP4GXA_Open(0, 0), 0u);
        void* base = nullptr;
        ASSERT_EQ(EP4GXA_BAR0_BaseAdr(0, &base, &size_), 0u);
        windowStart_ = size_ - 64;
        window_ = mmio::RegisterWindow(static_cast<std::uint8_t*>(base) + windowStart_, 64, &recorder_);
        ASSERT_GE(window_, 0);
    }
    void TearDown() override {
        if (window_ >= 0) mmio::UnregisterWindow(window_);
        RegistryTest::TearDown();
    }
    quelt_test::RecordingModel::Access Write(std::uint32_t offset, unsigned width, std::uint64_t value) {
        return {offset - windowStart_, width, true, value};
    }
    quelt_test::RecordingModel::Access Read(std::uint32_t offset, unsigned width, std::uint64_t value) {
        return {offset - windowStart_, width, false, value};
    }
    std::vector<quelt_test::RecordingModel::Access> Take() {
        auto a = recorder_.Accesses();
        recorder_.Clear();
        return a;
    }

    quelt_test::RecordingModel recorder_{64};
    int window_ = -1;
    std::uint32_t size_ = 0;
    std::uint32_t windowStart_ = 0;
};

TEST_F(RegisterTest, EachAccessorMakesOneAccessOfItsWidth) {
    OpenCard(4096);
    const std::uint32_t at = 4096 - 16;  // inside the window, 8-aligned
    recorder_.SetBacking(48, 8, 0x0807060504030201);

    std::uint8_t b = 0;
    std::uint32_t w = 0, lo = 0, hi = 0;
    std::uint64_t q = 0;
    ASSERT_EQ(EP4GXA_ReadReg8(0, at, &b), 0u);
    EXPECT_EQ(b, 0x01);
    ASSERT_EQ(EP4GXA_ReadReg32(0, at, &w), 0u);
    EXPECT_EQ(w, 0x04030201u);
    ASSERT_EQ(EP4GXA_ReadReg64(0, at, &q), 0u);
    EXPECT_EQ(q, 0x0807060504030201u);
    ASSERT_EQ(EP4GXA_ReadReg2x32(0, at, &lo, &hi), 0u);
    EXPECT_EQ(lo, 0x04030201u);
    EXPECT_EQ(hi, 0x08070605u);
    EXPECT_EQ(Take(), (std::vector<quelt_test::RecordingModel::Access>{
                          Read(at, 1, 0x01), Read(at, 4, 0x04030201), Read(at, 8, 0x0807060504030201),
                          Read(at, 8, 0x0807060504030201)}));

    ASSERT_EQ(EP4GXA_WriteReg8(0, at + 4, 0xAB), 0u);
    ASSERT_EQ(EP4GXA_WriteReg32(0, at, 0xCAFEF00D), 0u);
    ASSERT_EQ(EP4GXA_WriteReg64(0, at, 0x1122334455667788), 0u);
    ASSERT_EQ(EP4GXA_WriteReg2x32(0, at, 0xFFFFFFFFu, 0), 0u);
    ASSERT_EQ(EP4GXA_WriteReg2x32(0, at, 0x89ABCDEFu, 0x80000001u), 0u);
    EXPECT_EQ(Take(), (std::vector<quelt_test::RecordingModel::Access>{
                          Write(at + 4, 1, 0xAB), Write(at, 4, 0xCAFEF00D), Write(at, 8, 0x1122334455667788),
                          Write(at, 8, 0x00000000FFFFFFFF), Write(at, 8, 0x8000000189ABCDEF)}));
}

TEST_F(RegisterTest, ByteAccessorsMakeOneByteAccessAtBasePlusOffset) {
    OpenCard(4096);
    void* base = nullptr;
    std::uint32_t size = 0;
    ASSERT_EQ(EP4GXA_BAR0_BaseAdr(0, &base, &size), 0u);
    recorder_.SetBacking(5, 1, 0x42);
    EXPECT_EQ(OX952_MemRead(base, windowStart_ + 5), 0x42);
    EXPECT_EQ(OX9162_MemRead(base, windowStart_ + 5), 0x42);
    OX952_MemWrite(base, windowStart_ + 6, 0x99);
    OX9162_MemWrite(base, windowStart_ + 7, 0x9A);
    EXPECT_EQ(Take(), (std::vector<quelt_test::RecordingModel::Access>{
                          {5, 1, false, 0x42}, {5, 1, false, 0x42}, {6, 1, true, 0x99}, {7, 1, true, 0x9A}}));
}

struct RangeCase {
    const char* name;
    std::uint64_t regionSize;
    std::uint32_t offset;
    unsigned width;  // 1, 4, 8 (64-bit), 9 (2x32)
    std::uint32_t code;
};

class RegisterRangeTest : public RegisterTest, public ::testing::WithParamInterface<RangeCase> {};

std::uint32_t Access(unsigned width, std::uint32_t offset, bool write) {
    std::uint8_t b;
    std::uint32_t w, hi;
    std::uint64_t q;
    switch (width) {
        case 1:
            return write ? EP4GXA_WriteReg8(0, offset, 1) : EP4GXA_ReadReg8(0, offset, &b);
        case 4:
            return write ? EP4GXA_WriteReg32(0, offset, 1) : EP4GXA_ReadReg32(0, offset, &w);
        case 8:
            return write ? EP4GXA_WriteReg64(0, offset, 1) : EP4GXA_ReadReg64(0, offset, &q);
        default:
            return write ? EP4GXA_WriteReg2x32(0, offset, 1, 0) : EP4GXA_ReadReg2x32(0, offset, &w, &hi);
    }
}

TEST_P(RegisterRangeTest, RefusedAccessesTouchNothing) {
    const RangeCase& rc = GetParam();
    OpenCard(rc.regionSize);
    for (bool write : {false, true}) {
        EXPECT_EQ(Access(rc.width, rc.offset, write), rc.code) << (write ? "write" : "read");
        EXPECT_EQ(Take().size(), rc.code == 0 ? 1u : 0u) << (write ? "write" : "read");
    }
}

constexpr std::uint32_t kBad = QUELT_BAD_OFFSET;

INSTANTIATE_TEST_SUITE_P(
    Offsets, RegisterRangeTest,
    ::testing::Values(
        RangeCase{"Reg8Misaligned", 4096, 4094, 1, kBad}, RangeCase{"Reg8Aligned", 4096, 4092, 1, 0},
        RangeCase{"Reg32AtSize", 4096, 4096, 4, kBad}, RangeCase{"Reg32LastWord", 4096, 4092, 4, 0},
        RangeCase{"Reg64At4", 4096, 4092, 8, kBad}, RangeCase{"Reg64LastWord", 4096, 4088, 8, 0},
        RangeCase{"Reg2x32At4", 4096, 4092, 9, kBad}, RangeCase{"Reg2x32LastWord", 4096, 4088, 9, 0},
        RangeCase{"HugeOffset", 4096, 0xFFFFFFF8u, 8, kBad},
        // Regions whose size is not a multiple of 8: the whole
        // access must still lie inside.
        RangeCase{"Reg64CrossesOddEnd", 4100, 4096, 8, kBad}, RangeCase{"Reg32FitsOddEnd", 4100, 4096, 4, 0},
        RangeCase{"Reg32CrossesOddEnd", 4102, 4100, 4, kBad}, RangeCase{"Reg8FitsOddEnd", 4102, 4100, 1, 0}),
    [](const auto& info) { return std::string(info.param.name); });

using RegisterCodeTest = RegistryTest;

TEST_F(RegisterCodeTest, PointerTestFirstThenRegionCodes) {
    sim::AddCard(Ep4gxa());
    std::uint32_t w = 0;
    std::uint64_t q = 0;
    std::uint8_t b = 0;
    // Null result pointers come before everything else.
    EXPECT_EQ(EP4GXA_ReadReg2x32(40, 0, &w, nullptr), QUELT_NULL_POINTER);
    EXPECT_EQ(EP4GXA_ReadReg2x32(0, 0, nullptr, &w), QUELT_NULL_POINTER);
    EXPECT_EQ(EP4GXA_ReadReg8(0, 2, nullptr), QUELT_NULL_POINTER);
    EXPECT_EQ(EP4GXA_ReadReg64(0, 0, nullptr), QUELT_NULL_POINTER);
    // Position and open state come from the region lookup.
    std::uint32_t count = 0;
    ASSERT_EQ(EP4GXA_CardsInSystem(&count), 0u);
    EXPECT_EQ(EP4GXA_WriteReg8(32, 0, 1), QUELT_NO_CARD);
    std::uint32_t cards = 0;
    ASSERT_EQ(EP4GXA_CardsInSystem(&cards), 0u);  // builds the map
    EXPECT_EQ(EP4GXA_WriteReg8(0, 0, 1), QUELT_NOT_OPEN);
    EXPECT_EQ(EP4GXA_ReadReg32(0, 2, &w), QUELT_NOT_OPEN);
    EXPECT_EQ(EP4GXA_ReadReg64(1, 0, &q), QUELT_NO_CARD);
    ASSERT_EQ(EP4GXA_Open(0, 0), 0u);
    EXPECT_EQ(EP4GXA_ReadReg8(0, 4, &b), 0u);
    ASSERT_EQ(EP4GXA_Close(0), 0u);
    EXPECT_EQ(EP4GXA_ReadReg8(0, 4, &b), QUELT_NOT_OPEN);
    // Reopened, the card's new mapping serves the same position.
    ASSERT_EQ(EP4GXA_Open(0, 0), 0u);
    EXPECT_EQ(EP4GXA_WriteReg8(0, 4, 0x5C), 0u);
    EXPECT_EQ(EP4GXA_ReadReg8(0, 4, &b), 0u);
    EXPECT_EQ(b, 0x5C);
    // After an unload and a new load the maps are unbuilt again: no card.
    RegistryUnload();
    RegistryLoad();
    EXPECT_EQ(EP4GXA_ReadReg8(0, 4, &b), QUELT_NO_CARD);
}

TEST_F(RegisterCodeTest, UnmappedRegionZeroGivesRegionCode) {
    sim::CardConfig c = Ep4gxa();
    c.regions = {sim::RegionConfig{4096, true}};
    c.cardId.reset();
    c.serial.reset();
    sim::AddCard(c);
    ASSERT_EQ(EP4GXA_Open(0, 0), 0u);
    EXPECT_EQ(EP4GXA_WriteReg32(0, 0, 1), QUELT_NO_REGION);
}

TEST_F(RegisterCodeTest, CardWithoutRegionsGivesRegionCode) {
    sim::CardConfig c = Ep4gxa();
    c.regions = {};
    c.cardId.reset();
    c.serial.reset();
    sim::AddCard(c);
    ASSERT_EQ(EP4GXA_Open(0, 0), 0u);
    std::uint32_t w = 0;
    EXPECT_EQ(EP4GXA_ReadReg32(0, 0, &w), QUELT_NO_REGION);
    EXPECT_EQ(EP4GXA_WriteReg64(0, 0, 1), QUELT_NO_REGION);
}

TEST_F(RegisterCodeTest, ValuesReachTheCardMemory) {
    const int device = sim::AddCard(Ep4gxa());
    ASSERT_EQ(EP4GXA_Open(0, 0), 0u);
    ASSERT_EQ(EP4GXA_WriteReg2x32(0, 16, 0x00000001u, 0), 0u);
    std::uint8_t* mem = sim::RegionMemory(device, 0);
    EXPECT_EQ(mem[16], 1);
    for (int i = 17; i < 24; ++i) EXPECT_EQ(mem[i], 0) << i;
    std::uint32_t lo = 9, hi = 9;
    ASSERT_EQ(EP4GXA_ReadReg2x32(0, 16, &lo, &hi), 0u);
    EXPECT_EQ(lo, 1u);
    EXPECT_EQ(hi, 0u);
}

}  // namespace
