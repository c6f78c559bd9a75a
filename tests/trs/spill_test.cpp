// Stores over a memory budget: chunks spilled to a file read back exactly as in memory, and
// a file that cannot grow loses nothing.
#include "trs/budget.h"
#include "trs/bus_iterator.h"
#include "trs/iterator.h"
#include "trs/manager.h"
#include "trs/store.h"

#include "../core/scratch.h"
#include "read_all.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

using core_test::file_size_limit;
using core_test::scratch_dir;

// Transitions 0..3000 samples apart (some at one sample, some of four slices), every
// `sparse`-th gap long enough for a six-slice offset.
std::vector<trs::edge_t> signal(size_t n, uint32_t seed = 7) {
    std::vector<trs::edge_t> v;
    std::mt19937 rng(seed);
    isamp t = 0;
    for (size_t k = 0; k < n; ++k) {
        const uint32_t r = rng();
        t += r % 11 == 0 ? 0 : r % 97 == 0 ? isamp{1} << 30 : static_cast<isamp>(r % 3000);
        v.push_back({t, static_cast<uint8_t>(k % 2)});
    }
    return v;
}

// Fills a store in sessions of uneven sizes, as the capture does.
void fill(trs::store& s, const std::vector<trs::edge_t>& sig, isamp length) {
    size_t k = 0, piece = 1;
    while (k < sig.size()) {
        trs::store::writer w(s);
        for (size_t end = std::min(sig.size(), k + piece); k < end; ++k)
            w.append(sig[k].sample, sig[k].level);
        w.commit();
        piece = piece * 3 % 10007 + 1;
    }
    s.append_idle(length, sig.back().level);
}

struct item {
    uint64_t sample;
    uint8_t level;
    bool operator==(const item&) const = default;
};

std::vector<item> read_all(const trs::store& s, isamp from, size_t capacity) {
    return trs_test::read_all<item>(s, from, capacity);
}

std::vector<trs::tr> walk(trs::store& s, isamp from, double scale, bool backwards, size_t limit) {
    trs::iterator it(s);
    it.restart(from, scale, 0);
    std::vector<trs::tr> v;
    for (size_t i = 0; i < limit; ++i) {
        const trs::tr t = backwards ? it.prev() : it.next();
        v.push_back(t);
        if (backwards ? t.is_first : t.is_last) break;
    }
    return v;
}

void expect_same_walk(const std::vector<trs::tr>& a, const std::vector<trs::tr>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].sample, b[i].sample) << i;
        EXPECT_EQ(a[i].pol, b[i].pol) << i;
        EXPECT_EQ(a[i].is_first, b[i].is_first) << i;
        EXPECT_EQ(a[i].is_last, b[i].is_last) << i;
    }
}

// Every reader of `spilled` against `plain`, which holds the same transitions in memory.
void expect_same_reads(trs::store& spilled, trs::store& plain) {
    ASSERT_EQ(spilled.get_slices_count(), plain.get_slices_count());
    ASSERT_EQ(spilled.samples_count(), plain.samples_count());
    const int64_t n = plain.get_slices_count();
    for (int64_t k = 0; k < n; k += 1 + k % 7)
        ASSERT_EQ(
            spilled.get_slice(static_cast<uint32_t>(k / 500), static_cast<uint32_t>(k % 500)).data,
            plain.get_slice(static_cast<uint32_t>(k / 500), static_cast<uint32_t>(k % 500)).data)
            << k;
    for (uint32_t c = 0; c * 500 < n; c += 13)
        EXPECT_EQ(spilled.get_abs_time(c), plain.get_abs_time(c));
    const auto all = read_all(plain, 0, 100000);
    EXPECT_EQ(read_all(spilled, 0, 100000), all);
    EXPECT_EQ(read_all(spilled, 0, 333), all);
    const isamp length = plain.samples_count();
    std::mt19937_64 rng(3);
    for (int i = 0; i < 300; ++i) {
        const isamp t = static_cast<isamp>(rng() % static_cast<uint64_t>(length));
        uint8_t a = 9, b = 8;
        ASSERT_EQ(spilled.level_at(t, a), plain.level_at(t, b)) << t;
        EXPECT_EQ(a, b) << t;
        if (i % 30 == 0) {
            EXPECT_EQ(read_all(spilled, t, 1000), read_all(plain, t, 1000)) << t;
        }
        if (i % 50 == 0) {
            for (bool back : {false, true})
                for (double scale : {10.0, 0.01})
                    expect_same_walk(walk(spilled, t, scale, back, 3000),
                                     walk(plain, t, scale, back, 3000));
        }
    }
    expect_same_walk(walk(spilled, 0, 10.0, false, 1u << 24),
                     walk(plain, 0, 10.0, false, 1u << 24));
}

