#include "fxt/clock.h"

#include <cmath>
#include <stdexcept>

#include "mox/check.h"

namespace fxt {

void clock::set(freq clk) {
    if (!(clk > caps.min_clk)) throw std::out_of_range("clk > caps.min_clk");
    if (!(clk <= caps.max_clk)) throw std::out_of_range("clk <= caps.max_clk");
    mox::mutex_lock lock(mutex);
    my_clk.store(clk);
}

freq clock::choose(period max_time_s) const {
    MOX_ASSERT(caps.clk_div_bits != 0);
    MOX_ASSERT(caps.delta_time_bits != 0);
    // Not positive also covers NaN: no time to fit, so the fastest clock.
    if (!(max_time_s > 0)) return caps.max_clk;

    // The division keeps the clock strictly below tmp_clk, so the longest time stays at
    // most 2^D - 2 ticks. Very short times would overflow the 32-bit intermediate.
    const double ideal = static_cast<double>((1ULL << caps.delta_time_bits) - 2) / max_time_s;
    uint32_t tmp_clk = ideal >= 4294967295.0 ? 4294967295u : static_cast<uint32_t>(ideal);
    if (tmp_clk < caps.min_clk) tmp_clk = caps.min_clk;
    if (tmp_clk == 0) tmp_clk = 1;

    const uint64_t max_div = caps.clk_div_bits >= 64 ? ~0ULL : (1ULL << caps.clk_div_bits) - 1;
    uint64_t clk_div = caps.max_clk / tmp_clk + 1;
    if (clk_div > max_div) clk_div = max_div;
    if (clk_div < 1) clk_div = 1;
    return static_cast<freq>(caps.max_clk / clk_div);
}

freq clock::autoset(period max_time_s) {
    const freq clk = choose(max_time_s);
    mox::mutex_lock lock(mutex);
    my_clk.store(clk);
    return clk;
}

uint64_t clock::to_tick(period time_seconds) const {
    const double ticks = static_cast<double>(my_clk.load()) * time_seconds;
    if (!(ticks > 0)) return 0;
    if (ticks >= 9.2e18) return static_cast<uint64_t>(INT64_MAX);
    return static_cast<uint64_t>(std::llround(ticks));
}

void clock::get_real_timings(period& tmin, period& tmax, bool use_t_min, bool use_t_max) {
    period ref = (use_t_max && tmax > 0) ? tmax : 0;
    if (use_t_min && tmin > ref) ref = tmin;
    const double clk = autoset(ref);
    const double longest = static_cast<double>((1ULL << caps.delta_time_bits) - 1) / clk;
    auto real = [&](period& t) {
        if (t > longest) t = longest;
        t = static_cast<double>(to_tick(t)) / clk;
    };
    if (use_t_max) real(tmax);
    if (use_t_min) real(tmin);
}

} // namespace fxt
