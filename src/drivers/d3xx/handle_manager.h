#pragma once
#include <atomic>
#include <cstdint>

namespace d3xx {

// The open bridge handle, readable from any thread.
class handle_manager {
public:
    std::atomic<uint32_t> gpio_dir_mask{0};
    std::atomic<uint32_t> gpio_en_mask{0};

    void set(void* handle) { h.store(handle); }
    void* get() const { return h.load(); }
    bool valid() const { return h.load() != nullptr; }
    void reset() { h.store(nullptr); }

private:
    std::atomic<void*> h{nullptr};
};

} // namespace d3xx
