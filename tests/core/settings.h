// The capture record the tests start from; only the public header is needed, so that the
// fuzz seeds use it too.
#pragma once
#include <cstdint>
#include <cstring>

#include "kestrelapi.h"

namespace core_test {

// A capture record with plain defaults: half the depth after the trigger, 1650 mV thresholds,
// 3300 mV supplies, internal time base, rising trigger output.
inline kestrelapi_settings_t default_settings(int64_t depth, uint32_t freq = 250000000) {
    kestrelapi_settings_t s;
    std::memset(&s, 0, sizeof s);
    s.sampling_depth = depth;
    s.post_trig_depth = depth / 2;
    s.s_clk = freq;
    for (auto& t : s.thresh_capture_mv)
        t = 1650;
    for (auto& v : s.vcc_gen_mv)
        v = 3300;
    s.state_clk_mode = SCLK_DISABLE;
    s.state_clk_src = SCLK_CH9;
    s.timebase_src = TIMEBASE_INTERNAL;
    s.ext_in_threshold_mv = 1000;
    s.ext_trig_out_polarity = true;
    return s;
}

} // namespace core_test
