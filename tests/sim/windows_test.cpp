// Card-memory windows: device models behind parts of card memory.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/models.h"
#include "support/recording_model.h"
#include "support/temp_machine.h"
#include "win32_helpers.h"

using quelt_test::RecordingModel;
using quelt_test::ScopedWindow;
using namespace std::chrono_literals;

namespace {

using Access = RecordingModel::Access;

TEST(Windows, AccessesInsideGoToTheModelOthersToMemory) {
    alignas(8) std::uint8_t mem[64] = {};
    RecordingModel model;
    model.SetBacking(0, 8, 0x1122334455667788ull);
    {
        ScopedWindow window(mem + 8, 16, &model);
        ASSERT_GE(window.id(), 0);
        EXPECT_EQ(mmio::detail::windowCount.load(), 1);
        EXPECT_EQ(mmio::Read64(mem + 8), 0x1122334455667788ull);
        EXPECT_EQ(mmio::Read32(mem + 12), 0x11223344u);
        EXPECT_EQ(mmio::Read8(mem + 9), 0x77);
        mmio::Write32(mem + 16, 0xAABBCCDDu);
        mmio::Write8(mem + 23, 0x5A);  // last byte of the window
        mmio::Write8(mem + 24, 0x6B);  // first byte past it
        mmio::Write8(mem + 7, 0x7C);   // last byte before it
        EXPECT_EQ(mem[16], 0);         // the model took it; memory untouched
        EXPECT_EQ(mem[23], 0);
        EXPECT_EQ(mem[24], 0x6B);
        EXPECT_EQ(mem[7], 0x7C);
        const std::vector<Access> expected = {
            {0, 8, false, 0x1122334455667788ull},
            {4, 4, false, 0x11223344u},
            {1, 1, false, 0x77},
            {8, 4, true, 0xAABBCCDDu},
            {15, 1, true, 0x5A},
        };
        EXPECT_EQ(model.Accesses(), expected);
        model.QueueReads({0xFE, 0x1FF});
        EXPECT_EQ(mmio::Read8(mem + 10), 0xFE);
        EXPECT_EQ(mmio::Read8(mem + 10), 0xFF);          // a queued value is cut to the width
        EXPECT_EQ(mmio::Read32(mem + 16), 0xAABBCCDDu);  // writes reach the backing
    }
    EXPECT_EQ(mmio::detail::windowCount.load(), 0);
    mmio::Write8(mem + 16, 0x42);
    EXPECT_EQ(mem[16], 0x42);
    EXPECT_EQ(mmio::Read8(mem + 16), 0x42);
    EXPECT_EQ(mmio::RegisterWindow(mem, 0, &model), -1);
    EXPECT_EQ(mmio::RegisterWindow(mem, 4, nullptr), -1);
    mmio::UnregisterWindow(12345);  // unknown id: nothing happens
}

// A model whose reads block until released: shows where UnregisterWindow waits.
class GateModel : public mmio::Model {
public:
    std::uint64_t Read(std::size_t, unsigned) override {
        std::unique_lock l(m_);
        inside_ = true;
        cv_.notify_all();
        cv_.wait(l, [this] { return open_; });
        inside_ = false;
        return 7;
    }
    void Write(std::size_t, unsigned, std::uint64_t) override {}
    void AwaitInside() {
        std::unique_lock l(m_);
        cv_.wait(l, [this] { return inside_; });
    }
    void Open() {
        std::lock_guard l(m_);
        open_ = true;
        cv_.notify_all();
    }
    bool Inside() {
        std::lock_guard l(m_);
        return inside_;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool inside_ = false;
    bool open_ = false;
};

TEST(Windows, UnregisterReturnsOnlyWhenNoAccessIsInsideTheModel) {
    std::uint8_t mem[8] = {};
    GateModel gate;
    int id = mmio::RegisterWindow(mem, 8, &gate);
    auto reader = std::async(std::launch::async, [&] { return mmio::Read8(mem); });
    gate.AwaitInside();
    auto unregister = std::async(std::launch::async, [&] { mmio::UnregisterWindow(id); });
    EXPECT_EQ(unregister.wait_for(100ms), std::future_status::timeout);
    EXPECT_TRUE(gate.Inside());
    gate.Open();
    EXPECT_EQ(reader.get(), 7);
    ASSERT_EQ(unregister.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(mmio::detail::windowCount.load(), 0);
}

TEST(Windows, ConcurrentRegisterAndAccessKeepEveryAccessWhole) {
    alignas(8) std::uint32_t mem[16] = {};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    RecordingModel model(64);
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (std::uint32_t i = 0; !stop.load(); ++i) {
                mmio::Write32(&mem[t], i);
                (void)mmio::Read32(&mem[t]);
            }
        });
    }
    for (int round = 0; round < 300; ++round) {
        int a = mmio::RegisterWindow(&mem[0], 4, &model);
        int b = mmio::RegisterWindow(&mem[8], 4, &model);
        mmio::UnregisterWindow(a);
        mmio::UnregisterWindow(b);
    }
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(mmio::detail::windowCount.load(), 0);
    for (const auto& acc : model.Accesses()) {
        EXPECT_EQ(acc.offset, 0u);
        EXPECT_EQ(acc.width, 4u);
    }
}

// The driver puts the card's EEPROM model behind the control byte at attach
// and takes it away at detach.
std::atomic<RecordingModel*> lastModel{nullptr};
std::atomic<int> madeFor{0};

std::unique_ptr<mmio::Model> MakeRecording(const sim::ModelContext& ctx) {
    auto model = std::make_unique<RecordingModel>(16);
    lastModel = model.get();
    madeFor = ctx.device * 100 + ctx.region;
    return model;
}

TEST(Windows, AttachPutsTheEepromModelBehindTheControlByte) {
    quelt_test::TempMachine machine(true);
    sim::EepromModelFactory previous = sim::CurrentEepromModelFactory();
    sim::SetEepromModelFactory(&MakeRecording);
    HANDLE h = sim_test::OpenCard(2);  // OX952 function 1: EEPROM in region 1
    AttachRecord rec;
    ASSERT_TRUE(sim_test::Attach(h, &rec).ok);
    EXPECT_EQ(madeFor.load(), 201);
    auto* region = static_cast<volatile std::uint8_t*>(rec.resources.regions[1].address);
    mmio::Write8(region + 3, 0x06);
    mmio::Write8(region + 2, 0x99);  // beside the control byte: plain memory
    ASSERT_NE(lastModel.load(), nullptr);
    EXPECT_EQ(lastModel.load()->Accesses(), (std::vector<Access>{{0, 1, true, 0x06}}));
    EXPECT_EQ(region[2], 0x99);
    EXPECT_EQ(region[3], 0);
    EXPECT_EQ(mmio::detail::windowCount.load(), 1);
    sim_test::Detach(h, &rec);
    EXPECT_EQ(mmio::detail::windowCount.load(), 0);
    CloseHandle(h);
    // A card without an EEPROM region gets no window.
    HANDLE ep = sim_test::OpenCard(4);
    ASSERT_TRUE(sim_test::Attach(ep, &rec).ok);
    EXPECT_EQ(mmio::detail::windowCount.load(), 0);
    CloseHandle(ep);
    sim::SetEepromModelFactory(previous);
}

}  // namespace
