// The control API of the simulated machine (sim/control.h).
#include "sim/control.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>

#include "platform/fork_safe.h"
#include "sim/eeprom_93c46.h"
#include "sim/hooks.h"
#include "sim/models.h"
#include "sim/os.h"
#include "sim/store.h"

namespace sim {

namespace {

using namespace store;

struct ArmedFault {
    Fault fault;
    int device;
    int times;
    std::uint32_t errorCode;
};

// Everything per process; guarded by StateMutex.
struct State {
    std::string root;         // empty: QUELT_SIM_ROOT or the default
    std::string defaultRoot;  // empty: the per-user default (sim/os.h)
    std::vector<ArmedFault> faults;
    std::deque<LoggedRequest> log;
    int openLists = 0;
    std::map<int, hooks::InstallParams> installParams;
    std::map<int, int> installCalls;
    // The 93C46 model unless a test chose otherwise; named here so the
    // model is linked wherever the driver is.
    EepromModelFactory eepromFactory = &MakeEeprom93c46;
    // Region mappings handed out by RegionMemory, kept until DeleteMachine.
    struct Mapping {
        std::string root;
        void* base;
        std::size_t size;
    };
    std::vector<Mapping> regionMappings;
};

// Read on every request without the state lock.
std::atomic<bool> logOn{false};
std::atomic<bool> immediateWaits{false};
std::atomic<int> armedFaults{0};

// The process's state, with the mutex that guards it (held across fork, so
// a child never inherits it locked by a thread that does not exist there).
fork_safe::Guarded<State>& Guarded() {
    return fork_safe::ProcessWide<State>();
}
std::mutex& StateMutex() {
    return Guarded().mutex;
}
State& S() {
    return Guarded().value;
}

[[noreturn]] void Fail(const std::string& what) {
    throw Error(what);
}

std::string DefaultRoot() {
    {
        std::lock_guard g(StateMutex());
        if (!S().defaultRoot.empty()) return S().defaultRoot;
    }
    return os::DefaultRoot();
}

}  // namespace

// --- Cards ---

CardConfig DefaultCard(CardFamily family) {
    CardConfig c;
    switch (family) {
        case CardFamily::OX952:
            c.description = "OX952 PCI Card Function 0";
            c.deviceId = 0x0300;
            c.bus = 2;
            c.slot = 3;
            c.pciAddress = 0x00030000;
            c.irqLine = 17;
            c.regions = {{4096, false}};
            break;
        case CardFamily::OX9162:
            c.description = "OX9162 PCI Card";
            c.deviceId = 0x0100;
            c.bus = 3;
            c.slot = 1;
            c.pciAddress = 0x00010000;
            c.irqLine = 18;
            c.regions = {{4096, false}, {4096, false}};
            c.eepromRegion = 0;
            break;
        case CardFamily::EP4GXA:
            c.description = "EP4GXA PCIe Card";
            c.deviceId = 0x0810;
            c.bus = 4;
            c.slot = 2;
            c.pciAddress = 0x00020000;
            c.irqLine = 19;
            c.regions = {{65536, false}, {4096, false}, {4096, false}};
            c.cardId = 0x00004701;
            c.serial = 1001;
            break;
    }
    return c;
}

CardConfig Ox952Function1(const CardConfig& function0) {
    CardConfig c = function0;
    c.description = "OX952 PCI Card Function 1";
    c.deviceId = function0.deviceId | 1u;
    c.pciAddress = (function0.pciAddress & 0xFFFF0000u) | 1u;
    c.regions = {{4096, false}, {4096, false}};
    c.eepromRegion = 1;
    c.cardId.reset();
    c.serial.reset();
    return c;
}

std::vector<CardConfig> store::DefaultMachine() {
    CardConfig f0 = DefaultCard(CardFamily::OX952);
    return {f0, Ox952Function1(f0), DefaultCard(CardFamily::OX9162), DefaultCard(CardFamily::EP4GXA)};
}

// --- Machine ---

std::string CurrentRoot() {
    {
        std::lock_guard g(StateMutex());
        if (!S().root.empty()) return S().root;
    }
    std::string env = os::Environment("QUELT_SIM_ROOT");
    if (!env.empty()) return env;
    return DefaultRoot();
}

void UseRoot(const std::string& root) {
    std::lock_guard g(StateMutex());
    S().root = root;
}

void SetDefaultRootForTesting(const std::string& root) {
    std::lock_guard g(StateMutex());
    S().defaultRoot = root;
}

bool DefaultRootInUse() {
    {
        std::lock_guard g(StateMutex());
        if (!S().root.empty()) return false;
    }
    return os::Environment("QUELT_SIM_ROOT").empty();
}

void UseMachine() {
    std::string root = CurrentRoot();
    if (DefaultRootInUse()) {
        EnsureDefaultMachine(root);
        return;
    }
    MachineLock lock(root, false);
    RequireIndex(root);
}

std::string CreateTempMachine(bool withDefaultCards) {
    std::string root = os::MakeTempDirectory();
    if (root.empty()) Fail("cannot create a temporary machine: " + os::LastErrorText());
    {
        MachineLock lock(root, true);
        MachineIndex index;
        if (withDefaultCards) {
            for (const auto& card : DefaultMachine()) {
                CreateCardFile(root, index.nextId, card);
                index.ids.push_back(index.nextId++);
            }
        }
        WriteIndex(root, index);
    }
    UseRoot(root);
    return root;
}

void DeleteMachine(const std::string& root) {
    {
        std::lock_guard g(StateMutex());
        auto& maps = S().regionMappings;
        for (auto it = maps.begin(); it != maps.end();) {
            // Machines inside it (a default root a test moved there) go too.
            if (it->root == root || it->root.rfind(root + "/", 0) == 0) {
                os::UnmapFile(it->base, it->size);
                it = maps.erase(it);
            } else {
                ++it;
            }
        }
    }
    std::string why;
    if (!os::RemoveTree(root, &why)) Fail("cannot delete machine " + root + ": " + why);
}

void InitMachine(bool empty, bool force) {
    std::string root = CurrentRoot();
    MakeRoot(root);  // the one place, with CreateTempMachine, that makes a root
    MachineLock lock(root, true);
    MachineIndex old;
    bool exists = ReadIndex(root, &old);
    if (exists && !force) Fail("a machine already exists at " + root + " (use --force to replace it)");
    MachineIndex index;
    if (exists) index.nextId = old.nextId;  // ids are never reused: old mappings stay apart
    if (!empty) {
        for (const auto& card : DefaultMachine()) {
            CreateCardFile(root, index.nextId, card);
            index.ids.push_back(index.nextId++);
        }
    }
    WriteIndex(root, index);
    if (DefaultRootInUse()) MarkMade(root);
    if (exists) {
        for (auto id : old.ids) os::RemoveFile(CardPath(root, id));
    }
}

bool MachineExists() {
    std::string root = CurrentRoot();
    if (!std::filesystem::exists(IndexPath(root))) return false;
    MachineLock lock(root, false);
    MachineIndex index;
    return ReadIndex(root, &index);
}

int AddCard(const CardConfig& config) {
    std::string root = CurrentRoot();
    MachineLock lock(root, true);
    MachineIndex index = RequireIndex(root);
    if (index.ids.size() >= static_cast<std::size_t>(kMaxCards))
        Fail("the machine already has " + std::to_string(kMaxCards) + " devices");
    CreateCardFile(root, index.nextId, config);
    index.ids.push_back(index.nextId++);
    WriteIndex(root, index);
    return static_cast<int>(index.ids.size());
}

void RemoveCard(int device) {
    std::string root = CurrentRoot();
    MachineLock lock(root, true);
    MachineIndex index = RequireIndex(root);
    const std::uint32_t id = RequireCardId(index, device);
    index.ids.erase(index.ids.begin() + (device - 1));
    WriteIndex(root, index);
    // Processes that have it mapped keep their mappings; the file goes with the last.
    os::RemoveFile(CardPath(root, id));
}

int CardCount() {
    std::string root = CurrentRoot();
    MachineLock lock(root, false);
    return static_cast<int>(RequireIndex(root).ids.size());
}

std::vector<CardStatus> ListCards() {
    std::string root = CurrentRoot();
    MachineLock lock(root, false);
    MachineIndex index = RequireIndex(root);
    std::vector<CardStatus> out;
    for (std::size_t i = 0; i < index.ids.size(); ++i) {
        CardStatus status;
        status.device = static_cast<int>(i + 1);
        status.id = index.ids[i];
        status.file = CardPath(root, status.id);
        CardFile header;
        std::uint64_t size = 0;
        status.problem = ReadCard(status.file, &header, &size);
        if (status.problem.empty()) {
            CardMap map(status.file, true);
            status.config = ConfigOf(map.header(), map.size());
        }
        out.push_back(std::move(status));
    }
    return out;
}

namespace {

// Copies what a damaged card file still holds into its rebuilt file: each
// region's bytes as far as the old file reaches, and the EEPROM words.
void CopyCardContents(const std::string& from, const std::string& to, const CardFile& old,
                      std::uint64_t oldSize) {
    os::File in = os::OpenFile(from, os::Access::Read);
    os::File out = in == os::kNoFile ? os::kNoFile : os::OpenFile(to, os::Access::ReadWrite);
    if (in == os::kNoFile || out == os::kNoFile) {
        std::string why = "cannot copy card file " + from + ": " + os::LastErrorText();
        os::CloseFile(in);
        Fail(why);
    }
    CardFile fresh;
    bool ok = os::ReadAt(out, &fresh, sizeof fresh, 0);
    std::vector<std::uint8_t> buffer(1 << 16);
    for (int r = 0; ok && r < old.regionCount; ++r) {
        std::uint64_t at = 0;
        const std::uint64_t oldOffset = old.regions[r].offset;
        std::uint64_t left = oldOffset < oldSize ? std::min(old.regions[r].size, oldSize - oldOffset) : 0;
        while (ok && left > 0) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
            ok = os::ReadAt(in, buffer.data(), n, oldOffset + at) &&
                 os::WriteAt(out, buffer.data(), n, fresh.regions[r].offset + at);
            at += n;
            left -= n;
        }
    }
    const std::uint64_t words = offsetof(CardFile, eeprom) + offsetof(EepromStorage, words);
    ok = ok && os::WriteAt(out, old.eeprom.words, sizeof old.eeprom.words, words);
    os::CloseFile(in);
    os::CloseFile(out);
    if (!ok) Fail("cannot copy card file " + from);
}

}  // namespace

