// The window registry behind the card-memory accessors on POSIX.
//
// The accessors test windowCount first, so with no window registered an access
// costs one relaxed load beyond the plain volatile access. With windows, an
// access finds its window under the registry's mutex and counts itself in the
// window's in-flight count; the model is called with the mutex released, so a
// model may itself make card-memory accesses. UnregisterWindow takes the
// window out of the lookup at once and then waits until its in-flight count
// is zero: when it returns, no access is inside the model any more. A model
// must not remove its own window from inside Read or Write.
#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>

#include "platform/mmio.h"

namespace mmio {

namespace detail {
std::atomic<int> windowCount{0};
}  // namespace detail

namespace {

struct Window {
    int id;
    std::uintptr_t base;
    std::size_t size;
    Model* model;
    int inFlight = 0;
    bool removed = false;  // out of the lookup, draining
};

struct Registry {
    std::mutex lock;
    std::condition_variable drained;
    std::list<Window> windows;
    int nextId = 1;
};

void ForkChild();

Registry& R() {
    // Never destroyed: accesses may come during exit. Held across fork, so a
    // child never inherits it locked by a thread it does not have.
    static Registry* registry = [] {
        auto* r = new Registry;
        pthread_atfork([] { R().lock.lock(); }, [] { R().lock.unlock(); }, &ForkChild);
        return r;
    }();
    return *registry;
}

// Made while the program starts, before any thread can hold it: a handler
// registered by a first use racing with a fork would come too late.
[[maybe_unused]] const bool kRegistryReady = (R(), true);

// In the child only the forking thread exists: accesses other threads had in
// flight, and removals they were waiting for, are over.
void ForkChild() {
    Registry& r = R();
    r.windows.remove_if([](const Window& w) { return w.removed; });
    for (auto& w : r.windows) w.inFlight = 0;
    r.lock.unlock();
}

// The live window holding addr, or null. Call with the lock held.
Window* Find(Registry& r, const volatile void* addr) {
    auto a = reinterpret_cast<std::uintptr_t>(addr);
    for (auto& w : r.windows)
        if (!w.removed && a >= w.base && a - w.base < w.size) return &w;
    return nullptr;
}

// Runs call(model, offset) for the window holding addr; false when none does.
template <typename Call>
bool ThroughModel(const volatile void* addr, Call call) {
    Registry& r = R();
    Window* w;
    {
        std::lock_guard g(r.lock);
        w = Find(r, addr);
        if (!w) return false;
        ++w->inFlight;
    }
    // The window's record stays in the list while inFlight is above zero.
    call(w->model, reinterpret_cast<std::uintptr_t>(addr) - w->base);
    {
        std::lock_guard g(r.lock);
        if (--w->inFlight == 0 && w->removed) r.drained.notify_all();
    }
    return true;
}

}  // namespace

int RegisterWindow(const volatile void* base, std::size_t size, Model* model) {
    if (!base || size == 0 || !model) return -1;
    Registry& r = R();
    std::lock_guard g(r.lock);
    int id = r.nextId++;
    r.windows.push_back(Window{id, reinterpret_cast<std::uintptr_t>(base), size, model});
    detail::windowCount.fetch_add(1, std::memory_order_release);
    return id;
}

void UnregisterWindow(int id) {
    Registry& r = R();
    std::unique_lock g(r.lock);
    auto it = std::find_if(r.windows.begin(), r.windows.end(),
                           [id](const Window& w) { return w.id == id && !w.removed; });
    if (it == r.windows.end()) return;
    it->removed = true;
    detail::windowCount.fetch_sub(1, std::memory_order_release);
    r.drained.wait(g, [&] { return it->inFlight == 0; });
    r.windows.erase(it);
}

namespace detail {

bool ModelRead(const volatile void* addr, unsigned width, std::uint64_t* value) {
    return ThroughModel(addr, [&](Model* m, std::size_t offset) { *value = m->Read(offset, width); });
}

bool ModelWrite(volatile void* addr, unsigned width, std::uint64_t value) {
    return ThroughModel(addr, [&](Model* m, std::size_t offset) { m->Write(offset, width, value); });
}

}  // namespace detail

}  // namespace mmio
