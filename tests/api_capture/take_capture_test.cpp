// Captures taken out of their handle, against the virtual device.
#include <kestrel_sim/acquisition.h>

#include <vector>

#include "../core/api_fixture.h"

namespace {

using namespace core_test;

struct item {
    uint64_t sample;
    uint8_t level;
    bool operator==(const item&) const = default;
};

// Every item of a channel, read in pieces of `capacity` through the handle or the capture.
template <typename Source, typename Read>
std::vector<item> read_all(Source src, Read read, uint8_t ch, uint32_t capacity = 4096) {
    std::vector<item> out;
    std::vector<uint64_t> s(capacity);
    std::vector<uint8_t> l(capacity);
    uint64_t from = 0;
    for (;;) {
        uint32_t n = 0;
        EXPECT_EQ(read(src, ch, from, s.data(), l.data(), capacity, &n), OHWAPI_OK);
        for (uint32_t i = 0; i < n; ++i)
            out.push_back({s[i], l[i]});
        if (n == 0) return out;
        from = s[n - 1] + 1;
    }
}

class take_capture : public opened_device {
protected:
    bool flag(ohwapi_err_code_t (*getter)(kestrelapi_handle, bool*)) {
        return read_flag(h->get(), getter);
    }
    ohwapi_err_code_t capture(int64_t depth) {
        const auto none = trig(KESTRELAPI_TRG_NOTRIG, 0);
        EXPECT_EQ(kestrelapi_launch_new_capture_simple_trigger(
                      h->get(), trig(KESTRELAPI_TRG_RISING, 7), none, default_settings(depth)),
                  OHWAPI_OK);
        EXPECT_TRUE(eventually(
            [&] {
                return flag(kestrelapi_get_capture_done_flag) ||
                       (kestrelapi_get_last_error(h->get()) != OHWAPI_OK &&
                        flag(kestrelapi_get_ready_flag));
            },
            60s));
        return kestrelapi_get_last_error(h->get());
    }
    std::vector<std::vector<item>> read_handle(unsigned channels) {
        std::vector<std::vector<item>> v;
        for (unsigned ch = 0; ch < channels; ++ch)
            v.push_back(read_all(h->get(), kestrelapi_trs_read, static_cast<uint8_t>(ch)));
        return v;
    }
    static std::vector<std::vector<item>> read_capture(kestrelapi_capture c, unsigned channels) {
        std::vector<std::vector<item>> v;
        for (unsigned ch = 0; ch < channels; ++ch)
            v.push_back(read_all(c, kestrelapi_capture_read, static_cast<uint8_t>(ch)));
        return v;
    }
};

TEST_F(take_capture, a_taken_capture_outlives_later_captures_and_its_handle_on_every_model) {
    for (const model_case& m : family) {
        SCOPED_TRACE(m.sn);
        start(m);
        fw->acq().set_signal(7, kestrel_sim::signal_t::square(1e-6, 0.3));
        ASSERT_EQ(kestrelapi_set_channel_name(h->get(), 1, "clk"), OHWAPI_OK);
        ASSERT_EQ(capture(60000), OHWAPI_OK);
        const auto before = read_handle(m.channels);
        int64_t length = 0, post = 0;
        uint64_t trigger = 0;
        ASSERT_EQ(kestrelapi_get_available_samples(h->get(), &length, &post), OHWAPI_OK);
        ASSERT_EQ(kestrelapi_get_trigger_position(h->get(), &trigger), OHWAPI_OK);

        kestrelapi_capture c = nullptr;
        ASSERT_EQ(kestrelapi_take_capture(h->get(), &c), OHWAPI_OK);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(kestrelapi_take_capture(h->get(), nullptr), OHWAPI_INVALID_ARGUMENT);

        // The handle reads as a fresh one.
        int64_t now = -1;
        ASSERT_EQ(kestrelapi_get_available_samples(h->get(), &now, &post), OHWAPI_OK);
        EXPECT_EQ(now, 0);
        uint64_t pos = 9;
        ASSERT_EQ(kestrelapi_get_trigger_position(h->get(), &pos), OHWAPI_OK);
        EXPECT_EQ(pos, 0u);
        for (unsigned ch = 0; ch < m.channels; ++ch)
            EXPECT_TRUE(read_all(h->get(), kestrelapi_trs_read, static_cast<uint8_t>(ch)).empty());
        kestrelapi_trs_t t;
        ASSERT_EQ(kestrelapi_trs_reset(h->get(), 0), OHWAPI_OK);
        ASSERT_EQ(kestrelapi_trs_get_next(h->get(), 0, &t), OHWAPI_OK);
        EXPECT_EQ(t.value, 3); // none: nothing stored
        kestrelapi_capture again = nullptr;
        EXPECT_EQ(kestrelapi_take_capture(h->get(), &again), OHWAPI_NO_DATA);
        EXPECT_EQ(again, nullptr);

        uint64_t samples = 0, trig_pos = 0, rate = 0;
        uint8_t channels = 0;
        ASSERT_EQ(kestrelapi_capture_info(c, &samples, &trig_pos, &rate, &channels), OHWAPI_OK);
        EXPECT_EQ(samples, static_cast<uint64_t>(length));
        EXPECT_EQ(trig_pos, trigger);
        EXPECT_EQ(rate, 250000000u);
        EXPECT_EQ(channels, m.channels);
        EXPECT_EQ(read_capture(c, m.channels), before);

        // A later capture on the handle leaves the taken one as it was.
        ASSERT_EQ(capture(30000), OHWAPI_OK);
        EXPECT_EQ(read_capture(c, m.channels), before);
        int64_t second_length = 0;
        ASSERT_EQ(kestrelapi_get_available_samples(h->get(), &second_length, &post), OHWAPI_OK);
        kestrelapi_capture second = nullptr;
        ASSERT_EQ(kestrelapi_take_capture(h->get(), &second), OHWAPI_OK);
        ASSERT_EQ(kestrelapi_capture_info(second, &samples, &trig_pos, &rate, &channels),
                  OHWAPI_OK);
        EXPECT_EQ(samples, static_cast<uint64_t>(second_length));
        ASSERT_EQ(kestrelapi_capture_info(c, &samples, &trig_pos, &rate, &channels), OHWAPI_OK);

        // Freeing the handle leaves both readable, and the names given go with them.
        h->close();
        h.reset();
        EXPECT_EQ(read_capture(c, m.channels), before);
        for (size_t i = 0; i < before[7].size(); i += 1 + before[7].size() / 20) {
            if (before[7][i].sample >= samples) break;
            uint8_t level = 9;
            ASSERT_EQ(kestrelapi_capture_level_at(c, 7, before[7][i].sample, &level), OHWAPI_OK);
            EXPECT_EQ(level, before[7][i].level);
        }
        const std::string path = ::testing::TempDir() + "taken_capture.csv";
        ASSERT_EQ(kestrelapi_capture_export(c, path.c_str(), 0b10, 0), OHWAPI_OK);
        std::FILE* f = std::fopen(path.c_str(), "r");
        ASSERT_NE(f, nullptr);
        char line[128] = {};
        ASSERT_NE(std::fgets(line, sizeof line, f), nullptr); // the header
        ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
        EXPECT_NE(std::string(line).find(",clk,"), std::string::npos) << line;
        std::fclose(f);
        std::remove(path.c_str());

        EXPECT_EQ(kestrelapi_capture_free(second), OHWAPI_OK);
        EXPECT_EQ(kestrelapi_capture_free(c), OHWAPI_OK);
        EXPECT_EQ(kestrelapi_capture_free(c), OHWAPI_INVALID_ARGUMENT);
        EXPECT_EQ(kestrelapi_capture_info(c, &samples, &trig_pos, &rate, &channels),
                  OHWAPI_INVALID_ARGUMENT);
    }
}

TEST_F(take_capture, nothing_is_taken_while_a_capture_runs_or_before_one) {
    start(family[0]);
    kestrelapi_capture c = nullptr;
    EXPECT_EQ(kestrelapi_take_capture(h->get(), &c), OHWAPI_NO_DATA);
    EXPECT_EQ(kestrelapi_take_capture(nullptr, &c), OHWAPI_INVALID_ARGUMENT);

    fw->acq().never_trigger(true);
    ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(h->get(), trig(KESTRELAPI_TRG_RISING, 2),
                                                           trig(KESTRELAPI_TRG_NOTRIG, 0),
                                                           default_settings(20000)),
              OHWAPI_OK);
    EXPECT_EQ(kestrelapi_take_capture(h->get(), &c), OHWAPI_BUSY);
    ASSERT_TRUE(eventually([&] { return flag(kestrelapi_get_config_done_flag); }));
    EXPECT_EQ(kestrelapi_take_capture(h->get(), &c), OHWAPI_BUSY);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(kestrelapi_request_abort(h->get()), OHWAPI_OK);
    ASSERT_TRUE(eventually([&] { return flag(kestrelapi_get_ready_flag); }));
    fw->acq().never_trigger(false);

    // Aborted before the trigger: samples were kept before it, and those can be taken.
    int64_t length = 0, post = 0;
    ASSERT_EQ(kestrelapi_get_available_samples(h->get(), &length, &post), OHWAPI_OK);
    const auto rc = kestrelapi_take_capture(h->get(), &c);
    EXPECT_EQ(rc, length > 0 ? OHWAPI_OK : OHWAPI_NO_DATA);
    if (rc == OHWAPI_OK) {
        EXPECT_EQ(kestrelapi_capture_free(c), OHWAPI_OK);
    }
}

} // namespace
