// Card-memory accesses and the windows in front of them: an access reaches a
// window with any of its bytes, and the lock-free lookup stays right while
// other threads add and remove windows.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/mmio.h"
#include "support/recording_model.h"

using quelt_test::RecordingModel;
using quelt_test::ScopedWindow;

namespace {

using Access = RecordingModel::Access;

// Offsets the model sees for accesses that begin before the window.
constexpr std::size_t Before(std::size_t n) {
    return static_cast<std::size_t>(0) - n;
}

// A one-byte window, like a control byte at offset 3 of a register word: every
// access that covers the byte goes to the model, whatever byte it starts at.
TEST(CardMemory, AnAccessCoveringAWindowByteGoesToTheModel) {
    alignas(8) std::uint8_t mem[32] = {};
    RecordingModel model(1);
    model.SetBacking(0, 1, 0xAB);
    ScopedWindow window(mem + 3, 1, &model);
    ASSERT_GE(window.id(), 0);

    EXPECT_EQ(mmio::Read32(mem), 0xAB000000u);  // the window's byte is lane 3
    EXPECT_EQ(mmio::Read64(mem), 0xAB000000u);
    mmio::Write32(mem, 0x11223344u);
    EXPECT_EQ(mmio::Read8(mem + 3), 0x11);  // lane 3 of the write reached the model
    EXPECT_EQ(mem[0], 0);                   // and the plain memory saw none of it
    EXPECT_EQ(mem[3], 0);

    // Accesses that end before the byte or start after it are plain.
    mem[2] = 0x22;
    mem[4] = 0x44;
    EXPECT_EQ(mmio::Read8(mem + 2), 0x22);
    EXPECT_EQ(mmio::Read32(mem + 4), 0x44u);
    mmio::Write8(mem + 2, 0x23);
    EXPECT_EQ(mem[2], 0x23);

    const std::vector<Access> expected = {{Before(3), 4, false, 0xAB000000u},
                                          {Before(3), 8, false, 0xAB000000u},
                                          {Before(3), 4, true, 0x11223344u},
                                          {0, 1, false, 0x11}};
    EXPECT_EQ(model.Accesses(), expected);
}

TEST(CardMemory, WindowsAtTheEdgesOfAnAccess) {
    alignas(8) std::uint8_t mem[32] = {};
    RecordingModel low(8), high(8);
    ScopedWindow a(mem + 8, 8, &low);
    ScopedWindow b(mem + 24, 8, &high);
    // Ends on the first byte of `high`; begins on the last byte of `low`.
    mmio::Write64(mem + 17, 0x0102030405060708ull);
    mmio::Write64(mem + 15, 0x1111111111111111ull);
    EXPECT_EQ(high.Accesses(), (std::vector<Access>{{Before(7), 8, true, 0x0102030405060708ull}}));
    EXPECT_EQ(low.Accesses(), (std::vector<Access>{{7, 8, true, 0x1111111111111111ull}}));
    // Between the two, memory is plain.
    mmio::Write64(mem + 16, 0x5555555555555555ull);
    EXPECT_EQ(mem[16], 0x55);
    EXPECT_EQ(mem[23], 0x55);
    EXPECT_EQ(mmio::Read64(mem + 16), 0x5555555555555555ull);
}

TEST(CardMemory, RefusedWindowsAndTheLastOneGone) {
    alignas(8) std::uint8_t mem[16] = {};
    RecordingModel model(16);
    EXPECT_EQ(mmio::RegisterWindow(mem, 0, &model), -1);
    EXPECT_EQ(mmio::RegisterWindow(nullptr, 4, &model), -1);
    EXPECT_EQ(mmio::RegisterWindow(mem, 4, nullptr), -1);
    // A window reaching past the end of the address space.
    EXPECT_EQ(mmio::RegisterWindow(mem, SIZE_MAX, &model), -1);
    {
        ScopedWindow w(mem, 4, &model);
        EXPECT_EQ(mmio::detail::windowCount.load(), 1);
    }
    EXPECT_EQ(mmio::detail::windowCount.load(), 0);
    mmio::Write32(mem, 7);
    EXPECT_EQ(mem[0], 7);
    EXPECT_TRUE(model.Accesses().empty());
}

// Answers every read with its tag.
class TagModel : public mmio::Model {
public:
    explicit TagModel(std::uint32_t tag) : tag_(tag) {}
    std::uint64_t Read(std::size_t, unsigned) override { return tag_; }
    void Write(std::size_t, unsigned, std::uint64_t) override {}

private:
    std::uint32_t tag_;
};

// While one thread adds and removes windows around them, readers see a window
// that stays in place every time, and plain memory between windows every
// time; with enough windows the lookup table is replaced while they read.
TEST(CardMemory, LookupStaysRightWhileWindowsComeAndGo) {
    alignas(8) static std::uint32_t mem[256];
    for (auto& w : mem) w = 0x11111111u;
    TagModel steady(0x5A5A5A5Au), passing(0x77777777u);
    ScopedWindow fixed(&mem[0], 4, &steady);

    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    auto reader = [&] {
        while (!stop.load(std::memory_order_relaxed)) {
            if (mmio::Read32(&mem[0]) != 0x5A5A5A5Au) wrong.fetch_add(1);
            if (mmio::Read32(&mem[100]) != 0x11111111u) wrong.fetch_add(1);
            if (mmio::Read32(&mem[255]) != 0x11111111u) wrong.fetch_add(1);
        }
    };
    std::thread r1(reader), r2(reader);
    for (int round = 0; round < 300; ++round) {
        std::vector<int> ids;
        // Windows on both sides of mem[100], from one to forty of them, so the
        // bounds widen and narrow around the readers.
        for (int i = 1; i <= 1 + round % 40; ++i) {
            const int at = i < 20 ? 100 - i : 100 + (i - 19);
            ids.push_back(mmio::RegisterWindow(&mem[at], 4, &passing));
        }
        for (int id : ids) mmio::UnregisterWindow(id);
    }
    stop = true;
    r1.join();
    r2.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(mmio::detail::windowCount.load(), 1);
}

}  // namespace