// The bulk read of spilled chunks gives what their slices decode to, one transition at a
// time, folded at equal samples.
TEST(Spill, BulkReadEqualsTheSlicesDecodedOneByOne) {
    scratch_dir dir;
    auto b = std::make_shared<trs::budget>();
    b->set(1, dir.path);
    const auto sig = signal(200000, 11);
    trs::store s;
    s.set_budget(b);
    fill(s, sig, sig.back().sample + 5);
    ASSERT_GT(s.spilled_bytes(), 0u);
    std::vector<item> want;
    trs::store::decoded_t d;
    for (int64_t k = 0; s.decode(k, d); k = d.last + 1) {
        if (!want.empty() && want.back().sample == static_cast<uint64_t>(d.sample))
            want.back().level = d.level;
        else
            want.push_back({static_cast<uint64_t>(d.sample), d.level});
    }
    EXPECT_EQ(read_all(s, 0, 100000), want);
    EXPECT_EQ(read_all(s, 0, 777), want);
}

// The same transitions in a store in memory and in one on a budget of one byte, whose every
// sealed block goes to the scratch directory's file.
struct plain_and_spilled {
    plain_and_spilled(const std::vector<trs::edge_t>& sig, isamp length) {
        b->set(1, dir.path);
        spilled.set_budget(b);
        fill(plain, sig, length);
        fill(spilled, sig, length);
    }
    scratch_dir dir;
    std::shared_ptr<trs::budget> b = std::make_shared<trs::budget>();
    trs::store plain, spilled; // last: let go before the budget and the directory
};

TEST(Spill, ChunksBeyondTheBudgetReadBackAsInMemory) {
    const auto sig = signal(400000);
    plain_and_spilled f(sig, sig.back().sample + 5);
    auto& [dir, b, plain, spilled] = f;

    EXPECT_GT(spilled.spilled_bytes(), 0u);
    EXPECT_EQ(b->spilled_bytes(), spilled.spilled_bytes());
    // What stays in memory: less than a block beyond the last published chunk.
    EXPECT_LE(b->resident(), static_cast<int64_t>(trs::store::block_chunks + 2) *
                                 trs::store::resident_chunk_bytes);
    EXPECT_EQ(dir.entries(), 0u); // the file has no name
    EXPECT_FALSE(b->full());
    expect_same_reads(spilled, plain);

    // A copy shares the blocks on disk; a take moves them; both read the same.
    trs::store copy(spilled);
    expect_same_reads(copy, plain);
    std::unique_ptr<trs::store> taken = spilled.take();
    expect_same_reads(*taken, plain);
    EXPECT_EQ(spilled.get_slices_count(), 0);
    // The emptied store fills again, spilling into the next capture's file.
    b->next_capture();
    const auto sig2 = signal(100000, 11);
    trs::store plain2;
    fill(plain2, sig2, sig2.back().sample + 1);
    fill(spilled, sig2, sig2.back().sample + 1);
    expect_same_reads(spilled, plain2);
    expect_same_reads(*taken, plain);

    // A clear forgets the blocks; the budget counts what is left in memory.
    spilled.clear();
    copy.clear();
    taken.reset();
    EXPECT_EQ(b->resident(), 2 * trs::store::resident_chunk_bytes);
}

