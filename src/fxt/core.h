#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fxt/bytes.h"
#include "fxt/capabilities.h"
#include "fxt/clock.h"
#include "fxt/mode.h"
#include "fxt/steps_manager.h"
#include "hw/model.h"
#include "mox/mutex.h"

namespace fxt {

// One flexible trigger engine as the host sees it: capabilities, mode, clock and steps.
class core {
public:
    // Throws hw::exception(not_supported) for a model without a trigger engine.
    explicit core(hw::model_t model);
    core(const core&) = delete;
    core& operator=(const core&) = delete;

    capabilities get_caps();

    mode_t get_mode() const { return mode.load(); }
    // Throws hw::exception(not_supported) for a mode the engine does not offer.
    void set_mode(mode_t m);

    // The 64-bit step words for the group whose first natural channel is start_channel;
    // sets the clock (see steps_manager::build_device_data).
    std::vector<uint64_t> build_device_data(size_t start_channel) {
        return steps.build_device_data<uint64_t>(start_channel);
    }
    freq get_clock() const { return my_clk.get(); }

    // Description form: marker 2, the step list, the mode byte.
    void push_to_vector(bytes& dest);
    // Replaces steps and mode with the description read at index. A truncated or
    // malformed description throws hw::exception(invalid_argument), an unsupported mode
    // hw::exception(not_supported); steps, mode and index are then unchanged.
    void pull_from_vector(const bytes& src, size_t& index);

    const capabilities my_caps;
    std::atomic<mode_t> mode{mode_t::NOTRIG};
    clock my_clk;
    steps_manager steps;

private:
    mox::mutex mutex;
};

} // namespace fxt
