// Control of the simulated machine: used by quelt-sim, the examples and the
// tests. The library itself never includes this; it reaches the simulated
// driver only through the Win32 calls of src/platform/win32.h.
//
// A machine is a directory of card files in shared memory. Every process that
// uses the same root sees the same cards, status blocks, region memory, EEPROM
// contents and driver bookkeeping. Device numbers are 1, 2, 3 ... in listing
// order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

// Every failure of this API (no machine, bad device number, bad value) throws
// this with one clear line of text.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class CardFamily { OX952, OX9162, EP4GXA };

struct RegionConfig {
    std::uint64_t size = 4096;
    bool unmapped = false;  // attach reports address 0 for it
};

struct CardConfig {
    std::string description;  // up to 300 characters
    std::uint32_t vendorId = 0x1760;
    std::uint32_t deviceId = 0;
    std::uint32_t bus = 0;
    std::uint32_t slot = 0;
    std::uint32_t pciAddress = 0;
    std::uint8_t irqLine = 0;
    std::vector<RegionConfig> regions;    // up to 16
    bool statusBlock = true;              // whether the driver provides one
    std::optional<std::uint32_t> cardId;  // written to region 0 at 16368
    std::optional<std::uint32_t> serial;  // written to region 0 at 16372
    int eepromRegion = -1;                // region holding a 93C46 control byte, -1 none
};

// Sensible defaults per family. For OX952 this is function 0 (device id
// 0x0300); Ox952Function1() gives its partner on the same bus and slot.
CardConfig DefaultCard(CardFamily family);
CardConfig Ox952Function1(const CardConfig& function0);

// --- Machine ---
// The root this process uses: set by UseRoot, else QUELT_SIM_ROOT, else a
// per-user default under /dev/shm.
std::string CurrentRoot();
void UseRoot(const std::string& root);
// True when neither UseRoot nor QUELT_SIM_ROOT names the root. Only the
// default root is ever made on first use; an explicit root is made only by
// InitMachine (quelt-sim init) or CreateTempMachine.
bool DefaultRootInUse();
// Makes sure the current root holds a machine: the default root gets the
// default machine on first use; an explicit root that holds none is an error
// naming it and saying how to make one. So is a default machine that was made
// and then deleted: it is not silently made again.
void UseMachine();
// Moves the default root elsewhere for this process (empty: back to the
// per-user default), so that tests can see it made on first use.
void SetDefaultRootForTesting(const std::string& root);
// Creates a fresh machine (empty unless withDefaultCards) in a new temporary
// root, makes it this process's root and returns it. Removed by DeleteMachine.
std::string CreateTempMachine(bool withDefaultCards = false);
void DeleteMachine(const std::string& root);
// The default machine: OX952 two-function card, OX9162 card, EP4GXA card.
void InitMachine(bool empty, bool force);
bool MachineExists();

int AddCard(const CardConfig& config);  // returns the device number
void RemoveCard(int device);            // later devices move up
int CardCount();
// Throws, naming the card file and what is wrong, for a damaged card.
CardConfig GetCard(int device);

// Every card of the machine, damaged ones included, in device-number order.
struct CardStatus {
    int device = 0;
    std::uint32_t id = 0;
    std::string file;     // the card file
    std::string problem;  // why the card cannot be used; empty when it can
    CardConfig config;    // when problem is empty
};
std::vector<CardStatus> ListCards();
// Rebuilds a damaged card whose file was cut short: a new card file with the
// same configuration, holding whatever region bytes and EEPROM words the old
// one still had. A card whose header itself is damaged cannot be repaired
// (the error says to remove it). Processes that map the old file keep it.
void RepairCard(int device);
void SetDriverVersion(std::uint32_t version);
std::uint32_t DriverVersion();

