// Captures through the exported interface alone, checked against the virtual device.
#include <kestrel_sim/acquisition.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include <sys/syscall.h>
#include <unistd.h>

#include "../capture/packets.h"
#include "../core/api_fixture.h"

namespace {

using namespace core_test;

const auto& models = family;

kestrelapi_settings_t settings(int64_t depth, uint32_t freq = 250000000) {
    return default_settings(depth, freq);
}

struct transition {
    uint64_t sample;
    int level;
};

class api_capture : public opened_device {
protected:
    bool flag(ohwapi_err_code_t (*getter)(kestrelapi_handle, bool*)) {
        return read_flag(h->get(), getter);
    }
    // Waits until the capture is done or has failed; the stored error.
    ohwapi_err_code_t finish() {
        eventually(
            [&] {
                return flag(kestrelapi_get_capture_done_flag) ||
                       (kestrelapi_get_last_error(h->get()) != OHWAPI_OK &&
                        flag(kestrelapi_get_ready_flag));
            },
            60s);
        return kestrelapi_get_last_error(h->get());
    }
    std::vector<transition> walk(uint8_t ch) {
        std::vector<transition> out;
        EXPECT_EQ(kestrelapi_trs_reset(h->get(), ch), OHWAPI_OK);
        bool more = true;
        EXPECT_EQ(kestrelapi_trs_is_not_last(h->get(), ch, &more), OHWAPI_OK);
        kestrelapi_trs_t t;
        for (int guard = 0; guard < 10000000; ++guard) {
            EXPECT_EQ(kestrelapi_trs_get_next(h->get(), ch, &t), OHWAPI_OK);
            out.push_back({t.sampple_index, t.value == 1 ? 1 : 0});
            EXPECT_EQ(kestrelapi_trs_is_not_last(h->get(), ch, &more), OHWAPI_OK);
            if (!more) break;
        }
        return out;
    }
    void expect_ground_truth(unsigned channels, int64_t length) {
        auto& acq = fw->acq();
        for (unsigned ch = 0; ch < channels; ++ch) {
            const auto tr = walk(static_cast<uint8_t>(ch));
            ASSERT_FALSE(tr.empty());
            int bad = 0;
            for (size_t i = 0; i < tr.size() && bad < 3; ++i) {
                const int64_t end =
                    i + 1 < tr.size() ? static_cast<int64_t>(tr[i + 1].sample) : length;
                for (int64_t s = static_cast<int64_t>(tr[i].sample); s < end && bad < 3; ++s)
                    if (static_cast<int>(acq.level(ch, s)) != tr[i].level) {
                        ADD_FAILURE() << "channel " << ch << " sample " << s;
                        ++bad;
                    }
            }
        }
    }
};

TEST_F(api_capture, simple_triggers_on_every_model) {
    struct trigger_case {
        kestrelapi_trigger_type_t type;
        int8_t ch;
        bool polarity;
    };
    const trigger_case cases[] = {
        {KESTRELAPI_TRG_NOTRIG, 0, true},     {KESTRELAPI_TRG_RISING, 3, true},
        {KESTRELAPI_TRG_FALLING, 5, true},    {KESTRELAPI_TRG_CHANGE, -1, true},
        {KESTRELAPI_TRG_EXT_RISING, 0, true}, {KESTRELAPI_TRG_EXT_FALLING, 0, false}};
    for (const model_case& m : models) {
        start(m);
        for (const trigger_case& c : cases) {
            SCOPED_TRACE(std::string(m.sn) + " type " + std::to_string(c.type));
            auto s = settings(100000);
            s.ext_trig_out_polarity = c.polarity;
            ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(
                          h->get(), trig(c.type, c.ch), trig(KESTRELAPI_TRG_NOTRIG, 0), s),
                      OHWAPI_OK);
            ASSERT_EQ(finish(), OHWAPI_OK);
            EXPECT_TRUE(flag(kestrelapi_get_config_done_flag));
            EXPECT_TRUE(flag(kestrelapi_get_triggered_flag));
            const auto info = fw->acq().capture();
            // Without a flexible trigger the post-trigger depth is 95 % of the depth.
            EXPECT_EQ(info.post_trig_samples, 95000);
            uint64_t pos = 0;
            EXPECT_EQ(kestrelapi_get_trigger_position(h->get(), &pos), OHWAPI_OK);
            EXPECT_EQ(static_cast<int64_t>(pos), info.trigger_sample);
            EXPECT_EQ(info.trigger_sample, 5000);
            int64_t total = 0, post = 0;
            EXPECT_EQ(kestrelapi_get_available_samples(h->get(), &total, &post), OHWAPI_OK);
            EXPECT_EQ(total, 100000);
            EXPECT_GE(post, 95000);
            expect_ground_truth(m.channels, total);
            if (c.type == KESTRELAPI_TRG_RISING || c.type == KESTRELAPI_TRG_FALLING) {
                const int after = c.type == KESTRELAPI_TRG_RISING ? 1 : 0;
                EXPECT_EQ(static_cast<int>(fw->acq().level(c.ch, 5000)), after);
                EXPECT_EQ(static_cast<int>(fw->acq().level(c.ch, 4999)), 1 - after);
            }
            if (c.type == KESTRELAPI_TRG_EXT_RISING) {
                EXPECT_TRUE(fw->acq().external_level(5000));
                EXPECT_FALSE(fw->acq().external_level(4999));
            }
        }
        h->close();
        h.reset();
    }
}

