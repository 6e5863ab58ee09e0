#include "sim/store.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
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
    return what + " " + path + ": " + os::LastErrorText();
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
    if (os::KindOf(root) != os::PathKind::Directory) Fail(NoMachine(root));
    std::string path = root + "/lock";
    file_ = os::OpenFile(path, os::Access::OpenAlways);
    if (file_ == os::kNoFile) Fail(Errno("cannot open machine lock", path));
    if (!os::LockFile(file_, exclusive)) {
        std::string why = Errno("cannot lock machine", path);
        os::CloseFile(file_);
        Fail(why);
    }
}

MachineLock::~MachineLock() {
    os::CloseFile(file_);  // closing drops the lock
}

namespace {

// Far above what an index of kMaxCards cards takes.
constexpr std::uint64_t kMaxIndexBytes = 64 * 1024;
// What an index of kMaxCards cards with ids of up to ten digits takes.
constexpr std::size_t kCachedIndexBytes = 1024;

// The whole index file; false when it cannot be opened. A file that cannot
// be read whole, or is too large to be an index, is damaged.
bool ReadIndexText(const std::string& root, std::string* text) {
    const os::File file = os::OpenFile(IndexPath(root), os::Access::Read);
    if (file == os::kNoFile) return false;
    std::uint64_t size = 0;
    bool ok = os::FileSize(file, &size) && size <= kMaxIndexBytes;
    if (ok) {
        text->resize(static_cast<std::size_t>(size));
        ok = size == 0 || os::ReadAt(file, text->data(), text->size(), 0);
    }
    os::CloseFile(file);
    if (!ok) Fail("the machine index in " + root + " is damaged");
    return true;
}

MachineIndex ParseIndex(const std::string& root, const std::string& text) {
    std::istringstream in(text);
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
    return out;
}

}  // namespace

bool ReadIndex(const std::string& root, MachineIndex* index) {
    std::string text;
    if (!ReadIndexText(root, &text)) return false;
    // A card scan reads the index once for every device it lists and opens:
    // the same bytes give the same index, so the last parse of this thread is
    // kept, keyed by the whole text (never by times, which a quick rewrite
    // may leave unchanged). Plain data: a thread-local with a destructor
    // would keep the library from ever being unloaded.
    struct LastParse {
        std::size_t textSize;
        char text[kCachedIndexBytes];
        std::uint32_t driverVersion;
        std::uint32_t nextId;
        std::size_t cardCount;
        std::uint32_t ids[kMaxCards];
    };
    thread_local LastParse last{};
    if (last.textSize != 0 && text.size() == last.textSize &&
        std::memcmp(text.data(), last.text, text.size()) == 0) {
        index->driverVersion = last.driverVersion;
        index->nextId = last.nextId;
        index->ids.assign(last.ids, last.ids + last.cardCount);
        return true;
    }
    MachineIndex parsed = ParseIndex(root, text);
    if (text.size() <= sizeof last.text && parsed.ids.size() <= static_cast<std::size_t>(kMaxCards)) {
        last.textSize = text.size();
        std::memcpy(last.text, text.data(), text.size());
        last.driverVersion = parsed.driverVersion;
        last.nextId = parsed.nextId;
        last.cardCount = parsed.ids.size();
        std::copy(parsed.ids.begin(), parsed.ids.end(), last.ids);
    }
    *index = std::move(parsed);
    return true;
}

bool CountCardHandles(os::File file, CardFile* card, os::HandleCounts* counts) {
    os::HandleCounts n;
    if (!os::CountHandles(file, &card->slots, &n)) return false;
    for (int slot = 0; slot < kMarkedSlots; ++slot) {
        if (Shared(card->waitMarks[slot]).load(std::memory_order_acquire) == 0) continue;
        if (os::SlotHeld(file, &card->slots, slot)) ++n.waiting;
    }
    *counts = n;
    return true;
}

bool MarkWaiting(os::File file, CardFile* card, int slot, bool waiting) {
    if (slot >= 0 && slot < kMarkedSlots) {
        Shared(card->waitMarks[slot]).store(waiting ? 1u : 0u, std::memory_order_seq_cst);
        return true;
    }
    return os::MarkSlot(file, &card->slots, slot, waiting);
}

void ClearWaitMark(CardFile* card, int slot) {
    if (slot >= 0 && slot < kMarkedSlots) Shared(card->waitMarks[slot]).store(0u, std::memory_order_seq_cst);
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
    if (!os::RenameOver(tmp, IndexPath(root))) Fail(Errno("cannot write", IndexPath(root)));
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
    std::string why;
    if (!os::MakeDirectories(root, &why)) Fail("cannot make machine root " + root + ": " + why);
}

