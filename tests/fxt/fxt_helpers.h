#pragma once
#include <cstddef>
#include <initializer_list>
#include <utility>
#include <vector>

#include "fxt/core.h"
#include "fxt/step.h"

namespace fxt_test {

using fxt::event_t;

// A step with the given channel conditions, every other field at its default.
inline fxt::step_t step(std::initializer_list<std::pair<size_t, event_t>> conds) {
    fxt::step_t s;
    for (auto [ch, e] : conds)
        s.bit_event_type[ch] = e;
    return s;
}

inline fxt::step_t delay(double t_max) {
    fxt::step_t s;
    s.delay_only_element = true;
    s.ignore_tmax = false;
    s.t_max = t_max;
    return s;
}

// Channels whose condition is not DONT_CARE.
inline std::vector<std::pair<size_t, event_t>> conditions(const fxt::step_t& s) {
    std::vector<std::pair<size_t, event_t>> out;
    for (size_t i = 0; i < s.bit_event_type.size(); ++i)
        if (s.bit_event_type[i] != event_t::DONT_CARE) out.emplace_back(i, s.bit_event_type[i]);
    return out;
}

using conds = std::vector<std::pair<size_t, event_t>>;

} // namespace fxt_test