TEST_F(api_capture, complex_launch_and_walking_backwards) {
    start(models[1]);
    auto s = settings(200000);
    s.t_clk[0] = 100000000;
    s.t_clk[1] = 50000000;
    ASSERT_EQ(kestrelapi_launch_new_capture_complex_trigger(h->get(), s), OHWAPI_OK);
    ASSERT_EQ(finish(), OHWAPI_OK);
    expect_ground_truth(36, 200000);

    // From a sample backwards: the last transition at or before it, then the earlier ones.
    const auto forward = walk(9);
    ASSERT_GT(forward.size(), 4u);
    const uint64_t target = forward[3].sample + 1;
    ASSERT_EQ(kestrelapi_trs_before(h->get(), 9, target), OHWAPI_OK);
    kestrelapi_trs_t t;
    for (int i = 3; i >= 0; --i) {
        ASSERT_EQ(kestrelapi_trs_get_previous(h->get(), 9, &t), OHWAPI_OK);
        const uint64_t at = t.sampple_index; // a packed member: no reference to it
        EXPECT_EQ(at, forward[static_cast<size_t>(i)].sample);
    }
    EXPECT_EQ(kestrelapi_trs_get_next(h->get(), 36, &t), OHWAPI_INVALID_ARGUMENT);
    bool more = true;
    EXPECT_EQ(kestrelapi_trs_is_not_last(h->get(), 200, &more), OHWAPI_INVALID_ARGUMENT);
}

// Without samples after the trigger a capture would end at its trigger, empty: every launch
// either keeps its depth before the trigger or is refused with the reason.
TEST_F(api_capture, a_launch_without_post_trigger_is_never_an_empty_success) {
    start(models[0]);
    const auto none = trig(KESTRELAPI_TRG_NOTRIG, 0);
    auto s = settings(20000);
    s.post_trig_depth = 0;
    auto outcome = [&](ohwapi_err_code_t launched, const char* how) {
        SCOPED_TRACE(how);
        if (launched == OHWAPI_INVALID_CONFIG) {
            char why[256] = "";
            EXPECT_EQ(kestrelapi_get_last_error_text(h->get(), why, sizeof why), OHWAPI_OK);
            EXPECT_NE(std::string(why).find("post_trig_depth = 0"), std::string::npos) << why;
            return;
        }
        ASSERT_EQ(launched, OHWAPI_OK);
        ASSERT_EQ(finish(), OHWAPI_OK);
        int64_t total = 0, post = 0;
        EXPECT_EQ(kestrelapi_get_available_samples(h->get(), &total, &post), OHWAPI_OK);
        EXPECT_EQ(total, 20000);
    };
    outcome(kestrelapi_launch_new_capture_simple_trigger(h->get(), trig(KESTRELAPI_TRG_RISING, 2),
                                                         none, s),
            "simple");
    outcome(kestrelapi_launch_new_capture_complex_trigger(h->get(), s), "complex");
}