void EnsureDefaultMachine(const std::string& root) {
    if (os::KindOf(root) == os::PathKind::Missing) {
        if (os::KindOf(MadeMark(root)) != os::PathKind::Missing)
            Fail("the machine at " + root + " was deleted (make a new one with: quelt-sim init)");
        if (!os::MakeDirectory(root)) Fail(Errno("cannot make machine root", root));
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
    os::CloseFile(os::OpenFile(MadeMark(root), os::Access::OpenAlways));
}

// --- Device paths ---

namespace {
constexpr char kPathPrefix[] = "\\\\?\\quelt-sim#";
constexpr char kInterfaceSuffix[] = "#{90c3d703-9505-4887-8924-69f69cb8d5b9}";

// Device paths compare without regard to case, as the system's do.
bool SameText(const char* a, const char* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (std::tolower(x) != std::tolower(y)) return false;
        if (x == 0) return true;
    }
    return true;
}

const char* FindText(const char* text, const char* what) {
    const std::size_t n = std::strlen(what);
    for (; *text; ++text)
        if (SameText(text, what, n)) return text;
    return nullptr;
}

}  // namespace

std::string DevicePath(const CardFile* card) {
    char text[96];
    std::snprintf(text, sizeof text, "ven_%04x&dev_%04x#card-%u", card->vendorId & 0xFFFFu,
                  card->deviceId & 0xFFFFu, card->id);
    return std::string(kPathPrefix) + text + kInterfaceSuffix;
}

bool IsDevicePath(const char* path) {
    return path && SameText(path, kPathPrefix, sizeof kPathPrefix - 1);
}

std::uint32_t CardIdOfPath(const char* path) {
    if (!IsDevicePath(path)) return 0;
    const char* card = FindText(path, "#card-");
    if (!card) return 0;
    char* end = nullptr;
    unsigned long long id = std::strtoull(card + 6, &end, 10);
    if (end == card + 6 || id == 0 || id > UINT32_MAX) return 0;
    if (!SameText(end, kInterfaceSuffix, sizeof kInterfaceSuffix)) return 0;
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
    os::File file = os::OpenFile(path, os::Access::Read);
    if (file == os::kNoFile && os::LastFailure() == os::Failure::NotFound) return "its file is missing";
    if (file == os::kNoFile) Fail(Errno("cannot open card file", path));
    std::uint64_t size = 0;
    if (!os::FileSize(file, &size)) {
        std::string why = Errno("cannot read card file", path);
        os::CloseFile(file);
        Fail(why);
    }
    // A file shorter than the header is not read: the size check names it.
    if (size >= sizeof *card && !os::ReadAt(file, card, sizeof *card, 0)) {
        std::string why = Errno("cannot read card file", path);
        os::CloseFile(file);
        Fail(why);
    }
    os::CloseFile(file);
    *fileSize = size;
    return CardProblem(*card, *fileSize);
}

// --- CardMap ---

CardMap::CardMap(const std::string& path, bool whole) {
    file_ = os::OpenFile(path, os::Access::ReadWrite);
    if (file_ == os::kNoFile) Fail(Errno("cannot open card file", path));
    // Checked against the file as it is before anything is mapped, so that no
    // access through the mapping can fall past its end.
    std::uint64_t fileSize = 0;
    if (!os::FileSize(file_, &fileSize)) {
        std::string why = Errno("cannot read card file", path);
        os::CloseFile(file_);
        file_ = os::kNoFile;
        Fail(why);
    }
    CardFile copy;
    std::memset(&copy, 0, sizeof copy);
    std::string problem = fileSize < kFirstRegionOffset ? CardProblem(copy, fileSize) : "";
    if (problem.empty() && !os::ReadAt(file_, &copy, sizeof copy, 0)) problem = "its header cannot be read";
    if (problem.empty()) problem = CardProblem(copy, fileSize);
    if (!problem.empty()) {
        os::CloseFile(file_);
        file_ = os::kNoFile;
        Fail(DamagedText(path, problem));
    }
    size_ = whole ? static_cast<std::size_t>(fileSize) : kFirstRegionOffset;
    base_ = os::MapFile(file_, 0, size_);
    if (!base_) {
        std::string why = Errno("cannot map card file", path);
        os::CloseFile(file_);
        file_ = os::kNoFile;
        Fail(why);
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
        file_ = other.file_;
        base_ = other.base_;
        size_ = other.size_;
        other.file_ = os::kNoFile;
        other.base_ = nullptr;
        other.size_ = 0;
    }
    return *this;
}

