// The EEPROM routines against a recording device model: the exact sequence of
// control-byte writes, reads and pauses each one makes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "api/eeprom.h"
#include "platform/mmio.h"

namespace {

// Records every access to a small window of card memory and answers reads
// from a script of data-out levels. Accesses are logged as a compact trace:
// a written value as its digit, a read as 'r', a pause as 's'.
class Recorder : public mmio::Model {
public:
    std::string trace;
    std::vector<bool> dataOut;  // level of the data-out line at each read; then `idle`
    bool idle = false;
    std::size_t reads = 0;
    std::size_t sleeps = 0;
    std::vector<std::string> faults;  // accesses the routines must never make

    std::uint64_t Read(std::size_t offset, unsigned width) override {
        Check(offset, width);
        trace += 'r';
        const bool level = reads < dataOut.size() ? dataOut[reads] : idle;
        ++reads;
        // Other bits read as noise, which the routines must ignore.
        return level ? 0xFF : 0xF7;
    }
    void Write(std::size_t offset, unsigned width, std::uint64_t value) override {
        Check(offset, width);
        if (value != 0 && value != 2 && value != 3 && value != 6 && value != 7) {
            faults.push_back("value " + std::to_string(value));
        }
        trace += static_cast<char>('0' + (value & 0x0F));
    }
    void Pause() {
        trace += 's';
        ++sleeps;
    }

private:
    void Check(std::size_t offset, unsigned width) {
        if (offset != EEPROM_CONTROL_OFFSET) faults.push_back("offset " + std::to_string(offset));
        if (width != 1) faults.push_back("width " + std::to_string(width));
    }
};

Recorder* current = nullptr;
void CountPause(DWORD ms) {
    ASSERT_EQ(ms, 1u);
    current->Pause();
}

class EepromProtocol : public ::testing::Test {
protected:
    void SetUp() override {
        current = &recorder;
        SetEepromSleepForTesting(&CountPause);
        window = mmio::RegisterWindow(card, sizeof card, &recorder);
    }
    void TearDown() override {
        mmio::UnregisterWindow(window);
        SetEepromSleepForTesting(nullptr);
        current = nullptr;
        EXPECT_TRUE(recorder.faults.empty()) << recorder.faults.front();
    }
    void* base() { return card; }

