#include "sim/store.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <utility>

namespace sim::store {

namespace {

[[noreturn]] void Fail(const std::string& what) {
    throw Error(what);
}

std::string Errno(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

std::string IndexPath(const std::string& root) {
    return root + "/machine";
}
std::string CardPath(const std::string& root, std::uint32_t id) {
    return root + "/card-" + std::to_string(id);
}

std::string NoMachine(const std::string& root) {
    return "no machine at " + root + " (make one with: quelt-sim init)";
}

MachineLock::MachineLock(const std::string& root, bool exclusive) {
    // The root is made only by whoever makes a machine: a lock never makes it.
    struct stat st {};
    if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) Fail(NoMachine(root));
    std::string path = root + "/lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) Fail(Errno("cannot open machine lock", path));
    while (::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR) {
            ::close(fd_);
            Fail(Errno("cannot lock machine", path));
        }
    }
}

MachineLock::~MachineLock() {
    if (fd_ >= 0) ::close(fd_);  // closing drops the flock
}

bool ReadIndex(const std::string& root, MachineIndex* index) {
    std::ifstream in(IndexPath(root));
    if (!in) return false;
    std::string magic;
    int version = 0;
    in >> magic >> version;
    if (magic != "quelt-sim-machine" || version != 1) Fail("the machine index in " + root + " is damaged");
    MachineIndex out;
    out.ids.clear();
    std::string key;
    while (in >> key) {
        if (key == "driver-version") {
            in >> out.driverVersion;
        } else if (key == "next-id") {
            in >> out.nextId;
        } else if (key == "cards") {
            std::size_t n = 0;
            in >> n;
            if (n > static_cast<std::size_t>(kMaxCards)) Fail("the machine index in " + root + " is damaged");
            out.ids.resize(n);
            for (auto& id : out.ids) in >> id;
        }
        if (!in) Fail("the machine index in " + root + " is damaged");
    }
    *index = out;
    return true;
}

void WriteIndex(const std::string& root, const MachineIndex& index) {
    std::ostringstream text;
    text << "quelt-sim-machine 1\n"
         << "driver-version " << index.driverVersion << "\n"
         << "next-id " << index.nextId << "\n"
         << "cards " << index.ids.size();
    for (auto id : index.ids) text << ' ' << id;
    text << "\n";
    // Written beside and renamed over, so readers never see half an index.
    std::string tmp = IndexPath(root) + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << text.str();
        out.flush();
        if (!out) Fail("cannot write the machine index in " + root);
    }
    if (std::rename(tmp.c_str(), IndexPath(root).c_str()) != 0) Fail(Errno("cannot write", IndexPath(root)));
}

MachineIndex RequireIndex(const std::string& root) {
    MachineIndex index;
    if (!ReadIndex(root, &index)) Fail(NoMachine(root));
    return index;
}

namespace {

// Left beside the default root once a machine was made there: a default
// machine deleted while processes may still use it is then not replaced
// behind their backs; only `quelt-sim init` makes a new one.
std::string MadeMark(const std::string& root) {
    return root + ".made";
}

}  // namespace

void MakeRoot(const std::string& root) {
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    if (ec) Fail("cannot make machine root " + root + ": " + ec.message());
    ::chmod(root.c_str(), 0700);
}

void EnsureDefaultMachine(const std::string& root) {
    struct stat st {};
    if (::stat(root.c_str(), &st) != 0) {
        if (::access(MadeMark(root).c_str(), F_OK) == 0)
            Fail("the machine at " + root + " was deleted (make a new one with: quelt-sim init)");
        if (::mkdir(root.c_str(), 0700) != 0 && errno != EEXIST)
            Fail(Errno("cannot make machine root", root));
    }
    MachineIndex index;
    {
        MachineLock shared(root, false);
        if (ReadIndex(root, &index)) return;
    }
    MachineLock lock(root, true);
    if (ReadIndex(root, &index)) return;  // another process was first
    index = MachineIndex{};
    for (const auto& card : DefaultMachine()) {
        CreateCardFile(root, index.nextId, card);
        index.ids.push_back(index.nextId++);
    }
    WriteIndex(root, index);
    MarkMade(root);
}

