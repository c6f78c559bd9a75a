#include "fxt/step.h"

#include <cmath>

namespace fxt {

bool step_t::has_level() const {
    for (event_t e : bit_event_type)
        if (is_level(e)) return true;
    return false;
}

int step_t::get_evt_channel() const {
    for (size_t i = 0; i < bit_event_type.size(); ++i)
        if (is_evt(bit_event_type[i])) return static_cast<int>(i);
    return -1;
}

evt_mask step_t::get_evt_mask() const {
    evt_mask m;
    for (size_t i = 0; i < bit_event_type.size(); ++i)
        if (is_evt(bit_event_type[i])) m.set(i);
    return m;
}

void step_t::invert_level() {
    for (event_t& e : bit_event_type) {
        if (e == event_t::LVL_1)
            e = event_t::LVL_0;
        else if (e == event_t::LVL_0)
            e = event_t::LVL_1;
    }
}

void step_t::clear_timing() {
    ignore_tmin = true;
    ignore_tmax = true;
    t_min = 0;
    t_max = 0;
    dont_reset_time = false;
    dont_wait_for_change = false;
    logic_change_only = false;
}

void step_t::push_to_vector(bytes& dest) const {
    dest.push_back(record_marker);
    for (event_t e : bit_event_type)
        dest.push_back(static_cast<uint8_t>(e));
    serdes::push_back(dest, t_max, 8);
    serdes::push_back(dest, t_min, 8);
    for (bool f : {ignore_tmax, ignore_tmin, delay_only_element, dont_wait_for_change,
                   dont_reset_time, logic_change_only})
        dest.push_back(f ? 1 : 0);
}

void step_t::pull_from_vector(const bytes& src, size_t& index) {
    size_t i = index;
    detail::require(src, i, record_size);
    const uint8_t marker = detail::pull<uint8_t>(src, i);
    // Marker 1 is the older form; its records are read with the present layout.
    if (marker != 1 && marker != 2) detail::malformed();

    step_t s;
    for (event_t& e : s.bit_event_type) {
        const uint8_t v = detail::pull<uint8_t>(src, i);
        if (v > static_cast<uint8_t>(event_t::PULSE_0)) detail::malformed();
        e = static_cast<event_t>(v);
    }
    s.t_max = detail::pull<double>(src, i);
    s.t_min = detail::pull<double>(src, i);
    // A time the engine's timers cannot count (negative, infinite, NaN) makes the
    // description unusable rather than merely out of range.
    for (double t : {s.t_max, s.t_min})
        if (!std::isfinite(t) || t < 0) detail::malformed();
    for (bool* f : {&s.ignore_tmax, &s.ignore_tmin, &s.delay_only_element, &s.dont_wait_for_change,
                    &s.dont_reset_time, &s.logic_change_only})
        *f = detail::pull<uint8_t>(src, i) != 0;

    *this = std::move(s);
    index = i;
}

} // namespace fxt
