// The card scan: which entries it fills, with what, and how often it runs.
#include <cstring>
#include <string>

#include "driver/contract.h"
#include "quelt_ox952.h"
#include "registry/registry_fixture.h"

namespace {

using ScanTest = RegistryTest;

int PresentEntries() {
    int n = 0;
    for (int i = 0; i < CARD_TABLE_SIZE; ++i) n += IsPresent(CardTable()[i]) ? 1 : 0;
    return n;
}

std::string BoardName(int index) {
    const CardEntry& e = CardTable()[index];
    return std::string(e.boardName, strnlen(e.boardName, sizeof e.boardName));
}

class ScanCountTest : public RegistryTest, public ::testing::WithParamInterface<int> {};

TEST_P(ScanCountTest, FillsOneEntryPerDeviceInDeviceOrder) {
    const int cards = GetParam();
    for (int i = 0; i < cards; ++i) {
        sim::CardConfig c = Ox9162(static_cast<std::uint32_t>(i + 1));
        c.description = "card number " + std::to_string(i + 1);
        sim::AddCard(c);
    }
    ScanCards();
    EXPECT_EQ(PresentEntries(), cards);
    for (int i = 0; i < cards; ++i) {
        EXPECT_EQ(BoardName(i), "card number " + std::to_string(i + 1));
        EXPECT_EQ(CardTable()[i].deviceId, i + 1);
    }
    // The scan closes every device again.
    for (int d = 1; d <= cards; ++d) EXPECT_EQ(sim::AttachedHandles(d), 0) << "device " << d;
    // A second scan finds nothing new and changes nothing.
    ScanCards();
    EXPECT_EQ(PresentEntries(), cards);
}

INSTANTIATE_TEST_SUITE_P(Cards, ScanCountTest, ::testing::Values(0, 1, 3, 32));

TEST_F(ScanTest, CopiesLocationAndInterruptLine) {
    sim::CardConfig c = Card(sim::CardFamily::EP4GXA, 0x8812, 7, 0x1234);
    c.irqLine = 11;
    c.pciAddress = 0xABCD0000;
    sim::AddCard(c);
    ScanCards();
    const CardEntry& e = CardTable()[0];
    EXPECT_EQ(e.vendorId, 0x1760);
    EXPECT_EQ(e.deviceId, 0x8812);
    EXPECT_EQ(e.bus, 7u);
    EXPECT_EQ(e.slot, 0x1234);
    EXPECT_EQ(e.irqLine, 11);
    EXPECT_EQ(e.pciAddress, 0xABCD0000u);
}

struct SlotCase {
    const char* name;
    std::uint32_t slots[3];
    std::uint16_t expected[3];
};

class SlotFallbackTest : public RegistryTest, public ::testing::WithParamInterface<SlotCase> {};

TEST_P(SlotFallbackTest, UsesUpperPciAddressOnlyWhenNoCardReportsASlot) {
    const SlotCase& sc = GetParam();
    for (int i = 0; i < 3; ++i) {
        sim::CardConfig c = Ox9162();
        c.slot = sc.slots[i];
        c.pciAddress = (0x10u + static_cast<std::uint32_t>(i)) << 16 | 0x55;
        sim::AddCard(c);
    }
    ScanCards();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(CardTable()[i].slot, sc.expected[i]) << "entry " << i;
    for (int i = 3; i < CARD_TABLE_SIZE; ++i) EXPECT_EQ(CardTable()[i].slot, 0) << "entry " << i;
}

INSTANTIATE_TEST_SUITE_P(Slots, SlotFallbackTest,
                         ::testing::Values(SlotCase{"NoneReported", {0, 0, 0}, {0x10, 0x11, 0x12}},
                                           SlotCase{"OneReported", {0, 9, 0}, {0, 9, 0}},
                                           // Only the low 16 bits of a reported slot number are kept.
                                           SlotCase{"WideSlot", {0x00030004, 0, 0}, {4, 0, 0}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ScanTest, LongBoardNameKeepsFirst32CharactersWithoutTerminator) {
    sim::CardConfig c = Ox9162();
    c.description = "0123456789abcdefghijklmnopqrstuvWXYZ0123";  // 40 characters
    sim::AddCard(c);
    ScanCards();
    EXPECT_EQ(std::memcmp(CardTable()[0].boardName, "0123456789abcdefghijklmnopqrstuv", 32), 0);
    // The next field is not part of the name.
    EXPECT_EQ(BoardName(0).size(), 32u);
}

struct IdentityCase {
    const char* name;
    std::uint32_t vendorId;
    std::uint32_t deviceId;
    std::uint64_t regionSize;
    bool read;
    bool unmapped = false;
};

class IdentityWordsTest : public RegistryTest, public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(IdentityWordsTest, ReadOnlyFromLargeEnoughRegionOfTheRightCards) {
    const IdentityCase& ic = GetParam();
    sim::CardConfig c = Ep4gxa(ic.deviceId);
    c.vendorId = ic.vendorId;
    c.regions = {sim::RegionConfig{ic.regionSize, ic.unmapped}};
    c.cardId = 0xC0DE0001;
    c.serial = 0x5E000042;
    sim::AddCard(c);
    const bool ep4gxa = ic.vendorId == 0x1760 && (ic.deviceId & 0x7F00) == 0x0800;
    if (ep4gxa) {
        // As the first call of the process the query scans by itself.
        std::uint32_t id = 99, serial = 99;
        EXPECT_EQ(EP4GXA_Card_ID(0, &id), 0u);
        EXPECT_EQ(EP4GXA_Card_SerNr(0, &serial), 0u);
        EXPECT_EQ(id, ic.read ? 0xC0DE0001u : 0u);
        EXPECT_EQ(serial, ic.read ? 0x5E000042u : 0u);
    } else {
        ScanCards();
    }
    const CardEntry& e = CardTable()[0];
    EXPECT_TRUE(IsPresent(e));
    EXPECT_EQ(e.cardId, ic.read ? 0xC0DE0001u : 0u);
    EXPECT_EQ(e.serialNumber, ic.read ? 0x5E000042u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Regions, IdentityWordsTest,
                         ::testing::Values(IdentityCase{"Exactly16376", 0x1760, 0x0800, 16376, false},
                                           IdentityCase{"Size16377", 0x1760, 0x0800, 16377, true},
                                           IdentityCase{"UpperRangeLowBound", 0x1760, 0x8800, 16384, true},
                                           IdentityCase{"UpperRangeHighBound", 0x1760, 0x88FF, 16384, true},
                                           IdentityCase{"WrongVendor", 0x1234, 0x8800, 16384, false},
                                           IdentityCase{"JustBelowRange", 0x1760, 0x07FF, 16384, false},
                                           IdentityCase{"JustAboveRange", 0x1760, 0x0900, 16384, false},
                                           IdentityCase{"Unmapped", 0x1760, 0x0800, 16384, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ScanTest, CardWithoutIdsIsPresentButInNoFamily) {
    sim::CardConfig c = Ox9162();
    c.vendorId = 0;
    c.pciAddress = 0x00070000;
    sim::AddCard(c);
    ScanCards();
    const CardEntry& e = CardTable()[0];
    EXPECT_TRUE(IsPresent(e));
    EXPECT_EQ(e.vendorId, 0);
    EXPECT_EQ(e.deviceId, 0);
    EXPECT_EQ(e.pciAddress, 0u);
    EXPECT_EQ(EntryFor(BuiltMap(Family::OX9162).index[0].load()), nullptr);
}

TEST_F(ScanTest, FailedAttachEndsTheScanAndALaterScanResumes) {
    for (int i = 0; i < 3; ++i) sim::AddCard(Ox9162());
    sim::ArmFault(sim::Fault::AttachFails, 2);
    ScanCards();
    EXPECT_EQ(PresentEntries(), 1);
    ScanCards();
    EXPECT_EQ(PresentEntries(), 3);
}

TEST_F(ScanTest, UnloadReleasesDiagnosticConnectionAndClosesTheHandle) {
    sim::AddCard(Ox9162());
    ASSERT_EQ(OX9162_OpenDiagnostic(0, 0), 0u);
    ASSERT_EQ(sim::ReadStatusWord(1, offsetof(SharedStatusBlock, diagCount)), 1u);
    RegistryUnload();
    EXPECT_EQ(sim::ReadStatusWord(1, offsetof(SharedStatusBlock, diagCount)), 0u);
    EXPECT_EQ(sim::AttachedHandles(1), 0);
    RegistryLoad();  // for TearDown
}

}  // namespace