TEST(Spill, StoresOfOneBudgetShareItAndOnlySpillBeyondIt) {
    scratch_dir dir;
    auto b = std::make_shared<trs::budget>();
    const int64_t limit = 300 * trs::store::resident_chunk_bytes;
    b->set(static_cast<uint64_t>(limit), dir.path);
    std::vector<std::unique_ptr<trs::store>> stores;
    for (int i = 0; i < 4; ++i) {
        stores.push_back(std::make_unique<trs::store>());
        stores.back()->set_budget(b);
    }
    const auto sig = signal(5000); // about 25 chunks a store: within the budget
    for (auto& s : stores)
        fill(*s, sig, sig.back().sample + 1);
    for (auto& s : stores)
        EXPECT_EQ(s->spilled_bytes(), 0u);
    const auto big = signal(200000, 5);
    for (auto& s : stores) {
        s->clear();
        fill(*s, big, big.back().sample + 1);
    }
    uint64_t spilled = 0;
    for (auto& s : stores)
        spilled += s->spilled_bytes();
    EXPECT_GT(spilled, 0u);
    EXPECT_LE(b->resident(), limit + 4 * static_cast<int64_t>(trs::store::block_chunks + 2) *
                                         trs::store::resident_chunk_bytes);
    trs::store plain;
    fill(plain, big, big.back().sample + 1);
    expect_same_reads(*stores[3], plain);

    // Without a limit nothing spills.
    b->set(0, dir.path);
    trs::store unlimited;
    unlimited.set_budget(b);
    fill(unlimited, big, big.back().sample + 1);
    EXPECT_EQ(unlimited.spilled_bytes(), 0u);
}

TEST(Spill, ADirectoryThatCannotHoldAFileIsRefusedAtOnce) {
    scratch_dir dir;
    trs::budget b;
    const uint64_t before = b.limit();
    try {
        b.set(1000, dir.path + "/missing");
        ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(dir.path + "/missing"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos);
    }
    EXPECT_EQ(b.limit(), before);
    EXPECT_NE(b.directory(), dir.path + "/missing");
    EXPECT_GT(before, 0u); // a quarter of physical memory
    b.set(1000, dir.path);
    EXPECT_EQ(b.directory(), dir.path);
    EXPECT_EQ(b.limit(), 1000u);
}

TEST(Spill, AFileThatCannotGrowKeepsEverythingInMemory) {
    scratch_dir dir;
    auto b = std::make_shared<trs::budget>();
    b->set(1, dir.path);
    const auto sig = signal(300000);
    const isamp length = sig.back().sample + 1;
    trs::store plain, spilled;
    spilled.set_budget(b);
    fill(plain, sig, length);
    {
        file_size_limit limit(100 * 1024);
        fill(spilled, sig, length);
    }
    ASSERT_TRUE(b->full());
    const std::string why = b->full_reason();
    EXPECT_NE(why.find(dir.path), std::string::npos) << why;
    EXPECT_NE(why.find("File too large"), std::string::npos) << why;
    EXPECT_NE(why.find("after 98304 bytes"), std::string::npos) << why; // three blocks fit
    EXPECT_EQ(spilled.spilled_bytes(), 3 * trs::store::block_chunks * sizeof(trs::chunk));
    EXPECT_FALSE(b->over()); // no more attempts
    expect_same_reads(spilled, plain);

    // The next capture starts a new file and may spill again.
    b->next_capture();
    EXPECT_FALSE(b->full());
    EXPECT_TRUE(b->full_reason().empty());
    spilled.clear();
    fill(spilled, sig, length);
    EXPECT_GT(spilled.spilled_bytes(), 3 * trs::store::block_chunks * sizeof(trs::chunk));
    expect_same_reads(spilled, plain);
}

TEST(Spill, TheSignalToolsWorkAcrossSpilledChunks) {
    scratch_dir dir;
    mox::semaphore plain_note{1, 0}, spilled_note{1, 0};
    trs::manager plain(3, plain_note), spilled(3, spilled_note);
    spilled.set_budget(1, dir.path);
    plain.init(1e-8, trs::manager::all_channels);
    spilled.init(1e-8, trs::manager::all_channels);
    isamp length = 0;
    for (hw::ich ch = 0; ch < 3; ++ch) {
        const auto sig = signal(60000, ch + 1);
        length = std::max(length, sig.back().sample + 1);
        fill(plain.channel_store(ch), sig, sig.back().sample + 1);
        fill(spilled.channel_store(ch), sig, sig.back().sample + 1);
    }
    EXPECT_GT(spilled.channel_store(0).spilled_bytes(), 0u);

    // Bit sampler.
    for (hw::ich ch = 0; ch < 3; ++ch) {
        auto a = plain.create_bitsampler(ch), b = spilled.create_bitsampler(ch);
        a.init(12345, 99991);
        b.init(12345, 99991);
        for (int i = 0; i < 2000; ++i)
            ASSERT_EQ(a.next(), b.next()) << i;
    }
    // Bus iterator.
    auto pa = plain.create_bus_iterator({}), pb = spilled.create_bus_iterator({});
    for (int i = 0; i < 50000; ++i) {
        const auto x = pa.next(), y = pb.next();
        ASSERT_EQ(x.sample, y.sample) << i;
        ASSERT_EQ(x.bits, y.bits) << i;
        if (x.is_last) break;
    }
    // Resizer: cut, then extended, every channel rebuilt from a copy that shares the file.
    plain.resize(length / 2, false);
    spilled.resize(length / 2, false);
    for (hw::ich ch = 0; ch < 3; ++ch)
        expect_same_reads(spilled.channel_store(ch), plain.channel_store(ch));
    plain.resize(length, true);
    spilled.resize(length, true);
    for (hw::ich ch = 0; ch < 3; ++ch)
        expect_same_reads(spilled.channel_store(ch), plain.channel_store(ch));
}

} // namespace