void RepairCard(int device) {
    std::string root = CurrentRoot();
    MachineLock lock(root, true);
    MachineIndex index = RequireIndex(root);
    const std::uint32_t id = RequireCardId(index, device);
    const std::string path = CardPath(root, id);
    CardFile old;
    std::uint64_t size = 0;
    const std::string problem = ReadCard(path, &old, &size);
    if (problem.empty()) Fail("device " + std::to_string(device) + " is not damaged");
    // Only a file cut short can be rebuilt: its header must still agree
    // with itself, measured against the size the file was made with.
    const std::string header = size >= sizeof old ? CardProblem(old, old.fileSize) : problem;
    if (!header.empty())
        Fail("device " + std::to_string(device) + " (" + path + ") cannot be repaired: " + header +
             "; remove it with: quelt-sim remove " + std::to_string(device));
    CardConfig config = ConfigOf(&old, 0);
    // The identity words, where the old file still holds them.
    std::uint32_t word = 0;
    os::File in = os::OpenFile(path, os::Access::Read);
    if (in != os::kNoFile) {
        const std::uint64_t at = old.regions[0].offset;
        if (old.hasCardId && os::ReadAt(in, &word, 4, at + 16368)) config.cardId = word;
        if (old.hasSerial && os::ReadAt(in, &word, 4, at + 16372)) config.serial = word;
        os::CloseFile(in);
    }
    if (old.hasCardId && !config.cardId) config.cardId = 0;
    if (old.hasSerial && !config.serial) config.serial = 0;
    // A new file under a new id: processes that still map the old one keep
    // it whole, and nothing ever shrinks under them.
    const std::uint32_t newId = index.nextId++;
    CreateCardFile(root, newId, config);
    try {
        CopyCardContents(path, CardPath(root, newId), old, size);
    } catch (const Error&) {
        os::RemoveFile(CardPath(root, newId));
        throw;
    }
    index.ids[static_cast<std::size_t>(device - 1)] = newId;
    WriteIndex(root, index);
    os::RemoveFile(path);
}

