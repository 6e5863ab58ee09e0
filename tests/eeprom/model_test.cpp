// The EEPROM routines driving the simulated 93C46 through a window, with the
// part's words and state in a card file of a temporary machine.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "api/eeprom.h"
#include "platform/mmio.h"
#include "sim/control.h"
#include "sim/eeprom_93c46.h"
#include "sim/store.h"
#include "support/temp_machine.h"

namespace {

int pauses = 0;
void CountedSleep(DWORD ms)
{
    ++pauses;
    Sleep(ms);
}

// One process's view of the part: its own mapping of the card file, its own
// model instance, a window over a buffer standing in for the region.
struct Part {
    explicit Part(int device)
        : map(sim::store::MapDevice(device, false)), model(&map.header()->eeprom)
    {
        window = mmio::RegisterWindow(region + EEPROM_CONTROL_OFFSET, 1, &model);
    }
    ~Part() { mmio::UnregisterWindow(window); }
    void* base() { return region; }

    // Lines by hand, for frames the routines never send.
    void Lines(std::uint8_t v) { mmio::Write8(region + EEPROM_CONTROL_OFFSET, v); }
    bool DataOut() { return (mmio::Read8(region + EEPROM_CONTROL_OFFSET) & 0x08) != 0; }
    void Bits(std::uint32_t value, int count)
    {
        for (int i = count - 1; i >= 0; --i) {
            const std::uint8_t d = ((value >> i) & 1u) ? 0x04 : 0;
            Lines(0x02 | d);
            Lines(0x03 | d);
        }
    }
    // Start bit, opcode, address, then the clock low with the part selected.
    void Frame(std::uint32_t opcode, std::uint32_t address)
    {
        Lines(0);
        Bits(1, 1);
        Bits(opcode, 2);
        Bits(address, 6);
        Lines(0x02);
    }
    void WriteWithoutEnable(std::uint32_t address, std::uint16_t value)
    {
        Frame(0b01, address);
        Bits(value, 16);
        Lines(0x02);
        Lines(0);
    }

    sim::store::CardMap map;
    sim::Eeprom93c46 model;
    alignas(8) std::uint8_t region[64] = {};
    int window = -1;
};

class EepromModel : public ::testing::Test {
protected:
    void SetUp() override
    {
        device = sim::AddCard(sim::DefaultCard(sim::CardFamily::OX9162));
        sim::SetEepromProgramTime(device, 0);
        pauses = 0;
        SetEepromSleepForTesting(&CountedSleep);
    }
    void TearDown() override
    {
        SetEepromSleepForTesting(nullptr);
    }
    std::uint16_t Word(int i) { return sim::EepromWords(device).at(static_cast<std::size_t>(i)); }

