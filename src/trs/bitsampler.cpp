#include "trs/bitsampler.h"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace trs {

namespace {

uint8_t level_of(value v) {
    return v == value::rising ? 1 : 0;
}

isamp sat_add(isamp a, isamp b) {
    isamp r;
    if (__builtin_add_overflow(a, b, &r))
        return b > 0 ? std::numeric_limits<isamp>::max() : std::numeric_limits<isamp>::min();
    return r;
}

} // namespace

bitsampler::bitsampler(store& s) : channel_store(&s), it(s) {}

void bitsampler::init(isamp new_pos, isamp new_increments) {
    pos = new_pos;
    increments = new_increments;
    ready = false;
}

void bitsampler::locate() {
    generation = channel_store->generation();
    it.restart(pos, 10.0, 0); // no folding: every transition on its own
    cur_trs = it.prev();      // the item at or before pos (the first one when pos lies before)
    if (cur_trs.pol == value::none) {
        // Nothing stored yet: the level the channel idles at, and look again next time.
        level = level_of(channel_store->last_idle().pol);
        ready = false;
        return;
    }
    level = level_of(cur_trs.pol);
    level_from = cur_trs.sample;
    ready = true;
}

uint8_t bitsampler::next() {
    if (!ready || pos < level_from || channel_store->generation() != generation) locate();
    if (ready) {
        while (cur_trs.sample <= pos) {
            level = level_of(cur_trs.pol);
            level_from = cur_trs.sample;
            // Asked afresh at every step, so data appended meanwhile is seen.
            if (!it.current_tr_is_not_last()) break;
            cur_trs = it.next();
        }
    }
    const uint8_t at_pos = level;
    pos = sat_add(pos, increments);
    return at_pos;
}

auto_baud::auto_baud(store& channel_store, hw::period period)
    : it(channel_store), sampling_period(period) {
    if (!(period > 0.0) || !std::isfinite(period))
        throw std::runtime_error("invalid sampling period");
    it.restart(0, 10.0, 0);
    tr t = it.next();
    isamp width_min = std::numeric_limits<isamp>::max();
    if (t.pol != value::none) {
        uint8_t level = level_of(t.pol);
        isamp changed_at = t.sample;
        bool began = false; // the pulse the capture began in has ended
        for (uint32_t n = 0; n < scan_depth && it.current_tr_is_not_last(); ++n) {
            t = it.next();
            if (level_of(t.pol) == level) continue; // repeats the level: no edge
            const isamp width = t.sample - changed_at;
            level = level_of(t.pol);
            changed_at = t.sample;
            if (width < min_pulse) continue;
            if (began && width < width_min) width_min = width;
            began = true;
        }
    }
    if (width_min != std::numeric_limits<isamp>::max()) {
        shortest = width_min;
        const double rate = std::trunc(1.0 / (static_cast<double>(width_min) * sampling_period));
        constexpr double top = std::numeric_limits<hw::freq>::max();
        real = rate >= top ? std::numeric_limits<hw::freq>::max() : static_cast<hw::freq>(rate);
        if (real == 0) real = 1;
    }
    nearest = nearest_standard(real);
}

hw::freq auto_baud::nearest_standard(hw::freq rate) {
    if (rate > std_bauds.back()) return std_bauds.back();
    if (rate <= std_bauds.front()) return std_bauds.front();
    for (size_t i = 0; i + 1 < std_bauds.size(); ++i) {
        const hw::freq lower = std_bauds[i], upper = std_bauds[i + 1];
        if (lower < rate && rate <= upper) return rate - lower <= upper - rate ? lower : upper;
    }
    return std_bauds.back();
}

} // namespace trs
