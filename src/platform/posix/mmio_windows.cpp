// The window registry behind the card-memory accessors on POSIX.
//
// Accesses outside every window must cost next to nothing and must not slow
// each other down across threads, so the path that decides "no window here"
// takes no lock and writes no shared memory:
//  - the accessors first test the page the access starts in (mmio.h);
//  - an access in a page near a window scans a table of window ranges that is
//    published under a sequence count: writers (register, unregister) change
//    it under the registry's mutex between two increments, readers retry when
//    the count moved. Table storage that is replaced is kept, so a reader still
//    scanning it reads valid memory; it grows by doubling, so what is kept is
//    bounded by twice the most windows ever registered at once.
// An access that does touch a window finds it again under the mutex and counts
// itself in the window's in-flight count; the model is called with the mutex
// released, so a model may itself make card-memory accesses. UnregisterWindow
// takes the window out of the lookup at once and then waits until its
// in-flight count is zero: when it returns, no access is inside the model any
// more. A model must not remove its own window from inside Read or Write.
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/fork_safe.h"
#include "platform/mmio.h"

namespace mmio {

namespace detail {
std::atomic<int> windowCount{0};
std::atomic<std::uintptr_t> windowPages[kPageSlots];
}  // namespace detail

namespace {

struct Window {
    int id;
    std::uintptr_t first;
    std::uintptr_t last;  // inclusive, so a window may end at the top of memory
    Model* model;
    int inFlight = 0;
    bool removed = false;  // out of the lookup, draining
};

// One window's bytes as the lock-free scan sees them.
struct Span {
    std::atomic<std::uintptr_t> first;
    std::atomic<std::uintptr_t> last;
};

// Storage for the table; its capacity never changes, so a reader that pairs
// one block with another block's count still stays inside the block.
struct SpanBlock {
    explicit SpanBlock(std::uint32_t n) : capacity(n), spans(std::make_unique<Span[]>(n)) {}
    const std::uint32_t capacity;
    const std::unique_ptr<Span[]> spans;
};

// The live windows' ranges, readable without the lock (see the top of file).
struct SpanTable {
    std::atomic<std::uint64_t> sequence{0};  // odd while a writer changes the table
    std::atomic<std::uint32_t> count{0};
    std::atomic<const SpanBlock*> block{nullptr};
    std::vector<std::unique_ptr<SpanBlock>> storage;  // writers only; never shrinks
};

struct Registry {
    std::condition_variable drained;
    std::list<Window> windows;
    SpanTable table;
    int nextId = 1;

