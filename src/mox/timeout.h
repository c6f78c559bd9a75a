#pragma once

#include <chrono>
#include <cstdint>
#include <limits>
#include <thread>

namespace mox {

// A bound on a wait. Built from a number of milliseconds it is finite; default-built it is
// infinite.
struct timeout {
    uint32_t timeout_ms = std::numeric_limits<uint32_t>::max();
    bool infinite = true;

    constexpr timeout() = default;
    // Implicit so that call sites can pass plain millisecond counts.
    constexpr timeout(uint32_t ms) : timeout_ms(ms), infinite(false) {}

    constexpr std::chrono::milliseconds get() const {
        return std::chrono::milliseconds(timeout_ms);
    }
    constexpr bool is_infinite() const { return infinite; }
};

inline void wait_ms(timeout t) {
    std::this_thread::sleep_for(t.get());
}

} // namespace mox
