#include "trs/store.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace {

std::vector<uint8_t> bytes(const trs::store& s) {
    std::vector<uint8_t> v;
    const int64_t n = s.get_slices_count();
    for (int64_t k = 0; k < n; ++k)
        v.push_back(
            s.get_slice(static_cast<uint32_t>(k / 500), static_cast<uint32_t>(k % 500)).data);
    return v;
}

// Every transition of the store, decoded from its slices.
std::vector<trs::edge_t> decode_all(const trs::store& s) {
    std::vector<trs::edge_t> v;
    trs::store::decoded_t d;
    for (int64_t k = 0; s.decode(k, d); k = d.last + 1)
        v.push_back({d.sample, d.level});
    return v;
}

void expect_edges(const std::vector<trs::edge_t>& got, const std::vector<trs::edge_t>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].sample, want[i].sample) << "item " << i;
        EXPECT_EQ(got[i].level, want[i].level) << "item " << i;
    }
}

TEST(Store, FreshAndClearedStateAndInitialLevelSlice) {
    trs::store s;
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(s.is_empty());
        EXPECT_EQ(s.samples_count(), 0);
        EXPECT_EQ(s.get_slices_count(), 0);
        EXPECT_EQ(s.last_idle().sample, 0);
        s.append(100, 1);
        s.set_uncaptured(true);
        s.clear();
        EXPECT_FALSE(s.is_uncaptured());
    }
    // clear keeps the idle level of the last write
    EXPECT_EQ(s.last_idle().pol, trs::value::rising);

    trs::store idle;
    idle.append_idle(40, 1);
    EXPECT_EQ(bytes(idle), (std::vector<uint8_t>{0x02}));
    EXPECT_EQ(idle.samples_count(), 40);
    EXPECT_FALSE(idle.is_empty());
    idle.append_idle(50, 0); // no second initial slice
    EXPECT_EQ(bytes(idle), (std::vector<uint8_t>{0x02}));
    EXPECT_EQ(idle.last_idle().pol, trs::value::falling);
    EXPECT_EQ(idle.last_idle().sample, 50);
}

TEST(Store, ByteEncodingAndOffsetLimits) {
    trs::store rise;
    rise.append(100, 1);
    EXPECT_EQ(bytes(rise), (std::vector<uint8_t>{0x00, 0x93, 0x06}));
    EXPECT_EQ(rise.samples_count(), 100);
    EXPECT_EQ(rise.last_idle().pol, trs::value::rising);

    trs::store fall;
    fall.append(5, 0);
    EXPECT_EQ(bytes(fall), (std::vector<uint8_t>{0x02, 0x14}));

    trs::store s63;
    s63.append(63, 1);
    EXPECT_EQ(s63.get_slices_count(), 2);
    EXPECT_EQ(bytes(s63)[1], 0xFE); // 63 << 2 | level
    trs::store s64;
    s64.append(64, 1);
    EXPECT_EQ(bytes(s64), (std::vector<uint8_t>{0x00, 0x03, 0x06}));

    // Offsets count from the chunk start, not from the previous transition; wider offsets
    // take more slices.
    trs::store s;
    s.append(4095, 1);
    s.append(4096, 0);
    s.append(262143, 1);
    s.append(262144, 0);
    EXPECT_EQ(s.get_slices_count(), 1 + 2 + 3 + 3 + 4);
    expect_edges(decode_all(s), {{0, 0}, {4095, 1}, {4096, 0}, {262143, 1}, {262144, 0}});

    // A large offset still decodes exactly.
    trs::store big;
    const isamp far = (isamp{1} << 62) + 12345;
    big.append(far, 1);
    expect_edges(decode_all(big), {{0, 0}, {far, 1}});
}

TEST(Store, ChunkBoundaryOpensChunkAtTransition) {
    trs::store s;
    // Initial slice plus 499 one-slice transitions fill the first chunk exactly.
    for (int k = 0; k < 499; ++k)
        s.append(k / 10, static_cast<uint8_t>(k % 2));
    EXPECT_EQ(s.get_slices_count(), 500);
    s.append(1000, 1);
    EXPECT_EQ(s.get_slices_count(), 501);
    EXPECT_EQ(s.get_abs_time(1), 1000);
    EXPECT_EQ(s.get_slice(1, 0).data, 0x02); // offset 0, level 1
    EXPECT_THROW(s.get_slice(1, 1), std::out_of_range);
    EXPECT_THROW(s.get_abs_time(2), std::out_of_range);
    s.append(1070, 0); // counts from the new chunk: 70 takes two slices
    EXPECT_EQ(s.get_slices_count(), 503);
    auto all = decode_all(s);
    EXPECT_EQ(all[500].sample, 1000);
    EXPECT_EQ(all[501].sample, 1070);
}

