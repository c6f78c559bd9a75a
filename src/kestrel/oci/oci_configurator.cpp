#include "kestrel/oci/oci_configurator.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

#include "hw/exception.h"
#include "mox/check.h"
#include "oci/program.h"

namespace kestrel {

namespace {

using port_t = config::group_t::port_990;

struct loop_level_t {
    size_t start = 0;
    size_t count = 0;
    bool active = false;
    uint64_t periods_at_jump = 0; // output time at the previous jump back
};

} // namespace

oci_configurator::oci_configurator(capabilities& my_caps, config& device_cfg,
                                   config_loader& cfg_loader, oci_loader_t& oci_loader,
                                   status_getter& stat_ctrl, trs::manager& trs_man,
                                   const hw::log_fn& log)
    : my_caps(my_caps), device_cfg(device_cfg), cfg_loader(cfg_loader), oci_loader(oci_loader),
      stat_ctrl(stat_ctrl), trs_man(trs_man), log(log) {
    MOX_ASSERT(my_caps.channels < 255);
    callbacks.enable_clkout = [this](size_t k, bool on) { enable_clkout(k, on); };
    callbacks.set_clkout_freq = [this](size_t k, uint64_t hz) { set_clkout_freq(k, hz); };
    callbacks.set_idle_state = [this](size_t ch, bool level) { set_idle_state(ch, level); };
    callbacks.set_io_type = [this](size_t ch, oci::io_t t) { return set_io_type(ch, t); };
    callbacks.set_out_voltage = [this](size_t ch, uint16_t mv) { return set_out_voltage(ch, mv); };
    // Loops travel inside the program words; the application's loop hooks have nothing to do.
    callbacks.loop_start = [] {};
    callbacks.loop_end = [](uint32_t) {};
    callbacks.get_sample_rate = [this] { return get_sample_rate(); };
    callbacks.start_oci_chunk = [this](std::vector<oci::word>& w) { return start_oci_chunk(w); };
    callbacks.preview_oci_chunk = [this](std::vector<oci::word>& w, isamp max_samples,
                                         hw::period sampling_period) {
        return preview_oci_chunk(w, max_samples, sampling_period);
    };
    callbacks.wait_oci_ready = [this](uint32_t ms) { return wait_oci_ready(ms); };
}

config::group_t::oci_params_t& oci_configurator::clock_group(size_t clock_index) {
    const size_t clk_grp = clock_index / capabilities::clk_outs_per_group;
    MOX_ASSERT(clk_grp < this->my_caps.groups_count);
    return device_cfg.groups.at(clk_grp).oci_parameters;
}

size_t oci_configurator::clock_channel(size_t clock_index) const {
    const size_t grp = clock_index / capabilities::clk_outs_per_group;
    const size_t out = clock_index % capabilities::clk_outs_per_group;
    return device_cfg.start_channel_from_group(grp) + out * capabilities::channels_per_port +
           capabilities::channels_per_port - 1;
}

void oci_configurator::check_channel(size_t channel) const {
    if (channel >= my_caps.channels) throw std::out_of_range("channel out of range");
}

void oci_configurator::enable_clkout(size_t clock_index, bool enable) {
    std::lock_guard lk(mutex);
    clock_group(clock_index).clk_out_enable[clock_index % 2] = enable;
}

void oci_configurator::set_clkout_freq(size_t clock_index, uint64_t hz) {
    std::lock_guard lk(mutex);
    auto& p = clock_group(clock_index);
    if (hz == 0 && p.clk_out_enable[clock_index % 2]) {
        log("Clock output " + std::to_string(clock_index) + " is enabled: frequency 0 refused");
        return;
    }
    p.clk_out_freq[clock_index % 2] = hz;
}

void oci_configurator::set_idle_state(size_t channel, bool level) {
    std::lock_guard lk(mutex);
    check_channel(channel);
    const auto loc = device_cfg.locate(channel);
    device_cfg.groups.at(loc.grp).oci_parameters.idle_state[loc.ch_in_group] = level;
}

bool oci_configurator::set_io_type(size_t channel, oci::io_t type) {
    std::lock_guard lk(mutex);
    check_channel(channel);
    auto& io = device_cfg.get_io(channel);
    auto& pull = device_cfg.get_pull(channel);
    bool known = true;
    switch (type) {
    case oci::io_t::push_pull:
        io = port_t::io_t::pp;
        pull = port_t::pull_t::dn;
        break;
    case oci::io_t::open_drain_pull_up:
        io = port_t::io_t::od;
        pull = port_t::pull_t::up;
        break;
    case oci::io_t::floating:
        io = port_t::io_t::in;
        pull = port_t::pull_t::dn;
        break;
    default:
        io = port_t::io_t::in;
        pull = port_t::pull_t::dn;
        known = false;
        break;
    }
    return known && my_caps.supported_io_types.exists(type);
}

bool oci_configurator::set_out_voltage(size_t channel, uint16_t millivolts) {
    std::lock_guard lk(mutex);
    check_channel(channel);
    if (millivolts < my_caps.gen_tvcc_min || millivolts > my_caps.gen_tvcc_max) return false;
    device_cfg.get_port(channel).gen_tvcc = millivolts;
    return true;
}

bool oci_configurator::wait_oci_ready(uint32_t timeout_ms) {
    return stat_ctrl.wait_oci_ready(true, timeout_ms);
}

bool oci_configurator::refused(const std::vector<oci::word>& words) const {
    // The preview and the device must run the same program: one whose fields do not carry
    // its values, or whose loops do not nest, is refused before either sees it.
    const std::string why = oci::malformed(words, capabilities::max_oci_loop_levels);
    if (why.empty()) return false;
    log("Output program refused: " + why);
    return true;
}

bool oci_configurator::start_oci_chunk(const std::vector<oci::word>& words) {
    if (refused(words)) return false;
    std::lock_guard lk(mutex);
    cfg_loader.start_oci(false);
    device_cfg.set_oci_load_enable(true);
    cfg_loader.config_oci(device_cfg);
    // The engines report "not ready" once they accept a program; a device that never does
    // has lost the parameters.
    if (stat_ctrl.wait_oci_ready(false, load_enter_timeout_ms))
        throw hw::exception(hw::error::not_responding);
    if (!oci_loader.send_to_device(words)) return false;
    device_cfg.set_oci_load_enable(false);
    cfg_loader.config_oci(device_cfg);
    cfg_loader.start_oci(true);
    return true;
}

isamp oci_configurator::sample_of(uint64_t periods, hw::period sampling_period) {
    const double x = static_cast<double>(periods) * gen_period / sampling_period;
    const double r = std::round(x);
    // A change exactly on a sample shows on that sample; rounding noise must not move it.
    if (std::fabs(x - r) <= 1e-7 * std::max(1.0, x)) return static_cast<isamp>(r);
    return static_cast<isamp>(std::ceil(x));
}

bool oci_configurator::preview_oci_chunk(const std::vector<oci::word>& words, isamp max_samples,
                                         hw::period sampling_period) {
    if (refused(words)) return false;
    std::lock_guard lk(mutex);
    trs_man.init(sampling_period, trs::manager::all_channels);
    auto builders = trs_man.create_builders();
    MOX_ASSERT(builders.size() == this->my_caps.channels);
    for (auto& b : builders) {
        b.clear();
        b.set_uncaptured(true);
    }
    const size_t n_ch = builders.size();
    max_samples = std::max<isamp>(max_samples, 0);

    // Clock outputs, low for the first half of each period from the program start.
    const auto sampling_freq = static_cast<uint64_t>(std::llround(1.0 / sampling_period));
    std::vector<bool> is_clock(n_ch, false);
    const auto clk_outs = device_cfg.get_oci_clk_outs();
    for (size_t k = 0; k < clk_outs.size(); ++k) {
        const size_t ch = clock_channel(k);
        if (!clk_outs[k].enable || ch >= n_ch || !device_cfg.ch_configured_as_output(ch)) continue;
        is_clock[ch] = true;
        auto& b = builders[ch];
        // A frequency of 0, or one the capture cannot resolve, cannot be drawn.
        const uint64_t freq = clk_outs[k].freq;
        const isamp clk_period_samples = freq == 0 ? 0 : static_cast<isamp>(sampling_freq / freq);
        if (clk_period_samples < 2) {
            b.append_idle(max_samples, 0);
            continue;
        }
        const isamp half = clk_period_samples / 2;
        b.append_idle(0, 0);
        bool high = false;
        for (isamp s = 0; s < max_samples; s += clk_period_samples) {
            if (s > 0) b.append(s, 0);
            high = s + half < max_samples;
            if (high) b.append(s + half, 1);
        }
        b.append_idle(max_samples, high);
    }

    std::vector<bool> output(n_ch, false);
    for (size_t ch = 0; ch < n_ch; ++ch)
        output[ch] = !is_clock[ch] && device_cfg.ch_configured_as_output(ch);
    // Several changes before one sample show only as the last of them.
    struct track_t {
        bool written = false;
        bool level = false;
        isamp pending_at = -1;
        bool pending = false;
    };
    std::vector<track_t> tracks(n_ch);
    auto flush = [&](size_t ch) {
        auto& t = tracks[ch];
        if (t.pending_at < 0) return;
        if (!t.written)
            builders[ch].append_idle(t.pending_at, t.pending);
        else if (t.pending != t.level)
            builders[ch].append(t.pending_at, t.pending);
        t.written = true;
        t.level = t.pending;
        t.pending_at = -1;
    };
    auto put = [&](size_t ch, isamp at, bool v) {
        auto& t = tracks[ch];
        if (t.pending_at != at) flush(ch);
        t.pending_at = at;
        t.pending = v;
    };

    std::array<loop_level_t, capabilities::max_oci_loop_levels> levels{};
    int loop_level = -1; // nesting depth of the innermost open loop
    uint64_t periods = 0;
    size_t i = 0;
    while (i < words.size()) {
        const oci::word& w = words[i];
        if (w.cmd == oci::command::end) break;
        if (w.cmd == oci::command::rfu_pause) {
            ++i;
            continue;
        }
        if (w.cmd == oci::command::puthold) {
            if (w.loop_marker != oci::word::no_loop) {
                // A loop opens here: one level deeper than the one it sits in.
                ++loop_level;
                MOX_ASSERT(loop_level < this->my_caps.max_oci_loop_levels);
                auto& lv = levels[static_cast<size_t>(loop_level)];
                if (!lv.active) lv.start = i;
            }
            // The levels hold from the start of the word's hold; an empty hold never shows.
            const isamp hold = std::max<isamp>(0, w.get_hold(9));
            if (hold > 0) {
                const isamp at = sample_of(periods, sampling_period);
                if (at >= max_samples) break;
                for (size_t ch = 0; ch < n_ch; ++ch)
                    if (output[ch]) put(ch, at, w.bits[ch]);
                periods += static_cast<uint64_t>(hold);
            }
            ++i;
            continue;
        }
        // A loop word closes the innermost open loop (the whole program when none is open).
        const int closing = std::max(loop_level, 0);
        MOX_ASSERT(closing < this->my_caps.max_oci_loop_levels);
        auto& lv = levels[static_cast<size_t>(closing)];
        const bool endless = w.loop_count == 0;
        bool again = false;
        if (!lv.active) {
            lv.active = true;
            lv.count = w.loop_count;
            again = true;
        } else if (periods == lv.periods_at_jump) {
            // A body that takes no time would spin for ever: its repetitions change nothing.
            if (endless) break;
        } else {
            if (!endless) --lv.count;
            again = endless || lv.count != 0;
        }
        lv.periods_at_jump = periods;
        if (again) {
            loop_level = closing - 1;
            i = lv.start;
        } else {
            lv.active = false;
            loop_level = closing - 1;
            ++i;
        }
    }

    // Every channel that is not a clock holds its last level to the end.
    for (size_t ch = 0; ch < n_ch; ++ch) {
        if (is_clock[ch]) continue;
        flush(ch);
        builders[ch].append_idle(max_samples, tracks[ch].level);
    }
    return true;
}

} // namespace kestrel
