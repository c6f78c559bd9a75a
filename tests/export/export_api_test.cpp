// Captures of the virtual device's UART and SPI signals, exported through the interface and
// read back by sigrok-cli's decoders and by an independent VCD reader.
#include <kestrel_sim/acquisition.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "../core/api_fixture.h"
#include "helpers.h"

namespace {

using namespace core_test;
using namespace export_test;
using kestrel_sim::signal_t;

constexpr uint32_t rate = 250000000;
const std::vector<uint8_t> uart_bytes = {0x4B, 0x45, 0x53, 0x00, 0xFF, 0xA5, 0x0D, 0x0A};
const std::vector<uint8_t> spi_bytes = {0x81, 0x3C, 0x00, 0xFF, 0x5A, 0xC3};
constexpr unsigned uart_ch = 8, spi_clk = 1, spi_mosi = 2, spi_cs = 3;

kestrelapi_settings_t settings(int64_t depth) {
    return default_settings(depth, rate);
}

// A Kestrel One opened through a handle.
class export_api : public opened_device {
protected:
    void SetUp() override {
        on_bus::SetUp();
        start(family[0]);
    }
    bool flag(ohwapi_err_code_t (*getter)(kestrelapi_handle, bool*)) {
        return read_flag(h->get(), getter);
    }
    // One capture of the signals set, no trigger; transmissions start 40 us in so that
    // every frame lies inside it.
    void capture(int64_t depth) {
        ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(
                      h->get(), trig(KESTRELAPI_TRG_NOTRIG, 0), trig(KESTRELAPI_TRG_NOTRIG, 0),
                      settings(depth)),
                  OHWAPI_OK);
        ASSERT_TRUE(eventually(
            [&] {
                return flag(kestrelapi_get_capture_done_flag) ||
                       kestrelapi_get_last_error(h->get()) != OHWAPI_OK;
            },
            60s));
        ASSERT_EQ(kestrelapi_get_last_error(h->get()), OHWAPI_OK);
        ASSERT_TRUE(eventually([&] { return flag(kestrelapi_get_ready_flag); }));
        int64_t total = 0, post = 0;
        ASSERT_EQ(kestrelapi_get_available_samples(h->get(), &total, &post), OHWAPI_OK);
        ASSERT_EQ(total, depth);
    }
    void set_signals() {
        auto& a = fw->acq();
        a.set_signal(uart_ch, signal_t::uart(uart_bytes, 115200, 2, false, 40e-6));
        a.set_signal(spi_clk,
                     signal_t::spi(signal_t::spi_role_t::clk, spi_bytes, 5e6, 4, false, 40e-6));
        a.set_signal(spi_mosi,
                     signal_t::spi(signal_t::spi_role_t::data, spi_bytes, 5e6, 4, false, 40e-6));
        a.set_signal(spi_cs,
                     signal_t::spi(signal_t::spi_role_t::cs, spi_bytes, 5e6, 4, false, 40e-6));
    }
    // The channel's level changes as the library's exported walk gives them.
    std::vector<change> walk(uint8_t ch) {
        std::vector<change> out;
        EXPECT_EQ(kestrelapi_trs_reset(h->get(), ch), OHWAPI_OK);
        kestrelapi_trs_t t;
        for (int guard = 0; guard < 10000000; ++guard) {
            EXPECT_EQ(kestrelapi_trs_get_next(h->get(), ch, &t), OHWAPI_OK);
            const int level = t.value == 1;
            if (!out.empty() && out.back().sample == t.sampple_index)
                out.back().level = level;
            else if (out.empty() || out.back().level != level)
                out.push_back({t.sampple_index, level});
            bool more = false;
            EXPECT_EQ(kestrelapi_trs_is_not_last(h->get(), ch, &more), OHWAPI_OK);
            if (!more) break;
        }
        return out;
    }
    std::string decode(const std::string& input, const std::string& decoder) {
        const auto r = run("env -u LD_LIBRARY_PATH sigrok-cli " + input + " -P " + decoder);
        EXPECT_EQ(r.status, 0) << r.out;
        return r.out;
    }

    temp_dir dir;
};

