#include "export/capture.h"

#include <cmath>
#include <stdexcept>

namespace xport {

namespace {
// Scale 10 folds nothing: every transition comes out on its own.
constexpr double unfolded = 10.0;
} // namespace

channel_cursor::channel_cursor(trs::iterator it, isamp from) : it_(std::move(it)) {
    it_.restart(from, unfolded, 0);
    const trs::tr t = it_.prev();
    if (t.pol == trs::value::none) return; // empty channel: low, no change
    level_ = t.pol == trs::value::rising;
    last_ = t.is_last;
    fetch(from);
}

bool channel_cursor::take(trs::tr& t) {
    if (has_pending_) {
        t = pending_;
        has_pending_ = false;
        return true;
    }
    while (!last_) {
        t = it_.next();
        last_ = t.is_last;
        if (t.pol == trs::value::rising || t.pol == trs::value::falling) return true;
    }
    return false;
}

void channel_cursor::fetch(isamp after) {
    next_ = no_sample;
    trs::tr t;
    while (take(t)) {
        bool l = t.pol == trs::value::rising;
        if (t.sample <= after) {
            level_ = l; // same sample as the current position: the later item wins
            continue;
        }
        // The last item at this sample is the level that holds from it.
        trs::tr u;
        while (take(u)) {
            if (u.sample != t.sample) {
                pending_ = u;
                has_pending_ = true;
                break;
            }
            l = u.pol == trs::value::rising;
        }
        if (l == level_) continue;
        next_ = t.sample;
        next_level_ = l;
        return;
    }
}

void channel_cursor::advance() {
    if (next_ == no_sample) return;
    level_ = next_level_;
    fetch(next_);
}

uint64_t rate_hz(hw::period period) {
    if (!(period > 0)) throw std::invalid_argument("invalid sampling period");
    return static_cast<uint64_t>(std::llround(1.0 / period));
}

std::string default_name(hw::ich channel) {
    return "ch" + std::to_string(channel);
}

} // namespace xport