CardConfig GetCard(int device) {
    CardMap map = MapDevice(device, true);
    return ConfigOf(map.header(), map.size());
}

void SetDriverVersion(std::uint32_t version) {
    std::string root = CurrentRoot();
    MachineLock lock(root, true);
    MachineIndex index = RequireIndex(root);
    index.driverVersion = version;
    WriteIndex(root, index);
}

std::uint32_t DriverVersion() {
    std::string root = CurrentRoot();
    MachineLock lock(root, false);
    return RequireIndex(root).driverVersion;
}

// --- Interrupts, status block, memory ---

void RaiseIrq(int device, std::uint32_t count) {
    CardMap map = MapDevice(device, false);
    store::RaiseIrq(map.header(), count);
}

struct IrqLine::Card {
    CardMap map;
};

IrqLine::IrqLine(int device) : card_(new Card{MapDevice(device, false)}) {}
IrqLine::~IrqLine() = default;

void IrqLine::Raise(std::uint32_t count) {
    store::RaiseIrq(card_->map.header(), count);
}

std::uint32_t ReadStatusWord(int device, std::size_t offset) {
    if (offset % 4 != 0 || offset + 4 > 1024)
        Fail("status block offset " + std::to_string(offset) + " is not a field");
    CardMap map = MapDevice(device, false);
    return Shared(*map.statusWord(offset)).load();
}

