// What the hot paths need of an open card position, kept in the position's
// own slot: the first regions' addresses and lengths, the status block and
// the entry.
//
// Register access, base addresses and interrupt counters run once per call an
// application makes, so they must not walk from the position through the map,
// the table entry and the handle each time. And they must not read the handle
// at all: a Close in another thread frees it (and the driver unmaps what it
// delivered) at any moment. Every change of an entry's handle (StoreHandle:
// Open, Close, unload) therefore copies what these calls return into the
// slots of the positions that name the entry, as plain values under a
// sequence count; readers take no lock, write nothing, and see either the
// values of one open or "not open".
//
// The status block is the one thing behind a slot that is still read through
// its address (its slot count and counters change while the card is open).
// Readers of it count themselves in (BlockRead), on a counter of their own
// thread's stripe, so two threads do not share a cache line; a Close lets the
// handle go only once every stripe was seen empty after the slot was cleared
// (WaitForBlockReaders).
#pragma once

#include <atomic>
#include <cstdint>

#include "registry/card_table.h"

// The four position maps: the OX952 function-0 and function-1 maps, then the
// OX9162 and EP4GXA maps.
enum class PositionMapId { OX952Function0, OX952Function1, OX9162, EP4GXA };
inline constexpr int POSITION_MAP_COUNT = 4;

// The regions a base-address function can ask for: 0 to 2.
inline constexpr int CACHED_REGIONS = 3;

namespace open_positions_detail {

struct alignas(128) OpenSlot {
    // Odd while Refresh rewrites the slot; readers of several fields retry
    // until they read the same even value before and after. The fields are
    // stored with release and loaded with acquire (no fences: the thread
    // sanitizer does not follow them), which orders them between the two.
    std::atomic<std::uint32_t> sequence;
    // CLOSED_STATE (0, as zero-initialised) while not open; else OPEN_BIT
    // with the number of regions the driver listed (0 to 16), and
    // ODD_DEVICE_BIT set for an odd device id.
    std::atomic<std::int32_t> state;
    // address[0] is null unless region 0 is listed: what register access
    // tests. An address is written after its length and cleared before it,
    // so a reader that finds an address reads that open's length or 0.
    std::atomic<void*> address[CACHED_REGIONS];
    std::atomic<std::uint64_t> length[CACHED_REGIONS];
    // Null while not open; read in a BlockRead only.
    std::atomic<SharedStatusBlock*> block;
    // The entry the map named at the last change; null while none.
    std::atomic<const CardEntry*> entry;
};
static_assert(sizeof(OpenSlot) == 128, "one slot, two cache lines, indexed by a shift");

inline constexpr std::int32_t CLOSED_STATE = 0;
inline constexpr std::int32_t ODD_DEVICE_BIT = 1 << 16;
inline constexpr std::int32_t OPEN_BIT = 1 << 17;

inline constexpr int READER_STRIPES = 16;
struct alignas(64) ReaderStripe {
    std::atomic<std::uint32_t> inside;
};

// In one object, so that a call that counts itself in and reads a slot
// computes one base address.
struct OpenState {
    OpenSlot slots[POSITION_MAP_COUNT][CARD_TABLE_SIZE];
    ReaderStripe blockReaders[READER_STRIPES];
};
extern OpenState openState;

// The stripe of the calling thread, by its stack: threads' stacks lie at
// least a megabyte apart, so different threads mostly get different stripes.
// Which stripe a call takes matters for speed only: it counts itself in and
// out on the same one.
inline ReaderStripe& StripeOfThisThread() {
    // Megabytes and eight-megabyte steps mixed: thread stacks are one (Windows)
    // or eight (Linux) megabytes apart.
    char probe = 0;
    const auto at = reinterpret_cast<std::uintptr_t>(&probe);
    return openState.blockReaders[((at >> 20) ^ (at >> 23)) % READER_STRIPES];
}
static_assert((READER_STRIPES & (READER_STRIPES - 1)) == 0, "a power of two: the stripe is a mask");

inline const OpenSlot& SlotOf(PositionMapId map, std::uint32_t position) {
    return openState.slots[static_cast<int>(map)][position];
}

}  // namespace open_positions_detail

