#pragma once

#include "mox/mutex.h"

#include <algorithm>
#include <vector>

namespace mox {

// A list without duplicates, guarded by its own mutex.
template <typename T> class unique_list {
public:
    unique_list() = default;
    unique_list(const unique_list&) = delete;
    unique_list& operator=(const unique_list&) = delete;

    bool push_unique(const T& x) {
        mutex_lock lk(m);
        if (contains(x)) return false;
        list.push_back(x);
        return true;
    }

    bool exists(const T& x) {
        mutex_lock lk(m);
        return contains(x);
    }

    bool check_if_exists(const T& x) { return exists(x); }

    void remove_unique(const T& x) {
        mutex_lock lk(m);
        std::erase(list, x);
    }

    void clear() {
        mutex_lock lk(m);
        list.clear();
    }

    bool empty() {
        mutex_lock lk(m);
        return list.empty();
    }

    // A copy taken under the lock: a reference would be read after the lock is released,
    // while another thread may be changing the list.
    std::vector<T> get() {
        mutex_lock lk(m);
        return list;
    }

private:
    bool contains(const T& x) const { return std::find(list.begin(), list.end(), x) != list.end(); }

    mox::mutex m;
    std::vector<T> list;
};

} // namespace mox
