// The export writers over a transition manager filled by hand: levels at any sample, the
// three formats read back independently, failures that leave nothing, bounded memory.
#include <sys/resource.h>
#include <zip.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "export/capture.h"
#include "export/error_names.h"
#include "export/output_file.h"
#include "export/writers.h"
#include "helpers.h"
#include "kestrelapi.h"
#include "mox/semaphore.h"
#include "trs/manager.h"

namespace {

using namespace export_test;

// Stores filled from lists of (sample, level); `length` extends every channel.
struct filled {
    explicit filled(hw::ich n, hw::period period = 4e-9) : man(n, notifier) {
        man.init(period, trs::manager::all_channels);
    }
    void set(hw::ich ch, const std::vector<change>& changes) {
        auto b = man.create_builder(ch);
        for (const auto& c : changes)
            b.append(static_cast<isamp>(c.sample), static_cast<uint8_t>(c.level));
    }
    void finish(isamp length) {
        for (hw::ich ch = 0; ch < man.channels_count(); ++ch) {
            auto b = man.create_builder(ch);
            b.append_idle(length, static_cast<uint8_t>(man.create_iterator(ch).last_idle().pol));
        }
    }
    xport::capture_t all(isamp length, isamp trigger = -1) {
        xport::capture_t c;
        c.man = &man;
        for (hw::ich ch = 0; ch < man.channels_count(); ++ch) {
            c.channels.push_back(ch);
            c.names.push_back(xport::default_name(ch));
        }
        c.length = length;
        c.trigger = trigger;
        c.period = man.get_sampling_period();
        return c;
    }

