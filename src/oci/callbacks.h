#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "hw/types.h"
#include "oci/io.h"
#include "oci/word.h"

namespace oci {

// The output engines' operations as the application layer that composes programs sees
// them. Clock outputs are numbered over all groups, channels are natural channels.
struct callbacks {
    std::function<void(size_t clock_index, bool enable)> enable_clkout;
    std::function<void(size_t clock_index, uint64_t hz)> set_clkout_freq;
    std::function<void(size_t channel, bool level)> set_idle_state;
    std::function<bool(size_t channel, io_t type)> set_io_type;
    std::function<bool(size_t channel, uint16_t millivolts)> set_out_voltage;
    std::function<void()> loop_start;
    std::function<void(uint32_t)> loop_end;
    std::function<uint32_t()> get_sample_rate;
    std::function<bool(std::vector<word>& words)> start_oci_chunk;
    std::function<bool(std::vector<word>& words, isamp max_samples, hw::period sampling_period)>
        preview_oci_chunk;
    std::function<bool(uint32_t timeout_ms)> wait_oci_ready;
};

} // namespace oci
