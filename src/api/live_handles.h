#pragma once
#include <mutex>
#include <set>

namespace api_utils {

class api_handles;

// The handles created and not yet freed. A process that exits with a handle still open
// has it freed before the library's own data goes, so that no capture, close or update
// thread outlives what it uses; a handle freed twice is refused instead of deleted again.
class live_handles {
public:
    static live_handles& instance();

    void add(api_handles* h);
    // False when h is not a live handle (already freed, or freed by the exit).
    bool remove(api_handles* h);
    // Frees every handle still alive.
    void free_all() noexcept;

private:
    live_handles() = default;
    std::mutex m;
    std::set<api_handles*> handles;
};

} // namespace api_utils
