// Captures taken out of their handle, against the virtual device.
#include <kestrel_sim/acquisition.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../core/api_fixture.h"
#include "../core/scratch.h"

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

namespace {

std::string error_text(kestrelapi_handle h) {
    char text[512];
    EXPECT_EQ(kestrelapi_get_last_error_text(h, text, sizeof text), OHWAPI_OK);
    return text;
}

// A VCD file without its $date line.
std::string file_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    std::string s = ss.str();
    const auto date = s.find("$date");
    if (date != std::string::npos) s.erase(date, s.find("$end", date) - date);
    return s;
}

TEST_F(take_capture, a_capture_over_its_budget_reads_as_one_in_memory_on_every_model) {
    scratch_dir dir;
    for (const model_case& m : family) {
        SCOPED_TRACE(m.sn);
        start(m);
        fw->acq().set_signal(7, kestrel_sim::signal_t::square(1e-6, 0.3));
        ASSERT_EQ(kestrelapi_set_store_budget(h->get(), 0, dir.path.c_str()), OHWAPI_OK);
        ASSERT_EQ(capture(400000), OHWAPI_OK);
        EXPECT_EQ(h->internals().trs_man.store_budget().spilled_bytes(), 0u);
        kestrelapi_capture plain = nullptr;
        ASSERT_EQ(kestrelapi_take_capture(h->get(), &plain), OHWAPI_OK);

        ASSERT_EQ(kestrelapi_set_store_budget(h->get(), 64 << 10, dir.path.c_str()), OHWAPI_OK);
        ASSERT_EQ(capture(400000), OHWAPI_OK);
        EXPECT_GT(h->internals().trs_man.store_budget().spilled_bytes(), 0u);
        kestrelapi_capture spilled = nullptr;
        ASSERT_EQ(kestrelapi_take_capture(h->get(), &spilled), OHWAPI_OK);
        EXPECT_EQ(dir.entries(), 0u); // the file has no name

        uint64_t n1 = 0, n2 = 0, t1 = 0, t2 = 0, r = 0;
        uint8_t ch1 = 0, ch2 = 0;
        ASSERT_EQ(kestrelapi_capture_info(plain, &n1, &t1, &r, &ch1), OHWAPI_OK);
        ASSERT_EQ(kestrelapi_capture_info(spilled, &n2, &t2, &r, &ch2), OHWAPI_OK);
        EXPECT_EQ(n1, n2);
        EXPECT_EQ(t1, t2);
        const auto a = read_capture(plain, m.channels);
        const auto b = read_capture(spilled, m.channels);
        ASSERT_EQ(a.size(), b.size());
        for (unsigned ch = 0; ch < m.channels; ++ch) {
            SCOPED_TRACE(ch);
            EXPECT_EQ(a[ch], b[ch]);
            for (uint64_t s = 0; s < n1; s += 977) {
                uint8_t x = 9, y = 8;
                ASSERT_EQ(kestrelapi_capture_level_at(plain, static_cast<uint8_t>(ch), s, &x),
                          OHWAPI_OK);
                ASSERT_EQ(kestrelapi_capture_level_at(spilled, static_cast<uint8_t>(ch), s, &y),
                          OHWAPI_OK);
                ASSERT_EQ(x, y) << s;
            }
        }
        const std::string pa = dir.path + "/plain.vcd", pb = dir.path + "/spilled.vcd";
        ASSERT_EQ(kestrelapi_capture_export(plain, pa.c_str(), 0, 0), OHWAPI_OK);
        ASSERT_EQ(kestrelapi_capture_export(spilled, pb.c_str(), 0, 0), OHWAPI_OK);
        EXPECT_TRUE(file_bytes(pa) == file_bytes(pb));
        std::filesystem::remove(pa);
        std::filesystem::remove(pb);
        EXPECT_EQ(kestrelapi_capture_free(plain), OHWAPI_OK);
        EXPECT_EQ(kestrelapi_capture_free(spilled), OHWAPI_OK);
    }
}

