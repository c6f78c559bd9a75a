#pragma once

#include "mox/timed_mutex.h"

namespace mox {

// A timed mutex; timed locking goes through osmutex directly.
class mutex {
public:
    mox::timed_mutex osmutex;

    mutex() = default;
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;

    void lock() { osmutex.lock(); }
    void unlock() { osmutex.unlock(); }
    bool try_lock() { return osmutex.try_lock(); }
};

class mutex_lock {
public:
    explicit mutex_lock(mox::mutex& m) : m(m) {
        m.lock();
        taken = true;
    }
    ~mutex_lock() {
        if (taken) m.unlock();
    }
    mutex_lock(const mutex_lock&) = delete;
    mutex_lock& operator=(const mutex_lock&) = delete;

private:
    bool taken = false;
    mox::mutex& m;
};

} // namespace mox
