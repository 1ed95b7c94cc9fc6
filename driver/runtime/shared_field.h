// A record field that is written under a lock but also read without one, on purpose: queue counts,
// window checks, state and flag words. The unlocked reads see some recent value, as on the
// original system; keeping the field atomic (relaxed) makes those reads defined behaviour.
// All-zero memory is a valid zero value, so records holding these may be zero-filled.
#pragma once

#include <atomic>

template <class T>
struct Shared {
    std::atomic<T> v;

    operator T() const { return v.load(std::memory_order_relaxed); }
    T get() const { return v.load(std::memory_order_relaxed); }
    Shared& operator=(T x) {
        v.store(x, std::memory_order_relaxed);
        return *this;
    }
    Shared& operator=(const Shared& o) {
        v.store(o.get(), std::memory_order_relaxed);
        return *this;
    }
    T operator++() { return static_cast<T>(v.fetch_add(1, std::memory_order_relaxed) + 1); }
    T operator--() { return static_cast<T>(v.fetch_sub(1, std::memory_order_relaxed) - 1); }
    T operator++(int) { return v.fetch_add(1, std::memory_order_relaxed); }
    T operator--(int) { return v.fetch_sub(1, std::memory_order_relaxed); }
    T operator+=(T x) { return static_cast<T>(v.fetch_add(x, std::memory_order_relaxed) + x); }
    T operator-=(T x) { return static_cast<T>(v.fetch_sub(x, std::memory_order_relaxed) - x); }
    T operator|=(T x) { return static_cast<T>(v.fetch_or(x, std::memory_order_relaxed) | x); }
    T operator&=(T x) { return static_cast<T>(v.fetch_and(x, std::memory_order_relaxed) & x); }
};
