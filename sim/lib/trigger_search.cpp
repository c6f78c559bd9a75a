#include "trigger_search.h"

#include <algorithm>

namespace kestrel_sim {

namespace {

constexpr uint32_t group_mask = 0x3FFFF;

enum order_t : uint8_t { a_or_b = 0, a_then_b = 1, b_then_a = 2, a_and_b = 3 };

// The master group's channels, level by level.
class group_levels {
public:
    group_levels(const setup_t& s) {
        const unsigned base = s.base_channel(s.master);
        for (unsigned j = 0; j < 18; ++j)
            cur_[j] = cursor(&s.waves[base + j], s.tb);
    }
    uint32_t at(int64_t n) {
        uint32_t v = 0;
        for (unsigned j = 0; j < 18; ++j)
            if (cur_[j].at(n)) v |= 1u << j;
        return v;
    }
    // First sample after n where one of the channels in `mask` may change.
    int64_t next_change(int64_t n, uint32_t mask) {
        int64_t next = never;
        for (unsigned j = 0; j < 18; ++j)
            if (mask & (1u << j)) next = std::min(next, cur_[j].next_change(n));
        return next;
    }

private:
    std::array<cursor, 18> cur_;
};

// Fixed-function trigger: the unmasked channels reach `level` (an edge into the match),
// or are at it (skip_change), or change at all (skip_level).
class fast_search : public slot_search {
public:
    fast_search(const setup_t& s, const fast_config_t& f, int64_t from)
        : g_(s), f_(f), care_(~f.mask & group_mask) {
        next_ = from;
    }

    void step(unsigned& budget) override {
        while (!done() && budget > 0) {
            --budget;
            const int64_t n = next_;
            if (fires(n)) {
                found_ = n;
                return;
            }
            if (f_.skip_level && f_.skip_change) {
                found_ = n;
                return;
            }
            next_ = g_.next_change(n, care_);
            if (next_ == kestrel_sim::never) never_ = true;
        }
    }

private:
    bool match(uint32_t v) const { return ((v ^ f_.level) & care_) == 0; }
    bool fires(int64_t n) {
        if (f_.skip_level && f_.skip_change) return true;
        const uint32_t v = g_.at(n);
        const uint32_t prev = n > 0 ? g_.at(n - 1) : v;
        if (f_.skip_level) return ((v ^ prev) & care_) != 0;
        if (f_.skip_change) return match(v);
        return match(v) && !match(prev);
    }

    group_levels g_;
    fast_config_t f_;
    uint32_t care_;
};

// The external trigger input: an edge of the configured polarity.
class external_search : public slot_search {
public:
    external_search(const setup_t& s, const fast_config_t& f, int64_t from)
        : ext_(&s.ext, s.tb), pol_(f.ext_in_pol) {
        next_ = from;
    }

    void step(unsigned& budget) override {
        while (!done() && budget > 0) {
            --budget;
            const int64_t n = next_;
            const bool v = ext_.at(n);
            const bool prev = n > 0 ? ext_.at(n - 1) : v;
            if (v == pol_ && prev != pol_) {
                found_ = n;
                return;
            }
            next_ = ext_.next_change(n);
            if (next_ == kestrel_sim::never) never_ = true;
        }
    }

private:
    cursor ext_;
    bool pol_;
};

// A step program on the master group's channels. Each word: bit 0 ignore_tmin, 1
// ignore_tmax, 2..12 tmin and 13..23 tmax in trigger-clock ticks, 24 change only, 25 keep
// the timer, 26 do not wait for a change, 27..44 levels, 45..62 mask (set: ignored).
//
// A step completes on the first sample where: any unmasked channel changes (change only),
// the unmasked channels are at their levels (do not wait), or they reach their levels
// through a change. A step that waits for a change looks from the sample after the one
// where the previous step completed; a do-not-wait step is satisfied by the levels
// present, so it looks from that very sample. Its timer starts where the previous step
// completed (the first step: where the program starts) unless the step keeps it. The
// timer measures whole ticks of the trigger clock against the sample instants: a step may
// complete once tmin ticks have passed and until tmax ticks have passed, no later (tmax 0:
// only on the sample where its timer started). Completing earlier fails the program, which
// starts again from its first step on that sample; a do-not-wait step instead waits out
// tmin. Not completing by tmax fails it on the first sample past tmax. The last step
// completing is the slot's event.
class flex_search : public slot_search {
public:
    flex_search(const setup_t& s, const slot_t& slot, int64_t from)
        : g_(s), tb_(s.tb), clk_(slot.clk == 0 ? s.tb.freq : slot.clk) {
        for (uint64_t w : slot.words)
            steps_.push_back(decode(w));
        restart(from, from);
    }

