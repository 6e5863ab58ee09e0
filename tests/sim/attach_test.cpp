// Attach and detach through CreateFileA / DeviceIoControl / CloseHandle.
#include <gtest/gtest.h>

#include <cstring>

#include "support/temp_machine.h"
#include "win32_helpers.h"

using namespace sim_test;

namespace {

std::int32_t AttachCountOf(int device) {
    return static_cast<std::int32_t>(sim::ReadStatusWord(device, 12));
}

TEST(Attach, FillsResourcesFromTheCardConfiguration) {
    quelt_test::TempMachine machine;
    sim::CardConfig c;
    c.description = "Test card";
    c.vendorId = 0x12341760;
    c.deviceId = 0xABCD0300;
    c.bus = 0x10007;
    c.slot = 0x50009;
    c.pciAddress = 0x000B0002;
    c.irqLine = 200;
    c.regions = {{4096, false}, {100, true}, {8192, false}};
    ASSERT_EQ(sim::AddCard(c), 1);

    HANDLE h = OpenCard(1);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    AttachRecord rec;
    Reply r = Attach(h, &rec);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.bytes, 344u);
    const DeviceResources& res = rec.resources;
    EXPECT_EQ(rec.recordSize, 344u);
    EXPECT_EQ(res.regionCount, 3);
    EXPECT_NE(res.regions[0].address, nullptr);
    EXPECT_EQ(res.regions[0].length, 4096u);
    EXPECT_EQ(res.regions[1].address, nullptr);  // unmapped: address 0, length kept
    EXPECT_EQ(res.regions[1].length, 100u);
    EXPECT_NE(res.regions[2].address, nullptr);
    EXPECT_EQ(res.regions[2].length, 8192u);
    EXPECT_EQ(res.regions[3].address, nullptr);
    EXPECT_EQ(res.bus, 0x10007u);
    EXPECT_EQ(res.slot, 0x50009u);
    EXPECT_EQ(res.vendorId, 0x12341760u);
    EXPECT_EQ(res.deviceId, 0xABCD0300u);
    EXPECT_EQ(res.pciAddress, 0x000B0002u);
    EXPECT_EQ(res.irqLine, 200);
    EXPECT_NE(res.statusBlock, nullptr);
    EXPECT_EQ(res.dmaKey, 0u);
    EXPECT_EQ(res.dmaSize, 0u);
    EXPECT_EQ(res.dmaBase, 0u);

    // The mapped region is the card's memory, as every process sees it.
    static_cast<volatile std::uint32_t*>(res.regions[2].address)[5] = 0xFEEDF00Du;
    std::uint32_t seen;
    std::memcpy(&seen, sim::RegionMemory(1, 2) + 20, 4);
    EXPECT_EQ(seen, 0xFEEDF00Du);
    EXPECT_TRUE(CloseHandle(h));
}

TEST(Attach, CountsHandlesAndDetachUndoesIt) {
    quelt_test::TempMachine machine(true);
    HANDLE a = OpenCard(3);
    HANDLE b = OpenCard(3);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    AttachRecord ra, rb;
    ASSERT_TRUE(Attach(a, &ra).ok);
    EXPECT_EQ(AttachCountOf(3), 1);
    ASSERT_TRUE(Attach(b, &rb).ok);
    EXPECT_EQ(AttachCountOf(3), 2);
    EXPECT_EQ(sim::AttachedHandles(3), 2);
    // Both handles see one status block.
    auto* blockA = static_cast<SharedStatusBlock*>(ra.resources.statusBlock);
    auto* blockB = static_cast<SharedStatusBlock*>(rb.resources.statusBlock);
    ASSERT_NE(blockA, blockB);
    StoreShared(blockA->slots[7], 4242u);
    EXPECT_EQ(LoadShared(blockB->slots[7]), 4242u);
    EXPECT_EQ(LoadShared(blockB->attachCount), 2);

    EXPECT_TRUE(Detach(a, &ra).ok);
    EXPECT_EQ(AttachCountOf(3), 1);
    // A second detach of the same handle is accepted and changes nothing.
    EXPECT_TRUE(Detach(a, &ra).ok);
    EXPECT_EQ(AttachCountOf(3), 1);
    // Closing a handle still attached detaches it.
    EXPECT_TRUE(CloseHandle(b));
    EXPECT_EQ(AttachCountOf(3), 0);
    EXPECT_EQ(sim::AttachedHandles(3), 0);
    EXPECT_TRUE(CloseHandle(a));
}

