#pragma once

#include "mox/check.h"
#include "mox/timed_mutex.h"
#include "mox/timeout.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace mox {

// Counting semaphore saturating at max_count. With max_count 1 it is the library's event
// flag: any number of notifications before a take collapse into one.
class semaphore {
public:
    explicit semaphore(int max_count = 1, int initial_count = 0)
        : count(initial_count), max_count(max_count) {
        MOX_ASSERT(max_count >= 1);
        MOX_ASSERT(initial_count >= 0 && initial_count <= max_count);
    }
    semaphore(const semaphore&) = delete;
    semaphore& operator=(const semaphore&) = delete;

    void notify() {
        std::lock_guard lk(mtx);
        if (count < max_count) ++count;
        cv.notify_all();
    }

    bool give() {
        notify();
        return true;
    }

    void notify_all() {
        std::lock_guard lk(mtx);
        count = max_count;
        cv.notify_all();
    }

    void reset(int n = 0) {
        MOX_ASSERT(n >= 0 && n <= max_count);
        std::lock_guard lk(mtx);
        count = n;
    }

    // A finite timeout also bounds the wait for the internal mutex; a zero timeout polls.
    bool wait(timeout t = timeout()) {
        std::unique_lock lk(mtx, std::defer_lock);
        if (t.is_infinite()) {
            lk.lock();
            cv.wait(lk, [this] { return count > 0; });
            --count;
            return true;
        }
        const auto deadline = std::chrono::steady_clock::now() + t.get();
        if (!lk.try_lock_until(deadline)) return false;
        if (t.timeout_ms > 0) cv.wait_until(lk, deadline, [this] { return count > 0; });
        if (count > 0) {
            --count;
            return true;
        }
        return false;
    }

    bool take(timeout t = timeout()) { return wait(t); }

private:
    mox::timed_mutex mtx;
    std::condition_variable_any cv;
    int count;
    int max_count;
};

} // namespace mox
