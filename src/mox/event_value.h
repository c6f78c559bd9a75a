#pragma once

#include "mox/semaphore.h"
#include "mox/timeout.h"

#include <mutex>

namespace mox {

// A value with a one-shot signal that it was set. The value has its own small lock because
// the setter (a receive handler) and the waiter run on different threads.
template <typename T> class event_value {
public:
    explicit event_value(T initial = T{}) : val(initial) {}
    event_value(const event_value&) = delete;
    event_value& operator=(const event_value&) = delete;

    void set(T v) {
        {
            std::lock_guard lk(val_mtx);
            val = v;
        }
        sem.give();
    }

    // Drops a pending signal, then stores v. Clearing the count (rather than a zero-time
    // take, which gives up if another thread holds the semaphore's lock) always drops it.
    void reset(T v) {
        sem.reset(0);
        std::lock_guard lk(val_mtx);
        val = v;
    }

    bool wait(timeout t) { return sem.take(t); }

    bool wait(T& out, timeout t) {
        if (!sem.take(t)) return false;
        out = get();
        return true;
    }

    T get() const {
        std::lock_guard lk(val_mtx);
        return val;
    }

private:
    semaphore sem{1, 0};
    mutable std::mutex val_mtx;
    T val;
};

} // namespace mox
