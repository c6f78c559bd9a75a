// Whole captures from the virtual device into the stores, checked against its ground truth.
#include <kestrel_sim/acquisition.h>

#include <algorithm>
#include <future>

#include "../core/api_fixture.h"
#include "drivers/d3xx/exception.h"
#include "store_reader.h"

namespace {

using namespace core_test;
using namespace capture_test;
using kestrel::config;

const model_case& one = family[0];
const model_case& two = family[1];
const model_case& three = family[2];

class capture_sim : public on_bus {
protected:
    void start(const model_case& c) {
        bus::instance().plug(c.sn);
        fw = bus::instance().firmware(c.sn);
        h = std::make_unique<api_handle>(c.model);
        ASSERT_EQ(h->open(c.sn), OHWAPI_OK);
        sn = c.sn;
    }
    void TearDown() override {
        if (h) h->close();
        h.reset();
        on_bus::TearDown();
    }
    kestrel::core& dev() { return h->internals().device; }

    // Rising edge on a channel of the master group (channels 0..17).
    config rising_on(unsigned ch, hw::freq f, isamp depth, isamp post) {
        config cfg = dev().device_config;
        cfg.sampling_freq = f;
        cfg.sampling_depth = depth;
        cfg.post_trig_depth = post;
        cfg.set_master_group(config::group_name_t::grp_ab);
        auto& t = cfg.master_group().trigger;
        t.select_fast = {true, false};
        t.fast[0].mask = ~(1u << ch);
        t.fast[0].level = 1u << ch;
        t.order = kestrel::trigger_order::a_or_b;
        return cfg;
    }
    void capture(const config& cfg) {
        dev().capt.reset();
        dev().capt.do_capture(cfg, sn, hw::trigger_mode_t::single);
    }

    // Every channel, every sample, against what the device drove.
    void expect_ground_truth(unsigned channels, isamp length) {
        auto& acq = fw->acq();
        for (unsigned ch = 0; ch < channels; ++ch) {
            const edges e = read_channel(h->internals().trs_man, ch);
            ASSERT_FALSE(e.empty()) << ch;
            size_t next = 0;
            int level = -1;
            int mismatches = 0;
            for (isamp s = 0; s < length && mismatches < 5; ++s) {
                while (next < e.size() && e[next].first <= s)
                    level = e[next++].second;
                if (level != static_cast<int>(acq.level(ch, s))) {
                    ADD_FAILURE() << "channel " << ch << " sample " << s;
                    ++mismatches;
                }
            }
        }
    }