TEST_F(api_capture, refused_launches_start_nothing) {
    start(models[0]);
    const auto none = trig(KESTRELAPI_TRG_NOTRIG, 0);
    auto bad = [&](kestrelapi_trigger_description_t a, kestrelapi_trigger_description_t b,
                   kestrelapi_settings_t s) {
        return kestrelapi_launch_new_capture_simple_trigger(h->get(), a, b, s);
    };
    const auto s = settings(10000);
    EXPECT_EQ(bad(trig(KESTRELAPI_TRG_RISING, 18), none, s), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(bad(trig(KESTRELAPI_TRG_FALLING, -1), none, s), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(bad(trig(KESTRELAPI_TRG_CHANGE, -2), none, s), OHWAPI_INVALID_ARGUMENT);
    // External on A with a fast trigger on B, or against the trigger output's polarity.
    EXPECT_EQ(bad(trig(KESTRELAPI_TRG_EXT_RISING, 0), trig(KESTRELAPI_TRG_RISING, 1), s),
              OHWAPI_INVALID_CONFIG);
    auto falling_out = s;
    falling_out.ext_trig_out_polarity = false;
    EXPECT_EQ(bad(trig(KESTRELAPI_TRG_EXT_RISING, 0), none, falling_out), OHWAPI_INVALID_CONFIG);
    for (auto broken : {settings(10000, 0), settings(0), settings(10000, 1500000000)}) {
        EXPECT_EQ(bad(none, none, broken), OHWAPI_INVALID_CONFIG);
        EXPECT_EQ(kestrelapi_launch_new_capture_complex_trigger(h->get(), broken),
                  OHWAPI_INVALID_CONFIG);
    }
    auto post = s;
    post.post_trig_depth = s.sampling_depth + 1;
    EXPECT_EQ(bad(none, none, post), OHWAPI_INVALID_CONFIG);
    auto io = s;
    std::memset(&io.io_type[4], 0x7F, sizeof io.io_type[4]);
    EXPECT_EQ(bad(none, none, io), OHWAPI_INVALID_ARGUMENT);
    // Nothing ran.
    EXPECT_EQ(fw->counters().run_flags, 0u);
    EXPECT_EQ(kestrelapi_get_last_error(h->get()), OHWAPI_OK);
    EXPECT_FALSE(flag(kestrelapi_get_config_done_flag));
}

TEST_F(api_capture, abort_busy_failure_and_close_during_capture) {
    start(models[0]);
    auto& acq = fw->acq();
    const auto none = trig(KESTRELAPI_TRG_NOTRIG, 0);
    const auto rising = trig(KESTRELAPI_TRG_RISING, 2);

    // Abort while waiting for a trigger that never comes.
    acq.never_trigger(true);
    ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(h->get(), rising, none, settings(20000)),
              OHWAPI_OK);
    EXPECT_FALSE(flag(kestrelapi_get_capture_done_flag));
    uint64_t pos = 99;
    EXPECT_EQ(kestrelapi_get_trigger_position(h->get(), &pos), OHWAPI_OK);
    EXPECT_EQ(pos, 0u);
    ASSERT_TRUE(eventually([&] { return flag(kestrelapi_get_config_done_flag); }));
    EXPECT_EQ(kestrelapi_request_abort(h->get()), OHWAPI_OK);
    EXPECT_EQ(finish(), OHWAPI_ABORTED);
    EXPECT_FALSE(flag(kestrelapi_get_capture_done_flag));

    // A second launch while the first still runs is refused with busy at once, and the
    // first capture goes on as it was.
    ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(h->get(), rising, none, settings(20000)),
              OHWAPI_OK);
    ASSERT_TRUE(eventually([&] { return flag(kestrelapi_get_config_done_flag); }));
    const uint64_t runs = acq.capture().runs;
    EXPECT_EQ(kestrelapi_launch_new_capture_simple_trigger(h->get(), rising, none, settings(40000)),
              OHWAPI_BUSY);
    EXPECT_TRUE(flag(kestrelapi_get_config_done_flag));
    EXPECT_FALSE(flag(kestrelapi_get_ready_flag));
    EXPECT_EQ(kestrelapi_get_last_error(h->get()), OHWAPI_OK);
    EXPECT_EQ(acq.capture().runs, runs);
    EXPECT_EQ(kestrelapi_request_abort(h->get()), OHWAPI_OK);
    EXPECT_EQ(finish(), OHWAPI_ABORTED);
    acq.clear_faults();

    // A device that stops answering: the capture fails and done is never set.
    bus::instance().ignore_packets("7302101000001", 1, -1);
    ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(h->get(), none, none, settings(20000)),
              OHWAPI_OK);
    EXPECT_EQ(finish(), OHWAPI_NOT_RESPONDING);
    EXPECT_FALSE(flag(kestrelapi_get_capture_done_flag));
    bus::instance().ignore_packets("7302101000001", 1, 0);

    // Closing during a capture stops it first.
    acq.never_trigger(true);
    ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(h->get(), rising, none, settings(20000)),
              OHWAPI_OK);
    ASSERT_TRUE(eventually([&] { return flag(kestrelapi_get_config_done_flag); }));
    EXPECT_EQ(kestrelapi_device_close(h->get()), OHWAPI_OK);
    EXPECT_TRUE(eventually([&] { return !h->open_flag() && flag(kestrelapi_get_ready_flag); }));
    EXPECT_EQ(kestrelapi_get_last_error(h->get()), OHWAPI_ABORTED);
    EXPECT_FALSE(fw->run_flag());
    h.reset();
}

} // namespace

namespace {

TEST_F(api_capture, captured_uart_and_counter_through_the_signal_tools) {
    start(models[0]);
    auto& acq = fw->acq();
    acq.set_signal(8, kestrel_sim::signal_t::uart({'K', 0x55, 0xA3}, 115200));
    acq.set_signal(12, kestrel_sim::signal_t::uart({0x0F, 0x31}, 9600));
    for (unsigned b = 0; b < 4; ++b)
        acq.set_signal(b, kestrel_sim::signal_t::counter(b, 1e-6));
    // 50 MHz for 9600 baud: a few frames in 400000 samples.
    ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(h->get(), trig(KESTRELAPI_TRG_NOTRIG, 0),
                                                           trig(KESTRELAPI_TRG_NOTRIG, 0),
                                                           settings(400000, 50000000)),
              OHWAPI_OK);
    ASSERT_EQ(finish(), OHWAPI_OK);
    auto& man = h->internals().trs_man;
    EXPECT_EQ(man.get_baud(8).nearest, 115200u);
    EXPECT_EQ(man.get_baud(12).nearest, 9600u);

