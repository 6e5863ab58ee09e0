// Bit-banged Microwire protocol of the serial EEPROM. The card gives the
// EEPROM's four lines as bits of one byte; every write stores the whole byte
// (never read-modify-write), so only the values 0, 2, 3, 6 and 7 ever appear.
// Writes follow each other with no pause: the rate of single uncached writes
// to the card is the clock rate the part sees.
#include "api/eeprom.h"

#include <atomic>

#include "platform/mmio.h"
#include "registry/card_table.h"

namespace {

// Lines of the control byte.
constexpr std::uint8_t EE_CLOCK = 0x01;
constexpr std::uint8_t EE_SELECT = 0x02;
constexpr std::uint8_t EE_DATA_IN = 0x04;   // to the EEPROM
constexpr std::uint8_t EE_DATA_OUT = 0x08;  // from the EEPROM; after programming, 1 is ready

// Two-bit opcodes; the extended group (0 0) is told apart by its address field.
constexpr std::uint8_t OP_EXTENDED = 0b00;
constexpr std::uint8_t OP_WRITE = 0b01;
constexpr std::uint8_t OP_READ = 0b10;
constexpr std::uint8_t OP_ERASE = 0b11;

constexpr int ADDRESS_BITS = 6;
constexpr int DATA_BITS = 16;

// The part programs itself in a few milliseconds after chip select drops; we
// look at its ready line once per millisecond, at most this many times.
constexpr int READY_LOOKS = 51;

std::atomic<EepromSleepFunction> sleepFunction{nullptr};

void Pause() {
    EepromSleepFunction f = sleepFunction.load(std::memory_order_acquire);
    if (f != nullptr) {
        f(1);
    } else {
        Sleep(1);
    }
}

volatile std::uint8_t* ControlByte(void* base) {
    return static_cast<volatile std::uint8_t*>(base) + EEPROM_CONTROL_OFFSET;
}

void Put(volatile std::uint8_t* ctl, std::uint8_t lines) {
    mmio::Write8(ctl, lines);
}

bool DataOut(volatile std::uint8_t* ctl) {
    return (mmio::Read8(ctl) & EE_DATA_OUT) != 0;
}

// One bit: data set up with the clock low, taken by the part on the rising edge.
void SendBit(volatile std::uint8_t* ctl, bool bit) {
    const std::uint8_t lines = EE_SELECT | (bit ? EE_DATA_IN : 0);
    Put(ctl, lines);
    Put(ctl, lines | EE_CLOCK);
}

void SendBits(volatile std::uint8_t* ctl, std::uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) SendBit(ctl, ((value >> i) & 1u) != 0);
}

// Clock low and data low with the part still selected.
void Hold(volatile std::uint8_t* ctl) {
    Put(ctl, EE_SELECT);
}

// Chip select low: ends the frame; after a programming command it starts the
// part's self-timed programming cycle.
void Deselect(volatile std::uint8_t* ctl) {
    Put(ctl, 0);
}

// Start bit, opcode and address field, ending with the clock low.
void StartFrame(volatile std::uint8_t* ctl, std::uint8_t opcode, std::uint32_t addressField) {
    Deselect(ctl);
    SendBit(ctl, true);
    SendBits(ctl, opcode, 2);
    Hold(ctl);
    SendBits(ctl, addressField, ADDRESS_BITS);  // higher bits are not sent: addresses wrap at 64
    Hold(ctl);
}

std::uint16_t ReceiveWord(volatile std::uint8_t* ctl) {
    std::uint16_t word = 0;
    for (int i = DATA_BITS - 1; i >= 0; --i) {
        // The part shifts the next bit out on the rising edge.
        Put(ctl, EE_SELECT | EE_CLOCK);
        Hold(ctl);
        if (DataOut(ctl)) word = static_cast<std::uint16_t>(word | (1u << i));
    }
    return word;
}

// Selecting the part again after a programming command makes it show busy (0)
// or ready (1) on its data line. The first look comes after one pause, since
// no part finishes sooner.
bool WaitReady(volatile std::uint8_t* ctl) {
    Pause();
    Hold(ctl);
    for (int look = 1;; ++look) {
        if (DataOut(ctl)) return true;
        if (look == READY_LOOKS) return false;
        Pause();
    }
}

// Enable, one programming frame (sent by sendFrame), ready wait, disable. The
// disable is sent whatever the wait gave, so the part never stays writable.
template <typename SendFrame>
int Program(void* base, SendFrame sendFrame) {
    if (base == nullptr) return EEPROM_NO_BASE;
    if (EEPROM_Command(base, EEPROM_WRITE_ENABLE) != EEPROM_OK) return EEPROM_ENABLE_FAILED;
    volatile std::uint8_t* ctl = ControlByte(base);
    sendFrame(ctl);
    const bool ready = WaitReady(ctl);
    const int disabled = EEPROM_Command(base, EEPROM_WRITE_DISABLE);
    if (!ready) return EEPROM_NEVER_READY;
    return disabled;
}

}  // namespace

int EEPROM_Command(void* base, std::uint8_t addressField) {
    if (base == nullptr) return EEPROM_NO_BASE;
    volatile std::uint8_t* ctl = ControlByte(base);
    StartFrame(ctl, OP_EXTENDED, addressField);
    Deselect(ctl);
    return EEPROM_OK;
}

int EEPROM_EraseWord(void* base, std::uint32_t address) {
    return Program(base, [address](volatile std::uint8_t* ctl) {
        StartFrame(ctl, OP_ERASE, address);
        Deselect(ctl);
    });
}

int EEPROM_WriteWord(void* base, std::uint32_t address, std::uint16_t value) {
    return Program(base, [address, value](volatile std::uint8_t* ctl) {
        StartFrame(ctl, OP_WRITE, address);
        SendBits(ctl, value, DATA_BITS);
        Hold(ctl);
        Deselect(ctl);
    });
}

int EEPROM_ReadWord(void* base, std::uint32_t address, std::uint16_t* value) {
    if (value == nullptr) return EEPROM_READ_NO_RESULT;
    if (base == nullptr) return EEPROM_READ_NO_BASE;
    *value = 0;
    volatile std::uint8_t* ctl = ControlByte(base);
    StartFrame(ctl, OP_READ, address);
    *value = ReceiveWord(ctl);
    Deselect(ctl);
    return EEPROM_OK;
}

EepromLock::EepromLock(CardEntry& entry) : lock_(&entry.eepromLock) {
    EnterCriticalSection(lock_);
}

EepromLock::~EepromLock() {
    LeaveCriticalSection(lock_);
}

void SetEepromSleepForTesting(EepromSleepFunction sleep) {
    sleepFunction.store(sleep, std::memory_order_release);
}