TEST_F(export_api, sigrok_decodes_uart_and_spi_from_vcd_and_sr) {
    std::string why;
    if (!have_sigrok(why)) GTEST_SKIP() << why;
    set_signals();
    capture(400000);
    ASSERT_EQ(kestrelapi_set_channel_name(h->get(), uart_ch, "rx"), OHWAPI_OK);
    const std::string vcd = dir.file("bus.vcd"), sr = dir.file("bus.sr");
    ASSERT_EQ(kestrelapi_export_vcd(h->get(), vcd.c_str(), 0, 0), OHWAPI_OK);
    ASSERT_EQ(kestrelapi_export_sr(h->get(), sr.c_str(), 0, 0), OHWAPI_OK);

    for (const std::string& input : {"-I vcd -i " + vcd, "-i " + sr}) {
        SCOPED_TRACE(input);
        EXPECT_EQ(decoded_bytes(decode(input, "uart:rx=rx:baudrate=115200 -A uart=rx-data")),
                  uart_bytes);
        EXPECT_EQ(decoded_bytes(decode(input, "spi:clk=ch1:mosi=ch2:cs=ch3 -A spi=mosi-data")),
                  spi_bytes);
    }
    // The session file's metadata as sigrok reads it.
    const auto show = run("env -u LD_LIBRARY_PATH sigrok-cli -i " + sr + " --show");
    EXPECT_NE(show.out.find("rx"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("Samplerate: 250000000"), std::string::npos) << show.out;
}

TEST_F(export_api, vcd_reads_back_to_the_walk_and_the_ground_truth) {
    set_signals();
    fw->acq().set_signal(11, signal_t::random(7, 3e-6));
    capture(300000);
    const std::string vcd = dir.file("all.vcd");
    ASSERT_EQ(kestrelapi_export_vcd(h->get(), vcd.c_str(), 0, 0), OHWAPI_OK);
    const vcd_file v = read_vcd(vcd);
    EXPECT_EQ(v.timescale, "1 ns"); // 4 ns per sample
    ASSERT_EQ(v.names.size(), 18u);
    EXPECT_EQ(v.last_tick, 300000u * 4);
    uint64_t pos = 0;
    ASSERT_EQ(kestrelapi_get_trigger_position(h->get(), &pos), OHWAPI_OK);
    ASSERT_EQ(v.trigger_ticks, std::vector<uint64_t>{pos * 4});
    EXPECT_NE(
        std::find(v.comments.begin(), v.comments.end(), "trigger at sample " + std::to_string(pos)),
        v.comments.end());
    auto& acq = fw->acq();
    for (uint8_t ch = 0; ch < 18; ++ch) {
        SCOPED_TRACE("channel " + std::to_string(ch));
        const std::string name = "ch" + std::to_string(ch);
        ASSERT_EQ(v.names[ch], name);
        const auto got = in_samples(v.wires.at(name), 1e-9, 4e-9);
        // A change stored at the capture's length lies outside it.
        auto walked = walk(ch);
        std::erase_if(walked, [](const change& c) { return c.sample >= 300000; });
        EXPECT_EQ(got.size(), walked.size());
        const auto diff = std::mismatch(got.begin(), got.end(), walked.begin(), walked.end());
        EXPECT_TRUE(diff.first == got.end() && diff.second == walked.end())
            << "first difference at change " << (diff.first - got.begin()) << ": "
            << (diff.first == got.end() ? std::string("end")
                                        : ::testing::PrintToString(*diff.first))
            << " against "
            << (diff.second == walked.end() ? std::string("end")
                                            : ::testing::PrintToString(*diff.second));
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.front().sample, 0u);
        for (size_t i = 0; i < got.size(); ++i) {
            const auto s = static_cast<int64_t>(got[i].sample);
            EXPECT_EQ(acq.level(ch, s), got[i].level == 1) << "sample " << s;
            if (s > 0) {
                EXPECT_NE(acq.level(ch, s - 1), got[i].level == 1) << "sample " << s;
            }
        }
    }
    // The signals changed, so the file carries more than the initial levels.
    EXPECT_GT(v.wires.at("ch8").size(), 20u);
    EXPECT_GT(v.wires.at("ch11").size(), 50u);
}

