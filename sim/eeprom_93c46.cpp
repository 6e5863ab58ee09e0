// The 93C46 model: one state record in the card file, and the read and write
// callbacks of the control-byte window, which run under a lock in that record
// so that threads and processes see one part.
#include "sim/eeprom_93c46.h"

#include <type_traits>

#include "sim/os.h"

namespace sim {
namespace {

constexpr std::uint8_t kClock = 0x01;
constexpr std::uint8_t kSelect = 0x02;
constexpr std::uint8_t kDataIn = 0x04;
constexpr std::uint8_t kDataOut = 0x08;
constexpr std::uint8_t kLines = kClock | kSelect | kDataIn;

constexpr int kWords = 64;
constexpr int kCommandBits = 8;  // two opcode bits, six address bits
constexpr int kDataBits = 16;

// Where the serial interface stands. Zero is the power-up state.
enum Phase : std::uint8_t {
    Idle = 0,       // selected or not, waiting for a start bit
    Command,        // shifting in opcode and address
    DataIn,         // shifting in the 16 data bits of a write
    DataOut,        // shifting out a word
    AwaitDeselect,  // a programming command is complete; runs when chip select falls
    Ignore,         // rest of the frame means nothing
    Status,         // selected after programming: data out shows busy or ready
};

enum Program : std::uint8_t { None = 0, WriteWord, EraseWord, WriteAll, EraseAll };

// The chip's own state, kept in EepromStorage::chip. All-zero is power-up.
struct Chip {
    std::uint32_t owner;  // pid of the process inside an access, 0 when free
    std::uint8_t lines;   // control lines as last written
    std::uint8_t phase;   // Phase
    std::uint8_t writeEnabled;
    std::uint8_t dataOut;        // level driven in DataOut
    std::uint8_t program;        // Program waiting for chip select to fall
    std::uint8_t statusPending;  // programming started: show status when selected
    std::uint8_t address;
    std::uint8_t bits;  // bits shifted in the current phase
    std::uint16_t shift;
    std::uint16_t outWord;
    std::uint64_t busyUntilNs;  // os::MonotonicNs, the same clock in every process
};
static_assert(std::is_trivially_copyable_v<Chip>);
static_assert(sizeof(Chip) <= sizeof(store::EepromStorage::chip));

Chip* ChipOf(store::EepromStorage& storage) {
    return reinterpret_cast<Chip*>(storage.chip);
}

// Serialises accesses to the chip across threads and processes, on the
// robust mutex in the card file: a process killed inside an access leaves the
// lock to the next one, which finds the frame it was in cut off, as when a
// master resets in mid-frame, and starts the interface afresh.
class ChipLock {
public:
    ChipLock(store::EepromStorage& storage, Chip& chip) : lock_(&storage.lock) {
        if (os::LockSharedMutex(lock_) == os::Locked::OwnerDied) {
            chip.phase = Idle;
            chip.program = None;
            chip.bits = 0;
            chip.shift = 0;
        }
    }
    ~ChipLock() { os::UnlockSharedMutex(lock_); }
    ChipLock(const ChipLock&) = delete;
    ChipLock& operator=(const ChipLock&) = delete;

private:
    os::SharedMutex* lock_;
};

// Words, mode and programming time are also read and set by the control API
// of any process, so they are touched atomically.
std::uint16_t Word(store::EepromStorage& storage, int i) {
    return store::Shared(storage.words[i]).load();
}
void SetWord(store::EepromStorage& storage, int i, std::uint16_t v) {
    store::Shared(storage.words[i]).store(v);
}

std::uint64_t NowNs() {
    return os::MonotonicNs();
}

EepromMode ModeOf(store::EepromStorage& storage) {
    return static_cast<EepromMode>(store::Shared(storage.mode).load());
}

bool Ready(store::EepromStorage& storage, const Chip& chip) {
    if (ModeOf(storage) == EepromMode::NeverReady) return false;
    return NowNs() >= chip.busyUntilNs;
}

// In its self-timed programming cycle the part takes no command at all.
bool Busy(store::EepromStorage& storage, const Chip& chip) {
    return chip.statusPending && !Ready(storage, chip);
}

// Chip select fell: the serial interface resets, and a complete programming
// command starts its self-timed cycle.
void Deselected(store::EepromStorage& storage, Chip& chip) {
    if (chip.program != None && chip.writeEnabled && !Busy(storage, chip)) {
        switch (chip.program) {
            case WriteWord:
                SetWord(storage, chip.address, chip.shift);
                break;
            case EraseWord:
                SetWord(storage, chip.address, 0xFFFF);
                break;
            case WriteAll:
                for (int i = 0; i < kWords; ++i) SetWord(storage, i, chip.shift);
                break;
            case EraseAll:
                for (int i = 0; i < kWords; ++i) SetWord(storage, i, 0xFFFF);
                break;
            default:
                break;
        }
        // A part set never to become ready stays busy only while that mode holds.
        const std::uint64_t ms = store::Shared(storage.programMs).load();
        chip.busyUntilNs = NowNs() + ms * 1000000u;
        chip.statusPending = 1;
    }
    chip.program = None;
    chip.phase = Idle;
    chip.bits = 0;
    chip.shift = 0;
}

// The eight command bits are in: decode opcode and address.
void Decode(store::EepromStorage& storage, Chip& chip) {
    const std::uint8_t opcode = static_cast<std::uint8_t>(chip.shift >> 6);
    const std::uint8_t address = static_cast<std::uint8_t>(chip.shift & (kWords - 1));
    chip.bits = 0;
    chip.shift = 0;
    chip.address = address;
    switch (opcode) {
        case 0b10:  // read: dummy 0 now, D15 on the next rising edge
            chip.outWord = Word(storage, address);
            chip.dataOut = 0;
            chip.phase = DataOut;
            return;
        case 0b01:  // write
            chip.phase = DataIn;
            return;
        case 0b11:  // erase
            chip.program = EraseWord;
            chip.phase = AwaitDeselect;
            return;
        default:  // extended group, told apart by the top two address bits
            switch (address >> 4) {
                case 0b11:
                    chip.writeEnabled = 1;
                    chip.phase = Ignore;
                    return;
                case 0b00:
                    chip.writeEnabled = 0;
                    chip.phase = Ignore;
                    return;
                case 0b10:
                    chip.program = EraseAll;
                    chip.phase = AwaitDeselect;
                    return;
                default:
                    chip.program = WriteAll;
                    chip.phase = DataIn;
                    return;
            }
    }
}

void RisingClock(store::EepromStorage& storage, Chip& chip, bool dataIn) {
    if (Busy(storage, chip)) return;
    switch (chip.phase) {
        case Idle:
        case Status:
            if (dataIn) {
                chip.phase = Command;
                chip.statusPending = 0;
                chip.bits = 0;
                chip.shift = 0;
            }
            return;
        case Command:
            chip.shift = static_cast<std::uint16_t>((chip.shift << 1) | (dataIn ? 1 : 0));
            if (++chip.bits == kCommandBits) Decode(storage, chip);
            return;
        case DataIn:
            chip.shift = static_cast<std::uint16_t>((chip.shift << 1) | (dataIn ? 1 : 0));
            if (++chip.bits == kDataBits) {
                if (chip.program == None) chip.program = WriteWord;
                chip.phase = AwaitDeselect;
            }
            return;
        case DataOut:
            if (chip.bits == kDataBits) {  // sequential read goes on with the next word
                chip.address = static_cast<std::uint8_t>((chip.address + 1) & (kWords - 1));
                chip.outWord = Word(storage, chip.address);
                chip.bits = 0;
            }
            chip.dataOut = static_cast<std::uint8_t>((chip.outWord >> (kDataBits - 1 - chip.bits)) & 1);
            ++chip.bits;
            return;
        default:
            return;
    }
}

bool DataOutLevel(store::EepromStorage& storage, const Chip& chip) {
    switch (ModeOf(storage)) {
        case EepromMode::AbsentHigh:
            return true;
        case EepromMode::AbsentLow:
            return false;
        default:
            break;
    }
    if ((chip.lines & kSelect) == 0) return false;  // not driven while deselected
    if (chip.phase == Status) return Ready(storage, chip);
    if (chip.phase == DataOut) return chip.dataOut != 0;
    return false;
}

}  // namespace

Eeprom93c46::Eeprom93c46(store::EepromStorage* storage) : storage_(storage) {}

std::uint64_t Eeprom93c46::Read(std::size_t offset, unsigned /*width*/) {
    if (offset != 0) return 0;
    store::EepromStorage& storage = *storage_;
    Chip& chip = *ChipOf(storage);
    ChipLock lock(storage, chip);
    return static_cast<std::uint64_t>(chip.lines & kLines) | (DataOutLevel(storage, chip) ? kDataOut : 0);
}

void Eeprom93c46::Write(std::size_t offset, unsigned /*width*/, std::uint64_t value) {
    if (offset != 0) return;
    const auto lines = static_cast<std::uint8_t>(value & kLines);
    store::EepromStorage& storage = *storage_;
    Chip& chip = *ChipOf(storage);
    ChipLock lock(storage, chip);
    const std::uint8_t before = chip.lines;
    chip.lines = lines;
    const EepromMode mode = ModeOf(storage);
    if (mode == EepromMode::AbsentHigh || mode == EepromMode::AbsentLow) return;

    const bool wasSelected = (before & kSelect) != 0;
    const bool selected = (lines & kSelect) != 0;
    if (!selected) {
        if (wasSelected) Deselected(storage, chip);
        return;
    }
    if (!wasSelected) {
        chip.phase = chip.statusPending ? Status : Idle;
        chip.bits = 0;
        chip.shift = 0;
        // Chip select must be set up before a clock edge counts: one that
        // rises with it is no start bit.
        return;
    }
    // The part samples data in at the rising edge from the level held before
    // it: data changed in the same write as the clock is not yet seen.
    if ((lines & kClock) != 0 && (before & kClock) == 0) RisingClock(storage, chip, (before & kDataIn) != 0);
}

std::unique_ptr<mmio::Model> MakeEeprom93c46(const ModelContext& context) {
    if (context.eeprom == nullptr) return nullptr;
    return std::make_unique<Eeprom93c46>(context.eeprom);
}

namespace {

// Every card with an EEPROM region gets the part at attach, in every program
// that links the simulator.
const bool registered = [] {
    SetEepromModelFactory(&MakeEeprom93c46);
    return true;
}();

}  // namespace

}  // namespace sim