void MarkMade(const std::string& root) {
    int fd = ::open(MadeMark(root).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
}

// --- Device paths ---

namespace {
constexpr char kPathPrefix[] = "\\\\?\\quelt-sim#";
constexpr char kInterfaceSuffix[] = "#{90c3d703-9505-4887-8924-69f69cb8d5b9}";
}  // namespace

std::string DevicePath(const CardFile* card) {
    char text[96];
    std::snprintf(text, sizeof text, "ven_%04x&dev_%04x#card-%u", card->vendorId & 0xFFFFu,
                  card->deviceId & 0xFFFFu, card->id);
    return std::string(kPathPrefix) + text + kInterfaceSuffix;
}

bool IsDevicePath(const char* path) {
    return path && strncasecmp(path, kPathPrefix, sizeof kPathPrefix - 1) == 0;
}

std::uint32_t CardIdOfPath(const char* path) {
    if (!IsDevicePath(path)) return 0;
    const char* card = strcasestr(path, "#card-");
    if (!card) return 0;
    char* end = nullptr;
    unsigned long id = std::strtoul(card + 6, &end, 10);
    if (end == card + 6 || id == 0 || id > UINT32_MAX) return 0;
    if (strcasecmp(end, kInterfaceSuffix) != 0) return 0;
    return static_cast<std::uint32_t>(id);
}

// --- Card file checks ---

std::string CardProblem(const CardFile& card, std::uint64_t fileSize) {
    auto number = [](std::uint64_t v) { return std::to_string(v); };
    if (fileSize < kFirstRegionOffset)
        return "it is " + number(fileSize) + " bytes long, shorter than its header (" +
               number(kFirstRegionOffset) + ")";
    if (card.magic != kCardMagic) return "it is not a card file (wrong mark)";
    if (card.layout != kLayoutVersion)
        return "its layout version is " + number(card.layout) + ", not " + number(kLayoutVersion);
    if (strnlen(card.description, sizeof card.description) > kMaxDescription)
        return "its description is not terminated";
    if (card.regionCount < 0 || card.regionCount > kMaxRegions)
        return "its region count " + std::to_string(card.regionCount) + " is outside 0.." +
               number(kMaxRegions);
    for (int i = 0; i < card.regionCount; ++i) {
        const RegionSlot& r = card.regions[i];
        const std::string which = "region " + std::to_string(i);
        if (r.size == 0 || r.size > (std::uint64_t{1} << 30)) return which + " has size " + number(r.size);
        if (r.offset % kPage != 0 || r.offset < kFirstRegionOffset)
            return which + " starts at " + number(r.offset) + ", not on a page after the header";
        if (r.offset > fileSize || PageRound(r.size) > fileSize - r.offset)
            return which + " (" + number(r.size) + " bytes at " + number(r.offset) +
                   ") lies past the end of the file (" + number(fileSize) + " bytes)";
    }
    if (card.eepromRegion < -1 || card.eepromRegion >= card.regionCount)
        return "its EEPROM region " + std::to_string(card.eepromRegion) + " is not one of its regions";
    if (card.eepromRegion >= 0 && card.regions[card.eepromRegion].size < 4)
        return "its EEPROM region is too small for the control byte";
    if ((card.hasCardId || card.hasSerial) && (card.regionCount < 1 || card.regions[0].size < 16376))
        return "it has identity words but region 0 cannot hold them";
    return "";
}

std::string DamagedText(const std::string& path, const std::string& problem) {
    return "card file " + path + " is damaged: " + problem + " (quelt-sim repair or quelt-sim remove)";
}

std::string ReadCard(const std::string& path, CardFile* card, std::uint64_t* fileSize) {
    std::memset(card, 0, sizeof *card);
    *fileSize = 0;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return "its file is missing";
    if (fd < 0) Fail(Errno("cannot open card file", path));
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    ssize_t got = ok ? ::pread(fd, card, sizeof *card, 0) : -1;
    int saved = errno;
    ::close(fd);
    if (got < 0) {
        errno = saved;
        Fail(Errno("cannot read card file", path));
    }
    *fileSize = static_cast<std::uint64_t>(st.st_size);
    return CardProblem(*card, *fileSize);
}

// --- CardMap ---

CardMap::CardMap(const std::string& path, bool whole) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) Fail(Errno("cannot open card file", path));
    // Checked against the file as it is before anything is mapped, so that no
    // access through the mapping can fall past its end.
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        int saved = errno;
        ::close(fd_);
        fd_ = -1;
        errno = saved;
        Fail(Errno("cannot read card file", path));
    }
    CardFile copy;
    std::memset(&copy, 0, sizeof copy);
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);
    std::string problem = fileSize < kFirstRegionOffset ? CardProblem(copy, fileSize) : "";
    if (problem.empty() && ::pread(fd_, &copy, sizeof copy, 0) != static_cast<ssize_t>(sizeof copy))
        problem = "its header cannot be read";
    if (problem.empty()) problem = CardProblem(copy, fileSize);
    if (!problem.empty()) {
        ::close(fd_);
        fd_ = -1;
        Fail(DamagedText(path, problem));
    }
    size_ = whole ? static_cast<std::size_t>(fileSize) : kFirstRegionOffset;
    base_ = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (base_ == MAP_FAILED) {
        base_ = nullptr;
        ::close(fd_);
        fd_ = -1;
        Fail(Errno("cannot map card file", path));
    }
}