void WriteStatusWord(int device, std::size_t offset, std::uint32_t value) {
    if (offset % 4 != 0 || offset + 4 > 1024)
        Fail("status block offset " + std::to_string(offset) + " is not a field");
    CardMap map = MapDevice(device, false);
    Shared(*map.statusWord(offset)).store(value);
    // Waits judge the counters: let them look again.
    WakeAll(map.header());
}

namespace {

HandleCounts CountOf(int device) {
    // This mapping's descriptor holds no slot, so every handle is counted.
    CardMap map = MapDevice(device, false);
    HandleCounts n;
    CardLock lock(map.header());
    if (!CountCardHandles(map.file(), map.header(), &n))
        Fail("cannot count the handles of device " + std::to_string(device) + ": " + os::LastErrorText());
    return n;
}

}  // namespace

std::uint32_t PendingWaits(int device) {
    return CountOf(device).waiting;
}

std::uint32_t WaitsEndedAtDeadline(int device) {
    CardMap map = MapDevice(device, false);
    return Shared(map.header()->waitsEndedAtDeadline).load(std::memory_order_acquire);
}

std::int32_t AttachedHandles(int device) {
    return CountOf(device).attached;
}

std::uint8_t* RegionMemory(int device, int region) {
    std::uint32_t id = 0;
    CardMap map = MapDevice(device, false, &id);
    const CardFile* card = map.header();
    if (region < 0 || region >= card->regionCount)
        Fail("device " + std::to_string(device) + " has no region " + std::to_string(region));
    const RegionSlot& slot = card->regions[region];
    std::size_t size = PageRound(slot.size);
    void* base = os::MapFile(map.file(), slot.offset, size);
    if (!base) Fail("cannot map region: " + os::LastErrorText());
    std::string root = CurrentRoot();
    std::lock_guard g(StateMutex());
    S().regionMappings.push_back({root, base, size});
    return static_cast<std::uint8_t*>(base);
}

// --- EEPROM ---

std::vector<std::uint16_t> EepromWords(int device) {
    CardMap map = MapDevice(device, false);
    std::vector<std::uint16_t> words(64);
    for (int i = 0; i < 64; ++i)
        words[static_cast<std::size_t>(i)] = Shared(map.header()->eeprom.words[i]).load();
    return words;
}

void SetEepromWord(int device, int word, std::uint16_t value) {
    if (word < 0 || word > 63) Fail("EEPROM word " + std::to_string(word) + " is out of range 0..63");
    CardMap map = MapDevice(device, false);
    Shared(map.header()->eeprom.words[word]).store(value);
}