    mox::semaphore notifier{1, 0};
    trs::manager man;
};

// Level of a change list at a sample (low before the first change).
int level_at(const std::vector<change>& cs, uint64_t s) {
    int l = 0;
    for (const auto& c : cs) {
        if (c.sample > s) break;
        l = c.level;
    }
    return l;
}

std::string zip_entry(zip_t* za, const std::string& name) {
    zip_stat_t st;
    if (zip_stat(za, name.c_str(), 0, &st) != 0) return "";
    std::string data(st.size, '\0');
    zip_file_t* f = zip_fopen(za, name.c_str(), 0);
    EXPECT_NE(f, nullptr);
    if (!f) return "";
    EXPECT_EQ(zip_fread(f, data.data(), st.size), static_cast<zip_int64_t>(st.size));
    zip_fclose(f);
    return data;
}

TEST(channel_cursor, levels_changes_and_positions) {
    filled f(3);
    // A transition at sample 0 overrides the initial level slice; repeats are no change.
    f.set(0, {{0, 1}, {40, 0}, {40, 1}, {41, 1}, {100, 0}});
    f.set(1, {{5, 0}}); // initial level 1 until 5
    f.finish(200);
    xport::channel_cursor c(f.man.create_iterator(0), 0);
    EXPECT_TRUE(c.level());
    EXPECT_EQ(c.next_change(), 100); // 40 ends on the level it started from
    c.advance();
    EXPECT_FALSE(c.level());
    EXPECT_EQ(c.next_change(), xport::no_sample);

    xport::channel_cursor d(f.man.create_iterator(1), 0);
    EXPECT_TRUE(d.level());
    EXPECT_EQ(d.next_change(), 5);
    xport::channel_cursor mid(f.man.create_iterator(0), 99);
    EXPECT_TRUE(mid.level());
    EXPECT_EQ(mid.next_change(), 100);
    xport::channel_cursor at(f.man.create_iterator(0), 100);
    EXPECT_FALSE(at.level());
    // An empty channel is low and never changes.
    xport::channel_cursor empty(f.man.create_iterator(2), 0);
    EXPECT_FALSE(empty.level());
    EXPECT_EQ(empty.next_change(), xport::no_sample);
}

TEST(channel_cursor, long_random_channel_from_any_start) {
    // Gaps from 1 to 300000 samples: one to four slices per transition, many chunks.
    std::mt19937_64 rng(5);
    std::vector<change> cs;
    uint64_t s = 0;
    int l = 1;
    for (int i = 0; i < 5000; ++i) {
        s += 1 + rng() % (i % 7 == 0 ? 300000 : 70);
        l ^= 1;
        cs.push_back({s, l});
    }
    filled f(1);
    f.set(0, cs);
    f.finish(static_cast<isamp>(s + 10));
    xport::channel_cursor c(f.man.create_iterator(0), 0);
    std::vector<change> walked{{0, c.level()}};
    while (c.next_change() != xport::no_sample) {
        const auto at = c.next_change();
        c.advance();
        walked.push_back({static_cast<uint64_t>(at), c.level()});
    }
    std::vector<change> want{{0, 1 - cs.front().level}};
    want.insert(want.end(), cs.begin(), cs.end());
    EXPECT_EQ(walked, want);
    for (int i = 0; i < 200; ++i) {
        const uint64_t from = rng() % (s + 1);
        xport::channel_cursor p(f.man.create_iterator(0), static_cast<isamp>(from));
        ASSERT_EQ(p.level(), level_at(want, from) == 1) << from;
        const auto next =
            std::upper_bound(want.begin(), want.end(), from,
                             [](uint64_t v, const change& x) { return v < x.sample; });
        ASSERT_EQ(p.next_change(),
                  next == want.end() ? xport::no_sample : static_cast<isamp>(next->sample));
    }
}

TEST(vcd, timescales) {
    struct tcase {
        double period;
        const char* text;
        uint64_t ticks;
    };
    for (const tcase& t : {tcase{4e-9, "1 ns", 4}, tcase{1e-9, "1 ns", 1}, tcase{1e-8, "10 ns", 1},
                           tcase{2e-6, "1 us", 2}, tcase{1e-3, "1 ms", 1}, tcase{1.0, "1 s", 1},
                           tcase{5e-7, "100 ns", 5}, tcase{1.6e-8, "1 ns", 16}}) {
        const auto ts = xport::vcd_timescale(t.period);
        EXPECT_EQ(std::to_string(ts.multiplier) + " " + ts.unit, t.text) << t.period;
        EXPECT_EQ(ts.ticks, t.ticks) << t.period;
        EXPECT_EQ(ts.time_of(1000), 1000 * t.ticks);
    }
    // 3 MHz is no whole number of femtoseconds: rounded ticks that keep the order.
    const auto odd = xport::vcd_timescale(1.0 / 3e6);
    EXPECT_STREQ(odd.unit, "fs");
    EXPECT_EQ(odd.ticks, 0u);
    EXPECT_EQ(odd.time_of(3), 1000000000u);
    EXPECT_EQ(odd.time_of(1), 333333333u);
    EXPECT_LT(odd.time_of(1), odd.time_of(2));
    EXPECT_THROW(xport::vcd_timescale(0), std::invalid_argument);
}

TEST(vcd, reads_back_with_names_trigger_and_length) {
    filled f(4);
    const std::vector<change> c0 = {{0, 1}, {7, 0}, {9, 1}, {1000, 0}};
    const std::vector<change> c1 = {{3, 1}, {3, 0}, {9, 1}, {9, 1}, {64, 0}, {4096, 1}};
    const std::vector<change> c3 = {{2, 1}, {5000, 0}}; // the last is beyond the length
    f.set(0, c0);
    f.set(1, c1);
    f.set(3, c3);
    f.finish(5000);
    temp_dir dir;
    auto cap = f.all(4500, 9);
    cap.names[1] = "data bus";
    xport::write_vcd(cap, dir.file("t.vcd"));
    const auto v = read_vcd(dir.file("t.vcd"));
    EXPECT_EQ(v.timescale, "1 ns");
    EXPECT_EQ(v.names, (std::vector<std::string>{"ch0", "data_bus", "ch2", "ch3"}));
    EXPECT_EQ(v.trigger_ticks, std::vector<uint64_t>{36});
    EXPECT_EQ(v.last_tick, 4500u * 4);
    // Same-sample items net out; the initial level slice gives the level at 0.
    const std::vector<std::vector<change>> want = {{{0, 1}, {7, 0}, {9, 1}, {1000, 0}},
                                                   {{0, 0}, {9, 1}, {64, 0}, {4096, 1}},
                                                   {{0, 0}},
                                                   {{0, 0}, {2, 1}}};
    for (size_t k = 0; k < 4; ++k)
        EXPECT_EQ(in_samples(v.wires.at(v.names[k]), 1e-9, 4e-9), want[k]) << k;
    // No trigger: said so, no event.
    cap.trigger = -1;
    cap.channels = {3};
    cap.names = {"only"};
    xport::write_vcd(cap, dir.file("n.vcd"));
    const auto n = read_vcd(dir.file("n.vcd"));
    EXPECT_TRUE(n.trigger_ticks.empty());
    EXPECT_EQ(n.names, std::vector<std::string>{"only"});
    EXPECT_NE(std::find(n.comments.begin(), n.comments.end(), "no trigger"), n.comments.end());
}

TEST(vcd, many_channels_get_distinct_identifiers) {
    filled f(200);
    for (hw::ich ch = 0; ch < 200; ++ch)
        f.set(ch, {{ch + 1, 1}});
    f.finish(300);
    temp_dir dir;
    xport::write_vcd(f.all(300), dir.file("w.vcd"));
    const auto v = read_vcd(dir.file("w.vcd"));
    ASSERT_EQ(v.wires.size(), 200u);
    for (hw::ich ch = 0; ch < 200; ++ch)
        EXPECT_EQ(in_samples(v.wires.at("ch" + std::to_string(ch)), 1e-9, 4e-9),
                  (std::vector<change>{{0, 0}, {ch + 1, 1}}));
}

TEST(csv, rows_in_time_order_with_quoted_names_and_the_trigger) {
    filled f(2, 1e-6);
    f.set(0, {{0, 1}, {3, 0}});
    f.set(1, {{3, 1}, {8, 0}});
    f.finish(10);
    temp_dir dir;
    auto cap = f.all(10, 3);
    cap.names[1] = "a,\"b\"";
    xport::write_csv(cap, dir.file("t.csv"));
    EXPECT_EQ(read_file(dir.file("t.csv")), "sample,time,channel,level\n"
                                            "0,0,ch0,1\n"
                                            "0,0,\"a,\"\"b\"\"\",0\n"
                                            "3,3e-06,trigger,1\n"
                                            "3,3e-06,ch0,0\n"
                                            "3,3e-06,\"a,\"\"b\"\"\",1\n"
                                            "8,8e-06,\"a,\"\"b\"\"\",0\n");
}

TEST(csv, columns_a_row_of_every_level_at_each_change) {
    filled f(3, 1e-6);
    f.set(0, {{0, 1}, {3, 0}});
    f.set(1, {{3, 1}, {8, 0}});
    f.set(2, {{0, 0}, {5, 1}, {5, 1}}); // a repeated level is no change
    f.finish(10);
    temp_dir dir;
    auto cap = f.all(10, 3);
    cap.names[1] = "clk";
    xport::write_csv_columns(cap, dir.file("c.csv"));
    EXPECT_EQ(read_file(dir.file("c.csv")),
              "; 10 samples at 1000000 Hz, trigger at sample 3\n"
              "; samplerate=1000000\n"
              "; a row per change; sigrok-cli -I csv:column_formats=-,-,3l:samplerate=1000000\n"
              "sample,time,ch0,clk,ch2\n"
              "0,0,1,0,0\n"
              "3,3e-06,0,1,0\n"
              "5,5e-06,0,1,1\n"
              "8,8e-06,0,0,1\n");
    xport::write_csv_columns(f.all(10), dir.file("n.csv"));
    EXPECT_EQ(read_file(dir.file("n.csv")).substr(0, 36), "; 10 samples at 1000000 Hz, no trigg");
}

TEST(sr, chunks_rebuild_every_sample) {
    // Nine channels: two bytes a sample; chunks of 35 bytes hold 17 samples.
    std::mt19937_64 rng(11);
    filled f(9, 1e-8);
    std::vector<std::vector<change>> in(9);
    for (hw::ich ch = 0; ch < 9; ++ch) {
        uint64_t s = 0;
        int l = 0;
        while ((s += 1 + rng() % 40) < 1000) {
            l ^= 1;
            in[ch].push_back({s, l});
        }
        f.set(ch, in[ch]);
    }
    f.finish(1000);
    temp_dir dir;
    auto cap = f.all(1000);
    cap.channels = {0, 2, 3, 4, 5, 6, 7, 8, 1}; // written in the given order
    cap.names = {"a", "c", "d", "e", "f", "g", "h", "i", "b"};
    xport::write_sr(cap, dir.file("t.sr"), 35);
    int err = 0;
    zip_t* za = zip_open(dir.file("t.sr").c_str(), ZIP_RDONLY, &err);
    ASSERT_NE(za, nullptr) << err;
    EXPECT_EQ(zip_entry(za, "version"), "2");
    const std::string meta = zip_entry(za, "metadata");
    for (const char* line : {"capturefile=logic-1\n", "total probes=9\n", "samplerate=100 MHz\n",
                             "probe1=a\n", "probe9=b\n", "unitsize=2\n"})
        EXPECT_NE(meta.find(line), std::string::npos) << line << " in\n" << meta;
    std::string data;
    int chunks = 0;
    for (int n = 1;; ++n) {
        const std::string part = zip_entry(za, "logic-1-" + std::to_string(n));
        if (part.empty()) break;
        EXPECT_LE(part.size(), 35u);
        EXPECT_EQ(part.size() % 2, 0u);
        data += part;
        ++chunks;
    }
    zip_close(za);
    EXPECT_EQ(chunks, (1000 + 16) / 17);
    ASSERT_EQ(data.size(), 2000u);
    for (uint64_t s = 0; s < 1000; ++s) {
        const unsigned word =
            static_cast<uint8_t>(data[2 * s]) | (static_cast<uint8_t>(data[2 * s + 1]) << 8);
        for (size_t k = 0; k < 9; ++k)
            ASSERT_EQ((word >> k) & 1, static_cast<unsigned>(level_at(in[cap.channels[k]], s)))
                << "sample " << s << " bit " << k;
        ASSERT_EQ(word >> 9, 0u);
    }
}

TEST(sr, samplerate_text) {
    EXPECT_EQ(xport::sr_samplerate(250000000), "250 MHz");
    EXPECT_EQ(xport::sr_samplerate(1000000000), "1 GHz");
    EXPECT_EQ(xport::sr_samplerate(3000), "3 kHz");
    EXPECT_EQ(xport::sr_samplerate(333333333), "333333333 Hz");
    EXPECT_EQ(xport::sr_samplerate(999), "999 Hz");
}

long peak_rss_kib() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

TEST(sr, hundred_million_samples_of_54_channels_in_bounded_memory) {
    constexpr isamp length = 100000000;
    filled f(54, 1e-9);
    for (hw::ich ch = 0; ch < 54; ++ch) {
        std::vector<change> cs;
        for (isamp s = static_cast<isamp>(ch) * 1000 + 1, l = 1; s < length; s += 3000000, l ^= 1)
            cs.push_back({static_cast<uint64_t>(s), static_cast<int>(l)});
        f.set(ch, cs);
    }
    f.finish(length);
    temp_dir dir;
    std::ofstream("/proc/self/clear_refs") << "5"; // peak RSS from here
    const long before = peak_rss_kib();
    xport::write_sr(f.all(length), dir.file("big.sr"));
    const long grown = peak_rss_kib() - before;
    // 700 MB expanded; the writer holds a chunk's staging buffer and libzip's buffers.
    // AddressSanitizer keeps freed blocks in quarantine, so allow it more.
#if defined(__SANITIZE_ADDRESS__)
    constexpr long limit_kib = 400 * 1024;
#else
    constexpr long limit_kib = 64 * 1024;
#endif
    EXPECT_LT(grown, limit_kib) << "KiB";
    int err = 0;
    zip_t* za = zip_open(dir.file("big.sr").c_str(), ZIP_RDONLY, &err);
    ASSERT_NE(za, nullptr);
    zip_uint64_t total = 0;
    for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i) {
        zip_stat_t st;
        ASSERT_EQ(zip_stat_index(za, static_cast<zip_uint64_t>(i), 0, &st), 0);
        if (std::string(st.name).rfind("logic-1-", 0) == 0) {
            EXPECT_LE(st.size, 4u << 20);
            total += st.size;
        }
    }
    EXPECT_EQ(total, static_cast<zip_uint64_t>(length) * 7);
    // The last sample: every channel at its final level.
    zip_stat_t last;
    const std::string name = "logic-1-" + std::to_string(zip_get_num_entries(za, 0) - 2);
    ASSERT_EQ(zip_stat(za, name.c_str(), 0, &last), 0);
    const std::string tail = zip_entry(za, name);
    zip_close(za);
    ASSERT_GE(tail.size(), 7u);
    uint64_t word = 0;
    for (int b = 0; b < 7; ++b)
        word |= uint64_t{static_cast<uint8_t>(tail[tail.size() - 7 + b])} << (8 * b);
    for (hw::ich ch = 0; ch < 54; ++ch) {
        const isamp first = static_cast<isamp>(ch) * 1000 + 1;
        const isamp count = (length - 1 - first) / 3000000 + 1;
        EXPECT_EQ((word >> ch) & 1, static_cast<uint64_t>(count % 2)) << ch;
    }
}

