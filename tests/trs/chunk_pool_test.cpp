// The pool of chunk memory: slots reused by any thread, pages given back once free, and the
// stores' chunks in it following what the stores count.
#include "trs/budget.h"
#include "trs/chunk_pool.h"
#include "trs/store.h"

#include "../core/scratch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr size_t slot = trs::chunk_pool::slot_bytes;

// Takes n slots and writes all of each, as a store fills a chunk.
std::vector<void*> take(trs::chunk_pool& pool, size_t n, int fill) {
    std::vector<void*> v(n);
    for (auto& p : v) {
        p = pool.take();
        std::memset(p, fill, slot);
    }
    return v;
}

// The distinct pages the slots lie in.
std::vector<uintptr_t> pages_of(const std::vector<void*>& slots) {
    const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    std::vector<uintptr_t> pages;
    for (void* p : slots)
        pages.push_back(reinterpret_cast<uintptr_t>(p) & ~(page - 1));
    std::sort(pages.begin(), pages.end());
    pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
    return pages;
}

// Pages of the slots the system holds in memory (unmapped ones count as not held).
size_t resident_pages(const std::vector<void*>& slots) {
    const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    size_t held = 0;
    for (uintptr_t p : pages_of(slots)) {
        unsigned char in = 0;
        if (::mincore(reinterpret_cast<void*>(p), page, &in) == 0) held += in & 1;
    }
    return held;
}

// Two threads take slots in shares that drift from cycle to cycle and each gives back what
// the other took, as a store's chunks are opened by one hand-over thread and spilled by
// another. The pool reuses every slot given back, so it never holds more than the most slots
// in use at once, however the shares drift.
TEST(ChunkPool, SlotsFreedOnAnotherThreadAreReusedByEveryThread) {
    trs::chunk_pool pool(64 << 10);
    constexpr size_t total = 6000; // in use at once at most: a few slabs
    size_t most_touched = 0, most_mapped = 0;
    for (size_t cycle = 0; cycle < 40; ++cycle) {
        const size_t first_share = 500 + cycle * 797 % 5000;
        std::vector<void*> a, b;
        std::thread ta([&] { a = take(pool, first_share, 1); });
        std::thread tb([&] { b = take(pool, total - first_share, 2); });
        ta.join();
        tb.join();
        most_touched = std::max(most_touched, pool.figures().touched);
        most_mapped = std::max(most_mapped, pool.figures().mapped);
        std::thread ga([&] { pool.give(b); });
        std::thread gb([&] {
            for (void* p : a)
                pool.give(p);
        });
        ga.join();
        gb.join();
        EXPECT_EQ(pool.figures().in_use, 0u);
    }
    const size_t slabs_needed = total * slot / (trs::chunk_pool::slab_bytes - 2 * slot) + 1;
    EXPECT_LE(most_mapped, slabs_needed * trs::chunk_pool::slab_bytes);
    const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    EXPECT_LE(most_touched, total * slot + slabs_needed * page) << most_touched;
}

// Once the slots are given back, the pool keeps at most its slack of their pages in memory:
// its own figure and the system's view of the slots' pages agree.
TEST(ChunkPool, PagesOfFreeSlotsGoBackBeyondTheSlack) {
    const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    constexpr size_t slack = 256 << 10;
    trs::chunk_pool pool(slack);
    std::vector<void*> a, b;
    std::thread ta([&] { a = take(pool, 10000, 1); });
    std::thread tb([&] { b = take(pool, 10000, 2); });
    ta.join();
    tb.join();
    std::vector<void*> all = a;
    all.insert(all.end(), b.begin(), b.end());
    const size_t before = resident_pages(all);
    EXPECT_GE(before * page, all.size() * slot);
    EXPECT_GE(pool.figures().touched, all.size() * slot);

    // Three quarters back, from the other threads: what stays is what is in use, the slack
    // and a page of bookkeeping a slab.
    std::vector<void*> kept(a.begin(), a.begin() + 2500), back(a.begin() + 2500, a.end());
    back.insert(back.end(), b.begin() + 2500, b.end());
    kept.insert(kept.end(), b.begin(), b.begin() + 2500);
    std::thread ga([&] { pool.give(std::span<void* const>(back.data(), back.size() / 2)); });
    std::thread gb([&] {
        pool.give(
            std::span<void* const>(back.data() + back.size() / 2, back.size() - back.size() / 2));
    });
    ga.join();
    gb.join();
    auto f = pool.figures();
    EXPECT_EQ(f.in_use, kept.size());
    // The pages of the slots kept stay whole. How the two threads' takes interleaved decides
    // how many pages that is, so the bound counts them rather than assuming an order.
    const size_t bound = pages_of(kept).size() * page + slack + f.slabs * page;
    EXPECT_LE(f.touched, bound) << f.touched;
    EXPECT_LE(resident_pages(all) * page, bound);

    pool.give(kept);
    f = pool.figures();
    EXPECT_EQ(f.in_use, 0u);
    EXPECT_LE(f.touched, slack + f.slabs * page);
    EXPECT_LE(resident_pages(all) * page, slack + f.slabs * page);
    EXPECT_LT(f.mapped, before * page); // slabs without a slot in use are unmapped

    // And the next takes reuse what is still mapped before mapping more.
    const size_t mapped = f.mapped;
    auto again = take(pool, 100, 3);
    EXPECT_EQ(pool.figures().mapped, std::max<size_t>(mapped, trs::chunk_pool::slab_bytes));
    pool.give(again);
}