TEST(Attach, CountNeverGoesBelowZero) {
    quelt_test::TempMachine machine(true);
    HANDLE h = OpenCard(1);
    AttachRecord rec;
    ASSERT_TRUE(Attach(h, &rec).ok);
    sim::WriteStatusWord(1, 12, 0);  // as a connection reset may leave it
    EXPECT_TRUE(Detach(h, &rec).ok);
    EXPECT_EQ(AttachCountOf(1), 0);
    CloseHandle(h);
}

TEST(Attach, NoStatusBlockGivesNullPointer) {
    quelt_test::TempMachine machine;
    sim::CardConfig c = sim::DefaultCard(sim::CardFamily::OX9162);
    c.statusBlock = false;
    sim::AddCard(c);
    HANDLE h = OpenCard(1);
    AttachRecord rec;
    ASSERT_TRUE(Attach(h, &rec).ok);
    EXPECT_EQ(rec.resources.statusBlock, nullptr);
    EXPECT_EQ(rec.resources.regionCount, 2);
    CloseHandle(h);
}

TEST(Attach, DetachOfAFailedAttachIsAccepted) {
    quelt_test::TempMachine machine(true);
    sim::ArmFault(sim::Fault::AttachFails, 2, 1, ERROR_ACCESS_DENIED);
    HANDLE h = OpenCard(2);
    AttachRecord rec;
    Reply r = Attach(h, &rec);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, ERROR_ACCESS_DENIED);
    EXPECT_EQ(AttachCountOf(2), 0);
    EXPECT_TRUE(Detach(h, &rec).ok);
    EXPECT_EQ(AttachCountOf(2), 0);
    // The fault was used up: the next attach succeeds.
    EXPECT_TRUE(Attach(h, &rec).ok);
    EXPECT_EQ(AttachCountOf(2), 1);
    CloseHandle(h);
    EXPECT_EQ(AttachCountOf(2), 0);
}

TEST(Attach, ShortReplyLeavesTheRestOfTheRecord) {
    quelt_test::TempMachine machine(true);
    sim::ArmFault(sim::Fault::AttachShortReply, 0, 1, 200);
    HANDLE h = OpenCard(4);
    AttachRecord rec;
    Reply r = Attach(h, &rec);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 200u);
    EXPECT_NE(rec.resources.regions[0].address, nullptr);  // within the reply
    EXPECT_EQ(rec.resources.deviceId, 0u);                 // beyond it: as sent
    EXPECT_EQ(rec.resources.statusBlock, nullptr);
    CloseHandle(h);
}

struct BadBuffer {
    const char* name;
    DWORD inSize;
    DWORD outSize;
    std::uint64_t recordSize;
    DWORD error;
};

TEST(Attach, RefusesBuffersItCannotFill) {
    const BadBuffer cases[] = {
        {"short input", 343, 344, 344, ERROR_INSUFFICIENT_BUFFER},
        {"short output", 344, 100, 344, ERROR_INSUFFICIENT_BUFFER},
        {"no output", 344, 0, 344, ERROR_INSUFFICIENT_BUFFER},
        {"wrong record size", 344, 344, 336, ERROR_INVALID_PARAMETER},
    };
    quelt_test::TempMachine machine(true);
    HANDLE h = OpenCard(1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint8_t buf[400] = {};
        std::memcpy(buf, &c.recordSize, 8);
        Reply r = Request(h, IOCTL_CARD_ATTACH, buf, c.inSize, c.outSize ? buf : nullptr, c.outSize);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(AttachCountOf(1), 0);
    }
    CloseHandle(h);
}

TEST(Attach, SecondAttachOnOneHandleIsRefused) {
    quelt_test::TempMachine machine(true);
    HANDLE h = OpenCard(1);
    AttachRecord rec;
    ASSERT_TRUE(Attach(h, &rec).ok);
    AttachRecord again;
    Reply r = Attach(h, &again);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, ERROR_ALREADY_EXISTS);
    EXPECT_EQ(AttachCountOf(1), 1);
    CloseHandle(h);
}

