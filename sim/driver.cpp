// The simulated card driver behind sim/driver.h: the device listing, and the
// device side of CreateFileA, DeviceIoControl and CloseHandle with the eight
// requests, honouring what the library relies on, request by request.
//
// Shared state lives in the card file (sim/store.h): the status block, the
// regions and the wake word. Whether a handle is attached or waiting is held
// by its slot lock on the card file, which the kernel drops when the process
// dies or execs. What belongs to one open handle (its descriptor, mappings,
// DMA buffers and model windows) lives in the Device below, in the process
// that opened it.
#include "sim/driver.h"

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "driver/contract.h"
#include "platform/fork_safe.h"
#include "sim/hooks.h"
#include "sim/models.h"
#include "sim/os.h"
#include "sim/store.h"

namespace sim::driver {

namespace {

using namespace sim::store;

constexpr DWORD kErrorInvalidFunction = 1;  // a request the driver does not know
constexpr DWORD kErrorNotReady = 21;        // a request that needs an attached handle
constexpr DWORD kErrorFileCorrupt = 1392;   // a damaged card file
constexpr std::uint64_t kMaxDmaSize = std::uint64_t{1} << 30;

struct Mapping {
    void* base = nullptr;
    std::size_t size = 0;
};

void Unmap(Mapping& m) {
    os::UnmapFile(m.base, m.size);
    m = Mapping{};
}

std::atomic<std::uint64_t> nextDmaKey{0x5100};

// Raised in every forked child: handles made before the fork belong to the
// parent, and the child's copies of them are no handles at all.
std::atomic<unsigned> forkGeneration{0};

}  // namespace

class Device {
public:
    // Requests on one handle run one after the other, as for a handle opened
    // without the overlapped flag.
    std::mutex requestLock;

    unsigned generation = 0;  // forkGeneration when opened
    int deviceNumber = 0;
    CardMap card;  // the header and status page, and the descriptor the mappings come from
    // The file that holds the slot lock. It is never mapped: a mapping keeps
    // its open file description alive, and a forked child's copy of the
    // mapping would then keep the parent's lock.
    os::File lockFile = os::kNoFile;
    int slot = -1;  // the handle's slot lock while attached
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

    bool attached() const { return slot >= 0; }
    CardFile* header() const { return card.header(); }
};

namespace {

// The devices open in this process, so that a forked child can give up the
// descriptors it inherited: their slot locks are the parent's, and must go
// when the parent ends, not when the child does.
struct OpenDevices {
    std::set<Device*> devices;

