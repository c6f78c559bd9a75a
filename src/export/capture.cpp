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

void channel_cursor::fetch(isamp after) {
    next_ = no_sample;
    while (!last_) {
        const trs::tr t = it_.next();
        last_ = t.is_last;
        if (t.pol != trs::value::rising && t.pol != trs::value::falling) continue;
        const bool l = t.pol == trs::value::rising;
        if (t.sample <= after) {
            level_ = l; // same sample as the current position: the later item wins
            continue;
        }
        if (l == level_) continue;
        next_ = t.sample;
        return;
    }
}

void channel_cursor::advance() {
    if (next_ == no_sample) return;
    const isamp at = next_;
    level_ = !level_;
    fetch(at);
}

uint64_t rate_hz(hw::period period) {
    if (!(period > 0)) throw std::invalid_argument("invalid sampling period");
    return static_cast<uint64_t>(std::llround(1.0 / period));
}

std::string default_name(hw::ich channel) {
    return "ch" + std::to_string(channel);
}

} // namespace xport