// --- Interrupts, status block, memory ---
void RaiseIrq(int device, std::uint32_t count = 1);
// A card's interrupt line held ready, for raising many interrupts quickly
// (RaiseIrq finds and maps the card on every call).
class IrqLine {
public:
    explicit IrqLine(int device);
    ~IrqLine();
    IrqLine(const IrqLine&) = delete;
    IrqLine& operator=(const IrqLine&) = delete;
    void Raise(std::uint32_t count = 1);

private:
    struct Card;
    std::unique_ptr<Card> card_;
};

// Reads/writes one 32-bit field of the card's status block by byte offset.
std::uint32_t ReadStatusWord(int device, std::size_t offset);
void WriteStatusWord(int device, std::size_t offset, std::uint32_t value);
std::uint32_t PendingWaits(int device);  // waits pending from all handles
// Waits on the card, by all processes, that ended only at their deadline:
// time-outs, and lost wake-ups. A check that an interrupt or a discard woke a
// wait sees it unchanged, whatever the time the wake took.
std::uint32_t WaitsEndedAtDeadline(int device);
// Handles attached to the card, in all processes: the driver's own count,
// which no write to the status block changes.
std::int32_t AttachedHandles(int device);
// The card's region memory mapped into this process (not through attach).
std::uint8_t* RegionMemory(int device, int region);

// --- EEPROM (93C46, 64 words of 16 bits) ---
std::vector<std::uint16_t> EepromWords(int device);
void SetEepromWord(int device, int word, std::uint16_t value);
enum class EepromMode { Normal, NeverReady, AbsentHigh, AbsentLow };
void SetEepromMode(int device, EepromMode mode);
void SetEepromProgramTime(int device, std::uint32_t milliseconds);

// --- Test controls, for this process only ---
struct LoggedRequest {
    int device;                       // device number
    std::uint32_t code;               // I/O control code
    std::vector<std::uint8_t> input;  // input bytes as sent
    std::uint32_t bytesReturned;
    bool ok;
};
// The log is off unless a test turns it on; it then keeps the most recent
// kMaxLoggedRequests requests of this process.
inline constexpr std::size_t kMaxLoggedRequests = 10000;
void SetRequestLog(bool on);
std::vector<LoggedRequest> RequestLog();
void ClearRequestLog();

enum class Fault {
    ClassDevsFails,         // SetupDiGetClassDevsA fails
    EnumStepFails,          // SetupDiEnumDeviceInfo fails with an error other than ERROR_NO_MORE_ITEMS
    DescriptionUnreadable,  // reading the description fails
    NoInterface,            // SetupDiEnumDeviceInterfaces fails
    NoDevicePath,           // SetupDiGetDeviceInterfaceDetailA fails
    CreateFileFails,
    AttachFails,
    AttachShortReply,  // attach succeeds with a reply shorter than 344 bytes
    WaitFails,
    WaitDiscarded,       // wait completes at once with byte count 99
    DriverVersionFails,  // no byte count
    DmaAllocFails,
    DmaShortReply,  // 16 bytes
    DmaZeroKey,
    DmaReleaseFails,
    InstallParamsFail,   // SetupDiGetDeviceInstallParamsA fails
    InstallDeviceFails,  // SetupDiInstallDevice fails with errorCode
};
// Arms a fault for the next `times` occurrences on device (0: any device).
// errorCode is the last-error value of the failing call (0: a fitting
// default); for AttachShortReply it is the reply's length in bytes (0: 300).
// The listing faults fail the step itself, not its size query: a description
// or path read into a buffer large enough. Faults, the request log and the
// wait mode are this process's own.
void ArmFault(Fault fault, int device = 0, int times = 1, std::uint32_t errorCode = 0);
void ClearFaults();
// Waits complete at once as if their time had passed (no interrupt), so long
// time-outs can be tested without sleeping.
void SetImmediateWaits(bool on);
// Device lists from SetupDiGetClassDevsA not yet destroyed, in this process.
int OpenDeviceLists();

// Install parameters SetupDiSetDeviceInstallParamsA stored for a device.
std::uint32_t InstallParamsFlags(int device);
void SetInstallParamsFlags(int device, std::uint32_t flags);
int InstallDeviceCalls(int device);

}  // namespace sim