TEST(output_file, nothing_under_the_final_name_until_complete) {
    temp_dir dir;
    const std::string path = dir.file("keep.vcd");
    std::ofstream(path) << "old";
    {
        xport::output_file out(path);
        std::fputs("new", out.stream());
        EXPECT_EQ(read_file(path), "old");
        EXPECT_EQ(dir.entries().size(), 2u);
        // Destroyed without commit: an error on the way.
    }
    EXPECT_EQ(read_file(path), "old");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"keep.vcd"});
    {
        xport::output_file out(path);
        std::fputs("new", out.stream());
        out.commit();
    }
    EXPECT_EQ(read_file(path), "new");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"keep.vcd"});
    const auto perms = std::filesystem::status(path).permissions();
    EXPECT_NE(perms & std::filesystem::perms::owner_read, std::filesystem::perms::none);

    EXPECT_THROW(xport::output_file(dir.file("none/x.vcd")), xport::file_error);
    EXPECT_THROW(xport::output_file(dir.path() + "/"), xport::file_error);
    // A directory in the way: the rename fails, the temporary file goes.
    std::filesystem::create_directories(dir.file("taken/sub"));
    filled f(1);
    f.set(0, {{1, 1}});
    f.finish(10);
    for (auto w :
         {+[](const xport::capture_t&c, const std::string&p) { xport::write_vcd(c, p); },
          +[](const xport::capture_t&c, const std::string&p) { xport::write_csv(c, p); },
          +[](const xport::capture_t&c, const std::string&p) { xport::write_csv_columns(c, p); },
          +[](const xport::capture_t&c, const std::string&p) { xport::write_sr(c, p); }})
        EXPECT_THROW(w(f.all(10), dir.file("taken")), xport::file_error);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"keep.vcd", "taken"}));
}

