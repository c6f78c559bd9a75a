#pragma once

#include <chrono>
#include <cstdint>

namespace mox {

class elapsed_timer {
public:
    elapsed_timer() : start(std::chrono::steady_clock::now()) {}
    virtual ~elapsed_timer() = default;

    void restart() { start = std::chrono::steady_clock::now(); }

    uint32_t elapsed_ms() const {
        return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - start)
                                         .count());
    }

private:
    std::chrono::steady_clock::time_point start;
};

} // namespace mox
