// libquelt_sim: the C control API of the simulated machine (quelt_sim.h) over
// sim/control.h. Every call runs on the root it is given and turns every
// failure into a result code and this thread's error text; no exception
// crosses the boundary.
#if !defined(_WIN32)
#include <dlfcn.h>
#endif

#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <string>

#include "quelt_sim.h"
#include "sim/capi/driver_controls.h"
#include "sim/capi/machine_file.h"
#include "sim/control.h"

namespace {

thread_local std::string lastError;

// A failure with its result code, thrown inside a call.
struct Failure {
    int code;
    std::string text;
};

[[noreturn]] void Fail(int code, std::string text) {
    throw Failure{code, std::move(text)};
}

// The control API keeps one root per process. Calls from several threads
// with different roots take turns, and the process's own choice
// (QUELT_SIM_ROOT or the default) is back in force after each call.
std::mutex& RootMutex() {
    static std::mutex m;
    return m;
}

class RootScope {
public:
    explicit RootScope(const char* root) : lock_(RootMutex()) { sim::UseRoot(root ? root : ""); }
    ~RootScope() { sim::UseRoot(""); }
    RootScope(const RootScope&) = delete;
    RootScope& operator=(const RootScope&) = delete;

private:
    std::lock_guard<std::mutex> lock_;
};

template <typename F>
int Call(const char* root, F&& body) {
    try {
        RootScope scope(root);
        body();
        lastError.clear();
        return QUELT_SIM_OK;
    } catch (const Failure& f) {
        lastError = f.text;
        return f.code;
    } catch (const sim::machine_file::FileError& e) {
        lastError = e.what();
        return QUELT_SIM_BAD_FILE;
    } catch (const sim::Error& e) {
        lastError = e.what();
        return QUELT_SIM_FAILED;
    } catch (const std::bad_alloc&) {
        lastError = "out of memory";
        return QUELT_SIM_FAILED;
    } catch (const std::exception& e) {
        lastError = e.what();
        return QUELT_SIM_FAILED;
    }
}

void NeedPointer(const void* p, const char* what) {
    if (!p) Fail(QUELT_SIM_BAD_ARGUMENT, std::string(what) + " is null");
}

void RequireMachine() {
    if (!sim::MachineExists()) Fail(QUELT_SIM_NO_MACHINE, "no machine at " + sim::CurrentRoot());
}

void RequireDevice(int device) {
    RequireMachine();
    const int count = sim::CardCount();
    if (device < 1 || device > count)
        Fail(QUELT_SIM_NO_DEVICE, "no device " + std::to_string(device) + " (the machine has " +
                                      std::to_string(count) + (count == 1 ? " device)" : " devices)"));
}

// The C record and the control API's config, both ways, refusing what does
// not fit rather than cutting it.
sim::CardConfig ToConfig(const quelt_sim_card& c) {
    sim::CardConfig out;
    const std::size_t length = ::strnlen(c.description, sizeof c.description);
    if (length == sizeof c.description)
        Fail(QUELT_SIM_BAD_ARGUMENT, "the description is not zero-terminated");
    out.description.assign(c.description, length);
    out.vendorId = c.vendor_id;
    out.deviceId = c.device_id;
    out.bus = c.bus;
    out.slot = c.slot;
    out.pciAddress = c.pci_address;
    if (c.irq_line > 255)
        Fail(QUELT_SIM_BAD_ARGUMENT, "irq_line " + std::to_string(c.irq_line) + " is above 255");
    out.irqLine = static_cast<std::uint8_t>(c.irq_line);
    if (c.region_count > QUELT_SIM_MAX_REGIONS)
        Fail(QUELT_SIM_BAD_ARGUMENT, "region_count " + std::to_string(c.region_count) + " is above 16");
    for (std::uint32_t i = 0; i < c.region_count; ++i)
        out.regions.push_back({c.region_size[i], c.region_unmapped[i] != 0});
    out.statusBlock = c.status_block != 0;
    out.eepromRegion = c.eeprom_region;
    if (c.has_card_id) out.cardId = c.card_id;
    if (c.has_serial) out.serial = c.serial;
    return out;
}

void FromConfig(const sim::CardConfig& c, quelt_sim_card* out) {
    std::memset(out, 0, sizeof *out);
    const std::size_t n = std::min(c.description.size(), sizeof out->description - 1);
    std::memcpy(out->description, c.description.data(), n);
    out->vendor_id = c.vendorId;
    out->device_id = c.deviceId;
    out->bus = c.bus;
    out->slot = c.slot;
    out->pci_address = c.pciAddress;
    out->irq_line = c.irqLine;
    out->region_count =
        static_cast<std::uint32_t>(std::min<std::size_t>(c.regions.size(), QUELT_SIM_MAX_REGIONS));
    for (std::uint32_t i = 0; i < out->region_count; ++i) {
        out->region_size[i] = c.regions[i].size;
        out->region_unmapped[i] = c.regions[i].unmapped ? 1 : 0;
    }
    out->status_block = c.statusBlock ? 1 : 0;
    out->eeprom_region = c.eepromRegion;
    out->has_card_id = c.cardId ? 1 : 0;
    out->card_id = c.cardId.value_or(0);
    out->has_serial = c.serial ? 1 : 0;
    out->serial = c.serial.value_or(0);
}

// The C fault numbers and the driver's faults, checked pair by pair when
// compiled: a renumbered or missing fault does not build.
struct FaultPair {
    int code;
    sim::Fault fault;
};
constexpr FaultPair kFaults[] = {
    {QUELT_SIM_FAULT_CLASS_DEVS, sim::Fault::ClassDevsFails},
    {QUELT_SIM_FAULT_ENUM_STEP, sim::Fault::EnumStepFails},
    {QUELT_SIM_FAULT_DESCRIPTION, sim::Fault::DescriptionUnreadable},
    {QUELT_SIM_FAULT_NO_INTERFACE, sim::Fault::NoInterface},
    {QUELT_SIM_FAULT_NO_DEVICE_PATH, sim::Fault::NoDevicePath},
    {QUELT_SIM_FAULT_CREATE_FILE, sim::Fault::CreateFileFails},
    {QUELT_SIM_FAULT_ATTACH, sim::Fault::AttachFails},
    {QUELT_SIM_FAULT_ATTACH_SHORT, sim::Fault::AttachShortReply},
    {QUELT_SIM_FAULT_WAIT, sim::Fault::WaitFails},
    {QUELT_SIM_FAULT_WAIT_DISCARDED, sim::Fault::WaitDiscarded},
    {QUELT_SIM_FAULT_DRIVER_VERSION, sim::Fault::DriverVersionFails},
    {QUELT_SIM_FAULT_DMA_ALLOC, sim::Fault::DmaAllocFails},
    {QUELT_SIM_FAULT_DMA_SHORT, sim::Fault::DmaShortReply},
    {QUELT_SIM_FAULT_DMA_ZERO_KEY, sim::Fault::DmaZeroKey},
    {QUELT_SIM_FAULT_DMA_RELEASE, sim::Fault::DmaReleaseFails},
    {QUELT_SIM_FAULT_INSTALL_PARAMS, sim::Fault::InstallParamsFail},
    {QUELT_SIM_FAULT_INSTALL_DEVICE, sim::Fault::InstallDeviceFails},
};
constexpr bool FaultsInOrder() {
    for (std::size_t i = 0; i < std::size(kFaults); ++i)
        if (kFaults[i].code != static_cast<int>(i)) return false;
    return static_cast<int>(sim::Fault::InstallDeviceFails) + 1 == static_cast<int>(std::size(kFaults));
}
static_assert(FaultsInOrder(), "every driver fault has its QUELT_SIM_FAULT_ number, in order");

#define QUELT_SIM_CODES(X)    \
    X(QUELT_SIM_OK)           \
    X(QUELT_SIM_BAD_ARGUMENT) \
    X(QUELT_SIM_NO_MACHINE)   \
    X(QUELT_SIM_NO_DEVICE)    \
    X(QUELT_SIM_EXISTS)       \
    X(QUELT_SIM_BAD_FILE)     \
    X(QUELT_SIM_FAILED)

unsigned Flags(unsigned flags) {
    if (flags & ~(QUELT_SIM_EMPTY | QUELT_SIM_REPLACE))
        Fail(QUELT_SIM_BAD_ARGUMENT, "unknown flags " + std::to_string(flags));
    return flags;
}

void Load(const sim::machine_file::Machine& machine, unsigned flags) {
    if (!(flags & QUELT_SIM_REPLACE) && sim::MachineExists())
        Fail(QUELT_SIM_EXISTS, "a machine already exists at " + sim::CurrentRoot());
    sim::machine_file::Apply(machine, (flags & QUELT_SIM_REPLACE) != 0);
}

// The driver of the card library loaded in this process, held loaded for the
// length of one call. Armed faults and the wait mode are the driver's own
// state: they must be set in the driver the library uses, not in the copy
// this control library carries. A program that links the driver itself (no
// libquelt_ox952.so) has only that copy, which is then the one to set; so
// has a Windows build, whose DLL exports its API and nothing else.
class LibraryDriver {
public:
    LibraryDriver() {
#if !defined(_WIN32) && defined(QUELT_LIBRARY_SONAME)
        handle_ = ::dlopen(QUELT_LIBRARY_SONAME, RTLD_LAZY | RTLD_NOLOAD);
        if (!handle_) return;
        auto entry = reinterpret_cast<sim::capi::DriverControlsEntry>(
            ::dlsym(handle_, sim::capi::kDriverControlsEntry));
        const sim::capi::DriverControls* controls = entry ? entry() : nullptr;
        if (controls && controls->size >= sizeof(sim::capi::DriverControls)) controls_ = controls;
#endif
    }
    ~LibraryDriver() {
#if !defined(_WIN32)
        if (handle_) ::dlclose(handle_);
#endif
    }
    LibraryDriver(const LibraryDriver&) = delete;
    LibraryDriver& operator=(const LibraryDriver&) = delete;