TEST_F(export_api, chosen_channels_names_and_refusals) {
    set_signals();
    capture(100000);
    const std::string vcd = dir.file("some.vcd");
    ASSERT_EQ(kestrelapi_set_channel_name(h->get(), spi_clk, "sck"), OHWAPI_OK);
    ASSERT_EQ(kestrelapi_set_channel_name(h->get(), spi_mosi, "my data"), OHWAPI_OK);
    const uint64_t mask = (1u << spi_clk) | (1u << spi_mosi) | (1u << 17);
    ASSERT_EQ(kestrelapi_export_vcd(h->get(), vcd.c_str(), mask, 0), OHWAPI_OK);
    EXPECT_EQ(read_vcd(vcd).names, (std::vector<std::string>{"sck", "my_data", "ch17"}));
    // Restored names.
    ASSERT_EQ(kestrelapi_set_channel_name(h->get(), spi_clk, ""), OHWAPI_OK);
    ASSERT_EQ(kestrelapi_set_channel_name(h->get(), spi_mosi, nullptr), OHWAPI_OK);
    ASSERT_EQ(kestrelapi_export_vcd(h->get(), vcd.c_str(), mask, 0), OHWAPI_OK);
    EXPECT_EQ(read_vcd(vcd).names, (std::vector<std::string>{"ch1", "ch2", "ch17"}));

    const std::string csv = dir.file("some.csv");
    ASSERT_EQ(kestrelapi_export_csv(h->get(), csv.c_str(), 1u << spi_cs, 0), OHWAPI_OK);
    const std::string text = read_file(csv);
    EXPECT_EQ(text.rfind("sample,time,channel,level\n0,0,ch3,1\n", 0), 0u) << text.substr(0, 80);

    EXPECT_EQ(kestrelapi_set_channel_name(h->get(), 18, "x"), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_set_channel_name(h->get(), 0, "two\nlines"), OHWAPI_INVALID_ARGUMENT);
    const std::string x = dir.file("x.vcd");
    for (auto f : {kestrelapi_export_vcd, kestrelapi_export_sr, kestrelapi_export_csv}) {
        EXPECT_EQ(f(h->get(), x.c_str(), 1u << 18, 0), OHWAPI_INVALID_ARGUMENT);
        EXPECT_EQ(f(h->get(), x.c_str(), 0, 1), OHWAPI_INVALID_ARGUMENT);
        EXPECT_EQ(f(h->get(), nullptr, 0, 0), OHWAPI_INVALID_ARGUMENT);
        EXPECT_EQ(f(h->get(), "", 0, 0), OHWAPI_INVALID_ARGUMENT);
        EXPECT_EQ(f(h->get(), (dir.path() + "/missing/x").c_str(), 0, 0), OHWAPI_INVALID_ARGUMENT);
    }
    EXPECT_FALSE(std::filesystem::exists(x));
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"some.csv", "some.vcd"}));
}

TEST_F(export_api, nothing_while_capturing_nor_before) {
    const std::string vcd = dir.file("a.vcd");
    EXPECT_EQ(kestrelapi_export_vcd(h->get(), vcd.c_str(), 0, 0), OHWAPI_NO_DATA);
    fw->acq().never_trigger(true);
    ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(h->get(), trig(KESTRELAPI_TRG_RISING, 2),
                                                           trig(KESTRELAPI_TRG_NOTRIG, 0),
                                                           settings(20000)),
              OHWAPI_OK);
    ASSERT_TRUE(eventually([&] { return flag(kestrelapi_get_config_done_flag); }));
    EXPECT_EQ(kestrelapi_export_sr(h->get(), vcd.c_str(), 0, 0), OHWAPI_BUSY);
    EXPECT_EQ(kestrelapi_request_abort(h->get()), OHWAPI_OK);
    EXPECT_TRUE(eventually([&] { return flag(kestrelapi_get_ready_flag); }));
    EXPECT_FALSE(std::filesystem::exists(vcd));
    EXPECT_TRUE(dir.entries().empty());
}

std::string last_error_text(kestrelapi_handle h) {
    char text[256];
    EXPECT_EQ(kestrelapi_get_last_error_text(h, text, sizeof text), OHWAPI_OK);
    return text;
}

struct log_lines {
    std::mutex m;
    std::vector<std::pair<int, std::string>> lines;
    static void take(void* user, int level, const char* line) {
        auto* self = static_cast<log_lines*>(user);
        std::lock_guard l(self->m);
        self->lines.emplace_back(level, line);
    }
    // The level of the first line that starts with start, -1 when there is none.
    int level_of(const std::string& start) {
        std::lock_guard l(m);
        for (const auto& [level, line] : lines)
            if (line.rfind(start, 0) == 0) return level;
        return -1;
    }
    size_t count() {
        std::lock_guard l(m);
        return lines.size();
    }
};

