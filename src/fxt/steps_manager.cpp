#include "fxt/steps_manager.h"

#include <algorithm>
#include <stdexcept>

#include "fxt/word.h"
#include "hw/exception.h"
#include "mox/check.h"

namespace fxt {

namespace {

[[noreturn]] void unexpected_event() {
    throw std::runtime_error(msg_unexpected_event);
}

// Several changes in one step still mean "any of these changes"; several edges cannot be
// waited for by one engine step and would silently lose all but the lowest.
bool expressible(const step_t& s) {
    const evt_mask events = s.get_evt_mask();
    if (events.count() <= 1) return true;
    for (size_t i = 0; i < n_conditions; ++i)
        if (events.test(i) && s.bit_event_type[i] != event_t::CHNG) return false;
    return true;
}

// An edge on channel c becomes the level before it (unless already known) and the level
// after it; levels on other channels are checked once the edge has happened.
void expand_edge(std::vector<step_t>& out, const step_t& s, size_t c, event_t before,
                 event_t after) {
    step_t copy = s;
    copy.bit_event_type.fill(event_t::DONT_CARE);
    if (out.empty()) {
        step_t pre = copy;
        pre.bit_event_type[c] = before;
        pre.dont_wait_for_change = true;
        out.push_back(pre);
    } else if (out.back().bit_event_type[c] == after) {
        step_t pre = copy;
        pre.bit_event_type[c] = before;
        out.push_back(pre);
    }
    copy.bit_event_type[c] = after;
    out.push_back(copy);
    if (s.has_level()) {
        step_t levels = s;
        levels.bit_event_type[c] = after;
        levels.dont_wait_for_change = true;
        out.push_back(levels);
    }
}

} // namespace

void steps_manager::load(const std::vector<step_t>& steps) {
    mox::mutex_lock lock(mutex);
    my_steps = steps;
}

void steps_manager::append(const step_t& step) {
    mox::mutex_lock lock(mutex);
    my_steps.push_back(step);
}

void steps_manager::clear() {
    mox::mutex_lock lock(mutex);
    my_steps.clear();
}

size_t steps_manager::count() {
    mox::mutex_lock lock(mutex);
    return my_steps.size();
}

step_t steps_manager::get(uint16_t index) {
    mox::mutex_lock lock(mutex);
    return my_steps.at(index);
}

bool steps_manager::evaluate(std::string& msg) {
    mox::mutex_lock lock(mutex);
    msg.clear();
    if (my_steps.empty()) {
        msg = msg_no_steps;
        return false;
    }
    for (const step_t& s : my_steps) {
        if (s.get_evt_mask().count() > 1) {
            msg = msg_multiple_transitions;
            return false;
        }
    }
    return true;
}

period steps_manager::max_period() {
    mox::mutex_lock lock(mutex);
    return longest_bound(my_steps);
}

// A bounded t_min must fit the timer as much as a bounded t_max does.
period steps_manager::longest_bound(const std::vector<step_t>& steps) {
    period longest = 0;
    for (const step_t& s : steps) {
        if (!s.ignore_tmax && s.t_max > longest) longest = s.t_max;
        if (!s.ignore_tmin && s.t_min > longest) longest = s.t_min;
    }
    return longest;
}

std::vector<step_t> steps_manager::expand(bool skip_first_parse,
                                          std::vector<step_t> source_steps) const {
    // Pass 1: user steps lose their own timing and take that of a preceding delay element.
    std::vector<step_t> parsed;
    if (skip_first_parse) {
        parsed = std::move(source_steps);
    } else {
        for (size_t i = 0; i < source_steps.size(); ++i) {
            const step_t& s = source_steps[i];
            if (s.delay_only_element) continue;
            step_t copy = s;
            copy.clear_timing();
            if (copy.has_level() && !copy.has_event()) copy.dont_wait_for_change = true;
            if (i > 0 && source_steps[i - 1].delay_only_element) {
                const step_t& delay = source_steps[i - 1];
                copy.ignore_tmax = delay.ignore_tmax;
                copy.ignore_tmin = delay.ignore_tmin;
                copy.t_max = delay.t_max;
                copy.t_min = delay.t_min;
            }
            parsed.push_back(std::move(copy));
        }
    }

    // Pass 2: the engine sees levels only, so a second identical edge needs the opposite
    // edge in between.
    const size_t n = std::min<size_t>(my_caps.n_channels, n_conditions);
    std::vector<step_t> complemented;
    complemented.reserve(parsed.size());
    for (size_t i = 0; i < parsed.size(); ++i) {
        const step_t& s = parsed[i];
        if (!expressible(s)) throw std::runtime_error(msg_multiple_transitions);
        const int c = s.get_evt_channel();
        if (i > 0 && c >= 0 && parsed[i - 1].get_evt_channel() == c &&
            parsed[i - 1].bit_event_type[c] == s.bit_event_type[c]) {
            const step_t& prev = parsed[i - 1];
            const event_t e = s.bit_event_type[c];
            // Consecutive changes need nothing in between; pulses are refused below.
            if (e == event_t::RIZE || e == event_t::FALL) {
                step_t comp = s;
                comp.clear_timing();
                comp.dont_reset_time = true;
                for (size_t ch = 0; ch < n; ++ch)
                    if (prev.bit_event_type[ch] != s.bit_event_type[ch])
                        comp.bit_event_type[ch] = event_t::DONT_CARE;
                comp.bit_event_type[c] = e == event_t::RIZE ? event_t::FALL : event_t::RIZE;
                complemented.push_back(std::move(comp));
            }
        }
        complemented.push_back(s);
    }

    // Pass 3: edges to levels.
    std::vector<step_t> out;
    out.reserve(complemented.size() * 3);
    for (const step_t& s : complemented) {
        const int c = s.get_evt_channel();
        if (c < 0) {
            step_t copy = s;
            copy.dont_reset_time = false;
            copy.logic_change_only = false;
            out.push_back(std::move(copy));
            continue;
        }
        const size_t ch = static_cast<size_t>(c);
        switch (s.bit_event_type[ch]) {
        case event_t::RIZE:
            expand_edge(out, s, ch, event_t::LVL_0, event_t::LVL_1);
            break;
        case event_t::FALL:
            expand_edge(out, s, ch, event_t::LVL_1, event_t::LVL_0);
            break;
        case event_t::CHNG: {
            step_t copy = s;
            copy.logic_change_only = true;
            copy.dont_wait_for_change = false;
            out.push_back(std::move(copy));
            break;
        }
        default:
            unexpected_event();
        }
    }
    return out;
}

std::vector<step_t> steps_manager::pulse_steps() const {
    if (my_steps.empty()) throw std::runtime_error(msg_no_steps);
    const step_t& first = my_steps.front();
    step_t idle;
    idle.bit_event_type = first.bit_event_type;
    const int c = idle.get_evt_channel();
    if (c < 0 || idle.get_evt_mask().count() != 1) unexpected_event();
    event_t& pulse_ch = idle.bit_event_type[static_cast<size_t>(c)];
    if (pulse_ch == event_t::PULSE_1)
        pulse_ch = event_t::LVL_0;
    else if (pulse_ch == event_t::PULSE_0)
        pulse_ch = event_t::LVL_1;
    else
        unexpected_event();
    idle.clear_timing();
    idle.dont_wait_for_change = true;

    // Only the pulse channel flips; levels on other channels qualify the whole pulse.
    const event_t idle_level = pulse_ch;
    const event_t pulse_level = idle_level == event_t::LVL_0 ? event_t::LVL_1 : event_t::LVL_0;
    step_t pulse = idle;
    pulse.dont_wait_for_change = false;
    pulse.bit_event_type[static_cast<size_t>(c)] = pulse_level;

    step_t back = pulse;
    back.bit_event_type[static_cast<size_t>(c)] = idle_level;
    back.ignore_tmax = first.ignore_tmax;
    back.ignore_tmin = first.ignore_tmin;
    back.t_max = first.t_max;
    back.t_min = first.t_min;
    return {idle, pulse, back};
}

template <typename T>
T encode_step(step_t s, size_t start_channel, const capabilities& caps, const clock& clk) {
    const size_t per_engine = caps.n_channels_per_engine;
    MOX_ASSERT(per_engine < 64 && start_channel + per_engine <= n_conditions);
    const map& wm = caps.trig_word_map;
    // Times past the timer's range are clamped: a wrapped count would be a short time.
    auto ticks = [&](period t, reg r) {
        const uint64_t limit = r.width >= 64 ? ~0ULL : (1ULL << r.width) - 1;
        return std::min(clk.to_tick(t), limit);
    };

    auto& cond = s.bit_event_type;
    if (start_channel != 0)
        std::rotate(cond.begin(), cond.begin() + static_cast<std::ptrdiff_t>(start_channel),
                    cond.end());
    uint64_t static_value = 0;
    uint64_t mask = 0;
    for (size_t i = 0; i < per_engine; ++i) {
        switch (cond[i]) {
        case event_t::DONT_CARE:
            mask |= 1ULL << i;
            break;
        case event_t::LVL_1:
            static_value |= 1ULL << i;
            break;
        case event_t::LVL_0:
        case event_t::CHNG:
            break;
        default:
            unexpected_event();
        }
    }
    if (mask == (1ULL << per_engine) - 1) s.dont_wait_for_change = true;

    T w = 0;
    write_reg(w, wm.ignore_tmin, s.ignore_tmin);
    write_reg(w, wm.ignore_tmax, s.ignore_tmax);
    write_reg(w, wm.tmin, ticks(s.t_min, wm.tmin));
    write_reg(w, wm.tmax, ticks(s.t_max, wm.tmax));
    write_reg(w, wm.check_logic_change_only, s.logic_change_only);
    write_reg(w, wm.dont_reset_time, s.dont_reset_time);
    write_reg(w, wm.dont_wait_for_change, s.dont_wait_for_change);
    write_reg(w, wm.static_value, static_value);
    write_reg(w, wm.mask, mask);
    return w;
}

template uint64_t encode_step<uint64_t>(step_t, size_t, const capabilities&, const clock&);

template <typename T> std::vector<T> steps_manager::build_device_data(size_t start_channel) {
    mox::mutex_lock lock(mutex);
    const mode_t m = mode.load();
    if (my_caps.use_fast_mode &&
        (m == mode_t::RISING || m == mode_t::FALLING || m == mode_t::CHANGE))
        MOX_ASSERT(false);
    MOX_ASSERT(my_caps.n_channels_per_engine < 64 &&
               start_channel + my_caps.n_channels_per_engine <= n_conditions);

    // An engine without a trigger runs no program, whatever steps it still holds.
    std::vector<step_t> engine;
    if (m == mode_t::HI_PULSE || m == mode_t::LO_PULSE)
        engine = expand(true, pulse_steps());
    else if (m != mode_t::NOTRIG)
        engine = expand(m != mode_t::MLTI_STEP, my_steps);

    // The clock follows the bounds the engine will count: expansion drops the timing of
    // user steps, and a bound it dropped must not slow the clock for the others.
    my_clk.autoset(longest_bound(engine));
    if (engine.size() > my_caps.max_program_words())
        throw hw::exception(hw::error::invalid_configration);

    std::vector<T> words;
    words.reserve(engine.size());
    for (const step_t& s : engine)
        words.push_back(encode_step<T>(s, start_channel, my_caps, my_clk));
    return words;
}

template std::vector<uint32_t> steps_manager::build_device_data<uint32_t>(size_t);
template std::vector<uint64_t> steps_manager::build_device_data<uint64_t>(size_t);

void steps_manager::push_to_vector(bytes& dest) {
    mox::mutex_lock lock(mutex);
    dest.push_back(2);
    serdes::push_back(dest, static_cast<uint64_t>(my_steps.size()), 8);
    for (const step_t& s : my_steps)
        s.push_to_vector(dest);
}

std::vector<step_t> steps_manager::read_list(const bytes& src, size_t& index) {
    size_t i = index;
    const uint8_t marker = detail::pull<uint8_t>(src, i);
    uint64_t n = 0;
    if (marker == 2)
        n = detail::pull<uint64_t>(src, i);
    else if (marker == 1)
        n = detail::pull<uint8_t>(src, i);
    else
        detail::malformed();
    // The count comes from the vector: bound it by the bytes present before allocating.
    if (n > (src.size() - i) / step_t::record_size) detail::malformed();
    std::vector<step_t> steps(static_cast<size_t>(n));
    for (step_t& s : steps)
        s.pull_from_vector(src, i);
    index = i;
    return steps;
}

void steps_manager::pull_from_vector(const bytes& src, size_t& index) {
    size_t i = index;
    std::vector<step_t> read = read_list(src, i);
    mox::mutex_lock lock(mutex);
    my_steps.insert(my_steps.end(), read.begin(), read.end());
    index = i;
}

} // namespace fxt