inline constexpr PositionMapId MapIdOf(Family family) {
    return family == Family::OX9162   ? PositionMapId::OX9162
           : family == Family::EP4GXA ? PositionMapId::EP4GXA
                                      : PositionMapId::OX952Function0;
}

// Region 0's address and length when the position is open and lists it with
// an address; address null otherwise. Position below CARD_TABLE_SIZE.
struct RegisterRegion {
    void* address;
    std::uint32_t length;
};
inline RegisterRegion OpenRegisterRegion(PositionMapId map, std::uint32_t position) {
    const auto& slot = open_positions_detail::SlotOf(map, position);
    void* address = slot.address[0].load(std::memory_order_acquire);
    return {address, static_cast<std::uint32_t>(slot.length[0].load(std::memory_order_relaxed))};
}

// One open's view of one region, read consistently: whether the position
// is open, the regions listed, the device id's parity, the region's address
// and length.
struct OpenRegion {
    std::int32_t state;
    void* address;
    std::uint64_t length;
    bool open() const { return state != open_positions_detail::CLOSED_STATE; }
    std::int32_t regionCount() const { return state & (open_positions_detail::ODD_DEVICE_BIT - 1); }
    bool oddDevice() const { return (state & open_positions_detail::ODD_DEVICE_BIT) != 0; }
};
// Reads the position's view of the region. False when Refresh was rewriting
// the slot meanwhile; then ReadOpenRegionAgain gives it.
inline bool TryReadOpenRegion(PositionMapId map, std::uint32_t position, int region, OpenRegion* r) {
    const auto& slot = open_positions_detail::SlotOf(map, position);
    const std::uint32_t before = slot.sequence.load(std::memory_order_acquire);
    *r = {slot.state.load(std::memory_order_acquire), slot.address[region].load(std::memory_order_acquire),
          slot.length[region].load(std::memory_order_acquire)};
    return (before & 1u) == 0 && slot.sequence.load(std::memory_order_relaxed) == before;
}
// Retries until it reads one state whole.
OpenRegion ReadOpenRegionAgain(PositionMapId map, std::uint32_t position, int region);

// Counts the calling thread in as a reader of status blocks for its
// lifetime: a block read from a slot meanwhile stays mapped.
class BlockRead {
public:
    BlockRead() : stripe_(open_positions_detail::StripeOfThisThread()) {
        stripe_.inside.fetch_add(1, std::memory_order_seq_cst);
    }
    ~BlockRead() { stripe_.inside.fetch_sub(1, std::memory_order_release); }
    BlockRead(const BlockRead&) = delete;
    BlockRead& operator=(const BlockRead&) = delete;

private:
    open_positions_detail::ReaderStripe& stripe_;
};

// The status block of the open position, or null; read inside a BlockRead.
inline SharedStatusBlock* OpenStatusBlock(PositionMapId map, std::uint32_t position) {
    return open_positions_detail::SlotOf(map, position).block.load(std::memory_order_seq_cst);
}

// Whether the position is open, and its status block (null when the card has
// none), read consistently inside a BlockRead.
struct OpenBlock {
    bool open;
    SharedStatusBlock* block;
};
// Retries until it reads one state whole.
OpenBlock ReadOpenBlock(PositionMapId map, std::uint32_t position);

// The entry behind a position as the last change left it, or null.
inline const CardEntry* OpenEntry(PositionMapId map, std::uint32_t position) {
    return open_positions_detail::SlotOf(map, position).entry.load(std::memory_order_relaxed);
}

// Brings every position whose map names `entry`, or named it at the last
// change, up to date with the entry's handle. Called by StoreHandle, under
// the DriverLock (or in a child of fork, alone).
void RefreshOpenPositions(const CardEntry& entry);

// Returns once every status-block reader that may have read a block before
// the last RefreshOpenPositions has left it. At the end of a process whose
// other threads are gone it does not wait for them.
void WaitForBlockReaders();

// Readers counted in at this moment (tests).
std::uint32_t BlockReadersInside();

// Every position back to not open (load, and when the maps are reset); the
// reader counts too, in a child of fork.
void ForgetOpenPositions();
void ForgetBlockReaders();

// The entry a position's map names as it stands, never building the map.
const CardEntry* MappedEntry(PositionMapId map, std::uint32_t position);