void SetEepromMode(int device, EepromMode mode) {
    CardMap map = MapDevice(device, false);
    Shared(map.header()->eeprom.mode).store(static_cast<std::uint32_t>(mode));
}

void SetEepromProgramTime(int device, std::uint32_t milliseconds) {
    CardMap map = MapDevice(device, false);
    Shared(map.header()->eeprom.programMs).store(milliseconds);
}

void SetEepromModelFactory(EepromModelFactory factory) {
    std::lock_guard g(StateMutex());
    S().eepromFactory = factory;
}

EepromModelFactory CurrentEepromModelFactory() {
    std::lock_guard g(StateMutex());
    return S().eepromFactory;
}

// --- Test controls ---

void SetRequestLog(bool on) {
    logOn.store(on, std::memory_order_relaxed);
}

std::vector<LoggedRequest> RequestLog() {
    std::lock_guard g(StateMutex());
    return {S().log.begin(), S().log.end()};
}

void ClearRequestLog() {
    std::lock_guard g(StateMutex());
    S().log.clear();
}

void ArmFault(Fault fault, int device, int times, std::uint32_t errorCode) {
    if (times < 1) Fail("a fault must be armed for at least one occurrence");
    std::lock_guard g(StateMutex());
    S().faults.push_back({fault, device, times, errorCode});
    armedFaults.store(static_cast<int>(S().faults.size()), std::memory_order_release);
}

void ClearFaults() {
    std::lock_guard g(StateMutex());
    S().faults.clear();
    armedFaults.store(0, std::memory_order_release);
}

void SetImmediateWaits(bool on) {
    immediateWaits.store(on, std::memory_order_relaxed);
}

int OpenDeviceLists() {
    std::lock_guard g(StateMutex());
    return S().openLists;
}

std::uint32_t InstallParamsFlags(int device) {
    std::lock_guard g(StateMutex());
    auto it = S().installParams.find(device);
    return it == S().installParams.end() ? 0 : it->second.flags;
}

void SetInstallParamsFlags(int device, std::uint32_t flags) {
    std::lock_guard g(StateMutex());
    S().installParams[device].flags = flags;
}

int InstallDeviceCalls(int device) {
    std::lock_guard g(StateMutex());
    auto it = S().installCalls.find(device);
    return it == S().installCalls.end() ? 0 : it->second;
}

// --- Hooks for the listing and the backend ---

namespace hooks {

bool TakeFault(Fault fault, int device, std::uint32_t* errorCode) {
    if (armedFaults.load(std::memory_order_acquire) == 0) return false;
    std::lock_guard g(StateMutex());
    auto& faults = S().faults;
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        // Armed for any device, or asked for the machine as a whole (device 0).
        if (it->fault != fault || (it->device != 0 && device != 0 && it->device != device)) continue;
        if (errorCode) *errorCode = it->errorCode;
        if (--it->times == 0) faults.erase(it);
        armedFaults.store(static_cast<int>(faults.size()), std::memory_order_release);
        return true;
    }
    return false;
}

bool LogOn() {
    return logOn.load(std::memory_order_relaxed);
}

void LogRequest(LoggedRequest request) {
    std::lock_guard g(StateMutex());
    auto& log = S().log;
    if (log.size() >= kMaxLoggedRequests) log.pop_front();
    log.push_back(std::move(request));
}

bool ImmediateWaits() {
    return immediateWaits.load(std::memory_order_relaxed);
}

void DeviceListCreated() {
    std::lock_guard g(StateMutex());
    ++S().openLists;
}

void DeviceListDestroyed() {
    std::lock_guard g(StateMutex());
    --S().openLists;
}

InstallParams GetInstallParams(int device) {
    std::lock_guard g(StateMutex());
    auto it = S().installParams.find(device);
    return it == S().installParams.end() ? InstallParams{} : it->second;
}

void SetInstallParams(int device, const InstallParams& params) {
    std::lock_guard g(StateMutex());
    S().installParams[device] = params;
}

void CountInstallDevice(int device) {
    std::lock_guard g(StateMutex());
    ++S().installCalls[device];
}

}  // namespace hooks

}  // namespace sim