// A cut (an overrun, an abort, a full store) may fall in a spilled chunk: the store then
// reads as the same cut of a store in memory, and goes on spilling what is written after it.
TEST(Spill, ACutInSpilledChunksReadsAsTheSameCutInMemory) {
    scratch_dir dir;
    auto b = std::make_shared<trs::budget>();
    b->set(1, dir.path);
    const auto sig = signal(200000, 5);
    const isamp length = sig.back().sample + 5;
    for (const double at : {0.02, 0.5, 0.97}) {
        trs::store plain, spilled;
        spilled.set_budget(b);
        fill(plain, sig, length);
        fill(spilled, sig, length);
        ASSERT_GT(spilled.spilled_bytes(), 0u);
        const isamp n = static_cast<isamp>(static_cast<double>(length) * at);
        plain.cut(n);
        spilled.cut(n);
        expect_same_reads(spilled, plain);
        // Written on after the cut, both still agree.
        const isamp more = n + 1000;
        for (trs::store* s : {&plain, &spilled}) {
            trs::store::writer w(*s);
            for (isamp t = more; t < more + 400000; t += 37)
                w.append(t, static_cast<uint8_t>((t / 37) % 2));
            w.commit();
            s->append_idle(more + 400001, 1);
        }
        expect_same_reads(spilled, plain);
    }
}

// Stores that share a budget unevenly, with the shares drifting from one store to the other
// and back, as the channels of a capture do: what they hold in memory, spare chunks
// included, stays near the budget however long they run.
TEST(Spill, StoresWhoseSharesDriftStayWithinTheBudget) {
    scratch_dir dir;
    auto b = std::make_shared<trs::budget>();
    constexpr int64_t limit_chunks = 2000;
    b->set(static_cast<uint64_t>(limit_chunks * trs::store::resident_chunk_bytes), dir.path);
    constexpr int n_stores = 4;
    std::vector<std::unique_ptr<trs::store>> stores;
    std::vector<isamp> t(n_stores, 0);
    for (int i = 0; i < n_stores; ++i) {
        stores.push_back(std::make_unique<trs::store>());
        stores.back()->set_budget(b);
    }
    // Transitions two samples apart: one slice each, a chunk per 500.
    auto write = [&](int i, int n) {
        trs::store::writer w(*stores[static_cast<size_t>(i)]);
        for (int k = 0; k < n; ++k) {
            t[static_cast<size_t>(i)] += 2;
            w.append(t[static_cast<size_t>(i)], static_cast<uint8_t>(k & 1));
        }
        w.commit();
    };
    size_t most = 0;
    // In each phase one store writes eight times as fast as each other one, so it spills
    // while the others take up the room it leaves.
    for (int phase = 0; phase < 3 * n_stores; ++phase) {
        const int fast = phase % n_stores;
        for (int round = 0; round < 2 * limit_chunks; ++round)
            for (int i = 0; i < n_stores; ++i)
                write(i, i == fast ? 8 * trs::store::chunk_size / 4 : trs::store::chunk_size / 4);
        size_t held = 0;
        for (auto& s : stores)
            held += s->memory_bytes();
        most = std::max(most, held);
    }
    uint64_t spilled = 0;
    for (auto& s : stores)
        spilled += s->spilled_bytes();
    EXPECT_GT(spilled, 0u);
    // The budget, what a store cannot spill (its open chunk and less than a block before it),
    // a block of spare chunks each and the index of spilled blocks.
    const size_t index_bytes = 2 * spilled / (trs::store::block_chunks * sizeof(trs::chunk)) * 32;
    const size_t allowed = static_cast<size_t>(limit_chunks) * sizeof(trs::chunk) +
                           n_stores * (3 * trs::store::block_chunks + 2) * sizeof(trs::chunk) +
                           index_bytes;
    EXPECT_LE(most, allowed) << "held at most " << most << " bytes";
}

