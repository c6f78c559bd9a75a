#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace mox {

// A timed mutex built on a plain mutex and a condition variable. std::timed_mutex locks
// with a deadline through pthread_mutex_clocklock, which the thread sanitizer of our
// toolchain does not see, so every hand-over through a bounded lock looked like a race;
// here each hand-over passes through the inner mutex, which every tool understands.
class timed_mutex {
public:
    timed_mutex() = default;
    timed_mutex(const timed_mutex&) = delete;
    timed_mutex& operator=(const timed_mutex&) = delete;

    void lock() {
        std::unique_lock lk(m);
        if (held) {
            ++waiting;
            cv.wait(lk, [this] { return !held; });
            --waiting;
        }
        held = true;
    }

    bool try_lock() {
        std::lock_guard lk(m);
        if (held) return false;
        held = true;
        return true;
    }

    template <class Rep, class Period>
    bool try_lock_for(const std::chrono::duration<Rep, Period>& d) {
        return try_lock_until(std::chrono::steady_clock::now() + d);
    }

    template <class Clock, class Duration>
    bool try_lock_until(const std::chrono::time_point<Clock, Duration>& deadline) {
        std::unique_lock lk(m);
        if (held) {
            ++waiting;
            const bool freed = cv.wait_until(lk, deadline, [this] { return !held; });
            --waiting;
            if (!freed) return false;
        }
        held = true;
        return true;
    }

    void unlock() {
        {
            std::lock_guard lk(m);
            held = false;
            if (waiting == 0) return;
        }
        cv.notify_one();
    }

private:
    std::mutex m;
    std::condition_variable cv;
    bool held = false;
    int waiting = 0;
};

} // namespace mox