    void step(unsigned& budget) override {
        if (steps_.empty()) never_ = true;
        while (!done() && budget > 0) {
            --budget;
            const auto& st = steps_[index_];
            const int64_t n = next_;
            const int64_t deadline =
                st.use_tmax ? t0_ + samples_within(st.tmax) + 1 : kestrel_sim::never;
            const int64_t earliest = st.use_tmin ? t0_ + samples_for(st.tmin) : entered_;
            if (n >= deadline) {
                fail(deadline);
                continue;
            }
            if (completes(st, n)) {
                if (n < earliest && !st.dont_wait) {
                    fail(n);
                    continue;
                }
                if (n >= earliest) {
                    complete(n);
                    continue;
                }
            }
            int64_t next = g_.next_change(n, st.care);
            if (st.dont_wait && earliest > n) next = std::min(next, earliest);
            next = std::min(next, deadline);
            if (next == kestrel_sim::never) {
                never_ = true;
                return;
            }
            next_ = next;
        }
    }

private:
    struct step_t {
        bool use_tmin, use_tmax, change_only, keep_timer, dont_wait;
        uint32_t tmin, tmax, level, care;
    };
    static step_t decode(uint64_t w) {
        auto field = [&](unsigned pos, unsigned width) {
            return static_cast<uint32_t>((w >> pos) & ((uint64_t{1} << width) - 1));
        };
        return {field(0, 1) == 0,  field(1, 1) == 0,  field(24, 1) != 0,
                field(25, 1) != 0, field(26, 1) != 0, field(2, 11),
                field(13, 11),     field(27, 18),     ~field(45, 18) & group_mask};
    }
    // Samples until `ticks` of the trigger clock have passed: the first sample at or past
    // that instant.
    int64_t samples_for(uint32_t ticks) const {
        const __int128 num = static_cast<__int128>(ticks) * tb_.freq;
        return static_cast<int64_t>((num + clk_ - 1) / clk_);
    }
    // The last sample at most `ticks` of the trigger clock from the timer's start.
    int64_t samples_within(uint32_t ticks) const {
        return static_cast<int64_t>(static_cast<__int128>(ticks) * tb_.freq / clk_);
    }
    bool completes(const step_t& st, int64_t n) {
        const uint32_t v = g_.at(n);
        const uint32_t prev = n > 0 ? g_.at(n - 1) : v;
        if (st.change_only) return ((v ^ prev) & st.care) != 0;
        const bool match = ((v ^ st.level) & st.care) == 0;
        if (st.dont_wait) return match;
        return match && ((prev ^ st.level) & st.care) != 0;
    }
    void restart(int64_t at, int64_t timer) {
        index_ = 0;
        start_ = entered_ = next_ = at;
        t0_ = timer;
    }
    void complete(int64_t n) {
        if (index_ + 1 == steps_.size()) {
            found_ = n;
            return;
        }
        ++index_;
        entered_ = next_ = steps_[index_].dont_wait ? n : n + 1;
        if (!steps_[index_].keep_timer) t0_ = n;
    }
    void fail(int64_t n) {
        // A program that fails on the sample where it started would fail there again:
        // it starts over one sample later.
        const int64_t at = n <= start_ ? n + 1 : n;
        restart(at, at);
    }