    std::shared_ptr<kestrel_sim::firmware> fw;
    std::unique_ptr<api_handle> h;
    std::string sn;
};

TEST_F(capture_sim, stores_match_the_device_for_every_model) {
    for (const model_case& c : {one, two, three}) {
        SCOPED_TRACE(c.sn);
        bus::instance().unplug_all();
        start(c);
        const isamp depth = 120000, post = 80000;
        capture(rising_on(3, 250000000, depth, post));
        const auto info = fw->acq().capture();
        ASSERT_TRUE(info.trigged);
        EXPECT_EQ(info.trigger_sample, depth - post);
        EXPECT_EQ(h->internals().trig_pos, depth - post);
        EXPECT_TRUE(dev().capt.done);
        EXPECT_GE(dev().capt.post_trig_samples, post);
        for (unsigned ch = 0; ch < c.channels; ++ch)
            EXPECT_EQ(h->internals().trs_man.create_iterator(ch).last_idle().sample, depth) << ch;
        expect_ground_truth(c.channels, depth);
        // The rising edge the trigger waited for is at the trigger sample.
        EXPECT_EQ(level_at(read_channel(h->internals().trs_man, 3), depth - post), 1);
        EXPECT_EQ(level_at(read_channel(h->internals().trs_man, 3), depth - post - 1), 0);
        h->close();
        h.reset();
    }
}

TEST_F(capture_sim, cancel_overrun_read_errors_stall_and_busy) {
    start(two);
    auto& acq = fw->acq();

    // Cancel while waiting for a trigger that never comes.
    acq.never_trigger(true);
    auto pending =
        std::async(std::launch::async, [&] { capture(rising_on(1, 250000000, 5000, 1000)); });
    ASSERT_TRUE(eventually([&] { return dev().capt.cfg_done.load(); }));
    dev().abort();
    try {
        pending.get();
        ADD_FAILURE() << "no exception";
    } catch (const hw::exception& e) {
        EXPECT_EQ(e.code(), hw::error::aborted_by_user);
    }
    EXPECT_FALSE(fw->run_flag());
    acq.clear_faults();

    // Overrun of one group: every channel is cut to the shortest and the capture ends with
    // no_data.
    acq.overrun_after(1, 60000);
    try {
        capture(rising_on(1, 250000000, 100000, 90000));
        ADD_FAILURE() << "no exception";
    } catch (const hw::exception& e) {
        EXPECT_EQ(e.code(), hw::error::no_data);
    }
    acq.clear_faults();
    const isamp shortest = h->internals().trs_man.create_iterator(0).last_idle().sample;
    EXPECT_GT(shortest, 0);
    EXPECT_LT(shortest, 100000);
    for (unsigned ch = 0; ch < 36; ++ch)
        EXPECT_EQ(h->internals().trs_man.create_iterator(ch).last_idle().sample, shortest) << ch;

    // A bridge that fails while streaming ends the capture with its status.
    acq.fail_reads(0, 1, 4);
    try {
        capture(rising_on(1, 250000000, 100000, 50000));
        ADD_FAILURE() << "no exception";
    } catch (const d3xx::exception& e) {
        EXPECT_EQ(e.code(), d3xx::err::IO_ERROR);
    }
    EXPECT_FALSE(fw->run_flag());
    acq.clear_faults();

    // Cancel while streaming keeps what was stored.
    acq.stall_stream(0, 400000, std::chrono::milliseconds(-1));
    pending =
        std::async(std::launch::async, [&] { capture(rising_on(1, 250000000, 400000, 300000)); });
    ASSERT_TRUE(eventually([&] { return dev().capt.post_trig_samples > 0; }, 30s));
    dev().abort();
    try {
        pending.get();
        ADD_FAILURE() << "no exception";
    } catch (const hw::exception& e) {
        EXPECT_EQ(e.code(), hw::error::aborted_by_user);
    }
    acq.clear_faults();
    EXPECT_GT(read_channel(h->internals().trs_man, 0).size(), 1u);

    // A stream that stops for good ends the capture as a device that no longer answers,
    // within seconds and without an abort, and keeps what came.
    acq.stall_stream(0, 400000, std::chrono::milliseconds(-1));
    try {
        capture(rising_on(1, 250000000, 400000, 300000));
        ADD_FAILURE() << "no exception";
    } catch (const hw::exception& e) {
        EXPECT_EQ(e.code(), hw::error::not_responding);
    }
    EXPECT_FALSE(dev().capt.done);
    EXPECT_FALSE(fw->run_flag());
    EXPECT_GT(read_channel(h->internals().trs_man, 0).size(), 1u);
    acq.clear_faults();

    // Another holder of the device: busy after five seconds.
    {
        std::unique_lock busy(dev().device_busy);
        const auto t0 = steady::now();
        try {
            capture(rising_on(1, 250000000, 5000, 1000));
            ADD_FAILURE() << "no exception";
        } catch (const hw::exception& e) {
            EXPECT_EQ(e.code(), hw::error::busy);
        }
        EXPECT_GE(steady::now() - t0, 4500ms);
    }

    // The device still captures correctly afterwards.
    capture(rising_on(1, 250000000, 50000, 20000));
    expect_ground_truth(36, 50000);
}

TEST_F(capture_sim, pre_trigger_countdown) {
    start(one);
    auto countdown_of = [](const std::vector<std::string>& texts) {
        std::vector<std::string> countdown;
        for (const auto& t : texts)
            if (t.rfind("Pre-trigger buffering (", 0) == 0) countdown.push_back(t);
        return countdown;
    };
    // One second of history at 1 MHz. The device reports its trigger only once it holds
    // that history: the unpaced virtual device has it at once, so its trigger ends the
    // countdown at its first value instead of after 1.2 s of fixed steps.
    capture(rising_on(4, 1000000, 1100000, 100000));
    auto texts = h->status_texts();
    auto countdown = countdown_of(texts);
    ASSERT_FALSE(countdown.empty());
    EXPECT_EQ(countdown.front(), "Pre-trigger buffering (1.1s)");
    auto waiting = std::find(texts.begin(), texts.end(), "Waiting trigger");
    ASSERT_NE(waiting, texts.end());
    EXPECT_NE(std::find(waiting, texts.end(), "Trigg'd, collecting samples"), texts.end());
    EXPECT_EQ(texts.back(), "");
    expect_ground_truth(18, 1100000);

    // Without a trigger the countdown runs through, in steps of 0.1 s, to the wait for it.
    fw->acq().never_trigger(true);
    const size_t before = h->status_texts().size();
    auto pending =
        std::async(std::launch::async, [&] { capture(rising_on(4, 1000000, 1100000, 100000)); });
    ASSERT_TRUE(eventually([&] {
        const auto all = h->status_texts();
        return std::find(all.begin() + static_cast<ptrdiff_t>(before), all.end(),
                         "Waiting trigger") != all.end();
    }));
    dev().abort();
    EXPECT_THROW(pending.get(), hw::exception);
    fw->acq().never_trigger(false);
    texts = h->status_texts();
    countdown = countdown_of(
        std::vector<std::string>(texts.begin() + static_cast<ptrdiff_t>(before), texts.end()));
    ASSERT_EQ(countdown.size(), 12u);
    EXPECT_EQ(countdown.front(), "Pre-trigger buffering (1.1s)");
    EXPECT_EQ(countdown[1], "Pre-trigger buffering (1.0s)");
    EXPECT_EQ(countdown.back(), "Pre-trigger buffering (0.0s)");
}

} // namespace