TEST_F(take_capture, the_budget_is_refused_during_a_capture_and_for_a_directory_without_room) {
    start(family[0]);
    scratch_dir dir;
    const std::string missing = dir.path + "/missing";
    EXPECT_EQ(kestrelapi_set_store_budget(h->get(), 1 << 20, missing.c_str()),
              OHWAPI_INVALID_ARGUMENT);
    const std::string why = error_text(h->get());
    EXPECT_NE(why.find(missing), std::string::npos) << why;
    EXPECT_NE(why.find("No such file or directory"), std::string::npos) << why;
    EXPECT_EQ(kestrelapi_set_store_budget(nullptr, 1 << 20, dir.path.c_str()),
              OHWAPI_INVALID_ARGUMENT);

    ::setenv("KESTREL_STORE_DIR", dir.path.c_str(), 1);
    EXPECT_EQ(kestrelapi_set_store_budget(h->get(), 1 << 20, nullptr), OHWAPI_OK);
    ::unsetenv("KESTREL_STORE_DIR");
    EXPECT_EQ(h->internals().trs_man.store_budget().directory(), dir.path);
    EXPECT_EQ(h->internals().trs_man.store_budget().limit(), 1u << 20);
    EXPECT_EQ(error_text(h->get()), "");

    fw->acq().never_trigger(true);
    ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(h->get(), trig(KESTRELAPI_TRG_RISING, 2),
                                                           trig(KESTRELAPI_TRG_NOTRIG, 0),
                                                           default_settings(20000)),
              OHWAPI_OK);
    EXPECT_EQ(kestrelapi_set_store_budget(h->get(), 0, dir.path.c_str()), OHWAPI_BUSY);
    EXPECT_EQ(h->internals().trs_man.store_budget().limit(), 1u << 20);
    EXPECT_EQ(kestrelapi_request_abort(h->get()), OHWAPI_OK);
    ASSERT_TRUE(eventually([&] { return flag(kestrelapi_get_ready_flag); }));
}

TEST_F(take_capture, a_full_store_file_ends_the_capture_and_keeps_what_was_stored) {
    for (const model_case& m : {family[0], family[2]}) {
        SCOPED_TRACE(m.sn);
        start(m);
        scratch_dir dir;
        ASSERT_EQ(kestrelapi_set_store_budget(h->get(), 1, dir.path.c_str()), OHWAPI_OK);
        {
            file_size_limit limit(512 << 10);
            EXPECT_EQ(capture(200000000), OHWAPI_STORE_FULL);
        }
        EXPECT_EQ(kestrelapi_error_name(OHWAPI_STORE_FULL), std::string("OHWAPI_STORE_FULL"));
        const std::string why = error_text(h->get());
        EXPECT_NE(why.find(dir.path), std::string::npos) << why;
        EXPECT_NE(why.find("File too large"), std::string::npos) << why;
        EXPECT_NE(why.find(" bytes"), std::string::npos) << why;
        EXPECT_TRUE(flag(kestrelapi_get_ready_flag));

        // What was stored is there: every channel agrees with the signals up to the common
        // length, which is well short of the depth.
        int64_t length = 0, post = 0;
        ASSERT_EQ(kestrelapi_get_available_samples(h->get(), &length, &post), OHWAPI_OK);
        EXPECT_GT(length, 0);
        EXPECT_LT(length, 200000000);
        uint64_t trigger = 0;
        ASSERT_EQ(kestrelapi_get_trigger_position(h->get(), &trigger), OHWAPI_OK);
        auto& acq = fw->acq();
        for (unsigned ch = 0; ch < m.channels; ch += 5) {
            const auto items = read_all(h->get(), kestrelapi_trs_read, static_cast<uint8_t>(ch));
            ASSERT_FALSE(items.empty());
            int bad = 0;
            for (size_t i = 1; i < items.size() && bad < 3; i += 1 + items.size() / 1000) {
                if (items[i].sample >= static_cast<uint64_t>(length)) break;
                // The virtual device's signal at the sample, counted from the capture's start.
                const uint64_t s = items[i].sample;
                if (static_cast<int>(acq.level(ch, static_cast<int64_t>(s))) != items[i].level) {
                    ADD_FAILURE() << "channel " << ch << " sample " << s;
                    ++bad;
                }
            }
        }
        kestrelapi_capture c = nullptr;
        ASSERT_EQ(kestrelapi_take_capture(h->get(), &c), OHWAPI_OK);
        EXPECT_EQ(kestrelapi_capture_free(c), OHWAPI_OK);

        // The next capture starts afresh.
        ASSERT_EQ(kestrelapi_set_store_budget(h->get(), 0, dir.path.c_str()), OHWAPI_OK);
        ASSERT_EQ(capture(100000), OHWAPI_OK);
        EXPECT_EQ(error_text(h->get()), "");
        h->close();
        h.reset();
    }
}

} // namespace