// A store on a budget of one byte, filled with 400000 transitions: every block but the one
// being written is spilled to the scratch directory.
struct spilled_store {
    spilled_store() {
        b->set(1, dir.path);
        s.set_budget(b);
        const auto sig = signal(400000);
        fill(s, sig, sig.back().sample + 5);
    }
    scratch_dir dir;
    std::shared_ptr<trs::budget> b = std::make_shared<trs::budget>();
    trs::store s; // last: let go before the budget and the directory
};

// The index of spilled blocks (file offset and first sample, 16 bytes a block) grows with the
// capture, so the budget counts it beside the chunks in memory.
TEST(Spill, TheBudgetCountsTheIndexOfSpilledBlocks) {
    spilled_store f;
    trs::store& s = f.s;
    const auto& b = f.b;
    const auto blocks =
        static_cast<int64_t>(s.spilled_bytes() / (trs::store::block_chunks * sizeof(trs::chunk)));
    ASSERT_GT(blocks, 0);
    // Not a whole number of chunks, so that the index shows in what the budget counts.
    ASSERT_NE(blocks * 16 % trs::store::resident_chunk_bytes, 0);
    const int64_t chunks_part = b->resident() - blocks * 16;
    EXPECT_GT(chunks_part, 0);
    EXPECT_EQ(chunks_part % trs::store::resident_chunk_bytes, 0) << b->resident();
    // A clear lets the index go with the blocks.
    s.clear();
    EXPECT_EQ(b->resident(), trs::store::resident_chunk_bytes);
}

// A store reads spilled blocks back into two blocks of its own, which on a model of many
// channels come to megabytes: the budget counts them while they are held, and a clear lets
// them go.
TEST(Spill, TheBudgetCountsTheBlocksReadBack) {
    spilled_store f;
    trs::store& s = f.s;
    const auto& b = f.b;
    ASSERT_GT(s.spilled_bytes(), 2 * trs::store::block_chunks * sizeof(trs::chunk));
    const int64_t written = b->resident();
    const size_t before = s.memory_bytes();
    uint8_t level = 0;
    ASSERT_TRUE(s.level_at(1, level)); // the first block
    const int64_t block = trs::store::block_chunks * trs::store::resident_chunk_bytes;
    EXPECT_EQ(b->resident(), written + block);
    EXPECT_FALSE(read_all(s, 0, 65536).empty()); // every block, the last two kept
    EXPECT_EQ(b->resident(), written + 2 * block);
    EXPECT_EQ(s.memory_bytes(), before + 2 * trs::store::block_chunks * sizeof(trs::chunk));
    s.clear();
    EXPECT_EQ(b->resident(), trs::store::resident_chunk_bytes);
}

// A clear keeps a store's chunks for its next capture. When the channel that fills the
// budget changes from one capture to the next, those kept beyond a block count against the
// budget and go once it is exceeded, instead of staying beside the new channel's chunks.
TEST(Spill, SpareChunksOfAnEarlierCaptureGoOnceTheBudgetIsExceeded) {
    scratch_dir dir;
    auto b = std::make_shared<trs::budget>();
    constexpr size_t limit_chunks = 2000;
    b->set(limit_chunks * trs::store::resident_chunk_bytes, dir.path);
    trs::store first, second;
    first.set_budget(b);
    second.set_budget(b);
    std::vector<isamp> t(2, 0);
    // Transitions two samples apart: one slice each, a chunk per 500.
    auto write = [&](trs::store& s, isamp& at, size_t n) {
        trs::store::writer w(s);
        for (size_t k = 0; k < n; ++k)
            w.append(at += 2, static_cast<uint8_t>(k & 1));
        w.commit();
    };
    size_t most = 0;
    for (int capture = 0; capture < 2; ++capture) {
        auto& busy = capture == 0 ? first : second;
        auto& quiet = capture == 0 ? second : first;
        for (size_t round = 0; round < 3 * limit_chunks; ++round) {
            write(busy, t[static_cast<size_t>(capture)], trs::store::chunk_size);
            write(quiet, t[static_cast<size_t>(1 - capture)], 1);
            most = std::max(most, first.memory_bytes() + second.memory_bytes());
        }
        EXPECT_GT(busy.spilled_bytes(), 0u);
        first.clear();
        second.clear();
        t.assign(2, 0);
    }
    // The budget, what a store cannot spill (its open chunk and less than a block before it),
    // a block of spare chunks each and the index of spilled blocks.
    const size_t allowed = limit_chunks * sizeof(trs::chunk) +
                           2 * (3 * trs::store::block_chunks + 2) * sizeof(trs::chunk) + (64 << 10);
    EXPECT_LE(most, allowed) << "held at most " << most << " bytes";
}

