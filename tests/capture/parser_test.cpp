#include <gtest/gtest.h>

#include "kestrel/capture/buffer_parser.h"
#include "packets.h"

namespace {

using namespace capture_test;
using kestrel::buffer_parser;
using kestrel::kestrel_trs;

struct recorded {
    std::vector<kestrel_trs> records;
    buffer_parser parser{2, [this](kestrel_trs& t, uint8_t g) {
                             EXPECT_EQ(g, 2);
                             records.push_back(t);
                         }};
    // Records emitted by one more buffer.
    std::vector<kestrel_trs> feed(const std::vector<packet>& packets) {
        records.clear();
        parser.parse(stream(packets));
        return records;
    }
};

std::vector<uint32_t> deltas(const std::vector<kestrel_trs>& r) {
    std::vector<uint32_t> d;
    for (auto& t : r)
        d.push_back(t.delta_samples);
    return d;
}

TEST(buffer_parser, records_at_changes_and_packet_ends) {
    recorded r;
    // The first sample opens the stream with a record of its own.
    auto out = r.feed({samples_all(0x15)});
    EXPECT_EQ(deltas(out), (std::vector<uint32_t>{1, 6}));
    EXPECT_EQ(out[0].levels, 0x15u);

    // Seven equal samples: one record at sample 6 with the whole packet.
    out = r.feed({samples_all(0x15)});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].delta_samples, 7u);
    EXPECT_EQ(out[0].levels, 0x15u);

    // Alternating values: one record per sample.
    out = r.feed({samples({0x3FFFF, 0, 0x3FFFF, 0, 0x3FFFF, 0, 0x3FFFF})});
    EXPECT_EQ(deltas(out), (std::vector<uint32_t>(7, 1)));
    EXPECT_EQ(out[0].levels, 0x3FFFFu); // bits 126..127 never reach the levels
    EXPECT_EQ(out[1].levels, 0u);

    // An idle stretch keeps the levels and only advances time; each idle packet counts.
    out = r.feed({delta_s(1000), delta_s(0xFFFFFF)});
    EXPECT_EQ(deltas(out), (std::vector<uint32_t>{7000, 7 * 0xFFFFFFu}));
    EXPECT_EQ(out[0].levels, 0x3FFFFu);

    // Type bits of a samples packet stay out of the levels.
    auto p = samples_all(0x3FFFF);
    p[15] |= 0x00; // type samples, bits 126..127 clear; sample 6 ends at bit 125
    out = r.feed({p});
    EXPECT_EQ(out.back().levels, 0x3FFFFu);
}

TEST(buffer_parser, first_idle_packet_is_ignored) {
    recorded r;
    auto out = r.feed({delta_s(5), samples_all(1)});
    EXPECT_EQ(deltas(out), (std::vector<uint32_t>{1, 6}));
}

TEST(buffer_parser, trigger_bitmap_marks_from_its_sample_on) {
    recorded r;
    auto out = r.feed({samples_all(0), trig(0x04), samples_all(0), samples_all(0)});
    // Records: first sample, end of packet 1, trigger sample (2), end of packet 2, packet 3.
    EXPECT_EQ(deltas(out), (std::vector<uint32_t>{1, 6, 3, 4, 7}));
    EXPECT_FALSE(out[1].trigged);
    EXPECT_TRUE(out[2].trigged);
    EXPECT_TRUE(out[4].trigged);

    recorded none;
    out = none.feed({trig(0xFF), samples({1, 2, 3, 4, 5, 6, 7}), samples_all(7)});
    for (auto& t : out)
        EXPECT_FALSE(t.trigged);
    EXPECT_FALSE(none.parser.trigger_found());
}

TEST(buffer_parser, output_sync_bitmaps) {
    recorded r;
    r.feed({samples_all(0)});
    // 0x7F: all seven samples and, because bit 6 is set, the next packets too.
    auto out = r.feed({rfu(0x7F), samples_all(0), samples_all(0), samples_all(0)});
    EXPECT_EQ(deltas(out), (std::vector<uint32_t>{1, 6, 7, 7}));
    // Sample 0 brings the flag on; it stays on through the packets that follow.
    for (auto& t : out)
        EXPECT_EQ(t.levels, buffer_parser::oci_flag);

    // 0x07: samples 0..2 only.
    recorded s;
    s.feed({samples_all(0)});
    out = s.feed({rfu(0x07), samples_all(0), samples_all(0)});
    EXPECT_EQ(deltas(out), (std::vector<uint32_t>{1, 3, 3, 7}));
    EXPECT_EQ(out[0].levels, buffer_parser::oci_flag);
    EXPECT_EQ(out[1].levels, 0u);
    EXPECT_EQ(out[1].delta_samples, 3u);
}