    void ArmFault(sim::Fault fault, int device, int times, std::uint32_t errorCode) const {
        if (controls_)
            controls_->armFault(static_cast<int>(fault), device, times, errorCode);
        else
            sim::ArmFault(fault, device, times, errorCode);
    }
    void ClearFaults() const {
        if (controls_)
            controls_->clearFaults();
        else
            sim::ClearFaults();
    }
    void SetImmediateWaits(bool on) const {
        if (controls_)
            controls_->setImmediateWaits(on);
        else
            sim::SetImmediateWaits(on);
    }

private:
    void* handle_ = nullptr;
    const sim::capi::DriverControls* controls_ = nullptr;
};

// Copies text with its zero into out (size bytes), or fails naming what.
void CopyOut(const std::string& text, char* out, std::size_t size, const char* what) {
    if (text.size() + 1 > size)
        Fail(QUELT_SIM_BAD_ARGUMENT, std::string(what) + " holds " + std::to_string(size) + " bytes, " +
                                         std::to_string(text.size() + 1) + " are needed");
    std::memcpy(out, text.c_str(), text.size() + 1);
}

}  // namespace

extern "C" {

QUELT_SIM_API const char* quelt_sim_last_error(void) {
    return lastError.c_str();
}

QUELT_SIM_API const char* quelt_sim_code_name(int code) {
#define QUELT_SIM_NAME_CASE(name) \
    case name:                    \
        return #name;
    switch (code) { QUELT_SIM_CODES(QUELT_SIM_NAME_CASE) }
#undef QUELT_SIM_NAME_CASE
    return "unknown";
}

QUELT_SIM_API int quelt_sim_create(const char* root, unsigned flags) {
    return Call(root, [&] {
        Flags(flags);
        const std::string at = sim::CurrentRoot();
        std::error_code ec;
        std::filesystem::create_directories(at, ec);
        if (ec) Fail(QUELT_SIM_FAILED, "cannot make the machine root " + at + ": " + ec.message());
        if (!(flags & QUELT_SIM_REPLACE) && sim::MachineExists())
            Fail(QUELT_SIM_EXISTS, "a machine already exists at " + at);
        sim::InitMachine((flags & QUELT_SIM_EMPTY) != 0, true);
    });
}

QUELT_SIM_API int quelt_sim_create_temp(unsigned flags, char* root_out, size_t root_size) {
    return Call(nullptr, [&] {
        NeedPointer(root_out, "root_out");
        if (Flags(flags) & QUELT_SIM_REPLACE) Fail(QUELT_SIM_BAD_ARGUMENT, "a new machine replaces nothing");
        const std::string root = sim::CreateTempMachine((flags & QUELT_SIM_EMPTY) == 0);
        if (root.size() + 1 > root_size) {
            sim::DeleteMachine(root);
            Fail(QUELT_SIM_BAD_ARGUMENT, "root_out holds " + std::to_string(root_size) +
                                             " bytes, the root needs " + std::to_string(root.size() + 1));
        }
        std::memcpy(root_out, root.c_str(), root.size() + 1);
    });
}

QUELT_SIM_API int quelt_sim_delete(const char* root) {
    return Call(root, [&] {
        if (!root || !*root) Fail(QUELT_SIM_BAD_ARGUMENT, "the machine to delete must be named by its root");
        // Only a directory that holds a machine is removed, never any directory a caller names.
        RequireMachine();
        sim::DeleteMachine(root);
    });
}

QUELT_SIM_API int quelt_sim_exists(const char* root, int* exists) {
    return Call(root, [&] {
        NeedPointer(exists, "exists");
        *exists = sim::MachineExists() ? 1 : 0;
    });
}

QUELT_SIM_API int quelt_sim_root(const char* root, char* out, size_t size) {
    return Call(root, [&] {
        NeedPointer(out, "out");
        if (size > 0) out[0] = '\0';
        CopyOut(sim::CurrentRoot(), out, size, "out");
    });
}

QUELT_SIM_API int quelt_sim_use_machine(const char* root) {
    return Call(root, [&] {
        try {
            sim::UseMachine();
        } catch (const sim::Error& e) {
            Fail(sim::MachineExists() ? QUELT_SIM_FAILED : QUELT_SIM_NO_MACHINE, e.what());
        }
    });
}

QUELT_SIM_API int quelt_sim_get_driver_version(const char* root, uint32_t* version) {
    return Call(root, [&] {
        NeedPointer(version, "version");
        RequireMachine();
        *version = sim::DriverVersion();
    });
}

QUELT_SIM_API int quelt_sim_set_driver_version(const char* root, uint32_t version) {
    return Call(root, [&] {
        RequireMachine();
        sim::SetDriverVersion(version);
    });
}

QUELT_SIM_API int quelt_sim_default_card(const char* family, int function, quelt_sim_card* card) {
    return Call(nullptr, [&] {
        NeedPointer(family, "family");
        NeedPointer(card, "card");
        const std::string name = family;
        sim::CardConfig c;
        if (name == "ox952")
            c = sim::DefaultCard(sim::CardFamily::OX952);
        else if (name == "ox9162")
            c = sim::DefaultCard(sim::CardFamily::OX9162);
        else if (name == "ep4gxa")
            c = sim::DefaultCard(sim::CardFamily::EP4GXA);
        else
            Fail(QUELT_SIM_BAD_ARGUMENT, "unknown family \"" + name + "\" (ox952, ox9162, ep4gxa)");
        if (function == 1 && name == "ox952")
            c = sim::Ox952Function1(c);
        else if (function != 0)
            Fail(QUELT_SIM_BAD_ARGUMENT, "function " + std::to_string(function) + " of an " + name + " card");
        FromConfig(c, card);
    });
}

QUELT_SIM_API int quelt_sim_add_card(const char* root, const quelt_sim_card* card, int* device) {
    return Call(root, [&] {
        NeedPointer(card, "card");
        const sim::CardConfig config = ToConfig(*card);
        RequireMachine();
        const int n = sim::AddCard(config);
        if (device) *device = n;
    });
}

QUELT_SIM_API int quelt_sim_remove_card(const char* root, int device) {
    return Call(root, [&] {
        RequireDevice(device);
        sim::RemoveCard(device);
    });
}

QUELT_SIM_API int quelt_sim_card_count(const char* root, int* count) {
    return Call(root, [&] {
        NeedPointer(count, "count");
        RequireMachine();
        *count = sim::CardCount();
    });
}

QUELT_SIM_API int quelt_sim_get_card(const char* root, int device, quelt_sim_card* card) {
    return Call(root, [&] {
        NeedPointer(card, "card");
        RequireDevice(device);
        FromConfig(sim::GetCard(device), card);
    });
}

QUELT_SIM_API int quelt_sim_card_problem(const char* root, int device, char* problem, size_t problem_size,
                                         char* file, size_t file_size) {
    return Call(root, [&] {
        NeedPointer(problem, "problem");
        if (file_size > 0) NeedPointer(file, "file");
        RequireDevice(device);
        const sim::CardStatus card = sim::ListCards().at(static_cast<std::size_t>(device - 1));
        if (problem_size > 0) problem[0] = '\0';
        if (file_size > 0) file[0] = '\0';
        CopyOut(card.problem, problem, problem_size, "problem");
        if (file_size > 0) CopyOut(card.file, file, file_size, "file");
    });
}

QUELT_SIM_API int quelt_sim_repair_card(const char* root, int device) {
    return Call(root, [&] {
        RequireDevice(device);
        sim::RepairCard(device);
    });
}

QUELT_SIM_API int quelt_sim_raise_irq(const char* root, int device, uint32_t count) {
    return Call(root, [&] {
        RequireDevice(device);
        sim::RaiseIrq(device, count);
    });
}

QUELT_SIM_API int quelt_sim_read_status(const char* root, int device, uint32_t offset, uint32_t* value) {
    return Call(root, [&] {
        NeedPointer(value, "value");
        if (offset % 4 != 0 || offset > 1020)
            Fail(QUELT_SIM_BAD_ARGUMENT, "status offset " + std::to_string(offset) + " is not a field");
        RequireDevice(device);
        *value = sim::ReadStatusWord(device, offset);
    });
}

QUELT_SIM_API int quelt_sim_write_status(const char* root, int device, uint32_t offset, uint32_t value) {
    return Call(root, [&] {
        if (offset % 4 != 0 || offset > 1020)
            Fail(QUELT_SIM_BAD_ARGUMENT, "status offset " + std::to_string(offset) + " is not a field");
        RequireDevice(device);
        sim::WriteStatusWord(device, offset, value);
    });
}

QUELT_SIM_API int quelt_sim_pending_waits(const char* root, int device, uint32_t* waits) {
    return Call(root, [&] {
        NeedPointer(waits, "waits");
        RequireDevice(device);
        *waits = sim::PendingWaits(device);
    });
}

QUELT_SIM_API int quelt_sim_attached_handles(const char* root, int device, int32_t* handles) {
    return Call(root, [&] {
        NeedPointer(handles, "handles");
        RequireDevice(device);
        *handles = sim::AttachedHandles(device);
    });
}

QUELT_SIM_API int quelt_sim_map_region(const char* root, int device, int region, void** address,
                                       uint64_t* size) {
    return Call(root, [&] {
        NeedPointer(address, "address");
        RequireDevice(device);
        const sim::CardConfig card = sim::GetCard(device);
        if (region < 0 || region >= static_cast<int>(card.regions.size()))
            Fail(QUELT_SIM_BAD_ARGUMENT,
                 "device " + std::to_string(device) + " has no region " + std::to_string(region));
        *address = sim::RegionMemory(device, region);
        if (size) *size = card.regions[static_cast<std::size_t>(region)].size;
    });
}

QUELT_SIM_API int quelt_sim_read_eeprom(const char* root, int device, uint16_t words[64]) {
    return Call(root, [&] {
        NeedPointer(words, "words");
        RequireDevice(device);
        const auto all = sim::EepromWords(device);
        std::copy(all.begin(), all.end(), words);
    });
}

QUELT_SIM_API int quelt_sim_write_eeprom_word(const char* root, int device, int word, uint16_t value) {
    return Call(root, [&] {
        if (word < 0 || word > 63)
            Fail(QUELT_SIM_BAD_ARGUMENT, "EEPROM word " + std::to_string(word) + " is not in 0..63");
        RequireDevice(device);
        sim::SetEepromWord(device, word, value);
    });
}

QUELT_SIM_API int quelt_sim_set_eeprom_mode(const char* root, int device, int mode) {
    return Call(root, [&] {
        sim::EepromMode m{};
        switch (mode) {
            case QUELT_SIM_EEPROM_NORMAL:
                m = sim::EepromMode::Normal;
                break;
            case QUELT_SIM_EEPROM_NEVER_READY:
                m = sim::EepromMode::NeverReady;
                break;
            case QUELT_SIM_EEPROM_ABSENT_HIGH:
                m = sim::EepromMode::AbsentHigh;
                break;
            case QUELT_SIM_EEPROM_ABSENT_LOW:
                m = sim::EepromMode::AbsentLow;
                break;
            default:
                Fail(QUELT_SIM_BAD_ARGUMENT, "unknown EEPROM mode " + std::to_string(mode));
        }
        RequireDevice(device);
        sim::SetEepromMode(device, m);
    });
}

QUELT_SIM_API int quelt_sim_set_eeprom_program_time(const char* root, int device, uint32_t milliseconds) {
    return Call(root, [&] {
        RequireDevice(device);
        sim::SetEepromProgramTime(device, milliseconds);
    });
}

QUELT_SIM_API int quelt_sim_load_file(const char* root, const char* path, unsigned flags) {
    return Call(root, [&] {
        NeedPointer(path, "path");
        if (Flags(flags) & QUELT_SIM_EMPTY)
            Fail(QUELT_SIM_BAD_ARGUMENT, "a machine file says which cards to make");
        Load(sim::machine_file::ReadFile(path), flags);
    });
}

QUELT_SIM_API int quelt_sim_load_text(const char* root, const char* text, unsigned flags) {
    return Call(root, [&] {
        NeedPointer(text, "text");
        if (Flags(flags) & QUELT_SIM_EMPTY)
            Fail(QUELT_SIM_BAD_ARGUMENT, "a machine file says which cards to make");
        Load(sim::machine_file::Parse(text), flags);
    });
}

QUELT_SIM_API int quelt_sim_export_file(const char* root, const char* path) {
    return Call(root, [&] {
        NeedPointer(path, "path");
        RequireMachine();
        const std::string text = sim::machine_file::Write(sim::machine_file::Capture());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) Fail(QUELT_SIM_FAILED, std::string("cannot write ") + path);
    });
}

