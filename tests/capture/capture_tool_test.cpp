#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <random>
#include <thread>

#include "hw/change_masks.h"
#include "kestrel/capture/capture_tool.h"
#include "store_reader.h"

namespace {

using namespace capture_test;
using kestrel::capture_tool;
using kestrel::kestrel_trs;
using namespace std::chrono_literals;

struct tool_fixture {
    explicit tool_fixture(hw::ich channels, size_t watermark = 1000)
        : man(channels, notifier),
          tool(
              channels, man, watermark, [this](int64_t at) { trig_pos = at; }, log) {}

    void feed(uint8_t g, std::vector<kestrel_trs> records) {
        tool.append(std::span<const kestrel_trs>(records), g);
    }
    void settle() {
        tool.flush();
        tool.wait_stored();
    }

    mox::semaphore notifier{1, 0};
    std::mutex m;
    std::vector<std::string> lines;
    std::function<void(const std::string&)> on_line; // called with the tool's lock held
    hw::log_fn log = [this](const std::string& s) {
        if (on_line) on_line(s);
        std::lock_guard l(m);
        lines.push_back(s);
    };
    bool logged(const std::string& start) {
        std::lock_guard l(m);
        for (const auto& line : lines)
            if (line.rfind(start, 0) == 0) return true;
        return false;
    }
    trs::manager man;
    std::atomic<int64_t> trig_pos{-1};
    capture_tool tool;
};

template <typename F> bool eventually(F&& cond) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

kestrel_trs rec(uint64_t levels, uint32_t delta, bool trigged = false) {
    return {levels, delta, trigged};
}

TEST(capture_tool, groups_cover_channels_highest_first) {
    EXPECT_EQ(capture_tool::groups_count_factory(18), 1);
    EXPECT_EQ(capture_tool::groups_count_factory(36), 2);
    EXPECT_EQ(capture_tool::groups_count_factory(54), 3);
    EXPECT_EQ(capture_tool::groups_count_factory(8), 1);

    tool_fixture f(36);
    EXPECT_EQ(f.tool.get_groups_count(), 2);
    f.tool.reset(0, 4e-9, 100);
    // Both groups trigger on their first record: group 0 is channels 18..35.
    std::thread g0([&] { f.feed(0, {rec(0x1, 1, true), rec(0x3, 10)}); });
    std::thread g1([&] { f.feed(1, {rec(0x2, 1, true), rec(0x0, 20)}); });
    g0.join();
    g1.join();
    f.settle();
    EXPECT_TRUE(f.tool.ready());
    EXPECT_EQ(f.trig_pos, 0);
    EXPECT_EQ(level_at(read_channel(f.man, 18), 0), 1);
    EXPECT_EQ(level_at(read_channel(f.man, 19), 10), 1);
    EXPECT_EQ(level_at(read_channel(f.man, 19), 9), 0);
    EXPECT_EQ(level_at(read_channel(f.man, 0), 0), 0);
    EXPECT_EQ(level_at(read_channel(f.man, 1), 0), 1);
    EXPECT_EQ(level_at(read_channel(f.man, 1), 20), 0);
    EXPECT_EQ(f.tool.captured_post_trig_depth(0), 10);
    EXPECT_EQ(f.tool.captured_post_trig_depth(1), 20);
    EXPECT_EQ(f.tool.captured_post_trig_depth(), 10);
    EXPECT_THROW(f.feed(2, {rec(0, 1)}), std::out_of_range);
}

TEST(capture_tool, history_is_cut_to_the_request_and_the_depth_is_exact) {
    tool_fixture f(18);
    f.tool.reset(10, 4e-9, 20);
    // Times 1, 5, 15 and the trigger record at 20: the run reaching back past the
    // requested ten samples is cut at sample 0.
    f.feed(0, {rec(0, 1), rec(1, 4), rec(0, 10), rec(1, 5, true)});
    EXPECT_EQ(f.trig_pos, 10);
    // After the trigger: 18, 26, then a record that would pass the total of 30 stores its
    // change at exactly 30, and everything later is dropped.
    f.feed(0, {rec(0, 8, true), rec(1, 8, true), rec(0, 8, true), rec(1, 8, true)});
    f.settle();
    EXPECT_EQ(read_channel(f.man, 0), (edges{{0, 1}, {5, 0}, {10, 1}, {18, 0}, {26, 1}, {30, 0}}));
    EXPECT_EQ(f.tool.captured_post_trig_depth(0), 24);
    EXPECT_EQ(f.man.available_samples_count(), 30);
}

TEST(capture_tool, common_trigger_instant_aligns_groups) {
    tool_fixture f(36);
    f.tool.reset(1000, 4e-9, 100);
    // Group 0 holds 1100 samples of history, group 1 only 800.
    std::thread g0([&] { f.feed(0, {rec(0, 1), rec(1, 500), rec(0, 600, true)}); });
    std::thread g1([&] { f.feed(1, {rec(0, 1), rec(1, 300), rec(0, 500, true)}); });
    g0.join();
    g1.join();
    f.settle();
    EXPECT_EQ(f.trig_pos, 800);
    EXPECT_EQ(read_channel(f.man, 18), (edges{{0, 0}, {200, 1}, {800, 0}}));
    EXPECT_EQ(read_channel(f.man, 0), (edges{{0, 0}, {300, 1}, {800, 0}}));
}

TEST(capture_tool, short_history_starts_at_the_oldest_record) {
    tool_fixture f(18, 200); // the tool's watermark does not bound the history
    f.tool.reset(1000, 4e-9, 10);
    std::vector<kestrel_trs> r;
    for (int i = 0; i < 300; ++i)
        r.push_back(rec(i % 2, 1));
    r.push_back(rec(1, 1, true));
    f.feed(0, r);
    f.settle();
    EXPECT_EQ(f.trig_pos, 300);
    const auto ch = read_channel(f.man, 0);
    // The oldest record (level 0) sits at sample 0.
    EXPECT_EQ(level_at(ch, 0), 0);
    EXPECT_EQ(level_at(ch, 1), 1);
    EXPECT_EQ(level_at(ch, 298), 0);
    EXPECT_EQ(level_at(ch, 300), 1);
}

// A history of one record per sample, longer than the tool's watermark, is kept whole:
// the trigger sits exactly at the requested pre-trigger depth.
TEST(capture_tool, a_history_of_one_record_per_sample_is_kept_whole) {
    tool_fixture f(18, 1000);
    const int pre = 50000;
    f.tool.reset(pre, 4e-9, 10);
    std::vector<kestrel_trs> r;
    for (int i = 0; i < 2 * pre; ++i)
        r.push_back(rec(i % 2, 1));
    r.push_back(rec(1, 1, true));
    f.feed(0, r);
    f.settle();
    EXPECT_EQ(f.trig_pos, pre);
}

// An abort while one group waits at its trigger and another has not reported yet: the
// late group does not place the trigger alone. Nothing is stored on any channel.
TEST(capture_tool, an_abort_before_every_group_reported_stores_nothing) {
    tool_fixture f(36);
    f.tool.reset(100, 4e-9, 1000);
    std::thread g0([&] { f.feed(0, {rec(0, 5), rec(1, 5, true), rec(0, 5)}); });
    ASSERT_TRUE(eventually([&] { return f.logged("set trig instant for group:0"); }));
    f.tool.abort();
    g0.join();
    f.feed(1, {rec(0, 5), rec(1, 5, true), rec(0, 5)});
    f.settle();
    EXPECT_FALSE(f.tool.ready());
    EXPECT_EQ(f.trig_pos, -1);
    EXPECT_EQ(f.tool.captured_post_trig_depth(0), 0);
    EXPECT_EQ(f.tool.captured_post_trig_depth(1), 0);
    f.tool.trim();
    EXPECT_EQ(f.man.maximum_samples_count(), 0);
}

// An abort right after the last group placed the trigger ends that group's hand-over of a
// long history between two batches instead of after the whole of it; the cut leaves every
// channel at one length.
TEST(capture_tool, an_abort_ends_the_history_hand_over_between_batches) {
    const int pre = 2000000;
    tool_fixture f(36, 2 * pre);
    f.tool.reset(pre, 4e-9, 10);
    std::thread aborter;
    f.on_line = [&](const std::string& line) {
        if (line.rfind("nearest trigger marker", 0) == 0)
            aborter = std::thread([&] { f.tool.abort(); });
    };
    std::vector<kestrel_trs> r;
    for (int i = 0; i < pre; ++i)
        r.push_back(rec(i % 2, 1));
    r.push_back(rec(1, 1, true));
    std::thread g1([&] { f.feed(1, r); });
    ASSERT_TRUE(eventually([&] { return f.logged("set trig instant for group:1"); }));
    f.feed(0, r);
    g1.join();
    aborter.join();
    f.settle();
    EXPECT_TRUE(f.tool.ready());
    EXPECT_LT(f.man.maximum_samples_count(), pre / 2); // what the groups handed over
    f.tool.trim();
    EXPECT_EQ(f.man.maximum_samples_count(), f.man.available_samples_count());
}

TEST(capture_tool, waiting_group_is_released_by_abort_and_idle_batches_flush) {
    tool_fixture f(36);
    f.tool.reset(0, 4e-9, 1000);
    std::atomic<bool> returned{false};
    std::thread g0([&] {
        f.feed(0, {rec(1, 1, true), rec(0, 5)});
        returned = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned); // group 1 has not reported
    f.tool.abort();
    g0.join();
    EXPECT_FALSE(f.tool.ready());

    // A partly filled batch reaches the stores once it is older than the threshold.
    tool_fixture s(18);
    s.tool.reset(0, 4e-9, 1000);
    s.feed(0, {rec(1, 1, true), rec(0, 5)});
    const auto start = std::chrono::steady_clock::now();
    bool stored = false;
    while (!stored && std::chrono::steady_clock::now() - start < 10s) {
        s.tool.flush_outdated(50);
        s.tool.wait_stored();
        stored = read_channel(s.man, 0) == edges{{0, 1}, {5, 0}};
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(stored);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);
}

// The hand-over splits a group's channels between its two jobs and stores them block by
// block: every channel must still show the levels of the records at every sample, across
// blocks, batches and the cut at the requested depth, for busy and quiet channels alike,
// and with gaps between records long enough that a busy channel's offsets need more than two
// slices and the low 16 bits of the times wrap.
TEST(capture_tool, every_channel_follows_the_records_across_blocks_and_batches) {
    for (const auto& [channels, long_gaps] :
         {std::pair{hw::ich{18}, false}, std::pair{hw::ich{8}, false}, std::pair{hw::ich{7}, true},
          std::pair{hw::ich{18}, true}}) {
        SCOPED_TRACE(channels);
        SCOPED_TRACE(long_gaps);
        tool_fixture f(channels, 100000);
        std::mt19937_64 rng(7);
        std::vector<kestrel_trs> records{rec(0x15, 1, true)};
        uint64_t levels = 0x15;
        for (int i = 0; i < 5000; ++i) {
            // Channel k toggles with probability about 2^-(k % 5): some at nearly every
            // record, some rarely; the output-sync bit above the channels changes too.
            uint64_t flip = 0;
            for (unsigned k = 0; k < channels; ++k)
                if ((rng() & ((uint64_t{1} << (k % 5)) - 1)) == 0) flip |= uint64_t{1} << k;
            levels ^= flip | ((rng() & 1) << 18);
            const bool gap = long_gaps && rng() % 300 == 0;
            records.push_back(
                rec(levels, gap ? 70000u : 1 + static_cast<uint32_t>(rng() % 3), true));
        }
        // A depth that ends inside a block, with records left over beyond it.
        isamp total = 0;
        for (size_t i = 1; i < 4000; ++i)
            total += records[i].delta_samples;
        const isamp depth = total - 1;
        f.tool.reset(0, 4e-9, depth);
        // Batches of uneven sizes, each handed over on its own.
        for (size_t at = 0; at < records.size();) {
            const size_t n = std::min<size_t>(1 + rng() % 700, records.size() - at);
            f.feed(0, std::vector<kestrel_trs>(records.begin() + static_cast<ptrdiff_t>(at),
                                               records.begin() + static_cast<ptrdiff_t>(at + n)));
            f.tool.flush();
            at += n;
        }
        f.settle();
        EXPECT_EQ(f.man.available_samples_count(), depth);
        for (hw::ich ch = 0; ch < channels; ++ch) {
            const auto e = read_channel(f.man, ch);
            size_t next = 0;
            int level = -1;
            isamp t = 0;
            int expected = static_cast<int>((records[0].levels >> ch) & 1);
            size_t r = 1;
            for (isamp s = 0; s < depth; ++s) {
                while (r < records.size() && t + records[r].delta_samples <= s)
                    t += records[r].delta_samples,
                        expected = static_cast<int>((records[r++].levels >> ch) & 1);
                while (next < e.size() && e[next].first <= s)
                    level = e[next++].second;
                ASSERT_EQ(level, expected) << "channel " << ch << " sample " << s;
            }
        }
        // The output-sync flag follows every record taken, up to the one that reaches the
        // depth, at times not cut to it (the trigger record starts the time at 0).
        oci::sync_t want;
        want.push(records[0].levels, 0);
        isamp taken = 0;
        for (size_t i = 1; i < records.size() && taken < depth; ++i) {
            want.push(records[i].levels, records[i].delta_samples);
            taken += records[i].delta_samples;
        }
        const auto got = f.man.oci_sync.get_steps();
        const auto steps = want.get_steps();
        ASSERT_GT(steps.size(), 100u);
        ASSERT_EQ(got.size(), steps.size());
        for (size_t i = 0; i < steps.size(); ++i) {
            EXPECT_EQ(got[i].abs_sample, steps[i].abs_sample) << "step " << i;
            EXPECT_EQ(got[i].level, steps[i].level) << "step " << i;
        }
        EXPECT_EQ(f.man.oci_sync.get_global_time(), want.get_global_time());
        EXPECT_EQ(f.man.oci_sync.get_last_level(), want.get_last_level());
    }
}

// A block's change masks taken with vector tests or with the affine bit transposition are
// the bits of its planes, for every channel count of a group, with bits set above the
// channels too and with quiet planes; nothing is written past the group's channels.
TEST(capture_tool, change_masks_of_a_block_are_the_bits_of_its_planes) {
    std::mt19937_64 rng(3);
    constexpr uint64_t untouched = 0x5a5a5a5a5a5a5a5a;
    for (const bool affine : {true, false}) {
        SCOPED_TRACE(affine ? "affine" : "tests");
        for (unsigned channels = 1; channels <= 24; ++channels) {
            SCOPED_TRACE(channels);
            for (int round = 0; round < 20; ++round) {
                alignas(64) uint8_t planes[3][64];
                for (auto& plane : planes)
                    for (auto& byte : plane)
                        byte = static_cast<uint8_t>(rng() & rng());
                if (round % 4 == 1) std::memset(planes[round % 3], 0, 64);
                uint64_t got[25];
                std::fill(std::begin(got), std::end(got), untouched);
                if (!hw::change_masks_wide(planes, channels, got, affine))
                    GTEST_SKIP() << "no AVX-512BW: the planes are transposed the plain way";
                for (unsigned k = 0; k < channels; ++k) {
                    uint64_t want = 0;
                    for (unsigned j = 0; j < 64; ++j)
                        want |= static_cast<uint64_t>((planes[k / 8][j] >> (k % 8)) & 1) << j;
                    ASSERT_EQ(got[k], want) << "channel " << k;
                }
                for (unsigned k = channels; k < 25; ++k)
                    ASSERT_EQ(got[k], untouched) << "written past the channels at " << k;
            }
        }
    }
}

} // namespace

// The batch's pass eight records at a time gives, record for record, the times and changed
// bits of the plain pass, and leaves to the plain pass only the eight records that reach the
// depth or change the followed output-sync flag.
TEST(capture_tool, wide_batch_pass_matches_the_plain_pass) {
    std::mt19937_64 rng(11);
    constexpr unsigned oci_pos = 18;
    constexpr uint64_t mask = 0x3FFFF;
    int wide_runs = 0;
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        const size_t n = rng() % 80;
        const bool follow = round % 2 == 0;
        const bool oci_changes = round % 3 == 0;
        std::vector<kestrel_trs> recs(n);
        uint64_t levels = rng() & mask;
        for (auto& r : recs) {
            if (rng() % 3 != 0) levels ^= rng() & rng() & mask;
            uint64_t flag = 0;
            if (oci_changes && rng() % 16 == 0) flag = uint64_t{1} << oci_pos;
            // Bits above the group's channels and the flag change too: the pass ignores them.
            r.levels = levels | flag | (rng() & 0xFFFF'0000'0000'0000);
            r.delta_samples = static_cast<uint32_t>(1 + rng() % (round % 4 == 0 ? 100000 : 20));
            r.trigged = rng() % 2 != 0;
        }
        const int64_t start = static_cast<int64_t>(rng() % 1000);
        const int64_t depth = round % 5 == 0 ? start + static_cast<int64_t>(rng() % 400)
                                             : std::numeric_limits<int64_t>::max();
        const uint64_t start_last = rng() & mask;

        std::vector<int64_t> times(n + 8, -1);
        std::vector<uint8_t> pl(3 * 64 + 64 * 2, 0xEE);
        int64_t total = start;
        uint64_t last = start_last;
        const size_t got =
            hw::take_records_wide(recs.data(), std::min<size_t>(n, 64), mask, depth, follow,
                                  oci_pos, false, times.data(), pl.data(), total, last);
        ASSERT_EQ(got % 8, 0u);
        ASSERT_LE(got, std::min<size_t>(n, 64));
        if (got > 0) ++wide_runs;

        // The plain pass over the same records.
        int64_t t = start;
        uint64_t l = start_last;
        for (size_t k = 0; k < got; ++k) {
            t += recs[k].delta_samples;
            const uint64_t d = (recs[k].levels & mask) ^ l;
            l ^= d;
            ASSERT_EQ(times[k], t) << "record " << k;
            ASSERT_EQ(pl[k], static_cast<uint8_t>(d)) << "record " << k;
            ASSERT_EQ(pl[64 + k], static_cast<uint8_t>(d >> 8)) << "record " << k;
            ASSERT_EQ(pl[128 + k], static_cast<uint8_t>(d >> 16)) << "record " << k;
            ASSERT_LT(t, depth);
            if (follow) {
                ASSERT_EQ((recs[k].levels >> oci_pos) & 1, 0u) << "record " << k;
            }
        }
        EXPECT_EQ(total, t);
        EXPECT_EQ(last, l);
        EXPECT_EQ(times[got], -1) << "written past the records taken";
        for (size_t j = got; j < 64; ++j)
            for (size_t plane = 0; plane < 3; ++plane)
                ASSERT_EQ(pl[plane * 64 + j], 0xEE) << "written past the records taken";

        // It stopped only where it had to, or for want of eight records.
        if (got > 0 && got + 8 <= std::min<size_t>(n, 64)) {
            int64_t after = t;
            bool flag_changes = false;
            for (size_t k = got; k < got + 8; ++k) {
                after += recs[k].delta_samples;
                flag_changes |= ((recs[k].levels >> oci_pos) & 1) != 0;
            }
            EXPECT_TRUE(after >= depth || (follow && flag_changes));
        }
    }
    if (wide_runs == 0) GTEST_SKIP() << "no AVX-512: the plain pass takes every record";
}
