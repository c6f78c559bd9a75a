#pragma once

#include <exception>
#include <mutex>

namespace mox {

// Carries the failure of a detached worker to a later call on another thread. The pointer
// is written by the worker and read by the caller, hence the lock.
class thread_exception {
public:
    thread_exception() = default;
    thread_exception(const thread_exception&) = delete;
    thread_exception& operator=(const thread_exception&) = delete;

    void reset_exception() {
        std::lock_guard lk(exception_mtx);
        last_exception = nullptr;
    }

    // To be called inside a catch block.
    void capture_exception() {
        std::lock_guard lk(exception_mtx);
        last_exception = std::current_exception();
    }

    // Rethrows the stored exception, if any, without clearing it.
    void raise_exception() const {
        const std::exception_ptr e = get_exception();
        if (e) std::rethrow_exception(e);
    }

    bool has_exception() const { return static_cast<bool>(get_exception()); }

    std::exception_ptr get_exception() const {
        std::lock_guard lk(exception_mtx);
        return last_exception;
    }

private:
    mutable std::mutex exception_mtx;
    std::exception_ptr last_exception;
};

} // namespace mox
