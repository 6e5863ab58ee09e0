// DMA buffers: the held / not held states, what is sent, and what failures
// leave behind.
#include <cstring>

#include "driver_fixture.h"

namespace {

class DmaTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        device_ = AddCard("dma card");
        handle_ = OxOpenDevice("", device_, 0);
        ASSERT_NE(handle_, nullptr);
        r_ = OxGetDeviceResources(handle_);
    }
    void TearDown() override {
        OxCloseDevice(handle_);
        DriverTest::TearDown();
    }
    void ExpectNoBuffer() const {
        EXPECT_EQ(r_->dmaKey, 0u);
        EXPECT_EQ(r_->dmaSize, 0u);
        EXPECT_EQ(r_->dmaBase, 0u);
    }
    int device_ = 0;
    DeviceHandle* handle_ = nullptr;
    DeviceResources* r_ = nullptr;
};

TEST_F(DmaTest, NullHandle) {
    EXPECT_EQ(OxAllocateDMAmem(nullptr, 4096), -1);
    EXPECT_EQ(OxReleaseDMAmem(nullptr), -1);
}

TEST_F(DmaTest, AllocateReleaseCycle) {
    sim::ClearRequestLog();
    ASSERT_EQ(OxAllocateDMAmem(handle_, 8192), 0);
    EXPECT_NE(r_->dmaKey, 0u);
    EXPECT_EQ(r_->dmaSize, 8192u);
    const std::uint64_t key = r_->dmaKey;

    // Holding a buffer: a second allocation sends nothing.
    EXPECT_EQ(OxAllocateDMAmem(handle_, 16), -2);
    EXPECT_EQ(Requests(IOCTL_CARD_ALLOC_DMA).size(), 1u);

    ASSERT_EQ(OxReleaseDMAmem(handle_), 0);
    const auto releases = Requests(IOCTL_CARD_RELEASE_DMA);
    ASSERT_EQ(releases.size(), 1u);
    std::uint64_t sent = 0;
    ASSERT_EQ(releases[0].input.size(), sizeof sent);
    std::memcpy(&sent, releases[0].input.data(), sizeof sent);
    EXPECT_EQ(sent, key);
    ExpectNoBuffer();

    // Not holding one: a release sends nothing.
    EXPECT_EQ(OxReleaseDMAmem(handle_), -2);
    EXPECT_EQ(Requests(IOCTL_CARD_RELEASE_DMA).size(), 1u);
}

TEST_F(DmaTest, SizeIsPassedOnUnchanged) {
    for (std::uint32_t size : {0u, 1u, 0x80000000u, 0xFFFFFFFFu}) {
        sim::ClearRequestLog();
        OxAllocateDMAmem(handle_, size);
        const auto allocs = Requests(IOCTL_CARD_ALLOC_DMA);
        ASSERT_EQ(allocs.size(), 1u);
        std::uint32_t sent = 0;
        ASSERT_EQ(allocs[0].input.size(), sizeof sent);
        std::memcpy(&sent, allocs[0].input.data(), sizeof sent);
        EXPECT_EQ(sent, size);
        if (r_->dmaKey != 0) OxReleaseDMAmem(handle_);
    }
}

struct AllocFailure {
    sim::Fault fault;
    int result;
};

class DmaAllocFailureTest : public DmaTest, public ::testing::WithParamInterface<AllocFailure> {};

TEST_P(DmaAllocFailureTest, LeavesNoBuffer) {
    sim::ArmFault(GetParam().fault, device_, 1);
    EXPECT_EQ(OxAllocateDMAmem(handle_, 4096), GetParam().result);
    // A zero key is stored as the driver sent it, with its base and size.
    if (GetParam().result != 0) ExpectNoBuffer();
    EXPECT_EQ(r_->dmaKey, 0u);
    // Nothing is held, so the release is refused without a request.
    sim::ClearRequestLog();
    EXPECT_EQ(OxReleaseDMAmem(handle_), -2);
    EXPECT_TRUE(sim::RequestLog().empty());
    // And a further allocation asks the driver again.
    EXPECT_EQ(OxAllocateDMAmem(handle_, 4096), 0);
    EXPECT_EQ(Requests(IOCTL_CARD_ALLOC_DMA).size(), 1u);
    OxReleaseDMAmem(handle_);
}

INSTANTIATE_TEST_SUITE_P(Faults, DmaAllocFailureTest,
                         ::testing::Values(AllocFailure{sim::Fault::DmaAllocFails, -3},
                                           AllocFailure{sim::Fault::DmaShortReply, -4},
                                           AllocFailure{sim::Fault::DmaZeroKey, 0}));

TEST_F(DmaTest, FailedReleaseKeepsTheBuffer) {
    ASSERT_EQ(OxAllocateDMAmem(handle_, 4096), 0);
    const DeviceResources before = *r_;
    sim::ArmFault(sim::Fault::DmaReleaseFails, device_, 1);
    sim::ClearRequestLog();
    EXPECT_EQ(OxReleaseDMAmem(handle_), -3);
    EXPECT_EQ(r_->dmaKey, before.dmaKey);
    EXPECT_EQ(r_->dmaSize, before.dmaSize);
    EXPECT_EQ(r_->dmaBase, before.dmaBase);
    EXPECT_EQ(OxReleaseDMAmem(handle_), 0);
    const auto releases = Requests(IOCTL_CARD_RELEASE_DMA);
    ASSERT_EQ(releases.size(), 2u);
    EXPECT_EQ(releases[0].input, releases[1].input);
    ExpectNoBuffer();
}

}  // namespace