    // In the child only the forking thread exists: accesses other threads had
    // in flight, and removals they were waiting for, are over.
    void AfterForkInChild();
};

// Never destroyed: accesses may come during exit. Its mutex is the registry's
// lock, held across fork (platform/fork_safe.h).
fork_safe::Guarded<Registry>& R() {
    return fork_safe::ProcessWide<Registry>();
}

bool Touches(std::uintptr_t wFirst, std::uintptr_t wLast, std::uintptr_t first, std::uintptr_t last) {
    return first <= wLast && wFirst <= last;
}

// Rewrites the page slots of mmio.h from the live windows: each slot once,
// straight from its old value to its new one. Call with the lock held.
void PublishPages(const Registry& r) {
    using detail::kPageShift;
    using detail::kPageSlots;
    using detail::kSharedSlot;
    std::uintptr_t slots[kPageSlots] = {};
    for (const auto& w : r.windows) {
        if (w.removed) continue;
        // An access of up to 8 bytes that starts up to 7 bytes before the
        // window still reaches it.
        const std::uintptr_t reach = w.first > 7 ? w.first - 7 : 0;
        const std::uintptr_t lastPage = w.last >> kPageShift;
        for (std::uintptr_t page = reach >> kPageShift;; ++page) {
            std::uintptr_t& slot = slots[page % kPageSlots];
            // Page 0 cannot mark itself: 0 is the empty slot.
            slot = page != 0 && (slot == 0 || slot == page) ? page : kSharedSlot;
            if (page == lastPage) break;
        }
    }
    for (std::size_t i = 0; i < kPageSlots; ++i) {
        if (detail::windowPages[i].load(std::memory_order_relaxed) != slots[i])
            detail::windowPages[i].store(slots[i], std::memory_order_relaxed);
    }
}

// Rewrites the lock-free table and the bounds from the live windows. Call with
// the lock held.
void Publish(Registry& r) {
    std::uint32_t live = 0;
    for (const auto& w : r.windows)
        if (!w.removed) ++live;

    SpanTable& t = r.table;
    const std::uint32_t capacity = t.storage.empty() ? 0 : t.storage.back()->capacity;
    if (live > capacity || t.storage.empty()) {
        // Allocated before the table turns odd, so readers never wait on it.
        t.storage.push_back(std::make_unique<SpanBlock>(std::max({8u, capacity * 2, live})));
    }
    SpanBlock& block = *t.storage.back();

    const std::uint64_t s = t.sequence.load(std::memory_order_relaxed);
    // The odd count comes first: a reader that sees any store below also sees
    // it, since those stores release.
    t.sequence.store(s + 1, std::memory_order_relaxed);
    std::uint32_t n = 0;
    for (const auto& w : r.windows) {
        if (w.removed) continue;
        block.spans[n].first.store(w.first, std::memory_order_release);
        block.spans[n].last.store(w.last, std::memory_order_release);
        ++n;
    }
    t.block.store(&block, std::memory_order_release);
    t.count.store(n, std::memory_order_release);
    t.sequence.store(s + 2, std::memory_order_release);

    PublishPages(r);
    detail::windowCount.store(static_cast<int>(n), std::memory_order_release);
}

// Whether a live window holds a byte of [first, last], without the lock.
bool AnyWindowTouches(std::uintptr_t first, std::uintptr_t last) {
    const SpanTable& t = R().value.table;
    for (;;) {
        const std::uint64_t before = t.sequence.load(std::memory_order_acquire);
        if (before & 1u) continue;  // a writer is between its two increments
        const SpanBlock* block = t.block.load(std::memory_order_acquire);
        const std::uint32_t n =
            block ? std::min(t.count.load(std::memory_order_relaxed), block->capacity) : 0;
        bool found = false;
        for (std::uint32_t i = 0; i < n && !found; ++i) {
            found = Touches(block->spans[i].first.load(std::memory_order_acquire),
                            block->spans[i].last.load(std::memory_order_acquire), first, last);
        }
        // The loads above acquire, so this one cannot move before them.
        if (t.sequence.load(std::memory_order_relaxed) == before) return found;
    }
}

void Registry::AfterForkInChild() {
    windows.remove_if([](const Window& w) { return w.removed; });
    for (auto& w : windows) w.inFlight = 0;
    Publish(*this);
}

// The live window holding a byte of [first, last], or null. Call with the
// lock held.
Window* Find(Registry& r, std::uintptr_t first, std::uintptr_t last) {
    for (auto& w : r.windows)
        if (!w.removed && Touches(w.first, w.last, first, last)) return &w;
    return nullptr;
}

// Runs call(model, offset) for the window touched by the access; false when
// none is.
template <typename Call>
bool ThroughModel(const volatile void* addr, unsigned width, Call call) {
    const auto first = reinterpret_cast<std::uintptr_t>(addr);
    const std::uintptr_t last = first + (width - 1);
    if (!AnyWindowTouches(first, last)) return false;
    fork_safe::Guarded<Registry>& guarded = R();
    Registry& r = guarded.value;
    Window* w;
    {
        std::lock_guard g(guarded.mutex);
        w = Find(r, first, last);
        if (!w) return false;
        ++w->inFlight;
    }
    // The window's record stays in the list while inFlight is above zero.
    call(w->model, first - w->first);
    {
        std::lock_guard g(guarded.mutex);
        if (--w->inFlight == 0 && w->removed) r.drained.notify_all();
    }
    return true;
}

}  // namespace

int RegisterWindow(const volatile void* base, std::size_t size, Model* model) {
    if (!base || size == 0 || !model) return -1;
    const auto first = reinterpret_cast<std::uintptr_t>(base);
    if (size - 1 > std::numeric_limits<std::uintptr_t>::max() - first) return -1;
    fork_safe::Guarded<Registry>& guarded = R();
    Registry& r = guarded.value;
    std::lock_guard g(guarded.mutex);
    int id = r.nextId++;
    r.windows.push_back(Window{id, first, first + (size - 1), model});
    Publish(r);
    return id;
}

void UnregisterWindow(int id) {
    fork_safe::Guarded<Registry>& guarded = R();
    Registry& r = guarded.value;
    std::unique_lock g(guarded.mutex);
    auto it = std::find_if(r.windows.begin(), r.windows.end(),
                           [id](const Window& w) { return w.id == id && !w.removed; });
    if (it == r.windows.end()) return;
    it->removed = true;
    Publish(r);
    r.drained.wait(g, [&] { return it->inFlight == 0; });
    r.windows.erase(it);
}

namespace detail {

bool ModelRead(const volatile void* addr, unsigned width, std::uint64_t* value) {
    return ThroughModel(addr, width, [&](Model* m, std::size_t offset) { *value = m->Read(offset, width); });
}

bool ModelWrite(volatile void* addr, unsigned width, std::uint64_t value) {
    return ThroughModel(addr, width, [&](Model* m, std::size_t offset) { m->Write(offset, width, value); });
}

}  // namespace detail

}  // namespace mmio