    // The counter on channels 0..3 read back as bus words: one step every microsecond.
    auto bus = man.create_bus_iterator({0, 1, 2, 3});
    bus.restart();
    int64_t last_sample = -1;
    int words = 0;
    for (int i = 0; i < 20000 && bus.current_tr_is_not_last(); ++i) {
        const auto w = bus.next();
        if (w.sample == last_sample) break;
        const auto expect = (acq.level(0, w.sample) ? 1 : 0) | (acq.level(1, w.sample) ? 2 : 0) |
                            (acq.level(2, w.sample) ? 4 : 0) | (acq.level(3, w.sample) ? 8 : 0);
        EXPECT_EQ(static_cast<int>(w.bits.to_ulong()), expect) << w.sample;
        last_sample = w.sample;
        ++words;
    }
    EXPECT_GT(words, 100);
}

} // namespace

namespace {

TEST_F(api_capture, a_group_that_never_triggers_is_aborted_promptly) {
    // Group 0's bridge never streams, so group 1 waits for a common trigger instant that
    // never comes. (A device whose bridges another device repeats is not opened at all.)
    bus::instance().unplug_all();
    bus::instance().plug("7302102000042");
    fw = bus::instance().firmware("7302102000042");
    fw->acq().stall_stream(0, 0, std::chrono::minutes(2));
    h = std::make_unique<api_handle>(kestrel_two);
    ASSERT_EQ(h->open("7302102000042"), OHWAPI_OK);
    const auto none = trig(KESTRELAPI_TRG_NOTRIG, 0);
    ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(h->get(), none, none, settings(100000)),
              OHWAPI_OK);
    ASSERT_TRUE(eventually([&] { return flag(kestrelapi_get_triggered_flag); }, 30s));
    EXPECT_FALSE(flag(kestrelapi_get_capture_done_flag));
    EXPECT_EQ(kestrelapi_request_abort(h->get()), OHWAPI_OK);
    EXPECT_TRUE(eventually([&] { return flag(kestrelapi_get_ready_flag); }, 10s));
    EXPECT_EQ(kestrelapi_get_last_error(h->get()), OHWAPI_ABORTED);
}

} // namespace

// A capture that overflows keeps its data and shows as done, but never before its error
// is there to read: a caller polling done must not take it for a good capture.
TEST_F(api_capture, an_overrun_is_reported_before_done) {
    start(models[2]);
    fw->acq().overrun_after(1, 1000);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(
                      h->get(), trig(KESTRELAPI_TRG_NOTRIG, 0), trig(KESTRELAPI_TRG_NOTRIG, 0),
                      settings(30000)),
                  OHWAPI_OK);
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (!flag(kestrelapi_get_capture_done_flag) && std::chrono::steady_clock::now() < end) {
        }
        ASSERT_TRUE(flag(kestrelapi_get_capture_done_flag));
        EXPECT_EQ(kestrelapi_get_last_error(h->get()), OHWAPI_NO_DATA);
        ASSERT_TRUE(eventually([&] { return flag(kestrelapi_get_ready_flag); }));
    }
}

namespace {

TEST_F(api_capture, ready_is_false_from_the_launch_until_the_capture_has_ended) {
    start(models[0]);
    const auto none = trig(KESTRELAPI_TRG_NOTRIG, 0);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(
            kestrelapi_launch_new_capture_simple_trigger(h->get(), none, none, settings(20000)),
            OHWAPI_OK);
        // Read at once, before the capture thread can have taken the device: a caller that
        // polls ready must not take the capture for finished.
        EXPECT_FALSE(flag(kestrelapi_get_ready_flag)) << i;
        ASSERT_TRUE(eventually([&] { return flag(kestrelapi_get_ready_flag); }));
        // Ready again only once it has ended.
        EXPECT_TRUE(flag(kestrelapi_get_capture_done_flag));
        EXPECT_EQ(kestrelapi_get_last_error(h->get()), OHWAPI_OK);
    }
}

// Every capture runs on threads kept from one capture to the next (the capture thread and
// the group's parse thread, told by the threads their log lines come from): a new thread on
// a loaded machine may wait a scheduler slice before it first runs.
TEST_F(api_capture, captures_run_on_threads_kept_from_one_capture_to_the_next) {
    start(models[0]);
    struct lines {
        std::mutex m;
        std::vector<std::pair<std::string, long>> seen; // line start, thread
        static void take(void* user, int, const char* line) {
            auto* l = static_cast<lines*>(user);
            const std::string text(line);
            for (const char* start : {"Capture done", "set trig instant"})
                if (text.rfind(start, 0) == 0) {
                    std::lock_guard lk(l->m);
                    l->seen.emplace_back(start, syscall(SYS_gettid));
                }
        }
    } log;
    ASSERT_EQ(kestrelapi_set_log_callback(h->get(), &lines::take, &log), OHWAPI_OK);
    const auto none = trig(KESTRELAPI_TRG_NOTRIG, 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(
            kestrelapi_launch_new_capture_simple_trigger(h->get(), none, none, settings(20000)),
            OHWAPI_OK);
        ASSERT_EQ(finish(), OHWAPI_OK) << i;
        ASSERT_TRUE(eventually([&] { return flag(kestrelapi_get_ready_flag); }));
    }
    ASSERT_EQ(kestrelapi_set_log_callback(h->get(), nullptr, nullptr), OHWAPI_OK);
    for (const char* start : {"Capture done", "set trig instant"}) {
        std::vector<long> threads;
        for (const auto& [line, thread] : log.seen)
            if (line == start) threads.push_back(thread);
        ASSERT_EQ(threads.size(), 3u) << start;
        EXPECT_EQ(threads[1], threads[0]) << start;
        EXPECT_EQ(threads[2], threads[0]) << start;
    }
}

