#include "trs/budget.h"
#include "trs/iterator.h"
#include "trs/store.h"

#include "read_all.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>
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

// Every way a run of toggles is encoded (those the processor lacks go the widest it has).
constexpr std::array<trs::store::writer::toggles_way, 3> ways = {
    trs::store::writer::toggles_way::one_at_a_time, trs::store::writer::toggles_way::eight_records,
    trs::store::writer::toggles_way::half_blocks};

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
    const trs::store& itself = assigned; // through a reference: clang warns on `x = x`
    assigned = itself;
    EXPECT_EQ(bytes(assigned), bytes(copy));
    assigned.append(90000, 0); // continues from the copied chunk state
    EXPECT_EQ(decode_all(assigned).back().sample, 90000);
    EXPECT_EQ(decode_all(copy).size(), 2001u);
}

} // namespace

namespace {

std::vector<trs::edge_t> read_all(const trs::store& s, isamp from, size_t capacity) {
    return trs_test::read_all<trs::edge_t>(s, from, capacity);
}

// decode_all with the transitions of one sample folded into the last of them.
std::vector<trs::edge_t> folded(const trs::store& s) {
    std::vector<trs::edge_t> v;
    for (const auto& e : decode_all(s)) {
        if (!v.empty() && v.back().sample == e.sample)
            v.back().level = e.level;
        else
            v.push_back(e);
    }
    return v;
}

// A block of changes both ways: the plain store one append per change, the writer in `way`
// at once. `level` is the plain store's, `wide_level` the writer's; returns the writer's after
// the block.
uint8_t append_both_ways(trs::store& plain, trs::store::writer& w,
                         trs::store::writer::toggles_way way, const isamp* times,
                         const uint16_t* low, uint64_t mask, uint8_t& level, uint8_t wide_level) {
    for (unsigned j = 0; j < 64; ++j)
        if ((mask >> j) & 1) {
            level ^= 1;
            plain.append(times[j], level);
        }
    return w.append_toggles(way, times, low, mask, wide_level);
}

// Transitions 1..3000 samples apart, some at one sample, spanning many chunks and every
// slice count from one to three.
std::vector<trs::edge_t> varied_signal(size_t n) {
    std::vector<trs::edge_t> v;
    isamp t = 0;
    uint32_t x = 12345;
    for (size_t k = 0; k < n; ++k) {
        x = x * 1103515245u + 12345u;
        const uint32_t r = x >> 16;
        t += r % 7 == 0 ? 0 : static_cast<isamp>(r % 3000);
        v.push_back({t, static_cast<uint8_t>(k % 2)});
    }
    return v;
}

TEST(StoreWriter, SessionsEncodeAsAppendsAndPublishOnlyOnCommit) {
    const auto sig = varied_signal(5000);
    trs::store plain;
    plain.append(sig);
    plain.append_idle(sig.back().sample + 10, sig.back().level);

    trs::store s;
    {
        trs::store::writer w(s);
        for (size_t k = 0; k < 2000; ++k)
            w.append(sig[k].sample, sig[k].level);
        EXPECT_TRUE(s.is_empty()); // nothing visible before the commit
        EXPECT_EQ(s.get_slices_count(), 0);
        w.commit();
        const auto visible = s.get_slices_count();
        EXPECT_GT(visible, 2000);
        for (size_t k = 2000; k < sig.size(); ++k)
            w.append(sig[k].sample, sig[k].level);
        EXPECT_EQ(s.get_slices_count(), visible);
        EXPECT_THROW(w.append(sig.back().sample - 1, 0), std::runtime_error);
        w.append_idle(sig.back().sample + 10, sig.back().level);
        w.commit();
    }
    EXPECT_EQ(bytes(s), bytes(plain));
    EXPECT_EQ(s.samples_count(), plain.samples_count());

    // An uncommitted session leaves nothing behind; a clear voids an open session.
    { trs::store::writer(s).append(s.samples_count() + 5, 1); }
    EXPECT_EQ(bytes(s), bytes(plain));
    trs::store::writer w(s);
    w.append(s.samples_count() + 5, 1);
    s.clear();
    EXPECT_THROW(w.commit(), std::logic_error);
    EXPECT_TRUE(s.is_empty());
}

// Runs of toggles over a block of times give the same slices as one append per change:
// random blocks and masks, offsets of every slice count (and beyond four slices), equal
// times, runs that cross chunk boundaries, quiet blocks, and a store's first change.
TEST(StoreWriter, RunsOfTogglesEncodeAsOneAppendPerChange) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        trs::store plain, runs;
        std::array<trs::store, 3> wide; // one per way of encoding several records at once
        uint8_t level = static_cast<uint8_t>(round & 1);
        plain.append(0, level);
        uint8_t run_level = level;
        std::array<uint8_t, 3> wide_level{level, level, level};
        isamp t = 0;
        trs::store::writer w(runs);
        w.append(0, run_level);
        std::vector<trs::store::writer> ww;
        for (auto& s : wide) {
            ww.emplace_back(s);
            ww.back().append(0, level);
        }
        for (int block = 0; block < 400; ++block) {
            isamp times[64];
            uint16_t low[64];
            for (isamp& x : times) {
                // Mostly short steps, some long enough for three, four or more slices.
                const uint64_t pick = rng() % 100;
                const uint64_t step = pick < 20   ? 0
                                      : pick < 80 ? rng() % 64
                                      : pick < 92 ? rng() % 4096
                                      : pick < 98 ? rng() % (uint64_t{1} << 20)
                                                  : rng() % (uint64_t{1} << 30);
                t += static_cast<isamp>(step);
                x = t;
                low[&x - times] = static_cast<uint16_t>(t);
            }
            const uint64_t density = rng() % 4;
            uint64_t mask = density == 0 ? 0 : rng();
            if (density == 2) mask &= rng();
            if (density == 3) mask = ~uint64_t{0};
            for (unsigned j = 0; j < 64; ++j)
                if ((mask >> j) & 1) {
                    level ^= 1;
                    plain.append(times[j], level);
                }
            run_level = w.append_toggles(times, mask, run_level);
            ASSERT_EQ(run_level, level);
            for (size_t k = 0; k < ww.size(); ++k) {
                wide_level[k] = ww[k].append_toggles(ways[k], times, low, mask, wide_level[k]);
                ASSERT_EQ(wide_level[k], level);
                if (block % 50 == 49) ww[k].commit();
            }
            if (block % 50 == 49) w.commit();
        }
        plain.append_idle(t + 1, level);
        w.append_idle(t + 1, level);
        w.commit();
        EXPECT_EQ(bytes(runs), bytes(plain));
        for (size_t k = 0; k < ww.size(); ++k) {
            ww[k].append_idle(t + 1, level);
            ww[k].commit();
            EXPECT_EQ(bytes(wide[k]), bytes(plain)) << "way " << k;
        }
        EXPECT_EQ(runs.samples_count(), plain.samples_count());
        expect_edges(decode_all(runs), decode_all(plain));
    }

    // The first change of an empty store carries its initial level slice.
    trs::store plain, runs;
    const isamp times[3] = {5, 9, 200};
    plain.append(5, 1);
    plain.append(9, 0);
    plain.append(200, 1);
    trs::store::writer w(runs);
    EXPECT_EQ(w.append_toggles(times, 0b111, 0), 1);
    w.commit();
    EXPECT_EQ(bytes(runs), bytes(plain));

    // Changes after one 2^24 or more past the chunk's start, in the same chunk: each of them
    // needs five slices, however close it is to the one before.
    {
        trs::store far_plain, far_runs;
        const isamp far[4] = {3, isamp{1} << 25, (isamp{1} << 25) + 1, (isamp{1} << 25) + 70};
        for (unsigned j = 0; j < 4; ++j)
            far_plain.append(far[j], static_cast<uint8_t>((j + 1) & 1));
        trs::store::writer fw(far_runs);
        EXPECT_EQ(fw.append_toggles(far, 0b1111, 0), 0);
        fw.commit();
        EXPECT_EQ(bytes(far_runs), bytes(far_plain));
        EXPECT_EQ(far_runs.get_slices_count(), 1 + 1 + 3 * 5);
    }

    // Out of order: the change that goes back throws, the ones before it stay written.
    const isamp back[2] = {300, 250};
    EXPECT_THROW(w.append_toggles(back, 0b11, 1), std::runtime_error);
    w.commit();
    plain.append(300, 0);
    EXPECT_EQ(bytes(runs), bytes(plain));
}

