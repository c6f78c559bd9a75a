#pragma once

#include "mox/mutex.h"

#include <utility>

namespace mox {

// Double buffer for one producer and one consumer: each side has its own lock, so filling
// and draining never block each other; a swap takes both (write lock first).
template <typename T> class pingpong_t {
public:
    pingpong_t() = default;
    pingpong_t(const pingpong_t&) = delete;
    pingpong_t& operator=(const pingpong_t&) = delete;

    template <typename F> decltype(auto) access_write_buffer(F&& f) {
        mutex_lock lk(write_mutex);
        return std::forward<F>(f)(*write_ptr);
    }

    template <typename F> decltype(auto) access_read_buffer(F&& f) {
        mutex_lock lk(read_mutex);
        return std::forward<F>(f)(*read_ptr);
    }

    // Exchanges the roles only; the former read side keeps what the consumer left in it.
    void swap_buffers() {
        mutex_lock wl(write_mutex);
        mutex_lock rl(read_mutex);
        std::swap(write_ptr, read_ptr);
    }

private:
    mox::mutex read_mutex;
    mox::mutex write_mutex;
    T write_buffer_store{};
    T read_buffer_store{};
    T* write_ptr = &write_buffer_store;
    T* read_ptr = &read_buffer_store;
};

} // namespace mox