TEST(buffer_parser, packets_cut_by_buffer_ends_are_completed) {
    std::vector<packet> packets = {
        samples({1, 2, 3, 4, 5, 6, 7}), delta_s(9), trig(0x10), samples_all(7), rfu(0x03),
        samples({9, 9, 8, 8, 7, 7, 6})};
    const auto bytes = stream(packets);
    recorded whole;
    whole.parser.parse(bytes);

    for (size_t cut : {1u, 15u, 16u, 17u, 40u, 95u}) {
        recorded pieces;
        for (size_t at = 0; at < bytes.size(); at += cut)
            pieces.parser.parse(std::vector<uint8_t>(
                bytes.begin() + at, bytes.begin() + std::min(bytes.size(), at + cut)));
        ASSERT_EQ(pieces.records.size(), whole.records.size()) << cut;
        for (size_t i = 0; i < whole.records.size(); ++i) {
            EXPECT_EQ(pieces.records[i].levels, whole.records[i].levels);
            EXPECT_EQ(pieces.records[i].delta_samples, whole.records[i].delta_samples);
            EXPECT_EQ(pieces.records[i].trigged, whole.records[i].trigged);
        }
    }

    // Batched delivery gives the same records in the same order.
    std::vector<kestrel_trs> batched;
    buffer_parser bp(0, buffer_parser::batch_fn_t([&](std::span<kestrel_trs> b, uint8_t) {
                         batched.insert(batched.end(), b.begin(), b.end());
                     }),
                     3);
    bp.parse(bytes);
    ASSERT_EQ(batched.size(), whole.records.size());
    for (size_t i = 0; i < batched.size(); ++i)
        EXPECT_EQ(batched[i].delta_samples, whole.records[i].delta_samples);
}

} // namespace

namespace {

// The batched parser takes whole runs of plain samples packets in one loop (sample by sample,
// or a packet at a time in vector lanes where the processor has them); whatever the stream,
// the cuts of its buffers and the block size, it must give the records the record-by-record
// parser gives, in blocks never larger than asked.
TEST(buffer_parser, batched_runs_agree_with_record_by_record) {
    std::vector<packet> packets;
    uint32_t x = 99;
    auto rnd = [&x] { return (x = x * 1664525u + 1013904223u) >> 8; };
    uint32_t level = 0;
    for (int k = 0; k < 3000; ++k) {
        const uint32_t r = rnd() % 100;
        if (r < 3) {
            packets.push_back(delta_s(1 + rnd() % 50));
        } else if (r < 4 && k > 1000) {
            packets.push_back(trig(static_cast<uint8_t>(1u << (rnd() % 7))));
        } else if (r < 6) {
            packets.push_back(rfu(static_cast<uint8_t>(rnd() % 128)));
        } else if (r < 40) {
            packets.push_back(samples_all(level));
        } else {
            std::array<uint32_t, 7> s{};
            for (auto& v : s)
                v = level ^= (rnd() % 4 == 0 ? rnd() & 0x3FFFF : 0);
            packets.push_back(samples(s));
        }
    }
    const auto bytes = stream(packets);
    recorded whole;
    whole.parser.parse(bytes);
    ASSERT_GT(whole.records.size(), 5000u);

    for (const bool wide : {false, true})
        for (size_t block : {7u, 8u, 100u, 8192u}) {
            for (size_t cut : {size_t{16}, size_t{23}, size_t{4096}, bytes.size()}) {
                SCOPED_TRACE(std::to_string(block) + " " + std::to_string(cut) +
                             (wide ? " wide" : ""));
                std::vector<kestrel_trs> batched;
                size_t largest = 0;
                buffer_parser bp(0,
                                 buffer_parser::batch_fn_t([&](std::span<kestrel_trs> b, uint8_t) {
                                     largest = std::max(largest, b.size());
                                     batched.insert(batched.end(), b.begin(), b.end());
                                 }),
                                 block);
                bp.use_wide_writer(wide);
                for (size_t at = 0; at < bytes.size(); at += cut)
                    bp.parse(std::span<const uint8_t>(bytes).subspan(
                        at, std::min(cut, bytes.size() - at)));
                EXPECT_LE(largest, block);
                ASSERT_EQ(batched.size(), whole.records.size());
                for (size_t i = 0; i < batched.size(); ++i) {
                    ASSERT_EQ(batched[i].levels, whole.records[i].levels) << i;
                    ASSERT_EQ(batched[i].delta_samples, whole.records[i].delta_samples) << i;
                    ASSERT_EQ(batched[i].trigged, whole.records[i].trigged) << i;
                }
            }
        }
}

} // namespace
