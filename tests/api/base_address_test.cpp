// Base addresses of regions and of the shared area: check order, parity,
// region counts, listed null addresses, slot counts, family isolation.
#include <cstddef>
#include <string>
#include <vector>

#include "api/open_close.h"
#include "driver/contract.h"
#include "driver/device.h"
#include "platform/posix/test_hooks.h"
#include "quelt_ox952.h"
#include "registry/registry_fixture.h"

namespace {

using BaseFn = std::uint32_t (*)(std::uint32_t, void**, std::uint32_t*);

struct RegionCase {
    const char* name;
    BaseFn fn;
    sim::CardFamily family;
    int region;             // region table entry returned
    bool function1;         // OX952: region of function 1
    std::uint32_t code;     // region missing
    bool nullAddressFails;  // a listed address of 0 gives `code`
};

std::vector<sim::RegionConfig> Regions(int count, int unmapped = -1) {
    std::vector<sim::RegionConfig> r;
    for (int i = 0; i < count; ++i)
        r.push_back(sim::RegionConfig{4096u * static_cast<std::uint64_t>(i + 1), i == unmapped});
    return r;
}

class RegionBaseTest : public RegistryTest, public ::testing::WithParamInterface<RegionCase> {
protected:
    // Adds the family's card with `regions` on the device the function reads,
    // opens position 0 and returns that device's number.
    int AddAndOpen(const std::vector<sim::RegionConfig>& regions) {
        const RegionCase& rc = GetParam();
        int device = 0;
        if (rc.family == sim::CardFamily::OX952) {
            sim::CardConfig f0 = Card(sim::CardFamily::OX952, 0x0300, 2, 5);
            sim::CardConfig f1 = sim::Ox952Function1(f0);
            (rc.function1 ? f1 : f0).regions = regions;
            f1.eepromRegion = -1;
            device = sim::AddCard(f0);
            sim::AddCard(f1);
            EXPECT_EQ(OX952_Open(0, 0), 0u);
            if (rc.function1) ++device;
        } else {
            sim::CardConfig c = sim::DefaultCard(rc.family);
            c.regions = regions;
            c.eepromRegion = -1;
            c.cardId.reset();
            c.serial.reset();
            device = sim::AddCard(c);
            const auto open = rc.family == sim::CardFamily::OX9162 ? OX9162_Open : EP4GXA_Open;
            EXPECT_EQ(open(0, 0), 0u);
        }
        return device;
    }
    void Close() {
        const RegionCase& rc = GetParam();
        const auto close = rc.family == sim::CardFamily::OX952    ? OX952_Close
                           : rc.family == sim::CardFamily::OX9162 ? OX9162_Close
                                                                  : EP4GXA_Close;
        EXPECT_EQ(close(0), 0u);
    }
};

TEST_P(RegionBaseTest, ChecksInOrderAndReturnsTheMappedRegion) {
    const RegionCase& rc = GetParam();
    const int device = AddAndOpen(Regions(rc.region + 1));
    void* address = reinterpret_cast<void*>(0x1);
    std::uint32_t length = 7;
    EXPECT_EQ(rc.fn(32, &address, &length), QUELT_NO_CARD);
    EXPECT_EQ(rc.fn(1, &address, &length), QUELT_NO_CARD);
    EXPECT_EQ(rc.fn(0, &address, nullptr), QUELT_NULL_POINTER);
    EXPECT_EQ(rc.fn(0, nullptr, &length), QUELT_NULL_POINTER);
    EXPECT_EQ(address, reinterpret_cast<void*>(0x1));
    EXPECT_EQ(length, 7u);

    ASSERT_EQ(rc.fn(0, &address, &length), 0u);
    EXPECT_EQ(length, 4096u * static_cast<std::uint32_t>(rc.region + 1));
    // The address is the card's region memory as this process sees it.
    static_cast<volatile std::uint8_t*>(address)[100] = 0x5A;
    EXPECT_EQ(sim::RegionMemory(device, rc.region)[100], 0x5A);

    Close();
    // A present card that is not open answers 0x40, also with null pointers.
    EXPECT_EQ(rc.fn(0, nullptr, nullptr), QUELT_NOT_OPEN);
    EXPECT_EQ(rc.fn(0, &address, &length), QUELT_NOT_OPEN);
}

TEST_P(RegionBaseTest, TooFewRegionsGiveTheRegionCode) {
    const RegionCase& rc = GetParam();
    AddAndOpen(Regions(rc.region));
    void* address = reinterpret_cast<void*>(0x1);
    std::uint32_t length = 7;
    EXPECT_EQ(rc.fn(0, &address, &length), rc.code);
    EXPECT_EQ(address, reinterpret_cast<void*>(0x1));
    EXPECT_EQ(length, 7u);
}

TEST_P(RegionBaseTest, ListedNullAddress) {
    const RegionCase& rc = GetParam();
    AddAndOpen(Regions(rc.region + 1, rc.region));
    void* address = reinterpret_cast<void*>(0x1);
    std::uint32_t length = 7;
    EXPECT_EQ(rc.fn(0, &address, &length), rc.nullAddressFails ? rc.code : 0u);
    // Both outputs are written either way.
    EXPECT_EQ(address, nullptr);
    EXPECT_EQ(length, 4096u * static_cast<std::uint32_t>(rc.region + 1));
}

INSTANTIATE_TEST_SUITE_P(
    Regions, RegionBaseTest,
    ::testing::Values(
        RegionCase{"OX952_BAR05", OX952_BAR05_BaseAdr, sim::CardFamily::OX952, 0, false, 0x80, false},
        RegionCase{"OX952_BAR11", OX952_BAR11_BaseAdr, sim::CardFamily::OX952, 0, true, 0x4000, false},
        RegionCase{"OX952_BAR13", OX952_BAR13_BaseAdr, sim::CardFamily::OX952, 1, true, 0x8000, false},
        RegionCase{"OX9162_BAR3", OX9162_BAR3_BaseAdr, sim::CardFamily::OX9162, 0, false, 0x2000, true},
        RegionCase{"OX9162_BAR4", OX9162_BAR4_BaseAdr, sim::CardFamily::OX9162, 1, false, 0x80, true},
        RegionCase{"EP4GXA_BAR0", EP4GXA_BAR0_BaseAdr, sim::CardFamily::EP4GXA, 0, false, 0x80, true},
        RegionCase{"EP4GXA_BAR1", EP4GXA_BAR1_BaseAdr, sim::CardFamily::EP4GXA, 1, false, 0x80, true},
        RegionCase{"EP4GXA_BAR2", EP4GXA_BAR2_BaseAdr, sim::CardFamily::EP4GXA, 2, false, 0x80, true}),
    [](const auto& info) { return std::string(info.param.name); });

using BaseAddressTest = RegistryTest;

// Only reachable when a map names the other function's entry; the parity
// test guards the OX952 region functions against that.
TEST_F(BaseAddressTest, Ox952ParityTests) {
    const int f0 = AddOx952Pair();
    auto& map0 = const_cast<PositionMap&>(BuiltMap(Family::OX952));
    auto& map1 = Ox952Function1Map();
    map0.index[0].store(static_cast<std::int8_t>(f0));      // function 1's entry (odd)
    map1.index[0].store(static_cast<std::int8_t>(f0 - 1));  // function 0's entry (even)
    ASSERT_EQ(OX952_Open(0, 0), 0u);
    void* address = nullptr;
    std::uint32_t length = 0;
    EXPECT_EQ(OX952_BAR05_BaseAdr(0, &address, &length), 0x80u);
    EXPECT_EQ(OX952_BAR11_BaseAdr(0, &address, &length), 0x4000u);
    EXPECT_EQ(OX952_BAR13_BaseAdr(0, &address, &length), 0x8000u);
    EXPECT_EQ(address, nullptr);
    map0.index[0].store(static_cast<std::int8_t>(f0 - 1));
    map1.index[0].store(static_cast<std::int8_t>(f0));
}

TEST_F(BaseAddressTest, Ox952FunctionOneRegionsNeedThePairing) {
    AddOx952Pair();
    std::uint32_t count = 0;
    ASSERT_EQ(OX952_CardsInSystem(&count), 0u);
    ASSERT_EQ(count, 1u);
    void* address = nullptr;
    std::uint32_t length = 0;
    std::uint32_t cards = 0;
    ASSERT_EQ(OX952_CardsInSystem(&cards), 0u);  // builds the map
    // Before the first open the position has no function 1 yet.
    EXPECT_EQ(OX952_BAR11_BaseAdr(0, &address, &length), QUELT_NO_CARD);
    EXPECT_EQ(OX952_BAR05_BaseAdr(0, &address, &length), QUELT_NOT_OPEN);
    EXPECT_EQ(OX952_SHARED_BaseAdr(0, &address, &length), QUELT_NO_CARD);
    ASSERT_EQ(OX952_Open(0, 0), 0u);
    EXPECT_EQ(OX952_BAR11_BaseAdr(0, &address, &length), 0u);
    ASSERT_EQ(OX952_Close(0), 0u);
    // The pairing stays; the function-1 entry now reads as not open.
    EXPECT_EQ(OX952_BAR11_BaseAdr(0, &address, &length), QUELT_NOT_OPEN);
    EXPECT_EQ(OX952_SHARED_BaseAdr(0, &address, &length), QUELT_NOT_OPEN);
}

// Every member that reads a position without opening it, as the first call of
// a process: the maps are not built, so there is no card yet, and nothing may
// scan the cards or ask the driver anything.
struct FirstCallCase {
    const char* name;
    std::uint32_t (*call)(std::uint32_t position);
};

template <BaseFn fn>
std::uint32_t CallBase(std::uint32_t position) {
    void* address = reinterpret_cast<void*>(0x1);
    std::uint32_t length = 7;
    const std::uint32_t code = fn(position, &address, &length);
    // A refused call writes neither output.
    if (code != 0 && (address != reinterpret_cast<void*>(0x1) || length != 7)) return 0xDEAD;
    return code;
}

class FirstCallTest : public RegistryTest, public ::testing::WithParamInterface<FirstCallCase> {};

TEST_P(FirstCallTest, AnUnbuiltMapReadsAsNoCardAndAsksTheDriverNothing) {
    AddOx952Pair();
    sim::AddCard(Ox9162());
    sim::AddCard(Ep4gxa());
    sim::ClearRequestLog();
    const std::size_t handlesBefore = posix_test::OpenHandleCount();

    EXPECT_EQ(GetParam().call(0), QUELT_NO_CARD);
    EXPECT_EQ(GetParam().call(31), QUELT_NO_CARD);
    EXPECT_TRUE(sim::RequestLog().empty());
    EXPECT_FALSE(IsPresent(CardTable()[0])) << "the cards were scanned";
    EXPECT_EQ(posix_test::OpenHandleCount(), handlesBefore);
}

std::uint32_t ReadReg32(std::uint32_t p) {
    std::uint32_t v = 0;
    return EP4GXA_ReadReg32(p, 0, &v);
}
std::uint32_t WriteReg8(std::uint32_t p) {
    return EP4GXA_WriteReg8(p, 0, 1);
}
std::uint32_t ReadReg2x32(std::uint32_t p) {
    std::uint32_t lo = 0, hi = 0;
    return EP4GXA_ReadReg2x32(p, 0, &lo, &hi);
}
std::uint32_t WriteReg64(std::uint32_t p) {
    return EP4GXA_WriteReg64(p, 0, 1);
}

INSTANTIATE_TEST_SUITE_P(Members, FirstCallTest,
                         ::testing::Values(FirstCallCase{"OX952_BAR05", CallBase<OX952_BAR05_BaseAdr>},
                                           FirstCallCase{"OX952_BAR11", CallBase<OX952_BAR11_BaseAdr>},
                                           FirstCallCase{"OX952_BAR13", CallBase<OX952_BAR13_BaseAdr>},
                                           FirstCallCase{"OX952_SHARED", CallBase<OX952_SHARED_BaseAdr>},
                                           FirstCallCase{"OX9162_BAR3", CallBase<OX9162_BAR3_BaseAdr>},
                                           FirstCallCase{"OX9162_BAR4", CallBase<OX9162_BAR4_BaseAdr>},
                                           FirstCallCase{"OX9162_SHARED", CallBase<OX9162_SHARED_BaseAdr>},
                                           FirstCallCase{"EP4GXA_BAR0", CallBase<EP4GXA_BAR0_BaseAdr>},
                                           FirstCallCase{"EP4GXA_BAR1", CallBase<EP4GXA_BAR1_BaseAdr>},
                                           FirstCallCase{"EP4GXA_BAR2", CallBase<EP4GXA_BAR2_BaseAdr>},
                                           FirstCallCase{"EP4GXA_SHARED", CallBase<EP4GXA_SHARED_BaseAdr>},
                                           FirstCallCase{"EP4GXA_ReadReg32", ReadReg32},
                                           FirstCallCase{"EP4GXA_WriteReg8", WriteReg8},
                                           FirstCallCase{"EP4GXA_ReadReg2x32", ReadReg2x32},
                                           FirstCallCase{"EP4GXA_WriteReg64", WriteReg64}),
                         [](const auto& info) { return std::string(info.param.name); });

// Once another call has built the maps, the same members tell a card that is
// there but not open (0x40) from a position without a card (2).
TEST_F(BaseAddressTest, AfterTheScanAClosedCardReadsAsNotOpen) {
    sim::AddCard(Ox9162());
    sim::AddCard(Ep4gxa());
    std::uint32_t count = 0;
    ASSERT_EQ(EP4GXA_CardsInSystem(&count), 0u);
    EXPECT_EQ(CallBase<EP4GXA_BAR0_BaseAdr>(0), QUELT_NOT_OPEN);
    EXPECT_EQ(CallBase<EP4GXA_SHARED_BaseAdr>(0), QUELT_NOT_OPEN);
    EXPECT_EQ(CallBase<EP4GXA_BAR0_BaseAdr>(1), QUELT_NO_CARD);
    EXPECT_EQ(ReadReg32(0), QUELT_NOT_OPEN);
    // Each family's map is its own: the OX9162 one is still unbuilt.
    EXPECT_EQ(CallBase<OX9162_BAR3_BaseAdr>(0), QUELT_NO_CARD);
    ASSERT_EQ(OX9162_CardsInSystem(&count), 0u);
    EXPECT_EQ(CallBase<OX9162_BAR3_BaseAdr>(0), QUELT_NOT_OPEN);
}

struct SlotCountCase {
    const char* name;
    std::int32_t slots;
    std::uint32_t code;
    std::size_t offset;
    std::uint32_t length;
};

class SharedAreaTest : public RegistryTest, public ::testing::WithParamInterface<SlotCountCase> {};

TEST_P(SharedAreaTest, FollowsTheSlotsUpToTheEndOfTheBlock) {
    const SlotCountCase& sc = GetParam();
    const int device = sim::AddCard(Ep4gxa());
    ASSERT_EQ(EP4GXA_Open(0, 0), 0u);
    const auto* block = reinterpret_cast<std::uint8_t*>(StatusBlockOf(LoadHandle(CardTable()[device - 1])));
    ASSERT_NE(block, nullptr);
    sim::WriteStatusWord(device, offsetof(SharedStatusBlock, slotCount),
                         static_cast<std::uint32_t>(sc.slots));
    void* address = reinterpret_cast<void*>(0x1);
    std::uint32_t length = 7;
    EXPECT_EQ(EP4GXA_SHARED_BaseAdr(0, &address, &length), sc.code);
    if (sc.code == 0) {
        EXPECT_EQ(address, block + sc.offset);
        EXPECT_EQ(length, sc.length);
    } else {
        EXPECT_EQ(address, reinterpret_cast<void*>(0x1));
        EXPECT_EQ(length, 7u);
    }
}

INSTANTIATE_TEST_SUITE_P(SlotCounts, SharedAreaTest,
                         ::testing::Values(SlotCountCase{"Zero", 0, 0, 24, 1000},
                                           SlotCountCase{"One", 1, 0, 28, 996},
                                           SlotCountCase{"Ten", 10, 0, 64, 960},
                                           SlotCountCase{"Full", 250, 0, 1024, 0},
                                           SlotCountCase{"BeyondTheBlock", 251, QUELT_NULL_POINTER, 0, 0},
                                           SlotCountCase{"Negative", -1, QUELT_NULL_POINTER, 0, 0},
                                           SlotCountCase{"Huge", 0x40000000, QUELT_NULL_POINTER, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BaseAddressTest, SharedAreaChecksAndMissingBlock) {
    sim::CardConfig c = Ox9162();
    c.statusBlock = false;
    sim::AddCard(c);
    sim::AddCard(Ox9162());
    void* address = nullptr;
    std::uint32_t length = 0;
    std::uint32_t count = 0;
    ASSERT_EQ(OX9162_CardsInSystem(&count), 0u);
    EXPECT_EQ(OX9162_SHARED_BaseAdr(32, &address, &length), QUELT_NO_CARD);
    std::uint32_t cards = 0;
    ASSERT_EQ(OX9162_CardsInSystem(&cards), 0u);  // builds the map
    EXPECT_EQ(OX9162_SHARED_BaseAdr(2, nullptr, nullptr), QUELT_NO_CARD);
    EXPECT_EQ(OX9162_SHARED_BaseAdr(0, nullptr, nullptr), QUELT_NOT_OPEN);
    ASSERT_EQ(OX9162_Open(0, 0), 0u);
    EXPECT_EQ(OX9162_SHARED_BaseAdr(0, &address, nullptr), QUELT_NULL_POINTER);
    EXPECT_EQ(OX9162_SHARED_BaseAdr(0, &address, &length), QUELT_NULL_POINTER);
    ASSERT_EQ(OX9162_Open(1, 0), 0u);
    EXPECT_EQ(OX9162_SHARED_BaseAdr(1, &address, &length), 0u);
    EXPECT_EQ(length, 996u);
}

TEST_F(BaseAddressTest, Ox952SharedAreaOfWhicheverFunctionIsOpen) {
    const int f0 = AddOx952Pair();
    ASSERT_EQ(OX952_Open(0, 0), 0u);
    CardEntry& e0 = CardTable()[f0 - 1];
    CardEntry& e1 = CardTable()[f0];
    auto* block0 = reinterpret_cast<std::uint8_t*>(StatusBlockOf(LoadHandle(e0)));
    void* address = nullptr;
    std::uint32_t length = 0;
    ASSERT_EQ(OX952_SHARED_BaseAdr(0, &address, &length), 0u);
    EXPECT_EQ(address, block0 + 28);

    CloseEntry(e0, TakeHandle(e0));  // only function 1 stays open
    auto* block1 = reinterpret_cast<std::uint8_t*>(StatusBlockOf(LoadHandle(e1)));
    ASSERT_EQ(OX952_SHARED_BaseAdr(0, &address, &length), 0u);
    EXPECT_EQ(address, block1 + 28);
    // The shared area is the block every process sees.
    static_cast<volatile std::uint8_t*>(address)[0] = 0x77;
    EXPECT_EQ(sim::ReadStatusWord(f0 + 1, 28) & 0xFF, 0x77u);

    ASSERT_EQ(OX952_Close(0), 0u);
    EXPECT_EQ(OX952_SHARED_BaseAdr(0, &address, &length), QUELT_NOT_OPEN);
}

// A card opened through one family never reads as open through another, also
// before the other family has built its map.
TEST_F(BaseAddressTest, OtherFamiliesDoNotSeeAnOpenCard) {
    sim::AddCard(Ep4gxa());
    ASSERT_EQ(EP4GXA_Open(0, 0), 0u);
    void* address = nullptr;
    std::uint32_t length = 0;
    EXPECT_EQ(OX9162_BAR3_BaseAdr(0, &address, &length), QUELT_NO_CARD);
    EXPECT_EQ(OX9162_BAR4_BaseAdr(0, &address, &length), QUELT_NO_CARD);
    EXPECT_EQ(OX9162_SHARED_BaseAdr(0, &address, &length), QUELT_NO_CARD);
    EXPECT_EQ(OX952_BAR05_BaseAdr(0, &address, &length), QUELT_NO_CARD);
    EXPECT_EQ(OX952_BAR13_BaseAdr(0, &address, &length), QUELT_NO_CARD);
    EXPECT_EQ(OX952_SHARED_BaseAdr(0, &address, &length), QUELT_NO_CARD);
    EXPECT_EQ(address, nullptr);
    EXPECT_EQ(EP4GXA_BAR0_BaseAdr(0, &address, &length), 0u);
}

}  // namespace