    void AfterForkInChild() {
        forkGeneration.fetch_add(1, std::memory_order_relaxed);
        for (Device* d : devices) {
            d->card.CloseDescriptor();
            os::CloseFile(d->lockFile);
            d->lockFile = os::kNoFile;
        }
    }
};

fork_safe::Guarded<OpenDevices>& Opened() {
    return fork_safe::ProcessWide<OpenDevices>();
}

DWORD FaultError(std::uint32_t armed, DWORD fallback) {
    return armed ? armed : fallback;
}

// Moves the attach count by the change in the handles held since the driver
// last looked: this handle's own attach or detach, and every handle whose
// process died or exec'd meanwhile. The count moves rather than being
// overwritten, so a connection reset that cut it down stays in force. Call
// under the card lock. When the kernel cannot count, only this handle's own
// change is applied: nothing is taken for gone on a guess.
void UpdateAttachCount(Device* d, int change) {
    CardFile* c = d->header();
    HandleCounts n;
    std::int32_t held = c->handlesCounted + change;
    if (CountHandles(d->lockFile, &c->slots, &n)) held = n.attached + (d->attached() ? 1 : 0);
    auto count = Shared(*AttachCount(c));
    std::int32_t v = count.load();
    std::int32_t next;
    do {
        next = v + (held - c->handlesCounted);
        if (next < 0) next = 0;
    } while (!count.compare_exchange_weak(v, next));
    c->handlesCounted = held;
}

void FreeDma(Device* d) {
    for (auto& [key, m] : d->dma) os::FreePages(m.base, m.size);
    d->dma.clear();
}

void UnmapAll(Device* d) {
    for (auto& m : d->regions) Unmap(m);
    d->regions.clear();
    Unmap(d->status);
}

// Undoes an attach: models out, mappings gone, the slot given up.
void Detach(Device* d) {
    if (!d->attached()) return;
    for (auto& [id, model] : d->windows) mmio::UnregisterWindow(id);
    d->windows.clear();
    UnmapAll(d);
    FreeDma(d);
    CardLock lock(d->header());
    ClearWaitMark(d->header(), d->slot);
    ReleaseSlot(d->lockFile, &d->header()->slots, d->slot);
    d->slot = -1;
    UpdateAttachCount(d, -1);
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

// Maps the card's regions and its status page into this process and fills
// the resources from the card's configuration.
bool MapCard(Device* d, DeviceResources* res, DWORD* error) {
    CardFile* c = d->header();
    // The file may have been cut short since the open: checked again against
    // its size now, so that no mapping reaches past its end.
    std::uint64_t fileSize = 0;
    if (!os::FileSize(d->card.file(), &fileSize) || !CardProblem(*c, fileSize).empty()) {
        *error = kErrorFileCorrupt;
        return false;
    }
    int n = c->regionCount < 0 ? 0 : (c->regionCount > kMaxRegions ? kMaxRegions : c->regionCount);
    for (int i = 0; i < n; ++i) {
        const RegionSlot& slot = c->regions[i];
        Mapping m;
        if (!slot.unmapped) {
            m.size = PageRound(slot.size);
            m.base = os::MapFile(d->card.file(), slot.offset, m.size);
            if (!m.base) {
                UnmapAll(d);
                *error = ERROR_NOT_ENOUGH_MEMORY;
                return false;
            }
        }
        d->regions.push_back(m);
        res->regions[i].address = m.base;
        res->regions[i].length = slot.size;
    }
    res->regionCount = n;
    if (c->hasStatusBlock) {
        void* base = os::MapFile(d->card.file(), kStatusOffset, kPage);
        if (!base) {
            UnmapAll(d);
            *error = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
        d->status = Mapping{base, kPage};
    }
    res->statusBlock = d->status.base;
    res->bus = c->bus;
    res->slot = c->slot;
    res->vendorId = c->vendorId;
    res->deviceId = c->deviceId;
    res->pciAddress = c->pciAddress;
    res->irqLine = static_cast<std::uint8_t>(c->irqLine);
    return true;
}

// Takes a slot for the handle and counts it in the attach count.
bool CountIn(Device* d, DWORD* error) {
    CardLock lock(d->header());
    int slot = ClaimSlot(d->lockFile, &d->header()->slots);
    if (slot < 0) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    d->slot = slot;
    // A handle that died waiting on this slot left its mark.
    ClearWaitMark(d->header(), slot);
    UpdateAttachCount(d, +1);
    return true;
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
    if (d->attached()) {
        *error = ERROR_ALREADY_EXISTS;
        return FALSE;
    }
    std::uint32_t armed = 0;
    if (sim::hooks::TakeFault(sim::Fault::AttachFails, d->deviceNumber, &armed)) {
        *error = FaultError(armed, ERROR_GEN_FAILURE);
        return FALSE;
    }
    DeviceResources& res = record.resources;
    std::memset(&res, 0, sizeof res);
    if (!MapCard(d, &res, error)) return FALSE;
    if (!CountIn(d, error)) {
        UnmapAll(d);
        return FALSE;
    }
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

// The wait's end for a time in units of 100 ns; the magnitude is capped at
// about 28 years, far from overflow.
os::Deadline DeadlineOf(std::int64_t units) {
    std::uint64_t mag =
        units < 0 ? static_cast<std::uint64_t>(-(units + 1)) + 1 : static_cast<std::uint64_t>(units);
    constexpr std::uint64_t kMax = std::uint64_t{1} << 53;
    if (mag > kMax) mag = kMax;
    return os::DeadlineAfter(mag);
}

// Blocks until the card's next interrupt, a discard, or the time. While the
// interrupt counter differs from the acknowledged counter an interrupt is
// pending and the wait returns at once: an interrupt that came between the
// caller's look at the counters and this request is never slept through.
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

    CardFile* c = d->header();
    const std::uint32_t irq = Shared(*IrqCounter(c)).load(std::memory_order_acquire);
    if (irq != Shared(*AckCounter(c)).load(std::memory_order_acquire)) return TRUE;

    std::int64_t units;
    std::memcpy(&units, in, 8);
    const os::Deadline deadline = DeadlineOf(units);
    // Taken before the wait is counted: a discard sent by anyone who saw it
    // counted comes after, and ends it.
    const std::uint32_t gen = Shared(c->discardGen).load(std::memory_order_acquire);
    if (!MarkWaiting(d->lockFile, c, d->slot, true)) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return FALSE;
    }
    bool discarded = false;
    for (;;) {
        // Read the word first: a wake between the checks and the sleep
        // changes it, and the sleep then returns at once.
        const std::uint32_t ticket = os::WakeTicket(&c->wake);
        if (Shared(c->discardGen).load(std::memory_order_acquire) != gen) {
            discarded = true;
            break;
        }
        if (Shared(*IrqCounter(c)).load(std::memory_order_acquire) != irq) break;
        if (os::Passed(deadline)) break;
        os::Sleep(&c->wake, ticket, deadline);
    }
    MarkWaiting(d->lockFile, c, d->slot, false);
    // A wake ends the sleep before the deadline; one that is lost leaves the
    // interrupt or the discard to be found only when the time has run out.
    if (os::Passed(deadline)) Shared(c->waitsEndedAtDeadline).fetch_add(1, std::memory_order_release);
    *bytes = discarded ? WAIT_DISCARDED_BYTES : 0;
    return TRUE;
}

BOOL IrqWaits(Device* d, DWORD* bytes, DWORD* error) {
    HandleCounts n;
    // Under the card lock: a slot taken meanwhile has its old mark cleared.
    CardLock lock(d->header());
    if (!CountCardHandles(d->lockFile, d->header(), &n)) {
        *error = ERROR_GEN_FAILURE;
        return FALSE;
    }
    // This handle is not waiting: its requests run one at a time.
    *bytes = n.waiting;
    return TRUE;
}

BOOL DriverVersion(Device* d, DWORD* bytes, DWORD* error) {
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
    m.base = os::AllocatePages(m.size);
    if (!m.base) {
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
    os::FreePages(it->second.base, it->second.size);
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
        case IOCTL_CARD_DRIVER_VERSION:
            return DriverVersion(d, bytes, error);
        case IOCTL_CARD_WAIT_IRQ:
        case IOCTL_CARD_IRQ_WAITS:
        case IOCTL_CARD_DISCARD_WAITS:
        case IOCTL_CARD_ALLOC_DMA:
        case IOCTL_CARD_RELEASE_DMA:
            break;
        default:
            *error = kErrorInvalidFunction;
            return FALSE;
    }
    // The card's requests are for attached handles only.
    if (!d->attached()) {
        *error = kErrorNotReady;
        return FALSE;
    }
    switch (code) {
        case IOCTL_CARD_WAIT_IRQ:
            return Wait(d, in, inSize, bytes, error);
        case IOCTL_CARD_IRQ_WAITS:
            return IrqWaits(d, bytes, error);
        case IOCTL_CARD_DISCARD_WAITS:
            DiscardWaits(d->header());
            return TRUE;
        case IOCTL_CARD_ALLOC_DMA:
            return AllocDma(d, in, inSize, out, outSize, bytes, error);
        default:
            return ReleaseDma(d, in, inSize, error);
    }
}

void Destroy(Device* d) {
    {
        std::lock_guard g(Opened().mutex);
        Opened().value.devices.erase(d);
    }
    {
        std::lock_guard g(d->requestLock);
        Detach(d);
        FreeDma(d);
    }
    os::CloseFile(d->lockFile);
    delete d;
}

bool Inherited(const Device* d) {
    return d->generation != forkGeneration.load(std::memory_order_relaxed);
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
        CardFile header;
        std::uint64_t fileSize = 0;
        if (!ReadCard(CardPath(root, id), &header, &fileSize).empty()) {
            *error = kErrorFileCorrupt;
            return nullptr;
        }
        auto d = std::make_unique<Device>();
        d->card = CardMap(CardPath(root, id), false);
        d->lockFile = os::OpenFile(CardPath(root, id), os::Access::ReadWrite);
        if (d->lockFile == os::kNoFile) {
            *error = os::LastFailure() == os::Failure::TooManyFiles ? ERROR_TOO_MANY_OPEN_FILES
                                                                    : ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        d->deviceNumber = number;
        std::lock_guard g(Opened().mutex);
        d->generation = forkGeneration.load(std::memory_order_relaxed);
        Opened().value.devices.insert(d.get());
        return d.release();
    } catch (const sim::Error&) {
        // The card went away between the listing and the open, or its file
        // is damaged, or no descriptor was left for it.
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
    if (!device || Inherited(device)) {
        err = ERROR_INVALID_HANDLE;  // a forked child's copy is no handle of its own
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
            // Only a test that turned the log on pays for the copy.
            std::vector<std::uint8_t> input;
            const bool logged = sim::hooks::LogOn();
            if (logged && in && inSize)
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
            if (logged)
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
    // A forked child's copy: its descriptor went at the fork and the slot
    // lock is the parent's; the mappings are the child's to drop at exit.
    if (Inherited(device)) return;
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

// What the listing last read of each card file, so that a scan, which lists
// the machine again for every attach, costs one stat per card and not a read.
// A file changed in any way since (size, either time, inode) is read again.
struct CardFileCache {
    struct Entry {
        os::FileStamp stamp;
        bool sound;
        std::string description;
        std::string path;
    };
    std::map<std::string, Entry> entries;  // by card file
};

std::vector<ListedDevice> Snapshot() {
    std::string root = sim::CurrentRoot();
    if (sim::DefaultRootInUse()) EnsureDefaultMachine(root);
    MachineLock lock(root, false);
    MachineIndex index = RequireIndex(root);
    std::vector<ListedDevice> out;
    out.reserve(index.ids.size());
    auto& cache = fork_safe::ProcessWide<CardFileCache>();
    std::lock_guard g(cache.mutex);
    for (std::size_t i = 0; i < index.ids.size(); ++i) {
        // Read, not mapped. A card whose file is damaged or missing is left
        // out of the list; one that cannot be read fails the list, since
        // leaving it out would renumber the devices after it.
        const std::string file = CardPath(root, index.ids[i]);
        os::FileStamp stamp;
        if (!os::StampOf(file, &stamp)) {
            if (os::LastFailure() == os::Failure::NotFound) continue;
            throw sim::Error("cannot read card file " + file + ": " + os::LastErrorText());
        }
        auto it = cache.value.entries.find(file);
        if (it == cache.value.entries.end() || it->second.stamp != stamp) {
            // Stated before it is read: a change in between shows at the next stat.
            CardFile card;
            std::uint64_t fileSize = 0;
            const bool sound = ReadCard(file, &card, &fileSize).empty();
            CardFileCache::Entry e{stamp, sound, sound ? std::string(card.description) : std::string(),
                                   sound ? DevicePath(&card) : std::string()};
            it = cache.value.entries.insert_or_assign(file, std::move(e)).first;
        }
        if (it->second.sound)
            out.push_back({static_cast<int>(i + 1), it->second.description, it->second.path});
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
