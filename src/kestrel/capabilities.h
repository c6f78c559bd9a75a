#pragma once
#include <cstdint>
#include <functional>

#include "hw/model.h"
#include "hw/types.h"
#include "mox/unique_list.h"
#include "oci/io.h"

namespace kestrel {

// What the acquisition hardware of one model can do. Built once from the model and
// read-only afterwards (the drive-type list has its own lock).
class capabilities {
public:
    static constexpr uint8_t channels_per_port = 9;
    static constexpr uint8_t ports_per_group = 2;
    static constexpr uint8_t ch_per_goup = 18;
    static constexpr uint8_t clk_outs_per_group = 2;
    static constexpr hw::freq max_sampling_freq = 1000000000;
    // A capture keeps at least one sample after the trigger, and at most 10^12 samples, so
    // that exported sample times (seconds with 15 significant digits) stay exact.
    static constexpr int64_t min_sampling_depth = 2;
    static constexpr int64_t max_sampling_depth = 1000000000000;
    static constexpr hw::freq oci_sampling_rate = 125000000;
    static constexpr hw::freq max_oci_freq = 62500000;
    static constexpr uint8_t max_oci_hold_bits = 9;
    static constexpr uint8_t max_oci_loop_levels = 3;
    static constexpr hw::freq max_flextrig_freq = 250000000;
    static constexpr hw::millivolts trig_threshold_step = 39;
    static constexpr hw::millivolts cap_threshold_step = 47;
    static constexpr uint8_t trig_engine_count = 2;

    // A model outside the family is a programming error: callers validate first.
    explicit capabilities(hw::model_t model);

    const std::function<hw::ich(hw::model_t)> ch_factory;
    const hw::model_t model;
    const hw::ich channels;
    const uint8_t groups_count;
    const uint8_t clk_out_count;
    const uint16_t max_subsampler_div = 255;
    const hw::freq min_sampling_freq = max_sampling_freq / 255;
    const hw::millivolts gen_tvcc_max = 3300;
    const hw::millivolts gen_tvcc_min = 1800;
    const hw::millivolts cap_threshold_max = 3000;
    const hw::millivolts cap_threshold_min = 0;
    const hw::millivolts trg_in_threshold_max = 2500;
    const hw::millivolts trg_in_threshold_min = 0;
    mox::unique_list<oci::io_t> supported_io_types;
};

// Whether a model is one this library operates.
bool is_kestrel_model(hw::model_t model);

} // namespace kestrel