// Busy channels, whose changes take one or two slices and go several records at a time,
// give the same slices as one append per change in every way of encoding them: every density of
// mask, times whose low 16 bits wrap inside a block, far from sample 0, chunks filled in the middle
// of eight records, and sessions committed between blocks.
TEST(StoreWriter, BusyRunsOfSeveralRecordsAtOnceEncodeAsOneAppendPerChange) {
    std::mt19937_64 rng(29);
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        const auto way = ways[static_cast<size_t>(round) % ways.size()];
        trs::store plain, wide;
        uint8_t level = static_cast<uint8_t>(round & 1), wide_level = level;
        // Just below a multiple of 2^16 (the low bits wrap soon), some far beyond 2^32.
        isamp t = (isamp{1} << (16 + 8 * (round % 4))) * (1 + round) - 37;
        // The first change of a store goes the general way.
        plain.append(t, level);
        trs::store::writer w(wide);
        w.append(t, wide_level);
        for (int block = 0; block < 600; ++block) {
            isamp times[64];
            uint16_t low[64];
            // Mostly a few samples apart; now and then a gap of three or more slices.
            for (unsigned j = 0; j < 64; ++j) {
                const uint64_t pick = rng() % 1000;
                t += static_cast<isamp>(pick < 990 ? rng() % 9 : rng() % 100000);
                times[j] = t;
                low[j] = static_cast<uint16_t>(t);
            }
            uint64_t mask = 0;
            switch (rng() % 5) {
            case 0:
                mask = ~uint64_t{0};
                break;
            case 1:
                mask = rng();
                break;
            case 2:
                mask = rng() & rng() & rng();
                break;
            case 3:
                mask = uint64_t{1} << (rng() % 64);
                break;
            default:
                mask = rng() | rng();
                break;
            }
            wide_level = append_both_ways(plain, w, way, times, low, mask, level, wide_level);
            ASSERT_EQ(wide_level, level);
            if (block % 97 == 96) w.commit();
        }
        plain.append_idle(t + 1, level);
        w.append_idle(t + 1, level);
        w.commit();
        ASSERT_GT(plain.get_slices_count(), 20 * 500);
        EXPECT_EQ(bytes(wide), bytes(plain));
        EXPECT_EQ(wide.samples_count(), plain.samples_count());
        expect_edges(decode_all(wide), decode_all(plain));
    }
}