    alignas(8) std::uint8_t card[16] = {};
    Recorder recorder;
    int window = -1;
};

// Frames as the part expects them, spaces only for reading. A pair "67" is a
// 1 bit, "23" a 0 bit; the lone "2"s hold chip select between the fields.
std::string Compact(std::string s) {
    std::erase(s, ' ');
    return s;
}
const std::string kEnable = Compact("0 67 2323 2 676723232323 2 0");
const std::string kDisable = Compact("0 67 2323 2 232323232323 2 0");

TEST_F(EepromProtocol, EraseOfWord5SendsEnableEraseWaitDisable) {
    recorder.idle = true;  // ready at the first look
    EXPECT_EQ(EEPROM_EraseWord(base(), 5), EEPROM_OK);
    const std::string erase = Compact("0 67 6767 2 232323672367 2 0");
    EXPECT_EQ(recorder.trace, kEnable + erase + "s2r" + kDisable);
}

TEST_F(EepromProtocol, WriteSendsAddressThenValueMsbFirst) {
    recorder.idle = true;
    EXPECT_EQ(EEPROM_WriteWord(base(), 0x2A, 0xA5C3), EEPROM_OK);
    // 0x2A = 101010; 0xA5C3 = 1010 0101 1100 0011.
    const std::string write = Compact(
        "0 67 2367 2 672367236723 2"
        " 67236723 23672367 67672323 23236767 2 0");
    EXPECT_EQ(recorder.trace, kEnable + write + "s2r" + kDisable);
}

TEST_F(EepromProtocol, ReadClocksSixteenBitsAndSamplesAfterEachFall) {
    std::uint16_t value = 0x5555;
    EXPECT_EQ(EEPROM_ReadWord(base(), 0x11, &value), EEPROM_OK);
    std::string data;
    for (int i = 0; i < 16; ++i) data += "32r";
    // 0x11 = 010001.
    EXPECT_EQ(recorder.trace, Compact("0 67 6723 2 236723232367 2") + data + "0");
    EXPECT_EQ(value, 0);
    EXPECT_EQ(recorder.sleeps, 0u);
}

// Bits 6 and above of the address are not sent: the part has 64 words.
TEST_F(EepromProtocol, AddressIsTakenModulo64) {
    struct Case {
        std::uint32_t address, same;
    };
    for (const Case& c : {Case{64, 0}, Case{127, 63}, Case{0xFFFFFFFFu, 63}, Case{64 * 5 + 9, 9}}) {
        std::uint16_t v = 0;
        recorder.trace.clear();
        ASSERT_EQ(EEPROM_ReadWord(base(), c.address, &v), EEPROM_OK);
        const std::string wide = recorder.trace;
        recorder.trace.clear();
        ASSERT_EQ(EEPROM_ReadWord(base(), c.same, &v), EEPROM_OK);
        EXPECT_EQ(wide, recorder.trace) << "address " << c.address;
    }
}

TEST_F(EepromProtocol, ReadAssemblesDataOutMsbFirst) {
    struct Case {
        const char* levels;  // data-out after each of the 16 clock pulses
        std::uint16_t word;
    };
    const Case cases[] = {
        {"1000000000000001", 0x8001}, {"0000000000000000", 0x0000}, {"1111111111111111", 0xFFFF},
        {"0001001000110100", 0x1234}, {"0111111111111110", 0x7FFE},
    };
    for (const Case& c : cases) {
        recorder.dataOut.clear();
        recorder.reads = 0;
        for (const char* p = c.levels; *p; ++p) recorder.dataOut.push_back(*p == '1');
        std::uint16_t value = 0;
        ASSERT_EQ(EEPROM_ReadWord(base(), 7, &value), EEPROM_OK);
        EXPECT_EQ(value, c.word) << c.levels;
        EXPECT_EQ(recorder.reads, 16u);
    }
}

// The ready wait pauses once before its first look and once after each busy
// look, with at most 51 looks; running out is a failure, and write disable is
// still sent.
TEST_F(EepromProtocol, ReadyWaitLooksAndPauses) {
    struct Case {
        int busyLooks;  // looks that see busy before ready (100: never ready)
        std::size_t looks, sleeps;
        int result;
    };
    const Case cases[] = {
        {0, 1, 1, EEPROM_OK},
        {2, 3, 3, EEPROM_OK},
        {50, 51, 51, EEPROM_OK},
        {100, 51, 51, EEPROM_NEVER_READY},
    };
    for (const Case& c : cases) {
        for (bool erase : {true, false}) {
            recorder = Recorder{};
            recorder.dataOut.assign(static_cast<std::size_t>(c.busyLooks), false);
            recorder.idle = c.busyLooks < 100;
            const int result = erase ? EEPROM_EraseWord(base(), 1) : EEPROM_WriteWord(base(), 1, 0xBEEF);
            SCOPED_TRACE(testing::Message() << "busy " << c.busyLooks << (erase ? " erase" : " write"));
            EXPECT_EQ(result, c.result);
            EXPECT_EQ(recorder.reads, c.looks);
            EXPECT_EQ(recorder.sleeps, c.sleeps);
            std::string wait = "s2r";
            for (std::size_t i = 1; i < c.looks; ++i) wait += "sr";
            ASSERT_GE(recorder.trace.size(), wait.size() + kDisable.size());
            EXPECT_EQ(recorder.trace.substr(recorder.trace.size() - wait.size() - kDisable.size()),
                      wait + kDisable);
        }
    }
}

TEST_F(EepromProtocol, NullArgumentsSendNothing) {
    std::uint16_t value = 0x1234;
    EXPECT_EQ(EEPROM_Command(nullptr, EEPROM_WRITE_ENABLE), EEPROM_NO_BASE);
    EXPECT_EQ(EEPROM_EraseWord(nullptr, 3), EEPROM_NO_BASE);
    EXPECT_EQ(EEPROM_WriteWord(nullptr, 3, 1), EEPROM_NO_BASE);
    EXPECT_EQ(EEPROM_ReadWord(nullptr, 3, &value), EEPROM_READ_NO_BASE);
    EXPECT_EQ(value, 0x1234);
    EXPECT_EQ(EEPROM_ReadWord(base(), 3, nullptr), EEPROM_READ_NO_RESULT);
    EXPECT_EQ(EEPROM_ReadWord(nullptr, 3, nullptr), EEPROM_READ_NO_RESULT);
    EXPECT_EQ(recorder.trace, "");
}

}  // namespace
