// The window registry behind the card-memory accessors on POSIX.
//
// The accessors test windowCount first, so with no window registered an access
// costs one relaxed load beyond the plain volatile access. With windows, an
// access takes the registry's lock shared for the whole model call; removing a
// window takes it exclusively, which is what makes UnregisterWindow return
// only when no access is inside a model any more. A model must therefore not
// register or remove windows from inside Read or Write.
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <vector>

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
};

struct Registry {
    std::shared_mutex lock;
    std::vector<Window> windows;
    int nextId = 1;
};

Registry& R() {
    // Never destroyed: accesses may come during exit. Held across fork, so a
    // child never inherits the lock taken by a thread it does not have.
    static Registry* registry = [] {
        auto* r = new Registry;
        // The child has only the forking thread, whose id differs from the
        // one that took the lock: a fresh lock, not an unlock, fits there.
        pthread_atfork([] { R().lock.lock(); }, [] { R().lock.unlock(); },
                       [] { new (&R().lock) std::shared_mutex; });
        return r;
    }();
    return *registry;
}

// The window holding addr, or null. Call with the lock held.
const Window* Find(const std::vector<Window>& windows, const volatile void* addr) {
    auto a = reinterpret_cast<std::uintptr_t>(addr);
    for (const auto& w : windows)
        if (a >= w.base && a - w.base < w.size) return &w;
    return nullptr;
}

}  // namespace

int RegisterWindow(const volatile void* base, std::size_t size, Model* model) {
    if (!base || size == 0 || !model) return -1;
    Registry& r = R();
    std::unique_lock g(r.lock);
    int id = r.nextId++;
    r.windows.push_back({id, reinterpret_cast<std::uintptr_t>(base), size, model});
    detail::windowCount.fetch_add(1, std::memory_order_release);
    return id;
}

void UnregisterWindow(int id) {
    Registry& r = R();
    std::unique_lock g(r.lock);
    auto it = std::find_if(r.windows.begin(), r.windows.end(), [id](const Window& w) { return w.id == id; });
    if (it == r.windows.end()) return;
    r.windows.erase(it);
    detail::windowCount.fetch_sub(1, std::memory_order_release);
}

namespace detail {

bool ModelRead(const volatile void* addr, unsigned width, std::uint64_t* value) {
    Registry& r = R();
    std::shared_lock g(r.lock);
    const Window* w = Find(r.windows, addr);
    if (!w) return false;
    *value = w->model->Read(reinterpret_cast<std::uintptr_t>(addr) - w->base, width);
    return true;
}

bool ModelWrite(volatile void* addr, unsigned width, std::uint64_t value) {
    Registry& r = R();
    std::shared_lock g(r.lock);
    const Window* w = Find(r.windows, addr);
    if (!w) return false;
    w->model->Write(reinterpret_cast<std::uintptr_t>(addr) - w->base, width, value);
    return true;
}

}  // namespace detail

}  // namespace mmio