// A block whose changes all take two slices, with the chunk's room left at every count from
// none to more than the block needs (odd counts put a change across the chunk's end), every
// shape of mask (all 64 records, the first or last alone, both ends, random), offsets at the
// ends of two slices (64 and 4095; 63 and 4096 fall outside), times whose low 16 bits wrap, and
// blocks after it in the chunk opened: the same slices as one append per change in every way.
TEST(StoreWriter, BlocksOfTwoSliceChangesAtEveryRoomEncodeAsOneAppendPerChange) {
    std::mt19937_64 rng(41);
    const uint64_t shapes[] = {~uint64_t{0}, 1, uint64_t{1} << 63, 1 | uint64_t{1} << 63, 0};
    for (const auto way : ways)
        for (int room = 0; room <= 132; ++room)
            for (const uint64_t shape : shapes) {
                SCOPED_TRACE(::testing::Message() << "way " << static_cast<int>(way) << " room "
                                                  << room << " mask " << shape);
                trs::store plain, wide;
                trs::store::writer w(wide);
                uint8_t level = static_cast<uint8_t>(room & 1);
                const isamp start = 65536 * (1 + room) - 1000; // the low bits wrap below
                auto both = [&](isamp t) {
                    level ^= 1;
                    plain.append(t, level);
                    w.append(t, level);
                };
                // The first chunk (from sample 0) filled exactly by changes of two slices (the
                // first one's are its initial level and itself); the next change opens the
                // second chunk at `start` with one slice, a change at an offset below 64 takes
                // one, the others two, up to the room left.
                both(0);
                for (isamp k = 0; k < (trs::store::chunk_size - 2) / 2; ++k)
                    both(64 + k);
                ASSERT_EQ(plain.get_slices_count(), trs::store::chunk_size);
                both(start);
                ASSERT_EQ(plain.get_abs_time(1), start);
                int left = trs::store::chunk_size - 1;
                if ((left - room) % 2 != 0) {
                    both(start + 1);
                    --left;
                }
                isamp t = start + 64;
                for (; left > room; left -= 2)
                    both(t++);
                uint8_t wide_level = level;
                for (int block = 0; block < 4; ++block) {
                    isamp times[64];
                    uint16_t low[64];
                    // The first block's changes from offset 64 or up to 4095 in turn, the
                    // next blocks random, mostly a few samples apart.
                    const isamp step = block == 0 ? 1 : 0;
                    if (block == 0 && shape != 0 && room % 2 == 0) t = start + 4095 - 64;
                    for (unsigned j = 0; j < 64; ++j) {
                        t += step + (block == 0 ? 0 : static_cast<isamp>(rng() % 12));
                        times[j] = t;
                        low[j] = static_cast<uint16_t>(t);
                    }
                    const uint64_t mask = block == 0 && shape != 0 ? shape : rng() | rng();
                    wide_level =
                        append_both_ways(plain, w, way, times, low, mask, level, wide_level);
                    ASSERT_EQ(wide_level, level);
                    ++t;
                }
                plain.append_idle(t, level);
                w.append_idle(t, level);
                w.commit();
                ASSERT_EQ(bytes(wide), bytes(plain));
            }

    // Offsets at and beyond the ends of two slices, after a full chunk's first change.
    for (const auto way : ways)
        for (const isamp first : {isamp{63}, isamp{64}, isamp{65}})
            for (const isamp last : {isamp{4094}, isamp{4095}, isamp{4096}}) {
                trs::store plain, wide;
                trs::store::writer w(wide);
                plain.append(0, 1); // the first chunk counts from sample 0
                w.append(0, 1);
                isamp times[64];
                uint16_t low[64];
                for (unsigned j = 0; j < 64; ++j) {
                    times[j] = first + (last - first) * j / 63;
                    low[j] = static_cast<uint16_t>(times[j]);
                }
                uint8_t level = 1;
                for (const isamp x : times) {
                    level ^= 1;
                    plain.append(x, level);
                }
                EXPECT_EQ(w.append_toggles(way, times, low, ~uint64_t{0}, 1), level);
                w.commit();
                EXPECT_EQ(bytes(wide), bytes(plain)) << first << " " << last;
            }
}

