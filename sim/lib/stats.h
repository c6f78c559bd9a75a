// Process-wide counters of the virtual bus, read by tests through bus::counters().
#pragma once

#include <atomic>
#include <cstdint>

namespace kestrel_sim {

struct stats_t {
    std::atomic<uint64_t> bulk_out{0};
    std::atomic<uint64_t> bulk_in{0};
    std::atomic<uint64_t> pipe_timeout_calls{0};
    std::atomic<uint64_t> in_pipe_aborts{0};
    std::atomic<uint64_t> bridge_opens{0};
    std::atomic<uint64_t> bridge_open_failures{0};
    std::atomic<uint64_t> dropped_replies{0};
    std::atomic<uint64_t> streams_replayed{0};

    void clear() {
        for (auto* c : {&bulk_out, &bulk_in, &pipe_timeout_calls, &in_pipe_aborts, &bridge_opens,
                        &bridge_open_failures, &dropped_replies, &streams_replayed})
            c->store(0);
    }
};

stats_t& stats();

} // namespace kestrel_sim
