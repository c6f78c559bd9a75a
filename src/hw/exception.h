#pragma once
#include <exception>

#include "hw/error.h"
#include "mox/mutex.h"

namespace hw {

// The exception every device-level failure travels in. The code is read under the
// exception's own lock because a stored exception may be rethrown on several threads.
class exception : public std::exception {
public:
    explicit exception(error e) : err(e) {}
    exception(const exception& other) : std::exception(other), err(other.code()) {}
    exception& operator=(const exception& other) {
        if (this != &other) {
            error e = other.code();
            mox::mutex_lock lock(m);
            err = e;
        }
        return *this;
    }

    error code() const {
        mox::mutex_lock lock(m);
        return err;
    }
    const char* what() const noexcept override { return "Hardware Error"; }

private:
    mutable mox::mutex m;
    error err;
};

} // namespace hw