TEST(StoreRead, ItemsAreTheFoldedTransitionsInAnyCapacity) {
    trs::store s;
    const auto sig = varied_signal(4000);
    s.append(sig);
    const auto want = folded(s);
    ASSERT_LT(want.size(), sig.size() + 1); // some transitions share a sample
    EXPECT_EQ(want.front().sample, 0);
    for (size_t cap : {size_t{1}, size_t{2}, size_t{499}, size_t{100000}})
        expect_edges(read_all(s, 0, cap), want);

    // From inside a run: the first item after it; at an item: that item; beyond: nothing.
    const size_t i = want.size() / 2;
    ASSERT_GT(want[i + 1].sample, want[i].sample + 1);
    const auto from_inside = read_all(s, want[i].sample + 1, 3);
    ASSERT_EQ(from_inside.size(), want.size() - i - 1);
    EXPECT_EQ(from_inside.front().sample, want[i + 1].sample);
    EXPECT_EQ(read_all(s, want[i].sample, 3).size(), want.size() - i);
    EXPECT_TRUE(read_all(s, want.back().sample + 1, 3).empty());

    // The level in force: at an item, just before the next one, and not at or beyond the end.
    uint8_t level = 9;
    for (size_t k = 0; k + 1 < want.size(); k += 37) {
        ASSERT_TRUE(s.level_at(want[k].sample, level));
        EXPECT_EQ(level, want[k].level) << k;
        ASSERT_TRUE(s.level_at(want[k + 1].sample - 1, level)); // samples strictly increase
        EXPECT_EQ(level, want[k].level) << k;
    }
    EXPECT_FALSE(s.level_at(s.samples_count(), level));
    EXPECT_FALSE(s.level_at(-1, level));
}