namespace {

// Items that change the level, from read(): what read_changes() must give.
std::vector<item> changes_of(const std::vector<item>& all) {
    std::vector<item> v;
    for (size_t i = 1; i < all.size(); ++i)
        if (all[i].level != (v.empty() ? all[0].level : v.back().level)) v.push_back(all[i]);
    return v;
}

// The changes read as the edge core reads them: from sample 1 on, under horizons that grow
// by `step`, `capacity` at a time, with one cursor kept throughout (or a fresh one per read).
std::vector<item> read_changes_all(const trs::store& s, uint8_t level, isamp length, isamp step,
                                   size_t capacity, bool keep_cursor) {
    std::vector<item> v;
    std::vector<uint64_t> samples(capacity);
    std::vector<uint8_t> levels(capacity);
    trs::store::changes_cursor kept;
    isamp from = 1;
    for (isamp h = std::min(step, length);; h = std::min(h + step, length)) {
        for (;;) {
            trs::store::changes_cursor fresh;
            auto& cur = keep_cursor ? kept : fresh;
            const size_t n =
                s.read_changes(from, h, level, samples.data(), levels.data(), capacity, cur);
            EXPECT_GE(cur.from, from);
            from = cur.from;
            for (size_t i = 0; i < n; ++i) {
                EXPECT_LT(samples[i], static_cast<uint64_t>(h));
                v.push_back({samples[i], levels[i]});
            }
            if (n > 0) level = levels[n - 1];
            if (n < capacity) break;
        }
        if (h == length) return v;
    }
}

} // namespace

// Reading only the changes before a horizon gives read()'s items with the repeated levels
// left out, item for item, in memory and from spilled chunks, across chunk boundaries,
// whatever the reads' sizes, the horizons and whether the reader keeps its cursor.
TEST(Spill, ReadChangesEqualsReadWithoutTheRepeats) {
    // Random levels: repeats, and up to four transitions at one sample.
    std::vector<trs::edge_t> sig;
    std::mt19937 rng(5);
    isamp t = 0;
    for (size_t k = 0; k < 120000; ++k) {
        const uint32_t r = rng();
        t += r % 5 == 0 ? 0 : r % 211 == 0 ? isamp{1} << 25 : static_cast<isamp>(r % 300);
        sig.push_back({t, static_cast<uint8_t>((r >> 20) & 1)});
    }
    const isamp length = sig.back().sample + 9;
    plain_and_spilled f(sig, length);
    ASSERT_GT(f.spilled.spilled_bytes(), 0u);
    for (const trs::store* s : {&f.plain, &f.spilled}) {
        const auto all = read_all(*s, 0, 100000);
        const auto want = changes_of(all);
        ASSERT_GT(want.size(), 1000u);
        ASSERT_LT(want.size(), all.size() - 1000);
        const uint8_t first = all[0].level;
        EXPECT_EQ(read_changes_all(*s, first, length, length, 4096, true), want);
        EXPECT_EQ(read_changes_all(*s, first, length, length, 1, true), want);
        EXPECT_EQ(read_changes_all(*s, first, length, 777777, 7, true), want);
        EXPECT_EQ(read_changes_all(*s, first, length, 5000003, 4096, false), want);
        EXPECT_EQ(read_changes_all(*s, first, length, 12345678, 333, false), want);
    }
}
