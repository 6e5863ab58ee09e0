// The EEPROM routines driving the simulated 93C46 through a window, with the
// part's words and state in a card file of a temporary machine.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "api/eeprom.h"
#include "platform/mmio.h"
#include "sim/control.h"
#include "sim/eeprom_93c46.h"
#include "sim/store.h"
#include "support/child_process.h"
#include "support/temp_machine.h"

namespace {

int pauses = 0;
void CountedSleep(DWORD ms) {
    ++pauses;
    Sleep(ms);
}

// One process's view of the part: its own mapping of the card file, its own
// model instance, a window over a buffer standing in for the region.
struct Part {
    explicit Part(int device) : map(sim::store::MapDevice(device, false)), model(&map.header()->eeprom) {
        window = mmio::RegisterWindow(region + EEPROM_CONTROL_OFFSET, 1, &model);
    }
    ~Part() { mmio::UnregisterWindow(window); }
    void* base() { return region; }

    // Lines by hand, for frames the routines never send.
    void Lines(std::uint8_t v) { mmio::Write8(region + EEPROM_CONTROL_OFFSET, v); }
    bool DataOut() { return (mmio::Read8(region + EEPROM_CONTROL_OFFSET) & 0x08) != 0; }
    void Bits(std::uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            const std::uint8_t d = ((value >> i) & 1u) ? 0x04 : 0;
            Lines(0x02 | d);
            Lines(0x03 | d);
        }
    }
    // Start bit, opcode, address, then the clock low with the part selected.
    void Frame(std::uint32_t opcode, std::uint32_t address) {
        Lines(0);
        Bits(1, 1);
        Bits(opcode, 2);
        Bits(address, 6);
        Lines(0x02);
    }
    void WriteWithoutEnable(std::uint32_t address, std::uint16_t value) {
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
    void SetUp() override {
        device = sim::AddCard(sim::DefaultCard(sim::CardFamily::OX9162));
        sim::SetEepromProgramTime(device, 0);
        pauses = 0;
        SetEepromSleepForTesting(&CountedSleep);
    }
    void TearDown() override { SetEepromSleepForTesting(nullptr); }
    std::uint16_t Word(int i) { return sim::EepromWords(device).at(static_cast<std::size_t>(i)); }

    quelt_test::TempMachine machine;
    int device = 0;
};

TEST_F(EepromModel, WrittenWordsReadBackAndLandInTheCardFile) {
    Part part(device);
    struct Case {
        std::uint32_t address;
        int word;
        std::uint16_t value;
    };
    const Case cases[] = {
        {0, 0, 0x0000}, {5, 5, 0x8001}, {63, 63, 0xA5C3}, {64, 0, 0x1234}, {127, 63, 0x7FFE}};
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
TEST_F(EepromModel, ProgrammingOnlyWhileWriteEnabled) {
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
TEST_F(EepromModel, WriteAllAndEraseAll) {
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

TEST_F(EepromModel, ReadShowsDummyZeroThenWordsInSequence) {
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

TEST_F(EepromModel, ReadyWaitFollowsTheProgrammingTime) {
    Part part(device);
    ASSERT_EQ(EEPROM_WriteWord(part.base(), 1, 0x0101), EEPROM_OK);
    EXPECT_EQ(pauses, 1);  // ready at the first look

    sim::SetEepromProgramTime(device, 5);
    ASSERT_EQ(EEPROM_EraseWord(part.base(), 1), EEPROM_OK);
    EXPECT_EQ(Word(1), 0xFFFF);

    // A part that never becomes ready: reported after the longest wait.
    sim::SetEepromMode(device, sim::EepromMode::NeverReady);
    pauses = 0;
    EXPECT_EQ(EEPROM_WriteWord(part.base(), 2, 0x0202), EEPROM_NEVER_READY);
    EXPECT_EQ(pauses, 51);
    EXPECT_EQ(Word(2), 0x0202);
}

// Frames as line values, one hex digit per write of the control byte (bit 0
// clock, bit 1 chip select, bit 2 data in); 'h' and 'l' read data out and
// expect it high or low. Spaces are for reading only.
void Drive(Part& part, const std::string& script, const std::string& what) {
    for (char c : script) {
        if (c == ' ') continue;
        if (c == 'h' || c == 'l') {
            EXPECT_EQ(part.DataOut(), c == 'h') << what << ": " << script;
        } else {
            part.Lines(static_cast<std::uint8_t>(c - '0'));
        }
    }
}

// Bits sent as the datasheet asks: data in set with the clock low, then the
// clock raised with data held.
std::string Sent(std::uint32_t value, int count) {
    std::string out;
    for (int i = count - 1; i >= 0; --i) out += ((value >> i) & 1u) ? "67" : "23";
    return out;
}

const std::string kStart = "0 67";  // chip select set up with the clock low, then the start bit
std::string Frame(std::uint32_t opcode, std::uint32_t address) {
    return kStart + Sent(opcode, 2) + Sent(address, 6) + "2";
}
const std::string kEwen = Frame(0b00, 0b110000) + "0";
const std::string kEwds = Frame(0b00, 0b000000) + "0";
std::string Reads(const std::string& levels) {
    std::string out;
    for (char c : levels) out += std::string("32") + c;
    return out;
}

// What the part does with frames a real 93C46 receives: a table of the
// datasheet's rules, each checked on the data-out line and on the words.
TEST_F(EepromModel, FramesBehaveAsTheDatasheetSays) {
    struct Case {
        const char* rule;
        std::string script;
        int word;
        std::uint16_t expected;
        bool neverReady = false;
    };
    const std::string wordFF = std::string(16, 'h');
    const Case cases[] = {
        {"a proper read: dummy zero, then the word", Frame(0b10, 9) + "l" + Reads(wordFF) + "0", 9, 0xFFFF},
        {"chip select raised with the clock is no set-up: no start bit, nothing driven",
         "0 7 6" + Sent(0b10, 2) + Sent(9, 6) + "2 l" + Reads(std::string(16, 'l')) + "0", 9, 0xFFFF},
        {"a write needs write enable", Frame(0b01, 9) + Sent(0x1234, 16) + "2 0", 9, 0xFFFF},
        {"an enabled write programs at deselect", kEwen + Frame(0b01, 9) + Sent(0x1234, 16) + "2 0", 9,
         0x1234},
        {"busy after programming, then ready on data out", kEwen + Frame(0b11, 9) + "0 2 l 0", 9, 0xFFFF,
         true},
        {"busy: a read is ignored and nothing is driven",
         kEwen + Frame(0b11, 8) + "0" + Frame(0b10, 9) + "l" + Reads(std::string(16, 'l')) + "0", 9, 0xFFFF,
         true},
        {"busy: an erase is ignored",
         kEwen + Frame(0b01, 9) + Sent(0x4321, 16) + "2 0" + Frame(0b11, 9) + "0", 9, 0x4321, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        for (int w = 0; w < 64; ++w) sim::SetEepromWord(device, w, 0xFFFF);
        sim::SetEepromMode(device, c.neverReady ? sim::EepromMode::NeverReady : sim::EepromMode::Normal);
        {
            Part part(device);
            Drive(part, c.script, c.rule);
            EXPECT_EQ(Word(c.word), c.expected);
            // Out of the cycle: ready shows while selected, and a start bit
            // clears it. Then the interface takes commands again.
            sim::SetEepromMode(device, sim::EepromMode::Normal);
            if (c.neverReady) Drive(part, "2 h", c.rule);
            Drive(part, kEwds, c.rule);
        }
        for (int w = 0; w < 64; ++w)
            if (w != c.word) EXPECT_EQ(Word(w), 0xFFFF) << "word " << w;
    }
}

// Data in is sampled at the rising edge from the level set before it: a
// master that changes data and raises the clock in one write is one bit
// late throughout, and reads the word shifted by one.
TEST_F(EepromModel, DataChangedWithTheClockIsReadLate) {
    sim::SetEepromWord(device, 9, 0xFFFF);
    Part part(device);
    std::string script = "0 2";
    const std::uint32_t frame = (1u << 8) | (0b10u << 6) | 9u;  // start, read, word 9
    for (int i = 8; i >= 0; --i) {
        const bool bit = (frame >> i) & 1u;
        const bool previous = i < 8 && ((frame >> (i + 1)) & 1u);
        script += previous ? '6' : '2';
        script += bit ? '7' : '3';
    }
    Drive(part, script, "late frame");
    std::uint16_t got = 0;
    part.Lines(0x02);
    for (int i = 0; i < 16; ++i) {
        part.Lines(0x03);
        part.Lines(0x02);
        got = static_cast<std::uint16_t>((got << 1) | (part.DataOut() ? 1 : 0));
    }
    part.Lines(0);
    EXPECT_EQ(got, 0x7FFF);
}

// A write disable sent while the part programs is ignored like any command:
// the part stays write-enabled, as the real one would.
TEST_F(EepromModel, WriteDisableSentWhileBusyIsIgnored) {
    Part part(device);
    sim::SetEepromMode(device, sim::EepromMode::NeverReady);
    Drive(part, kEwen + Frame(0b01, 4) + Sent(0x4444, 16) + "2 0" + kEwds, "busy");
    sim::SetEepromMode(device, sim::EepromMode::Normal);
    part.WriteWithoutEnable(5, 0x5555);
    EXPECT_EQ(Word(5), 0x5555);
    ASSERT_EQ(EEPROM_Command(part.base(), EEPROM_WRITE_DISABLE), EEPROM_OK);
    part.WriteWithoutEnable(6, 0x6666);
    EXPECT_EQ(Word(6), 0xFFFF);
}

// A process killed inside an access of the part, and left unreaped, does not
// hold the others off: the next access takes the lock over and completes.
TEST_F(EepromModel, AHolderKilledInsideTheLockAndLeftAZombieBlocksNoOne) {
    sim::SetEepromWord(device, 7, 0x0707);
    quelt_test::Child holder([this](quelt_test::Child& self) {
        sim::store::CardMap map = sim::store::MapDevice(device, false);
        sim::os::LockSharedMutex(&map.header()->eeprom.lock);
        self.Report("locked\n");
        ::pause();
        return 1;
    });
    ASSERT_EQ(holder.AwaitLine("locked"), "locked");
    ASSERT_EQ(::kill(holder.pid(), SIGKILL), 0);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(holder.pid()), &info, WEXITED | WNOWAIT), 0);  // a zombie now

    quelt_test::Child reader([this](quelt_test::Child& self) {
        Part part(device);
        std::uint16_t got = 0;
        const int rc = EEPROM_ReadWord(part.base(), 7, &got);
        self.Report("read " + std::to_string(rc) + " " + std::to_string(got) + "\n");
        return 0;
    });
    auto outcome = reader.Wait(std::chrono::seconds(20));
    EXPECT_FALSE(outcome.timedOut);
    EXPECT_EQ(outcome.report, "read 0 " + std::to_string(0x0707) + "\n");
}

}  // namespace
