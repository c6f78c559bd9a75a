// The parser writing the hand-over batch itself stores exactly what its records do.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "hw/direct_batch.h"
#include "kestrel/capture/capture_tool.h"
#include "packets.h"
#include "store_reader.h"

namespace {

using namespace capture_test;
using kestrel::buffer_parser;
using kestrel::capture_tool;
using kestrel::kestrel_trs;

struct shape {
    hw::ich channels = 18;
    size_t packets = 3000;
    bool flag = false;      // output-sync marks in the stream
    bool idle = false;      // idle packets between the runs
    isamp pre = 100;        // pre-trigger samples asked for
    double depth_at = 0.7;  // the post-trigger depth as a share of the stream's samples
    bool cut_short = false; // the stream ends inside a packet, as an overrun ends it
};

// A stream of runs of samples packets of random lengths with changes on random channels
// (some busy, some quiet), a trigger packet early on, and between runs idle or output-sync
// packets; the output-sync marks set the flag mid-packet and carry it over whole runs.
std::vector<uint8_t> make_stream(std::mt19937_64& rng, const shape& s, isamp& samples) {
    std::vector<packet> out;
    uint32_t level = static_cast<uint32_t>(rng()) & 0x3FFFF;
    samples = 0;
    auto put_run = [&](size_t n) {
        const unsigned busy = static_cast<unsigned>(rng() % 4);
        for (size_t j = 0; j < n; ++j) {
            std::array<uint32_t, 7> v{};
            for (auto& x : v) {
                uint32_t flip = static_cast<uint32_t>(rng()) & 0x3FFFF;
                for (unsigned b = 0; b < busy; ++b)
                    flip &= static_cast<uint32_t>(rng());
                if (busy == 3) flip &= 0x3; // only a clock and its data
                level ^= flip;
                x = level;
            }
            out.push_back(capture_test::samples(v));
            samples += 7;
        }
    };
    put_run(5);
    out.push_back(trig(static_cast<uint8_t>(1u << (rng() % 7))));
    while (out.size() < s.packets) {
        put_run(1 + rng() % (rng() % 4 == 0 ? 400 : 40));
        const auto what = rng() % 4;
        if (s.idle && what == 0) {
            const uint32_t n = 1 + static_cast<uint32_t>(rng() % 50);
            out.push_back(delta_s(n));
            samples += 7 * isamp{n};
        } else if (s.flag && what == 1) {
            // Bit 6 set carries the flag over the next packets, up to the next mark.
            out.push_back(rfu(static_cast<uint8_t>(rng() & 0x7F)));
        }
    }
    auto bytes = stream(out);
    if (s.cut_short) bytes.resize(bytes.size() - 1 - rng() % 15);
    return bytes;
}

struct stored {
    std::vector<edges> channels;
    isamp available = 0;
    int64_t post_depth = 0;
    std::vector<oci::sync_step_t> steps;
    size_t records_handed_out = 0;
};

enum class way { records, direct_plain, direct_wide };

// The stream through a parser and a one-group capture tool, in buffers of random sizes
// (packets straddle them), with or without the parser writing the batch itself (sample by
// sample, or a packet at a time in vector lanes where the processor has them).
stored capture(const std::vector<uint8_t>& bytes, const shape& s, isamp post, way how,
               uint64_t seed) {
    mox::semaphore notifier{1, 0};
    hw::log_fn log = [](const std::string&) {};
    trs::manager man(s.channels, notifier);
    capture_tool tool(s.channels, man, 100000, {}, log);
    tool.reset(s.pre, 4e-9, post);
    stored out;
    buffer_parser parser(0, buffer_parser::batch_fn_t([&](std::span<kestrel_trs> b, uint8_t g) {
                             out.records_handed_out += b.size();
                             tool.append(std::span<const kestrel_trs>(b), g);
                         }));
    if (how != way::records) parser.write_batches_to(&tool.direct_batch(0));
    parser.use_wide_writer(how == way::direct_wide);
    std::mt19937_64 rng(seed);
    for (size_t at = 0; at < bytes.size();) {
        const size_t n = std::min<size_t>(bytes.size() - at, 1 + rng() % 40000);
        parser.parse(std::span<const uint8_t>(bytes.data() + at, n));
        at += n;
        if (rng() % 3 == 0) tool.flush(); // as the capture thread's look at a quiet stream
    }
    tool.flush();
    tool.trim();
    out.available = man.available_samples_count();
    out.post_depth = tool.captured_post_trig_depth();
    out.steps = man.oci_sync.get_steps();
    for (hw::ich ch = 0; ch < s.channels; ++ch)
        out.channels.push_back(read_channel(man, ch));
    return out;
}

void expect_same(const stored& plain, const stored& direct) {
    EXPECT_EQ(direct.available, plain.available);
    EXPECT_EQ(direct.post_depth, plain.post_depth);
    ASSERT_EQ(direct.steps.size(), plain.steps.size());
    for (size_t i = 0; i < plain.steps.size(); ++i) {
        EXPECT_EQ(direct.steps[i].abs_sample, plain.steps[i].abs_sample) << "step " << i;
        EXPECT_EQ(direct.steps[i].level, plain.steps[i].level) << "step " << i;
    }
    for (size_t ch = 0; ch < plain.channels.size(); ++ch)
        ASSERT_EQ(direct.channels[ch], plain.channels[ch]) << "channel " << ch;
}

// Every channel, the depth, the trigger's place and the output-sync steps come out the same
// whichever way the records go: on random streams cut into buffers anywhere, with the depth
// inside a run the parser writes, the flag set and cleared between and inside runs, idle
// packets, fewer channels than the parser's levels, batches that fill up within a run, and
// a stream that stops inside a packet before the depth (as an overrun stops it).
TEST(direct_batch, the_parser_writing_the_batch_stores_what_its_records_store) {
    const shape shapes[] = {
        {},
        {.flag = true},
        {.idle = true, .pre = 5000},
        {.channels = 8, .flag = true, .idle = true},
        {.channels = 3, .depth_at = 0.3},
        {.packets = 40000, .flag = true, .depth_at = 0.95},
        {.flag = true, .idle = true, .depth_at = 2.0, .cut_short = true},
    };
    int round = 0;
    for (const auto& s : shapes) {
        for (int k = 0; k < 4; ++k, ++round) {
            SCOPED_TRACE(round);
            std::mt19937_64 rng(100 + static_cast<uint64_t>(round));
            isamp samples = 0;
            const auto bytes = make_stream(rng, s, samples);
            // Depths a few samples either side of a packet's end too.
            const isamp post = static_cast<isamp>(s.depth_at * static_cast<double>(samples)) +
                               static_cast<isamp>(rng() % 7);
            const uint64_t seed = rng();
            const stored plain = capture(bytes, s, post, way::records, seed);
            for (const way how : {way::direct_plain, way::direct_wide}) {
                SCOPED_TRACE(how == way::direct_wide ? "wide" : "plain");
                const stored direct = capture(bytes, s, post, how, seed);
                expect_same(plain, direct);
                // The direct way took records (it stops at the depth).
                EXPECT_LT(direct.records_handed_out, plain.records_handed_out);
            }
        }
    }
}

// The byte planes of a block's changed-bit words, by whichever way the processor allows.
TEST(direct_batch, planes_of_changes_are_the_bytes_of_each_word) {
    std::mt19937_64 rng(5);
    uint32_t changes[64];
    for (auto& c : changes)
        c = static_cast<uint32_t>(rng()) & 0xFFFFFF;
    alignas(64) uint8_t planes[3][64];
    hw::planes_of_changes(changes, planes);
    for (unsigned j = 0; j < 64; ++j)
        for (unsigned p = 0; p < 3; ++p)
            ASSERT_EQ(planes[p][j], static_cast<uint8_t>(changes[j] >> (8 * p))) << j;
}

// A block's change masks straight from its words are the bits of each word, for every channel
// count of a group, with bits set above the channels too; nothing is written past them.
TEST(direct_batch, change_masks_of_words_are_the_bits_of_each_word) {
    std::mt19937_64 rng(9);
    constexpr uint64_t untouched = 0x5a5a5a5a5a5a5a5a;
    for (unsigned channels = 1; channels <= 24; ++channels) {
        SCOPED_TRACE(channels);
        for (int round = 0; round < 10; ++round) {
            uint32_t changes[64];
            for (auto& c : changes)
                c = static_cast<uint32_t>(rng() & rng()) & (round % 3 == 0 ? 0xFF00FF : ~0u);
            uint64_t got[25];
            std::fill(std::begin(got), std::end(got), untouched);
            if (!hw::change_masks_of_words(changes, channels, got))
                GTEST_SKIP() << "no GFNI and AVX-512 VBMI: the planes go through memory";
            for (unsigned k = 0; k < channels; ++k) {
                uint64_t want = 0;
                for (unsigned j = 0; j < 64; ++j)
                    want |= static_cast<uint64_t>((changes[j] >> k) & 1) << j;
                ASSERT_EQ(got[k], want) << "channel " << k;
            }
            for (unsigned k = channels; k < 25; ++k)
                ASSERT_EQ(got[k], untouched) << "written past the channels at " << k;
        }
    }
}

} // namespace
