#include "output_engine.h"

#include <algorithm>
#include <cmath>

namespace kestrel_sim {

namespace {

enum cmd_t : uint32_t { cmd_puthold = 0, cmd_loop = 1, cmd_end = 2, cmd_pause = 3 };
constexpr unsigned loop_levels = 3;
constexpr uint32_t address_modulo = 1u << 18;
// The model follows at most this many held steps of a program; programs with larger loop
// counts hold their last levels afterwards.
constexpr size_t max_segments = size_t{1} << 22;

struct level_state_t {
    size_t start = 0;
    uint64_t start_period = 0;
    uint32_t count = 0;
    bool active = false;
    uint64_t period_at_jump = 0;
};

} // namespace

uint32_t timeline_t::levels_at(uint64_t period) const {
    auto find = [](const std::vector<segment_t>& v, uint64_t p) -> uint32_t {
        auto it = std::upper_bound(v.begin(), v.end(), p,
                                   [](uint64_t x, const segment_t& s) { return x < s.start; });
        return it == v.begin() ? 0 : std::prev(it)->levels;
    };
    if (period < prefix_end || body_len == 0) return prefix.empty() ? 0 : find(prefix, period);
    return find(body, (period - prefix_end) % body_len);
}

timeline_t expand_program(const std::vector<uint32_t>& words) {
    timeline_t tl;
    std::vector<timeline_t::segment_t> segs;
    std::array<level_state_t, loop_levels> lv{};
    int cur = -1;
    uint64_t p = 0;
    size_t i = 0;
    while (i < words.size()) {
        if (segs.size() >= max_segments) {
            tl.truncated = true;
            break;
        }
        const uint32_t w = words[i];
        const uint32_t cmd = w >> 30;
        if (cmd == cmd_end) break;
        if (cmd == cmd_pause) {
            ++i;
            continue;
        }
        if (cmd == cmd_puthold) {
            const unsigned marker = (w >> 28) & 3;
            if (marker < loop_levels) {
                cur = static_cast<int>(marker);
                if (!lv[marker].active) {
                    lv[marker].start = i;
                    lv[marker].start_period = p;
                }
            }
            const uint64_t hold = (w & 0x1FF) << ((w >> 9 & 1) ? 9 : 0);
            if (hold > 0) {
                segs.push_back({p, (w >> 10) & 0x3FFFF});
                p += hold;
            }
            ++i;
            continue;
        }
        // Loop word: closes the innermost open level, the whole program when none is open.
        const auto L = static_cast<size_t>(std::max(cur, 0));
        auto& l = lv[L];
        const uint32_t count = w & 0x0FFFFFFF;
        const bool endless = count == 0;
        bool again = false;
        if (!l.active) {
            l.active = true;
            l.count = count;
            if (endless) {
                // Every later pass repeats the first: the rest of the output is periodic.
                if (p == l.start_period) {
                    tl.spins = true;
                    break;
                }
                auto first = std::find_if(segs.begin(), segs.end(),
                                          [&](const auto& s) { return s.start >= l.start_period; });
                for (auto it = first; it != segs.end(); ++it)
                    tl.body.push_back({it->start - l.start_period, it->levels});
                segs.erase(first, segs.end());
                tl.prefix = std::move(segs);
                tl.prefix_end = l.start_period;
                tl.body_len = p - l.start_period;
                return tl;
            }
            again = true;
        } else if (p != l.period_at_jump) {
            --l.count;
            again = l.count != 0;
        }
        l.period_at_jump = p;
        cur = static_cast<int>(L) - 1;
        if (again) {
            i = l.start;
        } else {
            l.active = false;
            ++i;
        }
    }
    tl.prefix = std::move(segs);
    tl.prefix_end = p;
    return tl;
}

output_engines::output_engines(unsigned groups) : groups_(groups) {}

void output_engines::reset() {
    std::lock_guard lk(m_);
    for (auto& g : groups_)
        g = group_t{};
    start_flag_ = false;
}

void output_engines::load(unsigned group, const uint8_t* data, size_t len) {
    std::lock_guard lk(m_);
    if (group >= groups_.size()) return;
    auto& g = groups_[group];
    if (!g.have_params || !g.params.load_enable) {
        g.ignored_bytes += len;
        return;
    }
    for (size_t k = 0; k < len; ++k) {
        g.partial[g.partial_len++] = data[k];
        if (g.partial_len < 4) continue;
        g.partial_len = 0;
        const uint32_t v = g.partial[0] | uint32_t{g.partial[1]} << 8 |
                           uint32_t{g.partial[2]} << 16 | uint32_t{g.partial[3]} << 24;
        // Values arrive in address order; the 18-bit address wraps on long programs, so the
        // engine places bytes by their position and only checks the address.
        const uint64_t pos = g.position++;
        if ((v >> 14) != pos % address_modulo) ++g.bad_addresses;
        const size_t word = static_cast<size_t>(pos / 4);
        const unsigned byte = static_cast<unsigned>(pos % 4);
        if (g.loading.size() <= word) g.loading.resize(word + 1, 0);
        g.loading[word] |= (v & 0xFF) << (8 * byte);
    }
}

void output_engines::set_params(const std::vector<oci_config_t>& params,
                                const std::vector<std::array<port_config_t, 2>>& ports) {
    std::lock_guard lk(m_);
    for (size_t gi = 0; gi < groups_.size() && gi < params.size(); ++gi) {
        auto& g = groups_[gi];
        const bool was_loading = g.have_params && g.params.load_enable;
        g.params = params[gi];
        if (gi < ports.size()) g.ports = ports[gi];
        g.have_params = true;
        if (g.params.load_enable && !was_loading) {
            // A new program replaces the old one from its first word.
            g.loading.clear();
            g.partial_len = 0;
            g.position = 0;
        } else if (!g.params.load_enable && was_loading) {
            g.program = std::move(g.loading);
            g.loading.clear();
            g.timeline = std::make_shared<const timeline_t>(expand_program(g.program));
        }
    }
}

void output_engines::set_start_flag(bool on) {
    std::lock_guard lk(m_);
    start_flag_ = on;
}

bool output_engines::ready_locked(const group_t& g) const {
    return start_flag_ && g.have_params && !g.params.load_enable && !g.program.empty();
}

uint8_t output_engines::ready_mask() const {
    std::lock_guard lk(m_);
    uint8_t mask = 0;
    for (size_t gi = 0; gi < groups_.size(); ++gi)
        if (ready_locked(groups_[gi])) mask = static_cast<uint8_t>(mask | (1u << gi));
    return mask;
}

bool output_engines::ready(unsigned group) const {
    std::lock_guard lk(m_);
    return group < groups_.size() && ready_locked(groups_[group]);
}

output_status_t output_engines::status(unsigned group) const {
    std::lock_guard lk(m_);
    output_status_t s;
    if (group >= groups_.size()) return s;
    const auto& g = groups_[group];
    s.loading = g.have_params && g.params.load_enable;
    s.ready = ready_locked(g);
    s.words = g.program.size();
    s.loading_words = g.loading.size();
    s.ignored_bytes = g.ignored_bytes;
    s.bad_addresses = g.bad_addresses;
    return s;
}

std::vector<uint32_t> output_engines::words(unsigned group) const {
    std::lock_guard lk(m_);
    return group < groups_.size() ? groups_[group].program : std::vector<uint32_t>{};
}

group_drive_t output_engines::drive(unsigned group) const {
    std::lock_guard lk(m_);
    group_drive_t d;
    if (group >= groups_.size()) return d;
    const auto& g = groups_[group];
    d.running = ready_locked(g);
    d.params = g.params;
    d.ports = g.ports;
    d.program = g.timeline;
    return d;
}

driven_wave::driven_wave(kind_t kind, std::shared_ptr<const timeline_t> program, unsigned bit,
                         bool idle, uint64_t clock_hz,
                         std::shared_ptr<const program_origin_t> origin)
    : kind_(kind), program_(std::move(program)), bit_(bit), idle_(idle),
      origin_(std::move(origin)) {
    if (kind_ == kind_t::clock && clock_hz > 0)
        clock_period_ps_ = std::max<int64_t>(2, std::llround(1e12 / static_cast<double>(clock_hz)));
    if (kind_ != kind_t::program || !program_) return;
    auto changes = [&](const std::vector<timeline_t::segment_t>& segs, bool from,
                       std::vector<uint64_t>& out) {
        bool level = from;
        for (const auto& s : segs) {
            const bool v = (s.levels >> bit_) & 1;
            if (v != level) out.push_back(s.start);
            level = v;
        }
        return level;
    };
    const auto& tl = *program_;
    const bool first = tl.prefix.empty() ? false : (tl.prefix.front().levels >> bit_) & 1;
    bool last = changes(tl.prefix, first, prefix_changes_);
    if (tl.body_len > 0) {
        const bool body_first = (tl.body.front().levels >> bit_) & 1;
        if (body_first != last && tl.prefix_end > 0) prefix_changes_.push_back(tl.prefix_end);
        const bool body_last = changes(tl.body, body_first, body_changes_);
        // The change back to the body's first level, at each repetition's end.
        if (body_last != body_first) body_changes_.push_back(tl.body_len);
    }
}

bool driven_wave::program_level(uint64_t p) const {
    return program_ && ((program_->levels_at(p) >> bit_) & 1);
}

int64_t driven_wave::next_change_period(uint64_t p) const {
    const auto& tl = *program_;
    if (p < tl.prefix_end || tl.body_len == 0) {
        auto it = std::upper_bound(prefix_changes_.begin(), prefix_changes_.end(), p);
        if (it != prefix_changes_.end()) return static_cast<int64_t>(*it);
        if (tl.body_len == 0 || body_changes_.empty()) return never;
        return static_cast<int64_t>(tl.prefix_end + body_changes_.front());
    }
    if (body_changes_.empty()) return never;
    const uint64_t rel = (p - tl.prefix_end) % tl.body_len;
    const uint64_t base = p - rel;
    auto it = std::upper_bound(body_changes_.begin(), body_changes_.end(), rel);
    if (it != body_changes_.end()) return static_cast<int64_t>(base + *it);
    return static_cast<int64_t>(base + tl.body_len + body_changes_.front());
}

bool driven_wave::at(int64_t t) const {
    const int64_t t0 = origin_->t0_ps.load();
    if (t < t0) return kind_ == kind_t::sync ? false : idle_;
    const uint64_t p = static_cast<uint64_t>((t - t0) / output_engines::period_ps);
    switch (kind_) {
    case kind_t::program:
        return program_level(p);
    case kind_t::clock:
        // Low for the first half of each period from the program start; stopped low at 0 Hz.
        return clock_period_ps_ > 0 && (t - t0) % clock_period_ps_ >= clock_period_ps_ / 2;
    case kind_t::sync:
        return program_ && (program_->endless() || p < program_->prefix_end);
    }
    return false;
}

int64_t driven_wave::next_change(int64_t t) const {
    const int64_t t0 = origin_->t0_ps.load();
    if (t0 == never) return never;
    if (t < t0) return t0;
    const int64_t rel = t - t0;
    auto to_time = [&](int64_t period) {
        if (period == never || period > (never - t0) / output_engines::period_ps) return never;
        return std::max(t + 1, t0 + period * output_engines::period_ps);
    };
    const uint64_t p = static_cast<uint64_t>(rel / output_engines::period_ps);
    switch (kind_) {
    case kind_t::program:
        return program_ ? to_time(next_change_period(p)) : never;
    case kind_t::clock: {
        if (clock_period_ps_ == 0) return never;
        const int64_t u = rel % clock_period_ps_;
        const int64_t half = clock_period_ps_ / 2;
        return t + (u < half ? half - u : clock_period_ps_ - u);
    }
    case kind_t::sync:
        if (!program_ || program_->endless() || p >= program_->prefix_end) return never;
        return to_time(static_cast<int64_t>(program_->prefix_end));
    }
    return never;
}

} // namespace kestrel_sim
