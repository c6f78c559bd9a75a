#pragma once

#include "mox/mutex.h"

#include <compare>
#include <tuple>

namespace mox {

// Major, minor and patch numbers, filled by one thread and read by others.
template <typename T> class version {
public:
    T M = 0;
    T m = 0;
    T p = 0;

    version() = default;
    version(T major, T minor, T patch) : M(major), m(minor), p(patch) {}
    version(const version& o) { std::tie(M, m, p) = o.get(); }

    // Copies the source under its own lock first, so the two locks are never held together.
    version& operator=(const version& o) {
        if (this == &o) return *this;
        const auto [oM, om, op] = o.get();
        set(oM, om, op);
        return *this;
    }

    void set(T major, T minor, T patch) {
        mutex_lock lk(mtx);
        M = major;
        m = minor;
        p = patch;
    }

    std::tuple<T, T, T> get() const {
        mutex_lock lk(mtx);
        return {M, m, p};
    }

    friend bool operator==(const version& a, const version& b) { return a.get() == b.get(); }
    friend auto operator<=>(const version& a, const version& b) { return a.get() <=> b.get(); }

private:
    mutable mox::mutex mtx;
};

} // namespace mox