// The walk of reset / get_next, with the transitions of one sample folded into one item that
// carries the last level: what a bulk read must give.
std::vector<transition> folded_walk(kestrelapi_handle h, uint8_t ch) {
    std::vector<transition> out;
    EXPECT_EQ(kestrelapi_trs_reset(h, ch), OHWAPI_OK);
    kestrelapi_trs_t t;
    for (int guard = 0; guard < 10000000; ++guard) {
        EXPECT_EQ(kestrelapi_trs_get_next(h, ch, &t), OHWAPI_OK);
        const uint64_t s = t.sampple_index;
        const int level = t.value == 1 ? 1 : 0;
        if (!out.empty() && out.back().sample == s)
            out.back().level = level;
        else
            out.push_back({s, level});
        bool more = false;
        EXPECT_EQ(kestrelapi_trs_is_not_last(h, ch, &more), OHWAPI_OK);
        if (!more) break;
    }
    return out;
}

// Everything from `from` on, in reads of `capacity` items, each going on at the last + 1.
std::vector<transition> read_all(kestrelapi_handle h, uint8_t ch, uint32_t capacity,
                                 uint64_t from = 0) {
    std::vector<transition> out;
    std::vector<uint64_t> samples(capacity);
    std::vector<uint8_t> levels(capacity);
    for (;;) {
        uint32_t n = 12345;
        EXPECT_EQ(kestrelapi_trs_read(h, ch, from, samples.data(), levels.data(), capacity, &n),
                  OHWAPI_OK);
        EXPECT_LE(n, capacity);
        if (n == 0 || n > capacity) return out;
        for (uint32_t i = 0; i < n; ++i)
            out.push_back({samples[i], levels[i]});
        from = samples[n - 1] + 1;
    }
}

bool operator==(const transition& a, const transition& b) {
    return a.sample == b.sample && a.level == b.level;
}

