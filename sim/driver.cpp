// The simulated card driver behind sim/driver.h: the device listing, and the
// device side of CreateFileA, DeviceIoControl and CloseHandle with the eight
// requests, honouring what the library relies on, request by request.
//
// Shared state lives in the card file (sim/store.h): the status block, the
// regions, the waits in progress and the process table. What belongs to one
// open handle (its mappings, its DMA buffers, its model windows) lives in the
// Device below, in the process that opened it.
#include "sim/driver.h"

#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "driver/contract.h"
#include "sim/hooks.h"
#include "sim/models.h"
#include "sim/store.h"

namespace sim::driver {

namespace {

using namespace sim::store;

constexpr DWORD kErrorInvalidFunction = 1;  // a request the driver does not know
constexpr std::uint64_t kMaxDmaSize = std::uint64_t{1} << 30;

struct Mapping {
    void* base = nullptr;
    std::size_t size = 0;
};

void Unmap(Mapping& m) {
    if (m.base) ::munmap(m.base, m.size);
    m = Mapping{};
}

std::atomic<std::uint64_t> nextDmaKey{0x5100};

}  // namespace

class Device {
public:
    // Requests on one handle run one after the other, as for a handle opened
    // without the overlapped flag.
    std::mutex requestLock;

    int ownerPid = 0;
    int deviceNumber = 0;
    CardMap card;  // header and status page

    bool attached = false;
    std::vector<Mapping> regions;
    Mapping status;
    std::vector<std::pair<int, std::unique_ptr<mmio::Model>>> windows;
    // Buffers by key; a buffer answered with key 0 is kept under a private key.
    std::map<std::uint64_t, Mapping> dma;

    // A CloseHandle that arrives while a request is in progress completes at
    // once; the handle is cleaned up when the last request leaves, as the
    // system does for a file object still referenced by pending I/O.
    std::mutex refLock;
    int refs = 1;
    bool closed = false;