    quelt_test::TempMachine machine;
    int device = 0;
};

TEST_F(EepromModel, WrittenWordsReadBackAndLandInTheCardFile)
{
    Part part(device);
    struct Case {
        std::uint32_t address;
        int word;
        std::uint16_t value;
    };
    const Case cases[] = {{0, 0, 0x0000}, {5, 5, 0x8001}, {63, 63, 0xA5C3}, {64, 0, 0x1234}, {127, 63, 0x7FFE}};
    for (const Case& c : cases) {
        ASSERT_EQ(EEPROM_WriteWord(part.base(), c.address, c.value), EEPROM_OK) << c.address;
        std::uint16_t got = 0;
        ASSERT_EQ(EEPROM_ReadWord(part.base(), c.address, &got), EEPROM_OK);
        EXPECT_EQ(got, c.value) << c.address;
        EXPECT_EQ(Word(c.word), c.value) << c.address;
    }
    EXPECT_EQ(Word(1), 0xFFFF);  // untouched words stay erased
}

// Programming needs the write-enable state; the routines always end with it
// off, so a stray frame afterwards cannot change the part.
TEST_F(EepromModel, ProgrammingOnlyWhileWriteEnabled)
{
    Part part(device);
    part.WriteWithoutEnable(3, 0x1111);
    EXPECT_EQ(Word(3), 0xFFFF);

    ASSERT_EQ(EEPROM_Command(part.base(), EEPROM_WRITE_ENABLE), EEPROM_OK);
    part.WriteWithoutEnable(3, 0x2222);
    EXPECT_EQ(Word(3), 0x2222);

    ASSERT_EQ(EEPROM_Command(part.base(), EEPROM_WRITE_DISABLE), EEPROM_OK);
    part.WriteWithoutEnable(3, 0x3333);
    EXPECT_EQ(Word(3), 0x2222);

    ASSERT_EQ(EEPROM_WriteWord(part.base(), 4, 0x4444), EEPROM_OK);
    part.WriteWithoutEnable(4, 0x5555);
    EXPECT_EQ(Word(4), 0x4444);
}

// The part's whole-array commands (extended opcode, address field 01xxxx
// with data, 10xxxx without) follow the same write-enable rule.
TEST_F(EepromModel, WriteAllAndEraseAll)
{
    Part part(device);
    auto writeAll = [&](std::uint16_t value) {
        part.Frame(0b00, 0b010000);
        part.Bits(value, 16);
        part.Lines(0x02);
        part.Lines(0);
    };
    auto eraseAll = [&] {
        part.Frame(0b00, 0b100000);
        part.Lines(0);
    };
    writeAll(0x0F0F);
    EXPECT_EQ(sim::EepromWords(device), std::vector<std::uint16_t>(64, 0xFFFF));

    ASSERT_EQ(EEPROM_Command(part.base(), EEPROM_WRITE_ENABLE), EEPROM_OK);
    writeAll(0x0F0F);
    EXPECT_EQ(sim::EepromWords(device), std::vector<std::uint16_t>(64, 0x0F0F));
    eraseAll();
    EXPECT_EQ(sim::EepromWords(device), std::vector<std::uint16_t>(64, 0xFFFF));
}

TEST_F(EepromModel, ReadShowsDummyZeroThenWordsInSequence)
{
    sim::SetEepromWord(device, 62, 0xFFFF);
    sim::SetEepromWord(device, 63, 0x8001);
    sim::SetEepromWord(device, 0, 0x00F0);
    Part part(device);
    part.Frame(0b10, 62);
    EXPECT_FALSE(part.DataOut());  // the dummy bit, although D15 is 1
    auto clockWord = [&] {
        std::uint16_t w = 0;
        for (int i = 0; i < 16; ++i) {
            part.Lines(0x03);
            part.Lines(0x02);
            w = static_cast<std::uint16_t>((w << 1) | (part.DataOut() ? 1 : 0));
        }
        return w;
    };
    EXPECT_EQ(clockWord(), 0xFFFF);
    EXPECT_EQ(clockWord(), 0x8001);
    EXPECT_EQ(clockWord(), 0x00F0);  // wraps from word 63 to word 0
    part.Lines(0);
}

TEST_F(EepromModel, ReadyWaitFollowsTheProgrammingTime)
{
    Part part(device);
    ASSERT_EQ(EEPROM_WriteWord(part.base(), 1, 0x0101), EEPROM_OK);
    EXPECT_EQ(pauses, 1);  // ready at the first look

    sim::SetEepromProgramTime(device, 5);
    ASSERT_EQ(EEPROM_EraseWord(part.base(), 1), EEPROM_OK);
    EXPECT_EQ(Word(1), 0xFFFF);

    // Far longer than the wait: reported, and write disable still follows.
    sim::SetEepromProgramTime(device, 3600 * 1000);
    pauses = 0;
    EXPECT_EQ(EEPROM_WriteWord(part.base(), 2, 0x0202), EEPROM_NEVER_READY);
    EXPECT_EQ(pauses, 51);
    sim::SetEepromProgramTime(device, 0);
    part.WriteWithoutEnable(7, 0x0707);
    EXPECT_EQ(Word(7), 0xFFFF);
}

}  // namespace