CardMap::~CardMap() {
    Release();
}

CardMap::CardMap(CardMap&& other) noexcept {
    *this = std::move(other);
}

CardMap& CardMap::operator=(CardMap&& other) noexcept {
    if (this != &other) {
        Release();
        fd_ = other.fd_;
        base_ = other.base_;
        size_ = other.size_;
        other.fd_ = -1;
        other.base_ = nullptr;
        other.size_ = 0;
    }
    return *this;
}

void CardMap::CloseDescriptor() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void CardMap::Release() {
    if (base_) ::munmap(base_, size_);
    if (fd_ >= 0) ::close(fd_);
    base_ = nullptr;
    fd_ = -1;
    size_ = 0;
}

CardMap MapDevice(int device, bool whole, std::uint32_t* id) {
    std::string root = CurrentRoot();
    MachineLock lock(root, false);
    MachineIndex index = RequireIndex(root);
    if (device < 1 || device > static_cast<int>(index.ids.size()))
        Fail("no device " + std::to_string(device) + " (the machine has " + std::to_string(index.ids.size()) +
             (index.ids.size() == 1 ? " device)" : " devices)"));
    std::uint32_t cardId = index.ids[static_cast<std::size_t>(device - 1)];
    if (id) *id = cardId;
    try {
        return CardMap(CardPath(root, cardId), whole);
    } catch (const Error& e) {
        Fail("device " + std::to_string(device) + ": " + e.what());
    }
}

// --- Card lock ---

void InitSharedMutex(pthread_mutex_t* mutex) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

CardLock::CardLock(CardFile* card) : card_(card) {
    int rc = pthread_mutex_lock(&card_->lock);
    // Its holder died: what it was changing is the published attach count,
    // which is recounted from the slot locks under this lock anyway.
    if (rc == EOWNERDEAD) pthread_mutex_consistent(&card_->lock);
}

CardLock::~CardLock() {
    pthread_mutex_unlock(&card_->lock);
}

// --- Handle slots ---