TEST_F(export_api, log_lines_go_to_the_callback_with_their_level_until_it_is_removed) {
    log_lines got;
    ASSERT_EQ(kestrelapi_set_log_callback(h->get(), &log_lines::take, &got), OHWAPI_OK);
    capture(20000);
    EXPECT_EQ(got.level_of("Capture done, post_trig_samples = "), KESTRELAPI_LOG_INFO);
    EXPECT_EQ(got.level_of("cleaning thread pool"), KESTRELAPI_LOG_DEBUG);
    EXPECT_EQ(kestrelapi_export_vcd(h->get(), dir.path().c_str(), 0, 0), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(got.level_of("Export failed: "), KESTRELAPI_LOG_ERROR);

    ASSERT_EQ(kestrelapi_set_log_callback(h->get(), nullptr, nullptr), OHWAPI_OK);
    const size_t before = got.count();
    testing::internal::CaptureStdout();
    capture(20000);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(got.count(), before);
    EXPECT_NE(out.find("Capture done, post_trig_samples = "), std::string::npos) << out;
}

TEST_F(export_api, a_failed_export_or_launch_says_why) {
    log_lines quiet;
    ASSERT_EQ(kestrelapi_set_log_callback(h->get(), &log_lines::take, &quiet), OHWAPI_OK);
    capture(20000);
    EXPECT_EQ(last_error_text(h->get()), "");
    EXPECT_EQ(kestrelapi_export_vcd(h->get(), dir.path().c_str(), 0, 0), OHWAPI_INVALID_ARGUMENT);
    EXPECT_NE(last_error_text(h->get()).find("Is a directory"), std::string::npos)
        << last_error_text(h->get());
    const std::string missing = dir.path() + "/missing/x.sr";
    EXPECT_EQ(kestrelapi_export_sr(h->get(), missing.c_str(), 0, 0), OHWAPI_INVALID_ARGUMENT);
    EXPECT_NE(last_error_text(h->get()).find(missing + ": No such file or directory"),
              std::string::npos)
        << last_error_text(h->get());
    EXPECT_EQ(kestrelapi_export_csv(h->get(), "x.csv", 1u << 18, 0), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(last_error_text(h->get()), "channel mask: channel 18 is outside 0..17");
    // Cut to the caller's buffer; refused without one.
    char small[5];
    EXPECT_EQ(kestrelapi_get_last_error_text(h->get(), small, sizeof small), OHWAPI_OK);
    EXPECT_STREQ(small, "chan");
    EXPECT_EQ(kestrelapi_get_last_error_text(h->get(), small, 0), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_get_last_error_text(h->get(), nullptr, 5), OHWAPI_INVALID_ARGUMENT);

    // Every field out of range is refused before anything starts, by name and range.
    struct refusal {
        void (*spoil)(kestrelapi_settings_t&);
        const char* why;
    };
    const refusal refusals[] = {
        {[](auto& s) { s.sampling_depth = 1; },
         "settings: sampling_depth = 1 is outside 2..1000000000000 samples"},
        {[](auto& s) { s.sampling_depth = 99999999999999; },
         "settings: sampling_depth = 99999999999999 is outside 2..1000000000000 samples"},
        {[](auto& s) { s.post_trig_depth = -1; },
         "settings: post_trig_depth = -1 is outside 0..20000 samples (the depth)"},
        {[](auto& s) { s.s_clk = 0; }, "settings: s_clk = 0 is outside 1..1000000000 Hz"},
        {[](auto& s) { s.s_clk = 1000000001; },
         "settings: s_clk = 1000000001 is outside 1..1000000000 Hz"},
        {[](auto& s) { s.thresh_capture_mv[1] = 3001; },
         "settings: thresh_capture_mv[1] = 3001 is outside 0..3000 mV"},
        {[](auto& s) { s.vcc_gen_mv[0] = 1200; },
         "settings: vcc_gen_mv[0] = 1200 is outside 1800..3300 mV (or 0, off)"},
        {[](auto& s) { s.ext_in_threshold_mv = 2600; },
         "settings: ext_in_threshold_mv = 2600 is outside 0..2500 mV"},
    };
    for (const auto& r : refusals) {
        auto s = settings(20000);
        r.spoil(s);
        EXPECT_EQ(kestrelapi_launch_new_capture_simple_trigger(
                      h->get(), trig(KESTRELAPI_TRG_NOTRIG, 0), trig(KESTRELAPI_TRG_NOTRIG, 0), s),
                  OHWAPI_INVALID_CONFIG)
            << r.why;
        EXPECT_EQ(last_error_text(h->get()), r.why);
        EXPECT_EQ(kestrelapi_launch_new_capture_complex_trigger(h->get(), s),
                  OHWAPI_INVALID_CONFIG);
        EXPECT_EQ(last_error_text(h->get()), r.why);
    }
    EXPECT_EQ(kestrelapi_launch_new_capture_simple_trigger(
                  h->get(), trig(KESTRELAPI_TRG_RISING, 18), trig(KESTRELAPI_TRG_NOTRIG, 0),
                  settings(20000)),
              OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(last_error_text(h->get()),
              "trig_a.channel = 18 is outside 0..17 (-1, any channel, for a change trigger)");
    // Nothing started: the capture before is still there to export.
    EXPECT_TRUE(flag(kestrelapi_get_capture_done_flag));
    EXPECT_EQ(kestrelapi_export_vcd(h->get(), dir.file("a.vcd").c_str(), 0, 0), OHWAPI_OK);
    EXPECT_EQ(last_error_text(h->get()), "");
    // quiet goes before the handle's close writes its lines.
    EXPECT_EQ(kestrelapi_set_log_callback(h->get(), nullptr, nullptr), OHWAPI_OK);
}

TEST(library_version, is_the_project_version) {
    uint32_t major = 0, minor = 99, patch = 99;
    ASSERT_EQ(kestrelapi_get_library_version(&major, &minor, &patch), OHWAPI_OK);
    EXPECT_EQ(std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch),
              KESTREL_PROJECT_VERSION);
    EXPECT_EQ(kestrelapi_get_library_version(nullptr, &minor, &patch), OHWAPI_INVALID_ARGUMENT);
}

} // namespace

namespace {

TEST_F(export_api, a_launch_while_an_export_runs_is_refused) {
    // Enough transitions (the device's counters on every channel) that the export is still
    // writing when the launch comes.
    capture(4000000);
    const std::string csv = dir.file("all.csv");
    std::atomic<ohwapi_err_code_t> exported{OHWAPI_UNKNOWN_ERROR};
    std::thread writer([&] { exported = kestrelapi_export_csv(h->get(), csv.c_str(), 0, 0); });
    // The export writes under a temporary name until it is complete.
    const bool seen_running =
        eventually([&] { return !dir.entries().empty() || exported != OHWAPI_UNKNOWN_ERROR; });
    const bool running = seen_running && exported == OHWAPI_UNKNOWN_ERROR;
    const auto launched = kestrelapi_launch_new_capture_simple_trigger(
        h->get(), trig(KESTRELAPI_TRG_NOTRIG, 0), trig(KESTRELAPI_TRG_NOTRIG, 0), settings(20000));
    const bool still_running = exported == OHWAPI_UNKNOWN_ERROR;
    writer.join();
    EXPECT_EQ(exported, OHWAPI_OK);
    ASSERT_TRUE(running && still_running) << "the export ended before the launch: no race tried";
    // The stores it walks were not cleared under it; they still hold the first capture.
    EXPECT_EQ(launched, OHWAPI_BUSY);
    int64_t total = 0, post = 0;
    ASSERT_EQ(kestrelapi_get_available_samples(h->get(), &total, &post), OHWAPI_OK);
    EXPECT_EQ(total, 4000000);
    // Launching works again once the export is done.
    EXPECT_EQ(kestrelapi_launch_new_capture_simple_trigger(h->get(), trig(KESTRELAPI_TRG_NOTRIG, 0),
                                                           trig(KESTRELAPI_TRG_NOTRIG, 0),
                                                           settings(20000)),
              OHWAPI_OK);
    EXPECT_TRUE(eventually([&] { return flag(kestrelapi_get_ready_flag); }));
}

} // namespace
