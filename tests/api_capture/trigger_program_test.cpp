// Trigger programs through the exported interface, against the virtual device: at the
// trigger position the stored data satisfy the program, and a signal that never does
// never triggers.
#include <kestrel_sim/acquisition.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <tuple>

#include "../core/api_fixture.h"

namespace {

using namespace core_test;
using kestrel_sim::signal_t;

constexpr uint32_t rate = 10000000; // 100 ns a sample
constexpr int64_t depth = 20000;
constexpr int64_t post = 18000; // 200 us before the trigger, as the caller asks

// The stored capture, read back with the transition functions: levels of channels 0..17.
class stored {
public:
    stored(kestrelapi_handle h, int64_t length) : length_(length) {
        for (uint8_t ch = 0; ch < 18; ++ch) {
            EXPECT_EQ(kestrelapi_trs_reset(h, ch), OHWAPI_OK);
            bool more = true;
            kestrelapi_trs_t t;
            auto& tr = ch_[ch];
            while (more) {
                EXPECT_EQ(kestrelapi_trs_get_next(h, ch, &t), OHWAPI_OK);
                tr.emplace_back(static_cast<int64_t>(t.sampple_index), t.value == 1);
                EXPECT_EQ(kestrelapi_trs_is_not_last(h, ch, &more), OHWAPI_OK);
                if (tr.size() > 1000000) break;
            }
        }
    }
    int64_t length() const { return length_; }
    bool at(unsigned ch, int64_t s) const {
        const auto& tr = ch_[ch];
        auto it = std::upper_bound(tr.begin(), tr.end(), std::pair<int64_t, bool>{s, true});
        return it == tr.begin() ? false : std::prev(it)->second;
    }
    bool rise(unsigned ch, int64_t s) const { return s > 0 && at(ch, s) && !at(ch, s - 1); }
    bool fall(unsigned ch, int64_t s) const { return s > 0 && !at(ch, s) && at(ch, s - 1); }
    bool change(unsigned ch, int64_t s) const { return s > 0 && at(ch, s) != at(ch, s - 1); }

private:
    int64_t length_;
    std::array<std::vector<std::pair<int64_t, bool>>, 18> ch_;
};

using levels = std::map<unsigned, bool>;

// One step of the reference reading of a program: its event at a sample and its bounds,
// in seconds from the previous step's event.
struct ref_step {
    std::function<bool(const stored&, int64_t)> event;
    double after = -1, within = -1;
    bool level = false; // completes as soon as the levels hold, possibly where the last did
};

bool holds(const stored& d, const levels& q, int64_t s) {
    for (auto [ch, high] : q)
        if (d.at(ch, s) != high) return false;
    return true;
}

ref_step edge(unsigned ch, bool rise, levels q = {}, double after = -1, double within = -1) {
    return {[=](const stored& d, int64_t s) {
                return (rise ? d.rise(ch, s) : d.fall(ch, s)) && holds(d, q, s);
            },
            after, within};
}
ref_step change(std::vector<unsigned> chs, levels q = {}) {
    return {[=](const stored& d, int64_t s) {
        return std::any_of(chs.begin(), chs.end(), [&](unsigned c) { return d.change(c, s); }) &&
               holds(d, q, s);
    }};
}
ref_step level(levels q, double after = -1, double within = -1) {
    return {[=](const stored& d, int64_t s) { return holds(d, q, s); }, after, within, true};
}
// Where a pulse of that level ends, its width (from its start) within the bounds.
ref_step pulse(unsigned ch, bool high, double shortest, double longest) {
    return {[=](const stored& d, int64_t s) {
        if (!(high ? d.fall(ch, s) : d.rise(ch, s))) return false;
        int64_t start = s - 1;
        while (start > 0 && d.at(ch, start - 1) == high)
            --start;
        if (start == 0) return false; // began before the capture: width unknown
        const double w = static_cast<double>(s - start) / rate;
        const double tol = 2.0 / rate;
        return (shortest < 0 || w >= shortest - tol) && (longest < 0 || w <= longest + tol);
    }};
}

// For each sample, whether the steps up to k can have happened with step k's event there.
std::vector<bool> satisfied(const stored& d, const std::vector<ref_step>& steps) {
    const int64_t n = d.length();
    std::vector<bool> prev(static_cast<size_t>(n)), cur(static_cast<size_t>(n));
    for (int64_t s = 0; s < n; ++s)
        prev[static_cast<size_t>(s)] = steps[0].event(d, s);
    for (size_t k = 1; k < steps.size(); ++k) {
        const ref_step& st = steps[k];
        std::vector<int64_t> sum(static_cast<size_t>(n) + 1, 0); // events of step k-1 before s
        for (int64_t s = 0; s < n; ++s)
            sum[static_cast<size_t>(s) + 1] =
                sum[static_cast<size_t>(s)] + prev[static_cast<size_t>(s)];
        const int64_t tol = 2;
        for (int64_t s = 0; s < n; ++s) {
            // The previous event lies in [s - within, s - after], strictly before unless a
            // level step, which may complete where the previous one did.
            int64_t hi = st.level ? s : s - 1;
            if (st.after > 0) hi = std::min(hi, s - static_cast<int64_t>(st.after * rate) + tol);
            int64_t lo = st.within > 0 ? s - static_cast<int64_t>(st.within * rate) - tol : 0;
            lo = std::max<int64_t>(lo, 0);
            bool ok =
                hi >= lo && sum[static_cast<size_t>(hi) + 1] - sum[static_cast<size_t>(lo)] > 0;
            // A level step completes on the first sample its levels hold.
            if (ok && st.level && s > 0 && st.event(d, s - 1) && !prev[static_cast<size_t>(s)])
                ok = false;
            cur[static_cast<size_t>(s)] = ok && st.event(d, s);
        }
        prev.swap(cur);
    }
    return prev;
}

class trigger_programs : public opened_device {
protected:
    void start(const model_case& c = family[0]) { opened_device::start(c); }
    // Every channel of the master group low, then the given signals.
    void signals(std::map<unsigned, signal_t> s) {
        for (unsigned ch = 0; ch < 18; ++ch)
            fw->acq().set_signal(ch, s.count(ch) ? s[ch] : signal_t::constant(false));
    }
    ohwapi_err_code_t program(uint8_t engine, const char* text, std::string* why = nullptr) {
        char msg[512];
        std::memset(msg, 'x', sizeof msg);
        const ohwapi_err_code_t rc =
            kestrelapi_set_trigger_program(h->get(), engine, text, msg, sizeof msg);
        if (why) *why = msg;
        return rc;
    }
    std::string describe(uint8_t engine) {
        char text[4096];
        EXPECT_EQ(kestrelapi_describe_trigger_program(h->get(), engine, text, sizeof text),
                  OHWAPI_OK);
        return text;
    }
    bool flag(ohwapi_err_code_t (*getter)(kestrelapi_handle, bool*)) {
        return read_flag(h->get(), getter);
    }
    // Captures with the programs set; the trigger position, or -1 when the device had not
    // triggered a while after it was configured (the capture is then aborted).
    int64_t capture(uint8_t order = 0) {
        auto s = default_settings(depth, rate);
        s.post_trig_depth = post;
        s.trig_order = order;
        EXPECT_EQ(kestrelapi_launch_new_capture_programmed(h->get(), s), OHWAPI_OK);
        EXPECT_TRUE(eventually([&] { return flag(kestrelapi_get_config_done_flag); }, 30s));
        // The virtual device searches a trigger far faster than real time.
        if (!eventually([&] { return flag(kestrelapi_get_triggered_flag); }, 300ms)) {
            EXPECT_EQ(kestrelapi_request_abort(h->get()), OHWAPI_OK);
            EXPECT_TRUE(eventually([&] { return h->ready_flag(); }, 30s));
            return -1;
        }
        EXPECT_TRUE(eventually(
            [&] {
                return flag(kestrelapi_get_capture_done_flag) ||
                       kestrelapi_get_last_error(h->get()) != OHWAPI_OK;
            },
            60s));
        EXPECT_EQ(kestrelapi_get_last_error(h->get()), OHWAPI_OK);
        uint64_t pos = 0;
        int64_t total = 0, post_count = 0;
        EXPECT_EQ(kestrelapi_get_trigger_position(h->get(), &pos), OHWAPI_OK);
        EXPECT_EQ(kestrelapi_get_available_samples(h->get(), &total, &post_count), OHWAPI_OK);
        // The pre-trigger length is the caller's.
        EXPECT_EQ(static_cast<int64_t>(pos), depth - post);
        EXPECT_EQ(total, depth);
        return static_cast<int64_t>(pos);
    }
    // One form: with `hit` the capture triggers where the reference steps are satisfied;
    // with `miss` it never triggers.
    void check_form(const char* text, const std::vector<ref_step>& ref,
                    std::map<unsigned, signal_t> hit, std::map<unsigned, signal_t> miss) {
        SCOPED_TRACE(text);
        std::string why;
        ASSERT_EQ(program(0, text, &why), OHWAPI_OK) << why;
        EXPECT_EQ(why, "");
        ASSERT_EQ(program(1, ""), OHWAPI_OK);
        signals(hit);
        const int64_t t = capture();
        ASSERT_GE(t, 0) << "no trigger\n" << describe(0);
        const stored d(h->get(), depth);
        EXPECT_TRUE(satisfied(d, ref)[static_cast<size_t>(t)]) << describe(0);
        signals(miss);
        EXPECT_EQ(capture(), -1) << "triggered on a signal that never satisfies it";
    }
};

signal_t sq(double period_us, double duty, double phase_us) {
    return signal_t::square(period_us * 1e-6, duty, phase_us * 1e-6);
}

TEST_F(trigger_programs, edges_levels_and_changes) {
    start();
    check_form("ch3 rise", {edge(3, true)}, {{3, sq(10, 0.5, 3)}}, {{3, signal_t::constant(true)}});
    // ch5 rises while ch3 is high, never as ch3 rises: the qualifier must hold at the edge.
    check_form("ch3 rise & ch5 high & ch6 low", {edge(3, true, {{5, true}, {6, false}})},
               {{3, sq(10, 0.5, 0)}, {5, sq(70, 0.5, 0.5)}, {6, sq(130, 0.5, 1)}},
               {{3, sq(10, 0.5, 0)}, {5, sq(10, 0.2, 2)}});
    check_form("ch7 high & ch8 low", {level({{7, true}, {8, false}})},
               {{7, sq(30, 0.5, 0)}, {8, sq(50, 0.5, 0)}},
               {{7, sq(10, 0.5, 0)}, {8, sq(10, 0.5, 0)}});
    check_form("ch4 change", {change({4})}, {{4, sq(20, 0.5, 0)}}, {{5, sq(20, 0.5, 0)}});
    std::vector<unsigned> all(18);
    for (unsigned c = 0; c < 18; ++c)
        all[c] = c;
    check_form("any change", {change(all)}, {{11, sq(20, 0.5, 0)}}, {});
    // ch0 changes only while ch2 is high.
    check_form("any change & ch2 low", {change(all, {{2, false}})},
               {{0, sq(10, 0.5, 0)}, {2, sq(33, 0.5, 0)}},
               {{0, sq(10, 0.5, 1)}, {2, signal_t::constant(true)}});
}

TEST_F(trigger_programs, pulses_of_each_width_form) {
    start();
    check_form("ch2 pulse high 1us..5us", {pulse(2, true, 1e-6, 5e-6)}, {{2, sq(10, 0.3, 0)}},
               {{2, sq(10, 0.7, 0)}});
    check_form("ch2 pulse high >2us", {pulse(2, true, 2e-6, -1)}, {{2, sq(10, 0.3, 0)}},
               {{2, sq(10, 0.1, 0)}});
    check_form("ch2 pulse low <2us", {pulse(2, false, -1, 2e-6)}, {{2, sq(10, 0.9, 0)}},
               {{2, sq(10, 0.5, 0)}});
}

TEST_F(trigger_programs, sequences_with_within_after_and_both) {
    start();
    // ch3 rises every 100 us; ch4 falls 5 us (hit) or 20 us (miss) after it.
    check_form("ch3 rise; ch4 fall within 10us", {edge(3, true), edge(4, false, {}, -1, 10e-6)},
               {{3, sq(100, 0.5, 0)}, {4, sq(100, 0.5, 55)}},
               {{3, sq(100, 0.5, 0)}, {4, sq(100, 0.5, 70)}});
    check_form("ch3 rise; ch4 fall after 10us", {edge(3, true), edge(4, false, {}, 10e-6, -1)},
               {{3, sq(100, 0.5, 0)}, {4, sq(100, 0.5, 70)}},
               {{3, sq(100, 0.5, 0)}, {4, sq(100, 0.5, 55)}});
    // ch1 rises 10 us after ch0 falls (hit); 1 us or 70 us after it (misses).
    const std::vector<ref_step> three{edge(0, false), edge(1, true, {}, 2e-6, 50e-6),
                                      level({{2, true}})};
    check_form("ch0 fall; ch1 rise after 2us within 50us; ch2 high", three,
               {{0, sq(100, 0.5, 0)}, {1, sq(100, 0.5, 60)}, {2, sq(100, 0.5, 80)}},
               {{0, sq(100, 0.5, 0)}, {1, sq(100, 0.5, 51)}, {2, signal_t::constant(true)}});
    check_form("ch0 rise; ch1 rise within 20us; ch2 fall within 20us",
               {edge(0, true), edge(1, true, {}, -1, 20e-6), edge(2, false, {}, -1, 20e-6)},
               {{0, sq(100, 0.5, 0)}, {1, sq(100, 0.5, 10)}, {2, sq(100, 0.2, 0)}},
               {{0, sq(100, 0.5, 0)}, {1, sq(100, 0.5, 10)}, {2, sq(100, 0.5, 0)}});
}

TEST_F(trigger_programs, engines_a_and_b_in_each_order) {
    start();
    ASSERT_EQ(program(0, "ch3 rise"), OHWAPI_OK);
    ASSERT_EQ(program(1, "ch4 rise"), OHWAPI_OK);
    // A fires 10 us into every 100 us, B 40 us.
    signals({{3, sq(100, 0.5, 10)}, {4, sq(100, 0.5, 40)}});
    struct order_case {
        uint8_t order;
        unsigned at;     // channel whose rise is the trigger
        int other_prior; // channel that must have risen before, -1: none
    };
    for (const order_case c :
         {order_case{0, 3, -1}, order_case{1, 4, 3}, order_case{2, 3, 4}, order_case{3, 4, 3}}) {
        SCOPED_TRACE("order " + std::to_string(c.order));
        const int64_t t = capture(c.order);
        ASSERT_GE(t, 0);
        const stored d(h->get(), depth);
        EXPECT_TRUE(d.rise(c.at, t));
        if (c.other_prior >= 0) {
            bool seen = false;
            for (int64_t s = 1; s < t; ++s)
                seen = seen || d.rise(static_cast<unsigned>(c.other_prior), s);
            EXPECT_TRUE(seen);
        }
        // B then A waits for a rise of A after B's: the first rise of A is not it.
        if (c.order == 2) {
            EXPECT_TRUE(d.rise(4, t - 700));
        }
    }
    // Either engine alone decides when the other has no program.
    ASSERT_EQ(program(0, "none"), OHWAPI_OK);
    for (uint8_t order : {0, 2}) {
        const int64_t t = capture(order);
        ASSERT_GE(t, 0);
        EXPECT_TRUE(stored(h->get(), depth).rise(4, t));
    }
    // The simple launch leaves the kept programs out: without a trigger it never waits for
    // B's edge, which never comes.
    signals({});
    auto s = default_settings(depth, rate);
    ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(h->get(), trig(KESTRELAPI_TRG_NOTRIG, 0),
                                                           trig(KESTRELAPI_TRG_NOTRIG, 0), s),
              OHWAPI_OK);
    EXPECT_TRUE(eventually([&] { return flag(kestrelapi_get_capture_done_flag); }, 60s));
}