// Sixteen stores sharing a small budget, written by two threads that swap the stores' lanes
// from round to round, as the hand-over jobs do: a store's chunks are opened by one thread
// and spilled or cleared by the other. The pool's slots are exactly the stores' chunks, and
// the pages it holds follow them.
TEST(ChunkPool, StoresWrittenByTwoThreadsHoldWhatTheyCount) {
    core_test::scratch_dir dir;
    auto& pool = trs::chunk_pool::shared();
    const auto base = pool.figures();
    const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    auto b = std::make_shared<trs::budget>();
    constexpr size_t limit_chunks = 4000; // 2 MB
    b->set(limit_chunks * trs::store::resident_chunk_bytes, dir.path);
    constexpr size_t n_stores = 16;
    std::vector<std::unique_ptr<trs::store>> stores;
    for (size_t i = 0; i < n_stores; ++i) {
        stores.push_back(std::make_unique<trs::store>());
        stores.back()->set_budget(b);
    }
    std::vector<isamp> t(n_stores, 0);
    // Transitions two samples apart: one slice each. The stores of a lane write at rates
    // that drift with the round.
    auto lane = [&](size_t first, size_t round) {
        for (size_t i = first; i < first + n_stores / 2; ++i) {
            trs::store::writer w(*stores[i]);
            const size_t n = 200 + (i * 131 + round * 977) % 3000;
            for (size_t k = 0; k < n; ++k) {
                t[i] += 2;
                w.append(t[i], static_cast<uint8_t>(k & 1));
            }
            w.commit();
        }
    };
    size_t most_touched = 0;
    for (size_t round = 0; round < 600; ++round) {
        std::thread a([&] { lane(round % 2 == 0 ? 0 : n_stores / 2, round); });
        std::thread c([&] { lane(round % 2 == 0 ? n_stores / 2 : 0, round); });
        a.join();
        c.join();
        most_touched = std::max(most_touched, pool.figures().touched);
        if (round % 100 == 99) {
            size_t held = 0;
            for (auto& s : stores)
                held += s->memory_bytes();
            // memory_bytes() adds the chunk pointers and the index to the chunks.
            const size_t slots = pool.figures().in_use - base.in_use;
            EXPECT_LE(slots * slot, held);
            EXPECT_GE(slots * slot, held / 2);
        }
    }
    uint64_t spilled = 0;
    for (auto& s : stores)
        spilled += s->spilled_bytes();
    EXPECT_GT(spilled, 10 * limit_chunks * slot);
    // The budget, what a store cannot spill (its open chunk and less than a block before it),
    // a block of spare chunks each, the pool's slack and a page of bookkeeping a slab.
    const size_t allowed = base.touched + limit_chunks * slot +
                           n_stores * (2 * trs::store::block_chunks + 2) * slot + (4 << 20) +
                           (pool.figures().slabs + 1) * page;
    EXPECT_LE(most_touched, allowed) << most_touched;

    // Cleared on the other thread and let go: the slots go back, and their pages beyond the
    // slack.
    std::thread([&] {
        for (auto& s : stores)
            s->clear();
    }).join();
    stores.clear();
    const auto after = pool.figures();
    EXPECT_EQ(after.in_use, base.in_use);
    EXPECT_LE(after.touched,
              std::max(base.touched, base.in_use * slot + (4 << 20)) + (after.slabs + 1) * page);
}

} // namespace
