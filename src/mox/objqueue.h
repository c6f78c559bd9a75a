#pragma once

#include "mox/check.h"
#include "mox/semaphore.h"
#include "mox/timeout.h"

#include <climits>
#include <cstddef>
#include <mutex>
#include <queue>
#include <utility>

namespace mox {

// Bounded blocking queue for any number of producers and consumers.
template <typename T> class objqueue {
public:
    explicit objqueue(std::size_t len)
        : len(checked(len)), free_slots(static_cast<int>(len), static_cast<int>(len)),
          used_slots(static_cast<int>(len), 0) {}
    objqueue(const objqueue&) = delete;
    objqueue& operator=(const objqueue&) = delete;

    // Waits up to the timeout for a free slot; false if none came.
    bool post(const T& obj, timeout ms_to_wait) { return emplace(obj, ms_to_wait); }
    bool post(T&& obj, timeout ms_to_wait) { return emplace(std::move(obj), ms_to_wait); }

    // Waits up to the timeout for an element; false if none came.
    bool receive(T& obj, timeout ms_to_wait) {
        if (!used_slots.take(ms_to_wait)) return false;
        std::lock_guard lk(mutex);
        free_slots.give();
        obj = std::move(q.front());
        q.pop();
        return true;
    }

    std::size_t size() {
        std::lock_guard lk(mutex);
        return q.size();
    }

private:
    static std::size_t checked(std::size_t n) {
        MOX_ASSERT(n > 0 && n <= static_cast<std::size_t>(INT_MAX));
        return n;
    }

    template <typename U> bool emplace(U&& obj, timeout ms_to_wait) {
        if (!free_slots.take(ms_to_wait)) return false;
        std::lock_guard lk(mutex);
        q.push(std::forward<U>(obj));
        used_slots.give();
        return true;
    }

    const std::size_t len;
    std::queue<T> q;
    semaphore free_slots;
    semaphore used_slots;
    std::mutex mutex;
};

} // namespace mox
