// Process-wide objects that stay usable in a child made by fork.
//
// A forked child has only the thread that called fork. A lock another thread
// held at that moment would stay locked in the child for ever, and whatever
// that thread was in the middle of is over there. ProcessWide<T>() is the one
// object of type T with the mutex that guards it:
//
// - made on first use and never destroyed, since the library's unload runs from
//   a destructor after this translation unit's statics may already be gone;
// - made while the program (or the shared library) starts, so its fork
//   handlers exist before any thread that could race a fork: a handler
//   registered by a first use racing with a fork would come too late;
// - the mutex is held across fork and released on both sides, so neither the
//   parent nor the child sees the object half-changed;
// - a T that keeps per-thread bookkeeping (pins, waiters, accesses in flight)
//   declares `void AfterForkInChild()`, which the child runs alone, with the
//   mutex held, before anything else can reach the object.
//
// Prepare handlers run in the reverse order of registration, so code must
// never hold one of these mutexes while taking another: it would deadlock
// against a fork. Windows has no fork; there the object is only made once.
#pragma once

#include <mutex>

#include "platform/win32.h"

namespace fork_safe {

template <typename T>
struct Guarded {
    std::mutex mutex;
    T value;
};

template <typename T>
concept ResetsAfterFork = requires(T& object) {
    object.AfterForkInChild();
};

template <typename T>
Guarded<T>& ProcessWide();

namespace detail {

template <typename T>
void Prepare() {
    ProcessWide<T>().mutex.lock();
}

template <typename T>
void Parent() {
    ProcessWide<T>().mutex.unlock();
}

// The forking thread locked the mutex in Prepare and is the child's only
// thread, so it is the one that releases it.
template <typename T>
void Child() {
    Guarded<T>& guarded = ProcessWide<T>();
    if constexpr (ResetsAfterFork<T>) guarded.value.AfterForkInChild();
    guarded.mutex.unlock();
}

template <typename T>
Guarded<T>* Make() {
    auto* made = new Guarded<T>;
#if !QUELT_WINDOWS
    ::pthread_atfork(&Prepare<T>, &Parent<T>, &Child<T>);
#endif
    return made;
}

// Instantiated by every use of ProcessWide<T>: its initialiser runs while the
// program starts, which makes the object (and registers its handlers) then.
template <typename T>
struct AtStartup {
    static inline Guarded<T>* const made = &ProcessWide<T>();
};

}  // namespace detail

template <typename T>
Guarded<T>& ProcessWide() {
    static Guarded<T>* const object = detail::Make<T>();
    static_cast<void>(&detail::AtStartup<T>::made);
    return *object;
}

}  // namespace fork_safe