TEST_F(api_capture, bulk_reads_agree_with_the_walk_on_every_model) {
    for (const model_case& m : models) {
        SCOPED_TRACE(m.sn);
        start(m);
        auto& acq = fw->acq();
        acq.set_signal(5, kestrel_sim::signal_t::constant(true)); // never changes
        acq.set_signal(6, kestrel_sim::signal_t::constant(false));
        acq.set_signal(7, kestrel_sim::signal_t::square(1e-6, 0.3));
        ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(
                      h->get(), trig(KESTRELAPI_TRG_RISING, 7), trig(KESTRELAPI_TRG_NOTRIG, 0),
                      settings(60000)),
                  OHWAPI_OK);
        ASSERT_EQ(finish(), OHWAPI_OK);
        int64_t length = 0, post = 0;
        ASSERT_EQ(kestrelapi_get_available_samples(h->get(), &length, &post), OHWAPI_OK);

        for (unsigned c = 0; c < m.channels; ++c) {
            SCOPED_TRACE(c);
            const auto ch = static_cast<uint8_t>(c);
            const auto walked = folded_walk(h->get(), ch);
            ASSERT_FALSE(walked.empty());
            EXPECT_EQ(walked.front().sample, 0u); // the initial level comes first
            const auto all = read_all(h->get(), ch, 100000);
            ASSERT_EQ(all, walked);
            if (c == 5 || c == 6 || c == 7 || c + 1 == m.channels) {
                EXPECT_EQ(read_all(h->get(), ch, 1), walked); // capacity 1 goes on item by item
            }

            // The level at every item, just before it and at the last sample.
            // An item can close the channel at its length, where no sample has a level.
            for (size_t i = 0; i < walked.size(); i += 1 + walked.size() / 50) {
                if (walked[i].sample >= static_cast<uint64_t>(length)) continue;
                uint8_t level = 9;
                ASSERT_EQ(kestrelapi_trs_level_at(h->get(), ch, walked[i].sample, &level),
                          OHWAPI_OK);
                EXPECT_EQ(level, walked[i].level);
                if (i > 0) {
                    ASSERT_EQ(kestrelapi_trs_level_at(h->get(), ch, walked[i].sample - 1, &level),
                              OHWAPI_OK);
                    EXPECT_EQ(level, walked[i - 1].level);
                }
                EXPECT_EQ(walked[i].level, static_cast<int>(acq.level(c, walked[i].sample)))
                    << walked[i].sample;
            }
            uint8_t level = 9;
            ASSERT_EQ(
                kestrelapi_trs_level_at(h->get(), ch, static_cast<uint64_t>(length - 1), &level),
                OHWAPI_OK);
            auto last = walked.rbegin();
            while (last->sample >= static_cast<uint64_t>(length))
                ++last;
            EXPECT_EQ(level, last->level);
            EXPECT_EQ(kestrelapi_trs_level_at(h->get(), ch, static_cast<uint64_t>(length), &level),
                      OHWAPI_INVALID_ARGUMENT);

            // From inside a run: the next item; beyond the end: nothing.
            if (walked.size() > 2 && walked[1].sample + 1 < walked[2].sample) {
                const auto rest = read_all(h->get(), ch, 7, walked[1].sample + 1);
                ASSERT_EQ(rest.size(), walked.size() - 2);
                EXPECT_EQ(rest.front(), walked[2]);
            }
            EXPECT_TRUE(read_all(h->get(), ch, 10, walked.back().sample + 1).empty());
            EXPECT_TRUE(read_all(h->get(), ch, 10, ~uint64_t{0}).empty());
        }
        // A channel that never changes is its level from sample 0 on.
        EXPECT_EQ(read_all(h->get(), 6, 10), (std::vector<transition>{{0, 0}}));
        const auto high = read_all(h->get(), 5, 10);
        ASSERT_FALSE(high.empty());
        EXPECT_EQ(high.back().level, 1);
        EXPECT_LE(high.size(), 2u);

        // Arguments.
        uint64_t s[2];
        uint8_t l[2];
        uint32_t n = 0;
        const auto beyond = static_cast<uint8_t>(m.channels);
        EXPECT_EQ(kestrelapi_trs_read(h->get(), beyond, 0, s, l, 2, &n), OHWAPI_INVALID_ARGUMENT);
        EXPECT_EQ(kestrelapi_trs_read(h->get(), 0, 0, nullptr, l, 2, &n), OHWAPI_INVALID_ARGUMENT);
        EXPECT_EQ(kestrelapi_trs_read(h->get(), 0, 0, s, nullptr, 2, &n), OHWAPI_INVALID_ARGUMENT);
        EXPECT_EQ(kestrelapi_trs_read(h->get(), 0, 0, s, l, 2, nullptr), OHWAPI_INVALID_ARGUMENT);
        EXPECT_EQ(kestrelapi_trs_read(h->get(), 0, 0, s, l, 0, &n), OHWAPI_INVALID_ARGUMENT);
        EXPECT_EQ(kestrelapi_trs_level_at(h->get(), beyond, 0, l), OHWAPI_INVALID_ARGUMENT);
        EXPECT_EQ(kestrelapi_trs_level_at(h->get(), 0, 0, nullptr), OHWAPI_INVALID_ARGUMENT);
        h->close();
        h.reset();
    }
}

// Reads that go on from the last sample + 1 while the capture appends: no item is skipped or
// repeated, and what they gathered is a prefix of the finished channel.
} // namespace

namespace {

// Captures on the paced device: samples enter its memory at the sampling rate by the wall
// clock, so a capture lasts as long as it would on hardware.
class paced_capture : public api_capture {
protected:
    void pace(uint64_t memory_bytes = 2000000000) {
        kestrel_sim::stream_model_t m;
        m.paced = true;
        m.memory_bytes = memory_bytes;
        m.fifo_bytes = 16384; // what a stopped run leaves in the bridge
        bus::instance().set_stream_model(m);
    }
    int64_t available() {
        int64_t total = 0, post = 0;
        EXPECT_EQ(kestrelapi_get_available_samples(h->get(), &total, &post), OHWAPI_OK);
        return total;
    }
    // Asks for the abort and waits for the ready flag; how long that took.
    std::chrono::milliseconds abort_now() {
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(kestrelapi_request_abort(h->get()), OHWAPI_OK);
        EXPECT_TRUE(eventually([&] { return flag(kestrelapi_get_ready_flag); }, 20s));
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - asked);
    }
    // What the stores kept covers the capture's length on every channel (ends there exactly
    // when `cut`), and its first samples on the first and last channel of every group are
    // what the device sampled.
    void expect_kept_consistent(unsigned channels, bool cut) {
        auto& man = h->internals().trs_man;
        const int64_t total = available();
        if (cut) {
            EXPECT_EQ(man.maximum_samples_count(), total);
        }
        EXPECT_GE(man.maximum_samples_count(), total);
        const int64_t checked = std::min<int64_t>(total, 300000);
        auto& acq = fw->acq();
        for (unsigned ch = 0; ch < channels; ch += 17) {
            EXPECT_EQ(kestrelapi_trs_reset(h->get(), static_cast<uint8_t>(ch)), OHWAPI_OK);
            kestrelapi_trs_t t{}, next{};
            EXPECT_EQ(kestrelapi_trs_get_next(h->get(), static_cast<uint8_t>(ch), &t), OHWAPI_OK);
            int bad = 0;
            for (int guard = 0; guard < 10000000 && bad == 0; ++guard) {
                bool more = false;
                EXPECT_EQ(kestrelapi_trs_is_not_last(h->get(), static_cast<uint8_t>(ch), &more),
                          OHWAPI_OK);
                int64_t stop = checked;
                if (more) {
                    EXPECT_EQ(kestrelapi_trs_get_next(h->get(), static_cast<uint8_t>(ch), &next),
                              OHWAPI_OK);
                    stop = std::min<int64_t>(checked, static_cast<int64_t>(next.sampple_index));
                }
                for (auto s = static_cast<int64_t>(t.sampple_index); s < stop; ++s)
                    if (static_cast<int>(acq.level(ch, s)) != (t.value == 1 ? 1 : 0)) {
                        ADD_FAILURE() << "channel " << ch << " sample " << s;
                        ++bad;
                        break;
                    }
                if (!more || stop >= checked) break;
                t = next;
            }
        }
    }
};