namespace {

bool SetLock(int fd, short type, off_t start) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = 1;
    while (::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

}  // namespace

int ClaimSlot(int fd) {
    for (int slot = 0; slot < kSlotLimit; ++slot) {
        // A write lock first: it is only granted on a byte nobody locks.
        if (SetLock(fd, F_WRLCK, kSlotBase + slot)) {
            if (SetLock(fd, F_RDLCK, kSlotBase + slot)) return slot;
            int saved = errno;
            SetLock(fd, F_UNLCK, kSlotBase + slot);
            errno = saved;
            return -1;
        }
        if (errno != EAGAIN && errno != EACCES) return -1;
    }
    errno = ENOLCK;
    return -1;
}

bool MarkSlot(int fd, int slot, bool waiting) {
    return SetLock(fd, waiting ? F_WRLCK : F_RDLCK, kSlotBase + slot);
}

void ReleaseSlot(int fd, int slot) {
    SetLock(fd, F_UNLCK, kSlotBase + slot);
}

bool CountHandles(int fd, HandleCounts* counts) {
    HandleCounts n;
    // The kernel reports one conflicting lock of a range, not necessarily the
    // lowest: split the range around each one found.
    std::vector<std::pair<off_t, off_t>> ranges{{kSlotBase, kSlotBase + kSlotLimit}};
    while (!ranges.empty()) {
        auto [from, to] = ranges.back();
        ranges.pop_back();
        if (from >= to) continue;
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = from;
        fl.l_len = to - from;
        if (::fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
        if (fl.l_type == F_UNLCK) continue;
        off_t lo = std::max(fl.l_start, from);
        off_t hi = fl.l_len == 0 ? to : std::min(fl.l_start + fl.l_len, to);
        n.attached += static_cast<std::int32_t>(hi - lo);
        if (fl.l_type == F_WRLCK) n.waiting += static_cast<std::uint32_t>(hi - lo);
        ranges.emplace_back(from, lo);
        ranges.emplace_back(hi, to);
    }
    *counts = n;
    return true;
}

// --- Interrupts and waits ---

void WakeAll(CardFile* card) {
    Shared(card->wakeWord).fetch_add(1, std::memory_order_release);
    ::syscall(SYS_futex, &card->wakeWord, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

std::uint32_t* IrqCounter(CardFile* card) {
    return reinterpret_cast<std::uint32_t*>(reinterpret_cast<std::uint8_t*>(card) + kStatusOffset + 4);
}
std::uint32_t* AckCounter(CardFile* card) {
    return reinterpret_cast<std::uint32_t*>(reinterpret_cast<std::uint8_t*>(card) + kStatusOffset + 8);
}
std::int32_t* AttachCount(CardFile* card) {
    return reinterpret_cast<std::int32_t*>(reinterpret_cast<std::uint8_t*>(card) + kStatusOffset + 12);
}

void RaiseIrq(CardFile* card, std::uint32_t count) {
    Shared(*IrqCounter(card)).fetch_add(count, std::memory_order_acq_rel);
    WakeAll(card);
}

void DiscardWaits(CardFile* card) {
    Shared(card->discardGen).fetch_add(1, std::memory_order_acq_rel);
    WakeAll(card);
}

// --- Card files ---

CardConfig ConfigOf(const CardFile* card, std::size_t mappedSize) {
    CardConfig c;
    c.description.assign(card->description, strnlen(card->description, kMaxDescription));
    c.vendorId = card->vendorId;
    c.deviceId = card->deviceId;
    c.bus = card->bus;
    c.slot = card->slot;
    c.pciAddress = card->pciAddress;
    c.irqLine = static_cast<std::uint8_t>(card->irqLine);
    c.statusBlock = card->hasStatusBlock != 0;
    c.eepromRegion = card->eepromRegion;
    int n = card->regionCount < 0 ? 0 : (card->regionCount > kMaxRegions ? kMaxRegions : card->regionCount);
    for (int i = 0; i < n; ++i) c.regions.push_back({card->regions[i].size, card->regions[i].unmapped != 0});
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(card);
    if (n > 0 && card->regions[0].size >= 16376 && card->regions[0].offset + 16376 <= mappedSize) {
        std::uint32_t v;
        if (card->hasCardId) {
            std::memcpy(&v, bytes + card->regions[0].offset + 16368, 4);
            c.cardId = v;
        }
        if (card->hasSerial) {
            std::memcpy(&v, bytes + card->regions[0].offset + 16372, 4);
            c.serial = v;
        }
    }
    return c;
}

namespace {

// Checks a configuration as a card file would hold it; returns the file's size.
std::uint64_t CheckedSize(const CardConfig& config) {
    if (config.description.size() > kMaxDescription)
        Fail("description longer than " + std::to_string(kMaxDescription) + " characters");
    if (config.description.find('\0') != std::string::npos) Fail("description holds a zero character");
    if (config.regions.size() > static_cast<std::size_t>(kMaxRegions))
        Fail("more than " + std::to_string(kMaxRegions) + " regions");
    std::uint64_t size = kFirstRegionOffset;
    for (const auto& r : config.regions) {
        if (r.size == 0) Fail("a region of size 0");
        if (r.size > (std::uint64_t{1} << 30)) Fail("a region larger than 1 GiB");
        size += PageRound(r.size);
    }
    if ((config.cardId || config.serial) && (config.regions.empty() || config.regions[0].size < 16376))
        Fail("a card id or serial number needs region 0 of at least 16376 bytes");
    if (config.eepromRegion >= static_cast<int>(config.regions.size()) || config.eepromRegion < -1)
        Fail("the EEPROM region " + std::to_string(config.eepromRegion) + " is not a region of the card");
    if (config.eepromRegion >= 0 && config.regions[static_cast<std::size_t>(config.eepromRegion)].size < 4)
        Fail("the EEPROM region is too small for its control byte");
    return size;
}

// Fills the header of a zero-filled card file. The mark goes in last.
void FillHeader(CardFile* card, std::uint32_t id, const CardConfig& config, std::uint64_t size) {
    card->layout = kLayoutVersion;
    card->id = id;
    card->hasStatusBlock = config.statusBlock ? 1 : 0;
    std::memcpy(card->description, config.description.data(), config.description.size());
    card->vendorId = config.vendorId;
    card->deviceId = config.deviceId;
    card->bus = config.bus;
    card->slot = config.slot;
    card->pciAddress = config.pciAddress;
    card->irqLine = config.irqLine;
    card->regionCount = static_cast<std::int32_t>(config.regions.size());
    card->eepromRegion = config.eepromRegion;
    card->fileSize = size;
    card->hasCardId = config.cardId ? 1 : 0;
    card->hasSerial = config.serial ? 1 : 0;
    std::uint64_t at = kFirstRegionOffset;
    for (std::size_t i = 0; i < config.regions.size(); ++i) {
        card->regions[i] = RegionSlot{config.regions[i].size, at, config.regions[i].unmapped ? 1u : 0u, 0};
        at += PageRound(config.regions[i].size);
    }
    InitSharedMutex(&card->lock);
    InitSharedMutex(&card->eeprom.lock);
    for (auto& w : card->eeprom.words) w = 0xFFFF;  // an erased part
    card->eeprom.mode = static_cast<std::uint32_t>(EepromMode::Normal);
    card->eeprom.programMs = 2;
    card->magic = kCardMagic;
}

// The identity words a card reports in its first region.
bool WriteIdentityWords(int fd, const CardConfig& config) {
    const std::pair<const std::optional<std::uint32_t>*, std::size_t> words[] = {{&config.cardId, 16368},
                                                                                 {&config.serial, 16372}};
    for (const auto& [word, offset] : words) {
        if (!*word) continue;
        std::uint32_t v = **word;
        if (::pwrite(fd, &v, 4, static_cast<off_t>(kFirstRegionOffset + offset)) != 4) return false;
    }
    return true;
}

// A card file being made beside its final name: removed unless kept.
class NewFile {
public:
    explicit NewFile(std::string path) : path_(std::move(path)) {
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd_ < 0) Fail(Errno("cannot create card file", path_));
    }
    ~NewFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!kept_) ::unlink(path_.c_str());
    }
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    int fd() const { return fd_; }
    // Renames it to its final name, where readers see it whole or not at all.
    void KeepAs(const std::string& path) {
        ::close(fd_);
        fd_ = -1;
        if (std::rename(path_.c_str(), path.c_str()) != 0) Fail(Errno("cannot create card file", path));
        kept_ = true;
    }

private:
    std::string path_;
    int fd_ = -1;
    bool kept_ = false;
};

}  // namespace

void CreateCardFile(const std::string& root, std::uint32_t id, const CardConfig& config) {
    const std::uint64_t size = CheckedSize(config);
    const std::string path = CardPath(root, id);
    NewFile file(path + ".new");
    if (::ftruncate(file.fd(), static_cast<off_t>(size)) != 0) Fail(Errno("cannot size card file", path));
    void* base = ::mmap(nullptr, kFirstRegionOffset, PROT_READ | PROT_WRITE, MAP_SHARED, file.fd(), 0);
    if (base == MAP_FAILED) Fail(Errno("cannot map card file", path));
    FillHeader(static_cast<CardFile*>(base), id, config, size);
    ::munmap(base, kFirstRegionOffset);
    if (!WriteIdentityWords(file.fd(), config)) Fail(Errno("cannot write card file", path));
    file.KeepAs(path);
}

}  // namespace sim::store