// Offsets of one to eight slices, runs at one sample and levels that
// repeat, so that transitions of every length begin at every position of a chunk and run
// across its end: the bulk read gives the folded transitions from any sample, at any
// capacity.
TEST(StoreRead, EveryTransitionLengthAtEveryChunkPosition) {
    std::vector<trs::edge_t> sig;
    isamp t = 0;
    uint32_t x = 99;
    for (size_t k = 0; k < 6000; ++k) {
        x = x * 1103515245u + 12345u;
        const uint32_t r = x >> 16;
        const int bits = static_cast<int>(r % 10) * 5; // offsets of 1 to 8 slices
        t += r % 9 == 0 ? 0 : static_cast<isamp>((uint64_t{1} << bits) | (r & 7));
        sig.push_back({t, static_cast<uint8_t>((r >> 4) % 3 != 0 ? k % 2 : 1)});
    }
    trs::store s;
    s.append(sig);
    s.append_idle(sig.back().sample + 3, sig.back().level);
    ASSERT_GT(s.get_slices_count(), 10 * trs::store::chunk_size);
    const auto want = folded(s);
    for (size_t cap : {size_t{1}, size_t{3}, size_t{4}, size_t{500}, size_t{100000}})
        expect_edges(read_all(s, 0, cap), want);
    for (size_t i = 0; i < want.size(); i += 7) {
        const auto from = read_all(s, want[i].sample, 5);
        ASSERT_EQ(from.size(), want.size() - i) << i;
        EXPECT_EQ(from.front().sample, want[i].sample) << i;
        EXPECT_EQ(from.back().sample, want.back().sample) << i;
    }
}

TEST(StoreRead, ChannelThatNeverChangesAndEmptyStore) {
    trs::store s;
    uint64_t sample = 7;
    uint8_t level = 7;
    EXPECT_EQ(s.read(0, &sample, &level, 1), 0u);
    EXPECT_FALSE(s.level_at(0, level));
    s.append_idle(0, 1); // length 0: nothing yet
    EXPECT_EQ(s.read(0, &sample, &level, 1), 0u);
    s.append_idle(1000, 1);
    ASSERT_EQ(s.read(0, &sample, &level, 1), 1u);
    EXPECT_EQ(sample, 0u);
    EXPECT_EQ(level, 1);
    ASSERT_TRUE(s.level_at(999, level));
    EXPECT_EQ(level, 1);
}

// A reader going on from its last sample + 1 while a writer commits batches sees every item
// once, in order, and ends with what the store holds.
// The signal one sample later, after the initial level, in one writer session that commits
// every 1000 transitions, never at a sample the next transition shares (as the capture tool).
void write_in_sessions(trs::store& s, const std::vector<trs::edge_t>& sig) {
    s.append(0, 0);
    s.append_idle(1, 0);
    trs::store::writer w(s);
    for (size_t k = 0; k < sig.size(); ++k) {
        w.append(sig[k].sample + 1, sig[k].level);
        if (k % 1000 == 999 && sig[k + 1].sample > sig[k].sample) {
            w.append_idle(sig[k].sample + 1, sig[k].level);
            w.commit();
        }
    }
    w.append_idle(sig.back().sample + 2, sig.back().level);
    w.commit();
}

TEST(StoreRead, ReadingOnDuringAppends) {
    trs::store s;
    const auto sig = varied_signal(200000);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        write_in_sessions(s, sig);
        done = true;
    });
    std::vector<trs::edge_t> got;
    std::vector<uint64_t> samples(97);
    std::vector<uint8_t> levels(97);
    isamp from = 0;
    for (;;) {
        const bool finished = done;
        const size_t n = s.read(from, samples.data(), levels.data(), samples.size());
        for (size_t i = 0; i < n; ++i) {
            if (!got.empty()) {
                ASSERT_GT(static_cast<isamp>(samples[i]), got.back().sample);
            }
            got.push_back({static_cast<isamp>(samples[i]), levels[i]});
        }
        if (n > 0) from = static_cast<isamp>(samples[n - 1]) + 1;
        if (finished && n == 0) break;
    }
    writer.join();
    expect_edges(got, folded(s));
}

TEST(Store, ClearKeepsChunksForTheNextCapture) {
    trs::store s;
    const auto sig = varied_signal(100000);
    s.append(sig);
    const size_t full = s.memory_bytes();
    const auto first = bytes(s);
    s.clear();
    // Kept as spare chunks, and filled again without new ones (the pointer vectors differ).
    EXPECT_GT(s.memory_bytes(), full * 9 / 10);
    s.append(sig);
    EXPECT_LT(s.memory_bytes(), full * 11 / 10);
    EXPECT_EQ(bytes(s), first);
    // Two small captures in a row let the spare chunks of the large one go.
    s.clear();
    s.append(0, 1);
    s.clear();
    s.append(0, 1);
    s.clear();
    EXPECT_LT(s.memory_bytes(), full / 10);
}

} // namespace