TEST_F(trigger_programs, refused_programs_leave_the_previous_one) {
    start();
    ASSERT_EQ(program(0, "ch3 rise; ch4 fall within 10us"), OHWAPI_OK);
    const std::string before = describe(0);
    EXPECT_NE(before.find("trigger clock: 125000000 Hz"), std::string::npos) << before;
    EXPECT_NE(before.find("within 1250 ticks (10 us)"), std::string::npos) << before;
    EXPECT_EQ(describe(1), "no trigger program: the engine is off\n");

    const std::pair<const char*, const char*> refused[] = {
        {"ch3 rise & ch4 fall", "a step waits for one edge"},
        {"ch18 rise", "channel outside 0..17"},
        {"ch0 rise; ch1 rise within 5s", "beyond the step timer"},
        {"ch0 rise; ch1 rise within 3ns", "3 ns is less than one tick (4 ns)"},
        {"ch2 pulse low <4ns", "no whole tick of the trigger clock (4 ns) is shorter than 4 ns"},
    };
    for (auto [text, why] : refused) {
        std::string msg;
        EXPECT_EQ(program(0, text, &msg), OHWAPI_INVALID_ARGUMENT) << text;
        EXPECT_NE(msg.find(why), std::string::npos) << msg;
        EXPECT_EQ(describe(0), before);
    }
    // The message is cut to the room given, and may be left out.
    char small[8];
    EXPECT_EQ(kestrelapi_set_trigger_program(h->get(), 0, "ch99 rise", small, sizeof small),
              OHWAPI_INVALID_ARGUMENT);
    EXPECT_STREQ(small, "column ");
    EXPECT_EQ(kestrelapi_set_trigger_program(h->get(), 0, "ch99 rise", nullptr, 0),
              OHWAPI_INVALID_ARGUMENT);
    std::string msg;
    EXPECT_EQ(program(2, "ch3 rise", &msg), OHWAPI_INVALID_ARGUMENT);
    EXPECT_NE(msg.find("engine 2"), std::string::npos);
    char text[16];
    EXPECT_EQ(kestrelapi_describe_trigger_program(h->get(), 2, text, sizeof text),
              OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_describe_trigger_program(h->get(), 0, nullptr, 0),
              OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(describe(0), before);

    // The kept program is the one that runs.
    signals({{3, sq(100, 0.5, 0)}, {4, sq(100, 0.5, 55)}});
    const int64_t t = capture();
    ASSERT_GE(t, 0);
    const stored d(h->get(), depth);
    EXPECT_TRUE(
        satisfied(d, {edge(3, true), edge(4, false, {}, -1, 10e-6)})[static_cast<size_t>(t)]);
}

// The programs watch the master group, the last entry of a multi-group configuration.
TEST_F(trigger_programs, they_run_on_the_master_group) {
    start(family[2]);
    check_form("ch3 rise & ch5 high", {edge(3, true, {{5, true}})},
               {{3, sq(10, 0.5, 0)}, {5, sq(70, 0.5, 0.5)}},
               {{3, sq(10, 0.5, 0)}, {5, sq(10, 0.2, 2)}});
}

// ---- The header's rules, evaluated on the stored data ----
//
// Where the program must fire, found from the rules as the header states them (not from
// how the library builds engine words): the program starts on the arming sample, each step
// takes the first event after the previous step's and checks its levels on that sample,
// times are whole ticks of the trigger clock rounded towards what the text allows, and a
// failing step starts the program over (an early event: on its sample; a bound that runs out:
// on the first sample past it; levels that do not hold: on the next sample).

struct rule {
    enum kind_t { rise, fall, change, level, pulse } kind = level;
    std::vector<unsigned> chs;          // edge, pulse: its channel; change: any of them
    bool high = true;                   // pulse: a high pulse
    levels q;                           // qualifying levels; a level step's levels
    double after = -1, within = -1;     // seconds from the previous step's event; -1: none
    double longer = -1, shorter = -1;   // pulse width '>T', '<T'
    double shortest = -1, longest = -1; // pulse width 'a..b'
};

rule edge_rule(rule::kind_t k, unsigned ch, levels q = {}, double after = -1, double within = -1) {
    rule r;
    r.kind = k;
    r.chs = {ch};
    r.q = std::move(q);
    r.after = after;
    r.within = within;
    return r;
}

class rules_of_the_header {
public:
    rules_of_the_header(const stored& d, double fs, double clk) : d_(d), fs_(fs), clk_(clk) {}

    // The stored sample where the program fires, from the arming sample; -1 when that lies
    // beyond the stored data.
    int64_t trigger(const std::vector<rule>& program, int64_t arm) const {
        int64_t start = arm;
        for (int restarts = 0; restarts < 100000; ++restarts) {
            const int64_t at = run(program, start);
            if (at < 0) return -1;
            if (!restart_) return at;
            start = at;
        }
        return -1;
    }

private:
    // Ticks in a time, rounded down or up; a whole number of ticks stays what it is.
    double ticks(double t, bool up) const {
        const double exact = t * clk_, nearest = std::round(exact);
        if (std::fabs(exact - nearest) <= 1e-9 * std::max(1.0, exact)) return nearest;
        return up ? std::ceil(exact) : std::floor(exact);
    }
    // The fewest samples at least `n` ticks long, the most at most `n` ticks long.
    int64_t samples_at_least(double n) const {
        return static_cast<int64_t>(std::ceil(n * fs_ / clk_ - 1e-9));
    }
    int64_t samples_at_most(double n) const {
        return static_cast<int64_t>(std::floor(n * fs_ / clk_ + 1e-9));
    }
    bool edge(unsigned ch, int64_t n, int dir) const {
        if (n < 1) return false;
        const bool v = d_.at(ch, n), prev = d_.at(ch, n - 1);
        return v != prev && (dir == 0 || v == (dir > 0));
    }
    bool event(const rule& r, int64_t n) const {
        return std::any_of(r.chs.begin(), r.chs.end(), [&](unsigned ch) {
            return edge(ch, n, r.kind == rule::rise ? 1 : r.kind == rule::fall ? -1 : 0);
        });
    }
    int64_t first(int64_t from, const std::function<bool(int64_t)>& f) const {
        for (int64_t n = std::max<int64_t>(from, 1); n < d_.length(); ++n)
            if (f(n)) return n;
        return -1;
    }
    // Runs the program once from `start`: the trigger, or where it starts over (restart_),
    // or -1 beyond the data.
    int64_t run(const std::vector<rule>& program, int64_t start) const {
        restart_ = true;
        int64_t prev = -1, from = start;
        for (size_t k = 0; k < program.size(); ++k) {
            const rule& r = program[k];
            const bool timed = k > 0;
            const int64_t earliest =
                timed && r.after >= 0 ? prev + samples_at_least(ticks(r.after, true)) : -1;
            const int64_t last = timed && r.within >= 0
                                     ? prev + samples_at_most(ticks(r.within, false))
                                     : std::numeric_limits<int64_t>::max() - 1;
            if (r.kind == rule::level) {
                // From the previous step's own sample; with 'after', from the bound.
                int64_t n = std::max(timed ? prev : from, earliest);
                while (n <= last && n < d_.length() && !holds(d_, r.q, n))
                    ++n;
                if (n > last) return last + 1;
                if (n >= d_.length()) return -1;
                prev = n;
                from = n + 1;
                continue;
            }
            if (r.kind == rule::pulse) {
                const unsigned ch = r.chs[0];
                const int64_t s0 =
                    first(from, [&](int64_t n) { return edge(ch, n, r.high ? 1 : -1); });
                if (s0 < 0) return -1;
                const int64_t e = first(s0 + 1, [&](int64_t n) { return edge(ch, n, 0); });
                // Widths: '>T' past T, '<T' short of T, 'a..b' with both ends.
                const int64_t min_w = r.longer >= 0 ? samples_at_least(ticks(r.longer, false) + 1)
                                      : r.shortest >= 0 ? samples_at_least(ticks(r.shortest, true))
                                                        : -1;
                const int64_t max_w = r.shorter >= 0   ? samples_at_most(ticks(r.shorter, true) - 1)
                                      : r.longest >= 0 ? samples_at_most(ticks(r.longest, false))
                                                       : -1;
                if (max_w >= 0 && (e < 0 || e - s0 > max_w)) return s0 + max_w + 1;
                if (e < 0) return -1;
                if (min_w >= 0 && e - s0 < min_w) return e;
                if (!holds(d_, r.q, e)) return e + 1;
                prev = e;
                from = e + 1;
                continue;
            }
            const int64_t n = first(from, [&](int64_t i) { return event(r, i) || i > last; });
            if (n < 0) return -1;
            if (n > last) return last + 1;
            if (n < earliest) return n;
            if (!holds(d_, r.q, n)) return n + 1;
            prev = n;
            from = n + 1;
        }
        restart_ = false;
        return prev;
    }

    const stored& d_;
    double fs_, clk_;
    mutable bool restart_ = true;
};

// How a rule case captures.
struct run_t {
    uint32_t rate = 10000000; // armed 1 ms into the run
    int64_t depth = 20000, post = 10000;
    uint8_t order = 0;
};

// The rules on every model, for engine A and engine B: each case captures once and the
// trigger position must be the sample the rules give.
class trigger_rules : public trigger_programs,
                      public ::testing::WithParamInterface<std::tuple<size_t, uint8_t>> {
protected:
    void SetUp() override {
        trigger_programs::SetUp();
        start(family[std::get<0>(GetParam())]);
    }
    uint8_t engine() const { return std::get<1>(GetParam()); }

    // Captures with `text` on this engine (and `other` on the other one), then compares
    // the trigger with the rules.
    void expect_rules(const std::string& text, const std::vector<rule>& program,
                      std::map<unsigned, signal_t> sig, run_t r = {},
                      const std::string& other = "") {
        SCOPED_TRACE(text + " on engine " + std::to_string(engine()));
        std::string why;
        ASSERT_EQ(this->program(engine(), text.c_str(), &why), OHWAPI_OK) << why;
        ASSERT_EQ(this->program(1 - engine(), other.c_str(), &why), OHWAPI_OK) << why;
        const std::string described = describe(engine());
        const auto at = described.find("trigger clock: ");
        ASSERT_NE(at, std::string::npos) << described;
        const double clk = std::stod(described.substr(at + 15));
        signals(sig);
        auto s = default_settings(r.depth, r.rate);
        s.post_trig_depth = r.post;
        s.trig_order = r.order;
        ASSERT_EQ(kestrelapi_launch_new_capture_programmed(h->get(), s), OHWAPI_OK);
        const bool triggered = eventually([&] { return flag(kestrelapi_get_triggered_flag); }, 20s);
        if (!triggered) {
            EXPECT_EQ(kestrelapi_request_abort(h->get()), OHWAPI_OK);
            EXPECT_TRUE(eventually([&] { return h->ready_flag(); }, 30s));
            FAIL() << "no trigger\n" << described;
        }
        ASSERT_TRUE(eventually([&] { return flag(kestrelapi_get_capture_done_flag); }, 60s));
        ASSERT_EQ(kestrelapi_get_last_error(h->get()), OHWAPI_OK);
        uint64_t pos = 0;
        EXPECT_EQ(kestrelapi_get_trigger_position(h->get(), &pos), OHWAPI_OK);
        const auto truth = fw->acq().capture();
        // The arming sample, counted in stored samples (it may precede the stored ones).
        const int64_t arm = truth.pre_trig_samples - truth.first_sample;
        ASSERT_GE(arm, 1) << "the program armed before the stored samples: longer pre-trigger";
        const stored d(h->get(), r.depth);
        const int64_t want = rules_of_the_header(d, r.rate, clk).trigger(program, arm);
        EXPECT_EQ(static_cast<int64_t>(pos), want) << "armed on stored sample " << arm << "\n"
                                                   << described;
    }
};

// A pattern of levels, each `unit` long, from `start`, shifted half a unit so that no
// edge falls on a sample instant; `runs` alternates levels from `first`, in units.
signal_t runs(bool first, std::vector<int> lengths, double unit, double start) {
    std::vector<uint8_t> levels;
    bool v = first;
    for (int n : lengths) {
        levels.insert(levels.end(), static_cast<size_t>(n), v ? 1 : 0);
        v = !v;
    }
    return signal_t::pattern(levels, unit, true, start + unit / 2);
}

// Square waves whose edges fall 1 ns before a sample instant.
signal_t sq_early(double period_us, double duty, double phase_us) {
    return signal_t::square(period_us * 1e-6, duty, phase_us * 1e-6 - 1e-9);
}

rule pulse_rule(unsigned ch, bool high) {
    rule r;
    r.kind = rule::pulse;
    r.chs = {ch};
    r.high = high;
    return r;
}

TEST_P(trigger_rules, pulse_widths_keep_or_leave_out_their_bounds) {
    // 4 ns samples and ticks; each pattern starts just after the arming sample (20 us), with
    // the pulse at the bound first.
    const run_t fast{250000000, 20000, 15000, 0};
    const double t0 = 20.1e-6, u = 4e-9;
    rule longer = pulse_rule(2, true);
    longer.longer = 2e-6;
    expect_rules("ch2 pulse high >2us", {longer}, {{2, runs(true, {500, 250, 501, 250}, u, t0)}},
                 fast);
    rule shorter = pulse_rule(2, true);
    shorter.shorter = 1e-6;
    expect_rules("ch2 pulse high <1us", {shorter}, {{2, runs(true, {250, 250, 249, 250}, u, t0)}},
                 fast);
    rule low = pulse_rule(16, false);
    low.shorter = 300e-9;
    expect_rules("ch16 pulse low <300ns", {low},
                 {{16, runs(false, {75, 100, 74, 100}, u, t0)}, {2, signal_t::constant(true)}},
                 fast);
    rule range = pulse_rule(2, true);
    range.shortest = 1e-6;
    range.longest = 5e-6;
    expect_rules("ch2 pulse high 1us..5us", {range},
                 {{2, runs(true, {249, 250, 1251, 250, 1250, 250}, u, t0)}}, fast);
}

TEST_P(trigger_rules, levels_hold_on_the_edge_sample_whatever_the_trigger_clock) {
    // 1 s needs a trigger clock of about 2 kHz (0.5 ms ticks) at 1 MS/s: ch3 rises every
    // 1 ms; ch5 rises 0.25 ms after the rise at 7 ms, just after the arming sample, and is
    // high at the next ones.
    expect_rules(
        "ch3 rise & ch5 high; ch4 fall within 1s",
        {edge_rule(rule::rise, 3, {{5, true}}), edge_rule(rule::fall, 4, {}, -1, 1)},
        {{3, sq_early(1000, 0.5, 0)}, {4, sq_early(1000, 0.5, 0)}, {5, sq_early(7000, 0.5, 250)}},
        {1000000, 20000, 13500, 0});
    // At 1 GS/s a tick of the fastest clock is 4 samples; ch5 rises 2 ns after ch3 at 7 us.
    expect_rules("ch3 rise & ch5 high", {edge_rule(rule::rise, 3, {{5, true}})},
                 {{3, sq_early(1, 0.5, 0)}, {5, sq_early(7, 0.5, 0.002)}},
                 {1000000000, 20000, 13500, 0});
}

TEST_P(trigger_rules, an_event_on_the_arming_sample_counts_for_every_kind) {
    // Armed on sample 2000 (200 us at 10 MS/s), where ch3 has its edge.
    rule p = pulse_rule(3, true);
    p.shortest = 1e-6;
    p.longest = 5e-6;
    const std::pair<std::string, std::vector<rule>> forms[] = {
        {"ch3 rise", {edge_rule(rule::rise, 3)}},
        {"ch3 change", {edge_rule(rule::change, 3)}},
        {"ch3 pulse high 1us..5us", {p}},
    };
    const run_t armed_at_200us{10000000, 20000, 18000, 0};
    for (const auto& [text, program] : forms)
        expect_rules(text, program, {{3, sq_early(50, 0.06, 200)}}, armed_at_200us);
    expect_rules("ch3 fall", {edge_rule(rule::fall, 3)}, {{3, sq_early(50, 0.5, 175)}},
                 armed_at_200us);
}

TEST_P(trigger_rules, steps_start_over_as_the_header_says) {
    // A 'within' that runs out starts over there: ch3 rises every 5 us, ch4 falls 0.5 us
    // after every fourth rise.
    expect_rules("ch3 rise; ch4 fall within 1us",
                 {edge_rule(rule::rise, 3), edge_rule(rule::fall, 4, {}, -1, 1e-6)},
                 {{3, sq_early(5, 0.5, 0)}, {4, sq_early(20, 0.5, 15.5)}});
    // An edge without its levels starts over, it does not wait for the next edge: from the
    // arming sample on, ch0 rises every 100 us, ch1 5 and 8 us later with ch2 high only at
    // the second, then 5 us later with ch2 low, then 5 us later with ch2 high.
    const double armed = 1e-3, us = 1e-6;
    expect_rules("ch0 rise; ch1 rise & ch2 high within 20us",
                 {edge_rule(rule::rise, 0), edge_rule(rule::rise, 1, {{2, true}}, -1, 20e-6)},
                 {{0, runs(true, {10, 90}, us, armed)},
                  {1, runs(false, {5, 1, 2, 1, 96, 1, 2, 1, 96, 1, 94}, us, armed)},
                  {2, runs(false, {7, 3, 195, 3, 92}, us, armed)}});
    // A level step with 'after' waits out its bound, then takes the levels as they are.
    rule high2;
    high2.q = {{2, true}};
    high2.after = 5e-6;
    expect_rules("ch0 rise; ch2 high after 5us", {edge_rule(rule::rise, 0), high2},
                 {{0, sq_early(50, 0.5, 0)}, {2, sq_early(50, 0.5, 3)}});
    // An event of any channel with its own level as the qualifier: ch2's fall counts.
    std::vector<unsigned> all(18);
    for (unsigned c = 0; c < 18; ++c)
        all[c] = c;
    rule any;
    any.kind = rule::change;
    any.chs = all;
    any.q = {{2, false}};
    expect_rules("any change & ch2 low", {any}, {{2, sq_early(20, 0.5, 3)}});
    // 'after 2us' at 35.7 MHz is 72 ticks, not 71: ch1 rises 2.000, 2.016 and 2.020 us after
    // ch0 in turn.
    const run_t fast{250000000, 40000, 30000, 0};
    expect_rules("ch0 rise; ch1 rise after 2us within 50us",
                 {edge_rule(rule::rise, 0), edge_rule(rule::rise, 1, {}, 2e-6, 50e-6)},
                 {{0, runs(true, {100, 2400}, 4e-9, 40.1e-6)},
                  {1, runs(false, {500, 200, 2304, 200, 2301, 200, 1795}, 4e-9, 40.1e-6)}},
                 fast);
}

TEST_P(trigger_rules, a_then_b_counts_b_only_after_a) {
    // ch3 and ch4 rise on the same sample every 10 us, and ch4 again 2 us later: the
    // second program fires on the later rise.
    const uint8_t order = engine() == 0 ? 1 : 2; // this engine first
    expect_rules("ch3 rise", {edge_rule(rule::rise, 3), edge_rule(rule::rise, 4)},
                 {{3, sq_early(10, 0.1, 1)}, {4, sq_early(2, 0.5, 1)}},
                 {10000000, 20000, 18000, order}, "ch4 rise");
}

// The programmed capture keeps its depth before the trigger only with samples after it.
TEST_P(trigger_rules, a_programmed_capture_without_post_trigger_is_refused) {
    ASSERT_EQ(program(engine(), "ch3 rise"), OHWAPI_OK);
    auto s = default_settings(depth, rate);
    s.post_trig_depth = 0;
    EXPECT_EQ(kestrelapi_launch_new_capture_programmed(h->get(), s), OHWAPI_INVALID_CONFIG);
    char why[256] = "";
    EXPECT_EQ(kestrelapi_get_last_error_text(h->get(), why, sizeof why), OHWAPI_OK);
    EXPECT_NE(std::string(why).find("post_trig_depth = 0 is outside 1..20000"), std::string::npos)
        << why;
    EXPECT_FALSE(flag(kestrelapi_get_capture_done_flag));
}

INSTANTIATE_TEST_SUITE_P(models_and_engines, trigger_rules,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Values(0, 1)),
                         [](const auto& info) {
                             return std::string(family[std::get<0>(info.param)].channels == 18
                                                    ? "one"
                                                : family[std::get<0>(info.param)].channels == 36
                                                    ? "two"
                                                    : "three") +
                                    (std::get<1>(info.param) == 0 ? "_engine_a" : "_engine_b");
                         });

} // namespace