    group_levels g_;
    timebase tb_;
    uint32_t clk_;
    std::vector<step_t> steps_;
    size_t index_ = 0;
    int64_t start_ = 0;
    int64_t entered_ = 0;
    int64_t t0_ = 0;
};

class idle_search : public slot_search {
public:
    void step(unsigned&) override { never_ = true; }
};

} // namespace

std::unique_ptr<slot_search> make_slot_search(const setup_t& s, const slot_t& slot, int64_t from) {
    switch (slot.kind) {
    case slot_t::kind_t::fast:
        return std::make_unique<fast_search>(s, slot.fast, from);
    case slot_t::kind_t::external:
        return std::make_unique<external_search>(s, slot.fast, from);
    case slot_t::kind_t::flex:
        return std::make_unique<flex_search>(s, slot, from);
    case slot_t::kind_t::off:
        break;
    }
    return std::make_unique<idle_search>();
}

trigger_search::trigger_search(const setup_t& s, int64_t arm) : s_(s) {
    for (unsigned i = 0; i < 2; ++i)
        if (s.slots[i].kind != slot_t::kind_t::off) active_.push_back(i);
    if (active_.empty()) {
        found_ = arm;
        return;
    }
    if (active_.size() == 1) {
        search_[0] = make_slot_search(s, s.slots[active_[0]], arm);
        return;
    }
    // In sequence, the second slot is searched once the first has fired.
    const bool seq = s.order == a_then_b || s.order == b_then_a;
    if (s.order == b_then_a) std::swap(active_[0], active_[1]);
    search_[0] = make_slot_search(s, s.slots[active_[0]], arm);
    if (!seq) search_[1] = make_slot_search(s, s.slots[active_[1]], arm);
}

void trigger_search::step(unsigned budget) {
    if (found_ >= 0 || never_) return;
    auto& a = search_[0];
    auto& b = search_[1];
    if (active_.size() == 1) {
        a->step(budget);
        found_ = a->found();
        never_ = a->never();
        return;
    }
    const uint8_t order = s_.order;
    if (order == a_then_b || order == b_then_a) {
        if (!second_phase_) {
            a->step(budget);
            if (a->never()) never_ = true;
            if (a->found() < 0) return;
            b = make_slot_search(s_, s_.slots[active_[1]], a->found() + 1);
            second_phase_ = true;
        }
        b->step(budget);
        found_ = b->found();
        never_ = b->never();
        return;
    }
    if (order == a_and_b) {
        // Both must have fired; the later one triggers.
        while (budget > 0 && !(a->done() && b->done())) {
            unsigned half = std::max(1u, budget / 2);
            budget -= half;
            (a->done() ? b : a)->step(half);
        }
        if (a->never() || b->never())
            never_ = true;
        else if (a->found() >= 0 && b->found() >= 0)
            found_ = std::max(a->found(), b->found());
        return;
    }
    // Either one: the earlier event, once the other slot has been searched up to it.
    while (budget > 0 && found_ < 0 && !never_) {
        if (a->never() && b->never()) {
            never_ = true;
            break;
        }
        auto settled = [](slot_search& x, slot_search& y) {
            return x.found() >= 0 && (y.never() || y.progress() > x.found() ||
                                      (y.found() >= 0 && y.found() >= x.found()));
        };
        if (settled(*a, *b)) {
            found_ = a->found();
            break;
        }
        if (settled(*b, *a)) {
            found_ = b->found();
            break;
        }
        // Advance the one that lags behind.
        const bool step_a = !a->done() && (b->done() || a->progress() <= b->progress());
        unsigned slice = std::min(budget, 1024u);
        budget -= slice;
        (step_a ? a : b)->step(slice);
    }
}

} // namespace kestrel_sim
