#pragma once

#include "mox/semaphore.h"

#include <atomic>

namespace mox {

// A value 0..Max written by one worker and read by other threads; each change gives the
// semaphore (a burst of changes may coalesce into one wake-up).
template <typename T, T Max> class progress {
public:
    explicit progress(semaphore& notif) : notif(notif) {}
    progress(const progress&) = delete;
    progress& operator=(const progress&) = delete;

    bool set(T x) {
        if (x > Max) x = Max;
        if (v.exchange(x) == x) return false;
        notif.give();
        return true;
    }

    T value() const { return v; }

private:
    std::atomic<T> v{0};
    semaphore& notif;
};

} // namespace mox