TEST(DriverVersion, AnswersTheMachinesVersionAsByteCount) {
    quelt_test::TempMachine machine(true);
    HANDLE h = OpenCard(1);
    EXPECT_EQ(Request(h, IOCTL_CARD_DRIVER_VERSION, nullptr, 0, nullptr, 0).bytes, 110u);
    sim::SetDriverVersion(108);
    EXPECT_EQ(Request(h, IOCTL_CARD_DRIVER_VERSION, nullptr, 0, nullptr, 0).bytes, 108u);
    sim::ArmFault(sim::Fault::DriverVersionFails);
    Reply r = Request(h, IOCTL_CARD_DRIVER_VERSION, nullptr, 0, nullptr, 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(Request(h, 0x120, nullptr, 0, nullptr, 0).error, 1u);  // unknown request
    CloseHandle(h);
}

// The card's own requests need an attached handle: before the attach and
// after the detach they fail, and nothing of the card is touched.
TEST(Attach, CardRequestsOnAHandleNotAttachedFail) {
    quelt_test::TempMachine machine(true);
    struct Case {
        const char* name;
        DWORD code;
        std::uint32_t inSize;
        std::uint32_t outSize;
    };
    const Case cases[] = {
        {"wait", IOCTL_CARD_WAIT_IRQ, 8, 0},           {"wait count", IOCTL_CARD_IRQ_WAITS, 0, 0},
        {"discard", IOCTL_CARD_DISCARD_WAITS, 0, 0},   {"allocate DMA", IOCTL_CARD_ALLOC_DMA, 4, 20},
        {"release DMA", IOCTL_CARD_RELEASE_DMA, 8, 0},
    };
    HANDLE h = OpenCard(2);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    AttachRecord rec;
    for (int round = 0; round < 2; ++round) {
        for (const Case& c : cases) {
            std::uint64_t in = 4096;
            std::uint8_t out[20] = {};
            Reply r =
                Request(h, c.code, c.inSize ? &in : nullptr, c.inSize, c.outSize ? out : nullptr, c.outSize);
            EXPECT_FALSE(r.ok) << c.name << (round ? " after the detach" : " before the attach");
            EXPECT_EQ(r.error, 21u) << c.name;  // ERROR_NOT_READY
            EXPECT_EQ(r.bytes, 0u) << c.name;
        }
        if (round == 0) {
            ASSERT_TRUE(Attach(h, &rec).ok);
            ASSERT_TRUE(Detach(h, &rec).ok);
        }
    }
    EXPECT_EQ(sim::ReadStatusWord(2, 12), 0u);
    // The driver version is no card request: it is answered either way.
    EXPECT_TRUE(Request(h, IOCTL_CARD_DRIVER_VERSION, nullptr, 0, nullptr, 0).ok);
    CloseHandle(h);
}

// The attach count is the driver's: a reset that cut it down stays in force,
// while handles of processes that ended come off it.
TEST(Attach, CountMovesWithHandlesAndKeepsAReset) {
    quelt_test::TempMachine machine(true);
    HANDLE a = OpenCard(1);
    HANDLE b = OpenCard(1);
    AttachRecord ra, rb;
    ASSERT_TRUE(Attach(a, &ra).ok);
    ASSERT_TRUE(Attach(b, &rb).ok);
    EXPECT_EQ(sim::ReadStatusWord(1, 12), 2u);
    sim::WriteStatusWord(1, 12, 1);  // a connection reset
    HANDLE c = OpenCard(1);
    AttachRecord rc;
    ASSERT_TRUE(Attach(c, &rc).ok);
    EXPECT_EQ(sim::ReadStatusWord(1, 12), 2u);
    EXPECT_EQ(sim::AttachedHandles(1), 3);
    CloseHandle(c);
    CloseHandle(b);
    EXPECT_EQ(sim::ReadStatusWord(1, 12), 0u);
    CloseHandle(a);
    EXPECT_EQ(sim::ReadStatusWord(1, 12), 0u);
    EXPECT_EQ(sim::AttachedHandles(1), 0);
}

// The request log costs nothing unless a test turns it on, and then keeps
// only the most recent requests instead of growing for ever.
TEST(RequestLog, OffUnlessTurnedOnAndBoundedWhenOn) {
    quelt_test::TempMachine machine(true);  // turns it on, as every test does
    HANDLE h = OpenCard(1);
    sim::SetRequestLog(false);
    sim::ClearRequestLog();
    for (int i = 0; i < 10; ++i) Request(h, IOCTL_CARD_DRIVER_VERSION, nullptr, 0, nullptr, 0);
    EXPECT_TRUE(sim::RequestLog().empty());

    sim::SetRequestLog(true);
    const std::size_t total = sim::kMaxLoggedRequests + 5;
    for (std::size_t i = 0; i < total; ++i) {
        std::uint32_t marker = static_cast<std::uint32_t>(i);
        Request(h, 0x999, &marker, 4, nullptr, 0);  // an unknown request, logged with its input
    }
    const auto log = sim::RequestLog();
    ASSERT_EQ(log.size(), sim::kMaxLoggedRequests);
    std::uint32_t first = 0, last = 0;
    std::memcpy(&first, log.front().input.data(), 4);
    std::memcpy(&last, log.back().input.data(), 4);
    EXPECT_EQ(first, 5u);
    EXPECT_EQ(last, static_cast<std::uint32_t>(total - 1));
    EXPECT_FALSE(log.back().ok);
    CloseHandle(h);
}

}  // namespace