TEST(output_file, a_failed_write_keeps_the_systems_reason) {
    // A file size limit fails writes with EFBIG as a full disk fails them with ENOSPC;
    // more than the stream's buffer is written, so stdio sees the failure before the end.
    temp_dir dir;
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto* const previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 100000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string message;
    try {
        xport::output_file out(dir.file("big.csv"));
        const std::string line(1000, 'x');
        for (int i = 0; i < 3000; ++i)
            std::fputs(line.c_str(), out.stream());
        out.commit();
    } catch (const xport::file_error& e) {
        message = e.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(message, "cannot write " + dir.file("big.csv") + ": " + std::strerror(EFBIG));
    EXPECT_TRUE(dir.entries().empty());
}

TEST(error_names, every_family_of_codes) {
    EXPECT_STREQ(kestrelapi_error_name(OHWAPI_OK), "OHWAPI_OK");
    EXPECT_STREQ(kestrelapi_error_name(OHWAPI_BUSY), "OHWAPI_BUSY");
    EXPECT_STREQ(kestrelapi_error_name(OHWAPI_HARDWARE_FAULT), "OHWAPI_HARDWARE_FAULT");
    EXPECT_STREQ(kestrelapi_error_name(OHWAPI_DEVICE_FORGED), "OHWAPI_DEVICE_FORGED");
    EXPECT_STREQ(kestrelapi_error_name(OHWAPI_UNKNOWN_ERROR), "OHWAPI_UNKNOWN_ERROR");
    EXPECT_STREQ(kestrelapi_error_name(OHWAPI_NOT_IMPLEMENTED), "OHWAPI_NOT_IMPLEMENTED");
    EXPECT_STREQ(kestrelapi_error_name(1018), "OHWAPI_TX_FAILURE");
    EXPECT_STREQ(kestrelapi_error_name(1019), "OHWAPI_STORE_FULL");
    EXPECT_STREQ(kestrelapi_error_name(1993), "LIBUSB_ERROR_TIMEOUT");
    EXPECT_STREQ(kestrelapi_error_name(1996), "LIBUSB_ERROR_NO_DEVICE");
    EXPECT_STREQ(kestrelapi_error_name(1988), "LIBUSB_ERROR_NOT_SUPPORTED");
    EXPECT_STREQ(kestrelapi_error_name(1901), "LIBUSB_ERROR_OTHER");
    EXPECT_STREQ(kestrelapi_error_name(3002), "FT_DEVICE_NOT_FOUND");
    EXPECT_STREQ(kestrelapi_error_name(3019), "FT_TIMEOUT");
    EXPECT_STREQ(kestrelapi_error_name(3030), "FT_DEVICE_NOT_CONNECTED");
    EXPECT_STREQ(kestrelapi_error_name(3032), "FT_OTHER_ERROR");
    for (int unknown : {-1, 1, 999, 1020, 1099, 1101, 1900, 1950, 2001, 3033, 99999})
        EXPECT_STREQ(kestrelapi_error_name(unknown), "UNKNOWN") << unknown;
}

} // namespace