    CardFile* header() const { return card.header(); }
    std::int32_t* attachCount() const { return reinterpret_cast<std::int32_t*>(card.statusWord(12)); }
    std::uint32_t* irqCounter() const { return card.statusWord(4); }
};

namespace {

DWORD FaultError(std::uint32_t armed, DWORD fallback) {
    return armed ? armed : fallback;
}

void DecrementFloor(std::int32_t* field, std::int32_t by) {
    auto a = Shared(*field);
    std::int32_t v = a.load();
    while (!a.compare_exchange_weak(v, v > by ? v - by : 0)) {
    }
}

void DecrementFloor(std::uint32_t* field) {
    auto a = Shared(*field);
    std::uint32_t v = a.load();
    while (!a.compare_exchange_weak(v, v > 0 ? v - 1 : 0)) {
    }
}

void FreeDma(Device* d) {
    for (auto& [key, m] : d->dma) Unmap(m);
    d->dma.clear();
}

// Undoes an attach: models out, mappings gone, the handle no longer counted.
void Detach(Device* d) {
    if (!d->attached) return;
    for (auto& [id, model] : d->windows) mmio::UnregisterWindow(id);
    d->windows.clear();
    for (auto& m : d->regions) Unmap(m);
    d->regions.clear();
    Unmap(d->status);
    FreeDma(d);
    {
        CardLock lock(d->header());
        if (ProcEntry* own = OwnEntry(d->header(), false)) {
            if (own->attached > 0) --own->attached;
        }
        DecrementFloor(d->attachCount(), 1);
    }
    d->attached = false;
}

void PutModels(Device* d, DeviceResources* res) {
    CardFile* c = d->header();
    int r = c->eepromRegion;
    if (r < 0 || r >= static_cast<int>(d->regions.size()) || !d->regions[static_cast<std::size_t>(r)].base)
        return;
    sim::EepromModelFactory factory = sim::CurrentEepromModelFactory();
    if (!factory) return;
    auto* base = static_cast<volatile std::uint8_t*>(res->regions[r].address);
    sim::ModelContext ctx{d->deviceNumber, r, base, static_cast<std::size_t>(c->regions[r].size), &c->eeprom};
    std::unique_ptr<mmio::Model> model;
    try {
        model = factory(ctx);
    } catch (const std::exception&) {
        return;  // the attach stands; the control byte is then plain memory
    }
    if (!model) return;
    int id = mmio::RegisterWindow(base + sim::kEepromControlOffset, 1, model.get());
    if (id >= 0) d->windows.emplace_back(id, std::move(model));
}

BOOL Attach(Device* d, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytes, DWORD* error) {
    if (!in || inSize < ATTACH_RECORD_SIZE || !out || outSize < ATTACH_RECORD_SIZE) {
        *error = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    AttachRecord record;
    std::memcpy(&record, in, sizeof record);
    if (record.recordSize != ATTACH_RECORD_SIZE) {
        *error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if (d->attached) {
        *error = ERROR_ALREADY_EXISTS;
        return FALSE;
    }
    std::uint32_t armed = 0;
    if (sim::hooks::TakeFault(sim::Fault::AttachFails, d->deviceNumber, &armed)) {
        *error = FaultError(armed, ERROR_GEN_FAILURE);
        return FALSE;
    }
    CardFile* c = d->header();
    DeviceResources& res = record.resources;
    std::memset(&res, 0, sizeof res);
    int n = c->regionCount < 0 ? 0 : (c->regionCount > kMaxRegions ? kMaxRegions : c->regionCount);
    for (int i = 0; i < n; ++i) {
        const RegionSlot& slot = c->regions[i];
        Mapping m;
        if (!slot.unmapped) {
            m.size = PageRound(slot.size);
            m.base = ::mmap(nullptr, m.size, PROT_READ | PROT_WRITE, MAP_SHARED, d->card.fd(),
                            static_cast<off_t>(slot.offset));
            if (m.base == MAP_FAILED) {
                for (auto& done : d->regions) Unmap(done);
                d->regions.clear();
                *error = ERROR_NOT_ENOUGH_MEMORY;
                return FALSE;
            }
        }
        d->regions.push_back(m);
        res.regions[i].address = m.base;
        res.regions[i].length = slot.size;
    }
    res.regionCount = n;
    if (c->hasStatusBlock) {
        d->status.size = kPage;
        d->status.base =
            ::mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_SHARED, d->card.fd(), kStatusOffset);
        if (d->status.base == MAP_FAILED) {
            d->status = Mapping{};
            for (auto& done : d->regions) Unmap(done);
            d->regions.clear();
            *error = ERROR_NOT_ENOUGH_MEMORY;
            return FALSE;
        }
    }
    res.statusBlock = d->status.base;
    res.bus = c->bus;
    res.slot = c->slot;
    res.vendorId = c->vendorId;
    res.deviceId = c->deviceId;
    res.pciAddress = c->pciAddress;
    res.irqLine = static_cast<std::uint8_t>(c->irqLine);
    {
        CardLock lock(c);
        ReapDead(c);
        if (ProcEntry* own = OwnEntry(c, true)) ++own->attached;
        Shared(*d->attachCount()).fetch_add(1);
    }
    d->attached = true;
    PutModels(d, &res);

    // A short reply leaves the rest of the caller's record as it was.
    DWORD length = ATTACH_RECORD_SIZE;
    if (sim::hooks::TakeFault(sim::Fault::AttachShortReply, d->deviceNumber, &armed))
        length = armed && armed < ATTACH_RECORD_SIZE ? armed : 300;
    std::memcpy(out, &record, length);
    *bytes = length;
    return TRUE;
}

BOOL DetachRequest(Device* d, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytes, DWORD* error) {
    if (!in || inSize < ATTACH_RECORD_SIZE) {
        *error = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    AttachRecord record;
    std::memcpy(&record, in, sizeof record);
    // Every buffer of the handle goes, the one the record names included.
    Detach(d);
    if (out && outSize >= ATTACH_RECORD_SIZE) {
        std::memcpy(out, &record, sizeof record);
        *bytes = ATTACH_RECORD_SIZE;
    }
    return TRUE;
}

std::int64_t NanosecondsOf(std::int64_t units) {
    // Magnitude in 100 ns units, kept far from overflow (about 31 years).
    std::uint64_t mag =
        units < 0 ? static_cast<std::uint64_t>(-(units + 1)) + 1 : static_cast<std::uint64_t>(units);
    constexpr std::uint64_t kMax = std::uint64_t{1} << 53;
    if (mag > kMax) mag = kMax;
    return static_cast<std::int64_t>(mag * 100);
}

BOOL Wait(Device* d, void* in, DWORD inSize, DWORD* bytes, DWORD* error) {
    if (!in || inSize < 8) {
        *error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    std::uint32_t armed = 0;
    if (sim::hooks::TakeFault(sim::Fault::WaitFails, d->deviceNumber, &armed)) {
        *error = FaultError(armed, ERROR_GEN_FAILURE);
        return FALSE;
    }
    if (sim::hooks::TakeFault(sim::Fault::WaitDiscarded, d->deviceNumber)) {
        *bytes = WAIT_DISCARDED_BYTES;
        return TRUE;
    }
    if (sim::hooks::ImmediateWaits()) return TRUE;

    std::int64_t units;
    std::memcpy(&units, in, 8);
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::nanoseconds(NanosecondsOf(units));

    CardFile* c = d->header();
    std::uint32_t gen;
    std::uint32_t irq;
    {
        CardLock lock(c);
        ProcEntry* own = OwnEntry(c, true);
        if (own) ++own->waits;
        Shared(c->pendingWaits).fetch_add(1);
        gen = Shared(c->discardGen).load();
        irq = Shared(*d->irqCounter()).load();
    }
    bool discarded = false;
    for (;;) {
        // Read the word first: a wake between the checks and the sleep
        // changes it, and the sleep then returns at once.
        std::uint32_t word = Shared(c->wakeWord).load(std::memory_order_acquire);
        if (Shared(c->discardGen).load() != gen) {
            discarded = true;
            break;
        }
        if (Shared(*d->irqCounter()).load() != irq) break;
        auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) break;
        // Sleeps are bounded so a counter changed behind the driver's back
        // (a test writing the status block) is still seen.
        auto slice = std::min<Clock::duration>(left, std::chrono::seconds(1));
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(slice).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        ::syscall(SYS_futex, &c->wakeWord, FUTEX_WAIT, word, &ts, nullptr, 0);
    }
    {
        CardLock lock(c);
        ProcEntry* own = OwnEntry(c, false);
        if (own && own->waits > 0) --own->waits;
        DecrementFloor(&c->pendingWaits);
    }
    *bytes = discarded ? WAIT_DISCARDED_BYTES : 0;
    return TRUE;
}

BOOL AllocDma(Device* d, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytes, DWORD* error) {
    if (!in || inSize < 4) {
        *error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if (!out || outSize < sizeof(DmaReply)) {
        *error = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    std::uint32_t armed = 0;
    if (sim::hooks::TakeFault(sim::Fault::DmaAllocFails, d->deviceNumber, &armed)) {
        *error = FaultError(armed, ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    std::uint32_t size;
    std::memcpy(&size, in, 4);
    if (size == 0) {
        *error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if (size > kMaxDmaSize) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }
    Mapping m;
    m.size = PageRound(size);
    m.base = ::mmap(nullptr, m.size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (m.base == MAP_FAILED) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }
    std::uint64_t key = nextDmaKey.fetch_add(1);
    d->dma[key] = m;
    DmaReply reply{reinterpret_cast<std::uint64_t>(m.base), key, size};
    if (sim::hooks::TakeFault(sim::Fault::DmaZeroKey, d->deviceNumber)) reply.key = 0;
    DWORD length = sizeof reply;
    if (sim::hooks::TakeFault(sim::Fault::DmaShortReply, d->deviceNumber)) length = 16;
    std::memcpy(out, &reply, length);
    *bytes = length;
    return TRUE;
}

BOOL ReleaseDma(Device* d, void* in, DWORD inSize, DWORD* error) {
    if (!in || inSize < 8) {
        *error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    std::uint32_t armed = 0;
    if (sim::hooks::TakeFault(sim::Fault::DmaReleaseFails, d->deviceNumber, &armed)) {
        *error = FaultError(armed, ERROR_GEN_FAILURE);
        return FALSE;
    }
    std::uint64_t key;
    std::memcpy(&key, in, 8);
    auto it = key ? d->dma.find(key) : d->dma.end();
    if (it == d->dma.end()) {
        *error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    Unmap(it->second);
    d->dma.erase(it);
    return TRUE;
}

BOOL Dispatch(Device* d, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytes,
              DWORD* error) {
    switch (code) {
        case IOCTL_CARD_ATTACH:
            return Attach(d, in, inSize, out, outSize, bytes, error);
        case IOCTL_CARD_DETACH:
            return DetachRequest(d, in, inSize, out, outSize, bytes, error);
        case IOCTL_CARD_WAIT_IRQ:
            return Wait(d, in, inSize, bytes, error);
        case IOCTL_CARD_DRIVER_VERSION: {
            std::uint32_t armed = 0;
            if (sim::hooks::TakeFault(sim::Fault::DriverVersionFails, d->deviceNumber, &armed)) {
                *error = FaultError(armed, ERROR_GEN_FAILURE);
                return FALSE;
            }
            std::string root = sim::CurrentRoot();
            MachineLock lock(root, false);
            MachineIndex index;
            if (!ReadIndex(root, &index)) {
                *error = ERROR_GEN_FAILURE;
                return FALSE;
            }
            *bytes = index.driverVersion;
            return TRUE;
        }
        case IOCTL_CARD_IRQ_WAITS: {
            CardLock lock(d->header());
            ReapDead(d->header());
            *bytes = Shared(d->header()->pendingWaits).load();
            return TRUE;
        }
        case IOCTL_CARD_DISCARD_WAITS:
            DiscardWaits(d->header());
            return TRUE;
        case IOCTL_CARD_ALLOC_DMA:
            return AllocDma(d, in, inSize, out, outSize, bytes, error);
        case IOCTL_CARD_RELEASE_DMA:
            return ReleaseDma(d, in, inSize, error);
        default:
            *error = kErrorInvalidFunction;
            return FALSE;
    }
}

void Destroy(Device* d) {
    {
        std::lock_guard g(d->requestLock);
        Detach(d);
        FreeDma(d);
    }
    delete d;
}

}  // namespace

bool IsDevicePath(const char* path) {
    return sim::store::IsDevicePath(path);
}

Device* Open(const char* path, DWORD* error) {
    std::uint32_t id = CardIdOfPath(path);
    if (id == 0) {
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    try {
        std::string root = sim::CurrentRoot();
        int number = 0;
        {
            MachineLock lock(root, false);
            MachineIndex index;
            if (ReadIndex(root, &index)) {
                for (std::size_t i = 0; i < index.ids.size(); ++i)
                    if (index.ids[i] == id) number = static_cast<int>(i + 1);
            }
        }
        if (number == 0) {
            *error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        std::uint32_t armed = 0;
        if (sim::hooks::TakeFault(sim::Fault::CreateFileFails, number, &armed)) {
            *error = FaultError(armed, ERROR_ACCESS_DENIED);
            return nullptr;
        }
        auto d = std::make_unique<Device>();
        d->card = CardMap(CardPath(root, id), false);
        d->ownerPid = static_cast<int>(::getpid());
        d->deviceNumber = number;
        return d.release();
    } catch (const sim::Error&) {
        // The card went away between the listing and the open.
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    } catch (const std::bad_alloc&) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
}

BOOL Control(Device* device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
             DWORD* bytesReturned, DWORD* error) {
    DWORD bytes = 0;
    DWORD err = ERROR_SUCCESS;
    BOOL ok = FALSE;
    if (!device) {
        err = ERROR_INVALID_HANDLE;
    } else if (device->ownerPid != static_cast<int>(::getpid())) {
        // Inherited over fork: no handle of this process.
        err = ERROR_INVALID_HANDLE;
    } else {
        {
            std::lock_guard g(device->refLock);
            if (device->closed) {
                err = ERROR_INVALID_HANDLE;
            } else {
                ++device->refs;
            }
        }
        if (err == ERROR_SUCCESS) {
            std::vector<std::uint8_t> input;
            if (in && inSize)
                input.assign(static_cast<std::uint8_t*>(in), static_cast<std::uint8_t*>(in) + inSize);
            {
                std::lock_guard g(device->requestLock);
                try {
                    ok = Dispatch(device, code, in, inSize, out, outSize, &bytes, &err);
                } catch (const std::exception&) {
                    ok = FALSE;
                    err = ERROR_GEN_FAILURE;
                }
            }
            sim::hooks::LogRequest({device->deviceNumber, code, std::move(input), bytes, ok != FALSE});
            bool last;
            {
                std::lock_guard g(device->refLock);
                last = --device->refs == 0;
            }
            if (last) Destroy(device);
        }
    }
    if (bytesReturned) *bytesReturned = bytes;
    if (error) *error = ok ? ERROR_SUCCESS : err;
    return ok;
}

void Close(Device* device) {
    if (!device) return;
    if (device->ownerPid != static_cast<int>(::getpid())) {
        // A forked child's copy: the mappings are the child's to drop, but
        // the card's counts belong to the parent's handle.
        return;
    }
    bool last;
    {
        std::lock_guard g(device->refLock);
        device->closed = true;
        last = --device->refs == 0;
    }
    if (last) Destroy(device);
}

// --- Device listing ---

namespace {

std::vector<ListedDevice> Snapshot() {
    std::string root = sim::CurrentRoot();
    EnsureMachine(root);
    MachineLock lock(root, false);
    MachineIndex index = RequireIndex(root);
    std::vector<ListedDevice> out;
    for (std::size_t i = 0; i < index.ids.size(); ++i) {
        CardMap map(CardPath(root, index.ids[i]), false);
        CardFile* card = map.header();
        {
            // Like a kernel driver when a process ends: what dead processes
            // left attached or waiting is undone before anyone counts it.
            CardLock cardLock(card);
            ReapDead(card);
        }
        out.push_back({static_cast<int>(i + 1), ConfigOf(card, map.size()).description, DevicePath(card)});
    }
    return out;
}

sim::Fault FaultOf(Step step) {
    switch (step) {
        case Step::ClassDevs:
            return sim::Fault::ClassDevsFails;
        case Step::EnumDevice:
            return sim::Fault::EnumStepFails;
        case Step::Description:
            return sim::Fault::DescriptionUnreadable;
        case Step::Interface:
            return sim::Fault::NoInterface;
        case Step::DevicePath:
            return sim::Fault::NoDevicePath;
        case Step::InstallParams:
            return sim::Fault::InstallParamsFail;
        case Step::InstallDevice:
            return sim::Fault::InstallDeviceFails;
    }
    return sim::Fault::ClassDevsFails;
}

}  // namespace

bool ListDevices(std::vector<ListedDevice>* devices, DWORD* error) {
    try {
        *devices = Snapshot();
        return true;
    } catch (const sim::Error&) {
        *error = ERROR_GEN_FAILURE;
    } catch (const std::bad_alloc&) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
    }
    return false;
}

bool StepFails(Step step, int device, DWORD* error) {
    std::uint32_t armed = 0;
    if (!sim::hooks::TakeFault(FaultOf(step), device, &armed)) return false;
    *error = armed;
    return true;
}

void ListCreated() {
    sim::hooks::DeviceListCreated();
}
void ListDestroyed() {
    sim::hooks::DeviceListDestroyed();
}
InstallParams GetInstallParams(int device) {
    return sim::hooks::GetInstallParams(device);
}
void SetInstallParams(int device, const InstallParams& params) {
    sim::hooks::SetInstallParams(device, params);
}
void CountInstallDevice(int device) {
    sim::hooks::CountInstallDevice(device);
}

}  // namespace sim::driver