namespace {

TEST(Store, TakeMovesTheDataAndLeavesAFreshStore) {
    trs::store s;
    const auto sig = varied_signal(3000);
    s.append(sig);
    s.append_idle(sig.back().sample + 10, 1);
    s.set_uncaptured(true);
    const auto bytes_before = bytes(s);
    const auto items_before = read_all(s, 0, 1000);
    trs::iterator it(s);
    it.restart(0, 10.0, 0);
    EXPECT_EQ(it.next().sample, 0);
    const uint64_t generation = s.generation();

    const std::unique_ptr<trs::store> taken = s.take();
    EXPECT_EQ(bytes(*taken), bytes_before);
    expect_edges(read_all(*taken, 0, 1000), items_before);
    EXPECT_EQ(taken->samples_count(), sig.back().sample + 10);
    EXPECT_TRUE(taken->is_uncaptured());
    uint8_t level = 9;
    EXPECT_TRUE(taken->level_at(sig[1500].sample, level));

    // The source reads as cleared, and its iterators start again on nothing.
    EXPECT_NE(s.generation(), generation);
    EXPECT_TRUE(s.is_empty());
    EXPECT_FALSE(s.is_uncaptured());
    EXPECT_EQ(s.samples_count(), 0);
    EXPECT_EQ(s.get_slices_count(), 0);
    EXPECT_TRUE(read_all(s, 0, 10).empty());
    EXPECT_EQ(it.next().pol, trs::value::none);

    // Both go on independently: the source as after a clear, the taken one from its end.
    s.append(5, 1);
    s.append_idle(10, 1);
    expect_edges(read_all(s, 0, 10), {{0, 0}, {5, 1}});
    taken->append(sig.back().sample + 20, 0);
    EXPECT_EQ(read_all(*taken, 0, 100000).size(), items_before.size() + 1);
    trs::store::writer w(s);
    w.append(20, 0);
    w.commit();
    EXPECT_EQ(s.samples_count(), 20);
}

} // namespace

namespace {

// A session dropped without commit after it opened chunks: the next writer goes on from the
// published end, and the chunks the dropped one opened are not read as part of the store.
TEST(StoreWriter, ChunksOfASessionDroppedWithoutCommitAreNotKept) {
    trs::store s;
    s.append(10, 1);
    {
        trs::store::writer dropped(s);
        for (isamp t = 100; t < 100 + 3000 * 70; t += 70)
            dropped.append(t, static_cast<uint8_t>((t / 70) % 2));
    }
    EXPECT_EQ(s.samples_count(), 10);
    trs::store::writer w(s);
    std::vector<trs::edge_t> want{{0, 0}, {10, 1}};
    for (isamp t = 50; t < 50 + 2000 * 3; t += 3) {
        const auto level = static_cast<uint8_t>((t / 3) % 2);
        w.append(t, level);
        want.push_back({t, level});
    }
    w.commit();
    expect_edges(decode_all(s), want);
}

} // namespace

namespace {

// Readers going on while the writer spills every sealed chunk: what they gather is the whole
// store, as in memory, and level_at agrees at every item read.
TEST(StoreRead, ReadingOnWhileTheWriterSpills) {
    char dir[] = "/tmp/kestrel_spill_read_XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    auto b = std::make_shared<trs::budget>();
    b->set(1, dir);
    trs::store s;
    s.set_budget(b);
    const auto sig = varied_signal(150000);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        write_in_sessions(s, sig);
        done = true;
    });
    auto reader = [&](std::vector<trs::edge_t>& got) {
        std::vector<uint64_t> samples(501);
        std::vector<uint8_t> levels(501);
        isamp from = 0;
        for (;;) {
            const bool finished = done;
            const size_t n = s.read(from, samples.data(), levels.data(), samples.size());
            for (size_t i = 0; i < n; ++i)
                got.push_back({static_cast<isamp>(samples[i]), levels[i]});
            if (n > 0) {
                from = static_cast<isamp>(samples[n - 1]) + 1;
                uint8_t level = 9;
                if (s.level_at(static_cast<isamp>(samples[0]), level)) {
                    EXPECT_EQ(level, levels[0]) << samples[0];
                }
            }
            if (finished && n == 0) break;
        }
    };
    std::vector<trs::edge_t> a, c;
    std::thread other([&] { reader(c); });
    reader(a);
    other.join();
    writer.join();
    EXPECT_GT(s.spilled_bytes(), 0u);
    expect_edges(a, folded(s));
    expect_edges(c, folded(s));
    std::filesystem::remove_all(dir);
}

} // namespace
