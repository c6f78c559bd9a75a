#include "trs/bus_iterator.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace trs {

namespace {

uint8_t level_of(value v) {
    return v == value::rising ? 1 : 0;
}

} // namespace

bus_iterator::bus_iterator(std::vector<std::reference_wrapper<store>> stores) {
    if (stores.size() > max_channels)
        throw std::invalid_argument("a bus holds at most 128 channels");
    lanes.reserve(stores.size());
    for (store& s : stores)
        lanes.emplace_back(s);
    restart();
}

void bus_iterator::restart() {
    for (lane& l : lanes) {
        l.it.restart(0, 10.0, 0); // no folding: every transition on its own
        l.pending = l.started = false;
        l.level = 0;
    }
    last_sample = 0;
    reset = true;
}

void bus_iterator::start(lane& l) {
    l.generation = l.channel_store->generation();
    if (l.it.is_empty()) return;
    const tr t = l.it.next(); // the pending restart: the item at sample 0
    if (t.pol == value::none) return;
    l.cur = t;
    l.started = l.pending = true;
}

// Takes every item of the lane up to `sample` into its level and fetches the one after.
void bus_iterator::take_up_to(lane& l, isamp sample) {
    if (l.started && l.channel_store->generation() != l.generation) {
        l.it.restart(0, 10.0, 0);
        l.started = l.pending = false;
    }
    if (!l.started) start(l);
    if (!l.started) return;
    for (;;) {
        if (!l.pending) {
            // Asked afresh at every step, so data appended meanwhile is seen.
            if (!l.it.current_tr_is_not_last()) return;
            l.cur = l.it.next();
            l.pending = true;
        }
        if (l.cur.sample > sample) return;
        l.level = level_of(l.cur.pol);
        l.pending = false;
    }
}

bus_iterator::btr bus_iterator::word(isamp sample) const {
    btr w;
    w.sample = sample;
    bool more = false;
    for (size_t k = 0; k < lanes.size(); ++k) {
        w.bits[k] = lanes[k].level != 0;
        more = more || lanes[k].pending;
    }
    w.is_last = !more;
    return w;
}

bus_iterator::btr bus_iterator::next() {
    if (reset) {
        reset = false;
        for (lane& l : lanes)
            take_up_to(l, 0);
        last_sample = 0;
        btr w = word(0);
        w.is_first = true;
        return w;
    }
    // Data that arrived for samples already passed only updates the levels: words come out
    // in ascending order.
    isamp at = std::numeric_limits<isamp>::max();
    for (lane& l : lanes) {
        take_up_to(l, last_sample);
        if (l.pending) at = std::min(at, l.cur.sample);
    }
    if (at == std::numeric_limits<isamp>::max()) return word(last_sample);
    for (lane& l : lanes)
        take_up_to(l, at);
    last_sample = at;
    return word(at);
}

bool bus_iterator::current_tr_is_not_last() {
    if (reset) return true;
    for (lane& l : lanes) {
        if (l.pending) return true;
        if (!l.started || l.channel_store->generation() != l.generation) {
            if (!l.it.is_empty()) return true;
        } else if (l.it.current_tr_is_not_last()) {
            return true;
        }
    }
    return false;
}

} // namespace trs
