// Trigger programs through the exported interface, against the virtual device: at the
// trigger position the stored data satisfy the program, and a signal that never does
// never triggers.
#include <kestrel_sim/acquisition.h>

#include <algorithm>
#include <functional>
#include <map>

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

} // namespace