QUELT_SIM_API int quelt_sim_export_text(const char* root, char* text, size_t size, size_t* needed) {
    return Call(root, [&] {
        if (size > 0) NeedPointer(text, "text");
        RequireMachine();
        const std::string out = sim::machine_file::Write(sim::machine_file::Capture());
        if (needed) *needed = out.size() + 1;
        if (size > 0) text[0] = '\0';
        if (out.size() + 1 > size)
            Fail(QUELT_SIM_BAD_ARGUMENT, "the text holds " + std::to_string(size) +
                                             " bytes, the machine file needs " +
                                             std::to_string(out.size() + 1));
        std::memcpy(text, out.c_str(), out.size() + 1);
    });
}

QUELT_SIM_API int quelt_sim_arm_fault(int fault, int device, int times, uint32_t error_code) {
    return Call(nullptr, [&] {
        if (fault < 0 || fault >= static_cast<int>(std::size(kFaults)))
            Fail(QUELT_SIM_BAD_ARGUMENT, "unknown fault " + std::to_string(fault));
        if (device < 0) Fail(QUELT_SIM_BAD_ARGUMENT, "device " + std::to_string(device));
        if (times < 1) Fail(QUELT_SIM_BAD_ARGUMENT, "a fault is armed for at least one occurrence");
        LibraryDriver().ArmFault(kFaults[fault].fault, device, times, error_code);
    });
}

QUELT_SIM_API int quelt_sim_clear_faults(void) {
    return Call(nullptr, [] { LibraryDriver().ClearFaults(); });
}

QUELT_SIM_API int quelt_sim_set_immediate_waits(int on) {
    return Call(nullptr, [&] { LibraryDriver().SetImmediateWaits(on != 0); });
}

}  // extern "C"
