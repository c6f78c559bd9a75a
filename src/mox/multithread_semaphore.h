#pragma once

#include "mox/timeout.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace mox {

// Broadcast release: notify_all_waiters() lets every thread that is waiting at that moment
// pass exactly once; threads that start waiting afterwards wait for the next release.
// A release is identified by a generation number, so a late arrival can never take the
// pass of a thread that was counted.
class multithread_semaphore {
public:
    multithread_semaphore() = default;
    multithread_semaphore(const multithread_semaphore&) = delete;
    multithread_semaphore& operator=(const multithread_semaphore&) = delete;

    bool wait(timeout t = timeout()) {
        const auto deadline = std::chrono::steady_clock::now() + t.get();
        std::unique_lock lk(mtx);
        const uint64_t my_generation = generation;
        ++waiters_count;
        while (generation == my_generation) {
            if (t.is_infinite()) {
                cv.wait(lk);
            } else if (cv.wait_until(lk, deadline) == std::cv_status::timeout) {
                break;
            }
        }
        const bool released = generation != my_generation;
        if (released) --count;
        --waiters_count;
        return released;
    }

    void notify_all_waiters() {
        std::lock_guard lk(mtx);
        count = waiters_count;
        ++generation;
        cv.notify_all();
    }

    // Number of threads currently inside wait().
    int waiters() const { return waiters_count; }

private:
    std::mutex mtx;
    std::condition_variable cv;
    int count = 0; // passes handed out by the last release and not yet used
    std::atomic<int> waiters_count{0};
    uint64_t generation = 0;
};

} // namespace mox
