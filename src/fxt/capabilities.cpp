#include "fxt/capabilities.h"

#include <algorithm>

#include "hw/exception.h"

namespace fxt {

namespace {

uint8_t device_channels(hw::model_t model) {
    const size_t n = hw::channel_count(model);
    if (n == 0) throw hw::exception(hw::error::not_supported);
    return static_cast<uint8_t>(n);
}

} // namespace

capabilities::capabilities(hw::model_t model)
    : delta_time_bits(11), clk_div_bits(32), max_clk(250000000), min_clk(2000),
      n_channels(device_channels(model)), n_channels_per_engine(18),
      max_steps(256), supported_modes{mode_t::RISING,     mode_t::FALLING,  mode_t::CHANGE,
                                      mode_t::HI_PULSE,   mode_t::LO_PULSE, mode_t::MLTI_STEP,
                                      mode_t::DECODER,    mode_t::NOTRIG,   mode_t::EXT_RISING,
                                      mode_t::EXT_FALLING},
      use_fast_mode(true) {
    const uint8_t t = delta_time_bits;
    const uint8_t n = n_channels_per_engine;
    trig_word_map.ignore_tmin = {0, 1};
    trig_word_map.ignore_tmax = {1, 1};
    trig_word_map.tmin = {2, t};
    trig_word_map.tmax = {static_cast<uint8_t>(2 + t), t};
    trig_word_map.check_logic_change_only = {static_cast<uint8_t>(2 + 2 * t), 1};
    trig_word_map.dont_reset_time = {static_cast<uint8_t>(3 + 2 * t), 1};
    trig_word_map.dont_wait_for_change = {static_cast<uint8_t>(4 + 2 * t), 1};
    trig_word_map.static_value = {static_cast<uint8_t>(5 + 2 * t), n};
    trig_word_map.mask = {static_cast<uint8_t>(5 + 2 * t + n), n};
}

bool capabilities::supports(mode_t m) const {
    return std::find(supported_modes.begin(), supported_modes.end(), m) != supported_modes.end();
}

} // namespace fxt