// An abort ends the capture in each of its phases, on one, two and three groups: the ready
// flag comes back, the stored error is 1008, and what arrived before is kept, every group
// cut to the same length and matching the device.
// Paced, so that the capture lasts (0.4 s) and reads see it grow whatever the machine's load.
TEST_F(paced_capture, bulk_reads_during_a_capture) {
    pace();
    start(models[0]);
    fw->acq().set_signal(3, kestrel_sim::signal_t::square(2e-6, 0.5));
    ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(h->get(), trig(KESTRELAPI_TRG_NOTRIG, 0),
                                                           trig(KESTRELAPI_TRG_NOTRIG, 0),
                                                           settings(20000000, 50000000)),
              OHWAPI_OK);
    std::vector<transition> gathered;
    std::vector<uint64_t> samples(64);
    std::vector<uint8_t> levels(64);
    uint64_t from = 0;
    int reads_while_running = 0;
    for (;;) {
        const bool done = flag(kestrelapi_get_capture_done_flag) ||
                          kestrelapi_get_last_error(h->get()) != OHWAPI_OK;
        uint32_t n = 0;
        ASSERT_EQ(kestrelapi_trs_read(h->get(), 3, from, samples.data(), levels.data(), 64, &n),
                  OHWAPI_OK);
        for (uint32_t i = 0; i < n; ++i) {
            if (!gathered.empty()) {
                ASSERT_GT(samples[i], gathered.back().sample);
            }
            gathered.push_back({samples[i], levels[i]});
        }
        if (n > 0) from = samples[n - 1] + 1;
        if (!done && n > 0) ++reads_while_running;
        if (done && n == 0) break;
    }
    ASSERT_EQ(finish(), OHWAPI_OK);
    const auto whole = read_all(h->get(), 3, 4096);
    ASSERT_FALSE(gathered.empty());
    ASSERT_LE(gathered.size(), whole.size());
    // A capture that ends with a cut of the channels may drop the tail read during it.
    for (size_t i = 0; i + 1 < gathered.size(); ++i)
        ASSERT_EQ(gathered[i], whole[i]) << i;
    EXPECT_GT(reads_while_running, 0);
}

TEST_F(paced_capture, abort_ends_every_phase_and_keeps_what_arrived) {
    const auto none = trig(KESTRELAPI_TRG_NOTRIG, 0);
    for (const auto& m : models) {
        SCOPED_TRACE(m.sn);
        pace();
        start(m);
        std::chrono::milliseconds took[3];

        // Pre-trigger buffering: 10 000 samples before the trigger at 10 kHz last a second.
        ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(h->get(), none, none,
                                                               settings(1000000, 10000)),
                  OHWAPI_OK);
        ASSERT_TRUE(eventually(
            [&] {
                for (const auto& t : h->status_texts())
                    if (t.rfind("Pre-trigger buffering", 0) == 0) return true;
                return false;
            },
            20s));
        took[0] = abort_now();
        EXPECT_EQ(kestrelapi_get_last_error(h->get()), OHWAPI_ABORTED);
        EXPECT_FALSE(flag(kestrelapi_get_triggered_flag));

        // Waiting for a trigger that does not come.
        fw->acq().never_trigger(true);
        ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(h->get(), none, none,
                                                               settings(100000, 10000000)),
                  OHWAPI_OK);
        ASSERT_TRUE(eventually([&] { return flag(kestrelapi_get_config_done_flag); }, 20s));
        std::this_thread::sleep_for(300ms);
        took[1] = abort_now();
        EXPECT_EQ(kestrelapi_get_last_error(h->get()), OHWAPI_ABORTED);
        EXPECT_FALSE(flag(kestrelapi_get_triggered_flag));
        fw->acq().never_trigger(false);

        // Streaming, once a good part of the samples after the trigger is in the stores:
        // 2 x 10^8 samples at 10 MHz stream for 20 s.
        const auto s = settings(200000000, 10000000);
        ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(h->get(), none, none, s), OHWAPI_OK);
        const int64_t pre = 10000; // what the interface keeps before the trigger of this depth
        ASSERT_TRUE(eventually([&] { return available() > 1000000; }, 60s)) << available();
        took[2] = abort_now();
        EXPECT_EQ(kestrelapi_get_last_error(h->get()), OHWAPI_ABORTED);
        EXPECT_TRUE(flag(kestrelapi_get_capture_done_flag));
        uint64_t trig_pos = 0;
        EXPECT_EQ(kestrelapi_get_trigger_position(h->get(), &trig_pos), OHWAPI_OK);
        EXPECT_EQ(static_cast<int64_t>(trig_pos), pre);
        EXPECT_GT(available(), 1000000);
        EXPECT_LT(available(), s.sampling_depth);
        expect_kept_consistent(m.channels, true);
        std::printf("abort %s: buffering %lld ms, waiting %lld ms, streaming %lld ms\n", m.sn,
                    static_cast<long long>(took[0].count()),
                    static_cast<long long>(took[1].count()),
                    static_cast<long long>(took[2].count()));
        h->close();
        h.reset();
    }
}

