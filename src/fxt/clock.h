#pragma once
#include <atomic>
#include <cstdint>

#include "fxt/capabilities.h"
#include "fxt/mode.h"
#include "mox/mutex.h"

namespace fxt {

// Clock of one trigger engine: a division of max_clk slow enough that the longest step
// time still fits the step timers.
class clock {
public:
    explicit clock(const capabilities& caps) : caps(caps) {}
    clock(const clock&) = delete;
    clock& operator=(const clock&) = delete;

    // Throws std::out_of_range unless min_clk < clk <= max_clk.
    void set(freq clk);
    freq get() const { return my_clk.load(); }

    // Chooses, stores and returns the fastest clock whose timers reach max_time_s.
    freq autoset(period max_time_s);

    // Ticks of the present clock in time_seconds; 0 for a time that is not positive.
    uint64_t to_tick(period time_seconds) const;

    // Sets the clock for the used times (autoset) and turns each of them into the time
    // the engine will really measure: capped at the timer's range and rounded to ticks.
    void get_real_timings(period& tmin, period& tmax, bool use_t_min, bool use_t_max);

private:
    freq choose(period max_time_s) const;

    mox::mutex mutex;
    const capabilities& caps;
    std::atomic<uint32_t> my_clk{0};
};

} // namespace fxt
