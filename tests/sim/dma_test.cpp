// DMA buffer requests: the 20-byte reply, release by key, freeing at detach.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/temp_machine.h"
#include "win32_helpers.h"

using namespace sim_test;

namespace {

Reply Alloc(HANDLE h, std::uint32_t size, DmaReply* reply, DWORD outSize = sizeof(DmaReply)) {
    std::memset(reply, 0, sizeof *reply);
    return Request(h, IOCTL_CARD_ALLOC_DMA, &size, 4, reply, outSize);
}

Reply Release(HANDLE h, std::uint64_t key) {
    return Request(h, IOCTL_CARD_RELEASE_DMA, &key, 8, nullptr, 0);
}

// True while [base, base + 1) is mapped in this process.
bool Mapped(std::uint64_t base) {
    auto page = reinterpret_cast<void*>(base & ~static_cast<std::uint64_t>(::getpagesize() - 1));
    return ::msync(page, 1, MS_ASYNC) == 0 || errno != ENOMEM;
}

struct Fixture : ::testing::Test {
    quelt_test::TempMachine machine{true};
    HANDLE h = OpenCard(4);
    AttachRecord rec{};
    void SetUp() override { ASSERT_TRUE(Attach(h, &rec).ok); }
    void TearDown() override { CloseHandle(h); }
};

using Dma = Fixture;

TEST_F(Dma, AllocateRepliesBaseKeyAndSizeAndReleaseFreesByKey) {
    DmaReply reply;
    Reply r = Alloc(h, 10000, &reply);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 20u);
    EXPECT_NE(reply.base, 0u);
    EXPECT_NE(reply.key, 0u);
    EXPECT_EQ(reply.size, 10000u);
    auto* mem = reinterpret_cast<volatile std::uint8_t*>(reply.base);
    mem[0] = 1;
    mem[9999] = 2;  // the whole size is usable
    EXPECT_EQ(mem[9999], 2);

    DmaReply second;
    ASSERT_TRUE(Alloc(h, 4096, &second).ok);
    EXPECT_NE(second.key, reply.key);

    EXPECT_FALSE(Release(h, reply.key + 1000).ok);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(Release(h, reply.key).ok);
    EXPECT_FALSE(Mapped(reply.base));
    EXPECT_FALSE(Release(h, reply.key).ok);  // already freed
    EXPECT_TRUE(Mapped(second.base));
    EXPECT_TRUE(Release(h, second.key).ok);
}

TEST_F(Dma, DetachFreesTheBuffersOfTheHandle) {
    DmaReply reply;
    ASSERT_TRUE(Alloc(h, 4096, &reply).ok);
    rec.resources.dmaKey = reply.key;
    rec.resources.dmaBase = reply.base;
    rec.resources.dmaSize = reply.size;
    EXPECT_TRUE(Mapped(reply.base));
    EXPECT_TRUE(Detach(h, &rec).ok);
    EXPECT_FALSE(Mapped(reply.base));
}

TEST_F(Dma, BuffersBelongToTheirHandle) {
    HANDLE other = OpenCard(4);
    DmaReply reply;
    ASSERT_TRUE(Alloc(h, 4096, &reply).ok);
    EXPECT_FALSE(Release(other, reply.key).ok);
    CloseHandle(other);
    EXPECT_TRUE(Mapped(reply.base));
    EXPECT_TRUE(Release(h, reply.key).ok);
}

struct BadDma {
    const char* name;
    DWORD inSize;
    std::uint32_t size;
    DWORD outSize;
    DWORD error;
};

TEST_F(Dma, RefusesBadBuffersAndSizes) {
    const BadDma cases[] = {
        {"short input", 3, 4096, 20, ERROR_INVALID_PARAMETER},
        {"short output", 4, 4096, 19, ERROR_INSUFFICIENT_BUFFER},
        {"size 0", 4, 0, 20, ERROR_INVALID_PARAMETER},
        {"size beyond what the driver gives", 4, 0x80000000u, 20, ERROR_NOT_ENOUGH_MEMORY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint8_t out[32] = {};
        std::uint32_t size = c.size;
        Reply r = Request(h, IOCTL_CARD_ALLOC_DMA, &size, c.inSize, out, c.outSize);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(r.bytes, 0u);
    }
    std::uint32_t key4 = 1;
    Reply r = Request(h, IOCTL_CARD_RELEASE_DMA, &key4, 4, nullptr, 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, ERROR_INVALID_PARAMETER);
}

TEST_F(Dma, ArmedFaultsShapeTheReply) {
    DmaReply reply;
    sim::ArmFault(sim::Fault::DmaAllocFails, 4);
    Reply r = Alloc(h, 4096, &reply);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, ERROR_NOT_ENOUGH_MEMORY);

    sim::ArmFault(sim::Fault::DmaShortReply, 4);
    r = Alloc(h, 4096, &reply);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 16u);
    EXPECT_EQ(reply.size, 0u);  // beyond the reply: untouched

    sim::ArmFault(sim::Fault::DmaZeroKey, 4);
    r = Alloc(h, 4096, &reply);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 20u);
    EXPECT_EQ(reply.key, 0u);
    EXPECT_EQ(reply.size, 4096u);

    ASSERT_TRUE(Alloc(h, 4096, &reply).ok);
    sim::ArmFault(sim::Fault::DmaReleaseFails, 4, 1, ERROR_ACCESS_DENIED);
    r = Release(h, reply.key);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Mapped(reply.base));
    EXPECT_TRUE(Release(h, reply.key).ok);  // the same key again
}

}  // namespace