// A device whose memory is small and whose samples come faster than its bridge carries
// overruns: the capture ends with no data, done, and what it kept is cut to one length
// on every group and matches the device.
TEST_F(paced_capture, an_overrun_on_a_slow_host_keeps_a_consistent_start) {
    const auto none = trig(KESTRELAPI_TRG_NOTRIG, 0);
    for (const auto& m : models) {
        SCOPED_TRACE(m.sn);
        pace(4000000);
        start(m);
        ASSERT_EQ(
            kestrelapi_launch_new_capture_simple_trigger(h->get(), none, none, settings(100000000)),
            OHWAPI_OK);
        EXPECT_EQ(finish(), OHWAPI_NO_DATA);
        EXPECT_TRUE(flag(kestrelapi_get_capture_done_flag));
        EXPECT_LT(available(), 100000000);
        expect_kept_consistent(m.channels, true);
        h->close();
        h.reset();
    }
}

// A group whose stream comes late (stalled for a second and a half before its history)
// is waited for: every group is placed at the common trigger instant.
TEST_F(api_capture, a_late_group_is_aligned_with_the_others) {
    for (const auto& m : {models[1], models[2]}) {
        SCOPED_TRACE(m.sn);
        start(m);
        fw->acq().stall_stream(m.groups - 1, 0, 1500ms);
        const auto s = settings(30000);
        ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(
                      h->get(), trig(KESTRELAPI_TRG_NOTRIG, 0), trig(KESTRELAPI_TRG_NOTRIG, 0), s),
                  OHWAPI_OK);
        ASSERT_EQ(finish(), OHWAPI_OK);
        expect_ground_truth(m.channels, 30000);
        h->close();
        h.reset();
    }
}

// A group whose stream passes the capture's whole depth without its trigger marker cannot
// be placed: the capture fails with OHWAPI_DATA_NOT_ALIGNED and names the group.
TEST_F(api_capture, a_group_without_trigger_fails_the_capture_and_is_named) {
    for (const auto& m : {models[1], models[2]}) {
        SCOPED_TRACE(m.sn);
        // The log is set before the handle's link threads can use it.
        bus::instance().unplug_all();
        bus::instance().plug(m.sn);
        fw = bus::instance().firmware(m.sn);
        h = std::make_unique<api_handle>(m.model);
        struct log_t {
            std::mutex m;
            std::vector<std::string> lines;
        };
        auto log = std::make_shared<log_t>();
        h->internals().log_fn = [log](const std::string& l) {
            std::lock_guard g(log->m);
            log->lines.push_back(l);
        };
        ASSERT_EQ(kestrelapi_device_open_first(h->get()), OHWAPI_OK);
        // Ahead of its real stream, the last group sends seven million samples without a
        // trigger, then stays silent. (What a bridge holds before the capture is armed is
        // flushed: the samples come once the configuration is in.)
        const unsigned late = m.groups - 1;
        std::vector<uint8_t> junk;
        for (const auto& p : {capture_test::samples_all(0), capture_test::delta_s(1000000)})
            junk.insert(junk.end(), p.begin(), p.end());
        fw->acq().stall_stream(late, 0, -1ms);
        ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(
                      h->get(), trig(KESTRELAPI_TRG_NOTRIG, 0), trig(KESTRELAPI_TRG_NOTRIG, 0),
                      settings(30000)),
                  OHWAPI_OK);
        ASSERT_TRUE(eventually([&] { return flag(kestrelapi_get_config_done_flag); }, 20s));
        bus::instance().push_bridge_data(m.sn, late, junk);
        EXPECT_EQ(finish(), OHWAPI_DATA_NOT_ALIGNED);
        EXPECT_TRUE(flag(kestrelapi_get_ready_flag));
        {
            std::lock_guard g(log->m);
            const std::string expect = "Group " + std::to_string(late) + " did not trigger";
            EXPECT_TRUE(std::any_of(log->lines.begin(), log->lines.end(),
                                    [&](const std::string& l) { return l.rfind(expect, 0) == 0; }))
                << expect;
        }
        fw->acq().clear_faults();
        h->close();
        h.reset();
    }
}

} // namespace
