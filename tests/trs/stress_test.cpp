#include "trs/manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// Transition k lies at k * step with level k % 2, so any torn or misplaced transition shows
// as a sample off the grid or a level that does not match its sample. The step makes most
// transitions take three slices, so chunk boundaries are straddled all the time.
constexpr isamp step = 997;

struct checker {
    std::atomic<long> items{0};
    std::atomic<long> faults{0};
    std::string first_fault;
    std::mutex m;

    void fault(const std::string& what) {
        if (faults++ == 0) {
            std::lock_guard lk(m);
            first_fault = what;
        }
    }
    // A bloc carries no level.
    void check(const trs::tr& t) {
        ++items;
        if (t.pol == trs::value::none) return;
        if (t.is_first) {
            if (t.sample != 0 || t.pol != trs::value::rising)
                fault("initial level " + std::to_string(t.sample));
            return;
        }
        if (t.sample < 0 || t.sample % step != 0) fault("sample " + std::to_string(t.sample));
        if (t.pol != trs::value::bloc && static_cast<int>(t.pol) != (t.sample / step) % 2)
            fault("level at " + std::to_string(t.sample));
    }
};

void writer(trs::builder b, int rounds, int per_round, std::atomic<int>& clears,
            bool clear_between) {
    std::mt19937 rng(7);
    std::vector<trs::edge_t> batch;
    for (int r = 0; r < rounds; ++r) {
        if (clear_between || r == 0) {
            b.clear();
            ++clears;
        }
        isamp k = r == 0 || clear_between ? 0 : static_cast<isamp>(r) * per_round;
        const isamp end = k + per_round;
        while (k < end) {
            if (rng() % 4 == 0) {
                b.append(k * step, static_cast<uint8_t>(k % 2));
                ++k;
            } else {
                batch.clear();
                const isamp n = 1 + static_cast<isamp>(rng() % 300);
                for (isamp j = 0; j < n && k < end; ++j, ++k)
                    batch.push_back({k * step, static_cast<uint8_t>(k % 2)});
                b.append(batch);
            }
            b.append_idle((k - 1) * step, static_cast<uint8_t>((k - 1) % 2));
        }
    }
}

void run(bool with_clears) {
    mox::semaphore gui;
    trs::manager man(18, gui);
    std::atomic<bool> done{false};
    std::atomic<int> clears{0};
    checker chk;

    std::vector<std::thread> readers;
    // Forward and backward walks; without clears the order is checked too (distinct samples:
    // each step moves strictly, except that an end repeats itself).
    for (int dir = 0; dir < 2; ++dir) {
        readers.emplace_back([&, dir] {
            auto it = man.create_iterator(0);
            const bool fwd = dir == 0;
            while (!done) {
                const isamp n = man.create_iterator(0).last_idle().sample;
                it.restart(fwd ? 0 : n, 10.0, 0);
                isamp last = fwd ? -1 : std::numeric_limits<isamp>::max();
                for (int s = 0; s < 20000 && !done; ++s) {
                    const auto t = fwd ? it.next() : it.prev();
                    chk.check(t);
                    const bool at_end = fwd ? t.is_last : t.is_first;
                    if (!with_clears && t.pol != trs::value::none) {
                        const bool moved = fwd ? t.sample > last : t.sample < last;
                        if (!moved && !(at_end && t.sample == last))
                            chk.fault("order at " + std::to_string(t.sample));
                        last = t.sample;
                    }
                    if (at_end) break;
                }
            }
        });
    }
    // Random positioning, and folding walks.
    readers.emplace_back([&] {
        auto it = man.create_iterator(0);
        std::mt19937_64 rng(5);
        while (!done) {
            const isamp n = std::max<isamp>(1, man.maximum_samples_count());
            it.restart(static_cast<isamp>(rng() % static_cast<uint64_t>(n)),
                       (rng() % 2) ? 10.0 : 0.001, 0);
            for (int s = 0; s < 50 && !done; ++s)
                chk.check((s % 3 == 0) ? it.prev() : it.next());
            chk.check(it.current());
            it.current_tr_is_not_last();
        }
    });

    std::thread w([&] {
        writer(man.create_builder(0), with_clears ? 100 : 1, with_clears ? 20000 : 1000000, clears,
               with_clears);
        done = true;
    });
    w.join();
    for (auto& r : readers)
        r.join();

    EXPECT_EQ(chk.faults, 0) << chk.first_fault;
    EXPECT_GT(chk.items, 0);
    EXPECT_EQ(clears, with_clears ? 100 : 1);
    // The store holds exactly what was written last.
    auto it = man.create_iterator(0);
    it.restart(0, 10.0, 0);
    const isamp written = with_clears ? 20000 : 1000000;
    isamp expect = 0;
    for (;;) {
        const auto t = it.next();
        ASSERT_EQ(t.sample, expect * step);
        ASSERT_EQ(static_cast<int>(t.pol), expect % 2);
        ++expect;
        if (t.is_last) break;
    }
    EXPECT_EQ(expect, written);
}

TEST(Stress, ReadersWhileWriterAppends) {
    run(false);
}

TEST(Stress, ReadersWhileWriterAppendsAndClears) {
    run(true);
}

} // namespace