TEST(Store, TransitionStraddlingChunkBoundary) {
    trs::store s;
    for (int k = 0; k < 498; ++k)
        s.append(k / 10, static_cast<uint8_t>(k % 2)); // 499 slices
    ASSERT_EQ(s.get_slices_count(), 499);
    // Three slices: the first ends chunk 0, the other two open chunk 1 at its own sample.
    s.append(100000, 1);
    EXPECT_EQ(s.get_slices_count(), 502);
    EXPECT_EQ(s.get_abs_time(1), 100000);
    EXPECT_TRUE(s.get_slice(0, 499).bits.extended);
    // The next transition counts from the new chunk.
    s.append(100010, 0);
    EXPECT_EQ(s.get_slice(1, 2).data, 10 << 2);
    auto all = decode_all(s);
    ASSERT_EQ(all.size(), 501u);
    EXPECT_EQ(all[499].sample, 100000);
    EXPECT_EQ(all[499].level, 1);
    EXPECT_EQ(all[500].sample, 100010);
    // Decoding from any of its slices finds the same transition.
    for (int64_t k = 499; k <= 501; ++k) {
        trs::store::decoded_t d;
        ASSERT_TRUE(s.decode(k, d));
        EXPECT_EQ(d.first, 499);
        EXPECT_EQ(d.last, 501);
        EXPECT_EQ(d.sample, 100000);
    }
}

TEST(Store, BatchMatchesSingleAppendsAndRejectsDisorder) {
    std::vector<trs::edge_t> edges;
    isamp t = 0;
    for (int k = 0; k < 3000; ++k) {
        t += (k * 7919) % 300;
        edges.push_back({t, static_cast<uint8_t>(k % 2)});
    }
    trs::store one, batch;
    for (auto& e : edges)
        one.append(e.sample, e.level);
    batch.append(std::span<const trs::edge_t>(edges).first(1000));
    batch.append(std::span<const trs::edge_t>(edges).subspan(1000));
    EXPECT_EQ(bytes(one), bytes(batch));
    EXPECT_EQ(one.samples_count(), batch.samples_count());

    // Out-of-order input throws and stores nothing of the batch.
    const auto before = bytes(batch);
    std::vector<trs::edge_t> bad{{t + 10, 1}, {t + 5, 0}};
    EXPECT_THROW(batch.append(bad), std::runtime_error);
    EXPECT_THROW(batch.append(t - 1, 1), std::runtime_error);
    EXPECT_THROW(batch.append_idle(t - 1, 1), std::runtime_error);
    EXPECT_EQ(bytes(batch), before);
    EXPECT_EQ(batch.samples_count(), t);
    trs::store fresh;
    EXPECT_THROW(fresh.append(-1, 1), std::runtime_error);
    EXPECT_TRUE(fresh.is_empty());
    // Equal samples are fine (a glitch), and any non-zero edge means level 1.
    batch.append(t, 7);
    EXPECT_EQ(batch.last_idle().pol, trs::value::rising);
}

TEST(Store, CopyIsDeepAndDecodesTheSame) {
    trs::store src;
    for (int k = 0; k < 2000; ++k)
        src.append(k * 37, static_cast<uint8_t>(k % 2));
    src.append_idle(80000, 1);
    src.set_uncaptured(true);
    trs::store copy(src);
    EXPECT_EQ(bytes(copy), bytes(src));
    EXPECT_EQ(copy.samples_count(), 80000);
    EXPECT_TRUE(copy.is_uncaptured());
    EXPECT_EQ(copy.get_slices_count(), src.get_slices_count());
    src.clear();
    EXPECT_EQ(decode_all(copy).size(), 2001u);

    trs::store assigned;
    assigned.append(5, 0);
    assigned = copy;
    EXPECT_EQ(bytes(assigned), bytes(copy));
    assigned = assigned;
    EXPECT_EQ(bytes(assigned), bytes(copy));
    assigned.append(90000, 0); // continues from the copied chunk state
    EXPECT_EQ(decode_all(assigned).back().sample, 90000);
    EXPECT_EQ(decode_all(copy).size(), 2001u);
}

} // namespace