void CardMap::CloseDescriptor() {
    os::CloseFile(file_);
    file_ = os::kNoFile;
}

void CardMap::Release() {
    os::UnmapFile(base_, size_);
    os::CloseFile(file_);
    base_ = nullptr;
    file_ = os::kNoFile;
    size_ = 0;
}

std::uint32_t RequireCardId(const MachineIndex& index, int device) {
    if (device < 1 || device > static_cast<int>(index.ids.size()))
        Fail("no device " + std::to_string(device) + " (the machine has " + std::to_string(index.ids.size()) +
             (index.ids.size() == 1 ? " device)" : " devices)"));
    return index.ids[static_cast<std::size_t>(device - 1)];
}

CardMap MapDevice(int device, bool whole, std::uint32_t* id) {
    std::string root = CurrentRoot();
    MachineLock lock(root, false);
    const std::uint32_t cardId = RequireCardId(RequireIndex(root), device);
    if (id) *id = cardId;
    try {
        return CardMap(CardPath(root, cardId), whole);
    } catch (const Error& e) {
        Fail("device " + std::to_string(device) + ": " + e.what());
    }
}

// --- Card lock ---

CardLock::CardLock(CardFile* card) : card_(card) {
    // A holder that died was changing the published attach count, which is
    // recounted from the slot locks under this lock anyway: nothing to repair.
    os::LockSharedMutex(&card_->lock);
}

CardLock::~CardLock() {
    os::UnlockSharedMutex(&card_->lock);
}

// --- Interrupts and waits ---

void WakeAll(CardFile* card) {
    os::WakeAll(&card->wake);
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
    os::InitSharedMutex(&card->lock);
    os::InitWakeWord(&card->wake);
    os::InitSlotBook(&card->slots);
    os::InitSharedMutex(&card->eeprom.lock);
    for (auto& w : card->eeprom.words) w = 0xFFFF;  // an erased part
    card->eeprom.mode = static_cast<std::uint32_t>(EepromMode::Normal);
    card->eeprom.programMs = 2;
    card->magic = kCardMagic;
}

// The identity words a card reports in its first region.
bool WriteIdentityWords(os::File file, const CardConfig& config) {
    const std::pair<const std::optional<std::uint32_t>*, std::size_t> words[] = {{&config.cardId, 16368},
                                                                                 {&config.serial, 16372}};
    for (const auto& [word, offset] : words) {
        if (!*word) continue;
        std::uint32_t v = **word;
        if (!os::WriteAt(file, &v, 4, kFirstRegionOffset + offset)) return false;
    }
    return true;
}

// A card file being made beside its final name: removed unless kept.
class NewFile {
public:
    explicit NewFile(std::string path) : path_(std::move(path)) {
        file_ = os::OpenFile(path_, os::Access::Create);
        if (file_ == os::kNoFile) Fail(Errno("cannot create card file", path_));
    }
    ~NewFile() {
        os::CloseFile(file_);
        if (!kept_) os::RemoveFile(path_);
    }
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    os::File file() const { return file_; }
    // Renames it to its final name, where readers see it whole or not at all.
    void KeepAs(const std::string& path) {
        os::CloseFile(file_);
        file_ = os::kNoFile;
        if (!os::RenameOver(path_, path)) Fail(Errno("cannot create card file", path));
        kept_ = true;
    }

private:
    std::string path_;
    os::File file_ = os::kNoFile;
    bool kept_ = false;
};

}  // namespace

void CreateCardFile(const std::string& root, std::uint32_t id, const CardConfig& config) {
    const std::uint64_t size = CheckedSize(config);
    const std::string path = CardPath(root, id);
    NewFile file(path + ".new");
    if (!os::SetFileSize(file.file(), size)) Fail(Errno("cannot size card file", path));
    void* base = os::MapFile(file.file(), 0, kFirstRegionOffset);
    if (!base) Fail(Errno("cannot map card file", path));
    FillHeader(static_cast<CardFile*>(base), id, config, size);
    os::UnmapFile(base, kFirstRegionOffset);
    if (!WriteIdentityWords(file.file(), config)) Fail(Errno("cannot write card file", path));
    file.KeepAs(path);
}

}  // namespace sim::store
