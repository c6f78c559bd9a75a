// Stores over a memory budget: appends that spill against appends that do not, and reads of
// spilled chunks with the page cache warm and cold against reads from memory, side by side
// in one run. `cmake --build build --target bench_spill && build/bench/bench_spill`; the
// spill file goes to KESTREL_STORE_DIR, else /var/tmp.
#include "trs/budget.h"
#include "trs/store.h"

#include "signals.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr size_t transitions = 20'000'000; // about 40 MB of slices

// Toggles 1..100 samples apart from a fixed seed, made once.
const std::vector<trs::edge_t>& signal() {
    static const std::vector<trs::edge_t> v =
        bench_signals::make_signal(bench_signals::random_toggles, transitions);
    return v;
}

// Fills the store in writer sessions of 4096 transitions, as the capture's hand-over does.
void fill(trs::store& s) {
    const auto& sig = signal();
    for (size_t k = 0; k < sig.size();) {
        trs::store::writer w(s);
        for (const size_t end = std::min(sig.size(), k + 4096); k < end; ++k)
            w.append(sig[k].sample, sig[k].level);
        w.commit();
    }
}

std::shared_ptr<trs::budget> budget_of(int64_t limit) {
    auto b = std::make_shared<trs::budget>();
    b->set(static_cast<uint64_t>(limit), trs::budget::default_directory());
    return b;
}

// Arg 0: no limit; else the budget in bytes (1: every sealed chunk spills).
void BM_append(benchmark::State& state) {
    signal();
    const int64_t limit = state.range(0);
    uint64_t bytes = 0, spilled = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto b = budget_of(limit);
        auto s = std::make_unique<trs::store>();
        s->set_budget(b);
        state.ResumeTiming();
        fill(*s);
        state.PauseTiming();
        bytes += static_cast<uint64_t>(s->get_slices_count());
        spilled += s->spilled_bytes();
        s.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * transitions));
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["spilled_MB"] = static_cast<double>(spilled) / 1e6 / state.iterations();
}

// memcpy of the slices' bytes, the reference of the append rates.
void BM_memcpy_slices(benchmark::State& state) {
    const size_t n = transitions * 2; // about two slices a transition
    std::vector<char> a(n, 1), b(n);
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

// One store of the signal, in memory or spilled but for its last chunks.
struct filled {
    std::shared_ptr<trs::budget> b;
    trs::store s;
    explicit filled(bool spill) : b(budget_of(spill ? 1 : 0)) {
        s.set_budget(b);
        fill(s);
    }
};

filled& store_of(bool spill) {
    static filled memory(false), disk(true);
    return spill ? disk : memory;
}

// Arg: 0 memory, 1 spilled with the page cache warm, 2 spilled with the file's pages dropped
// before every pass.
void BM_read(benchmark::State& state) {
    auto& f = store_of(state.range(0) != 0);
    std::vector<uint64_t> samples(65536);
    std::vector<uint8_t> levels(65536);
    size_t items = 0;
    for (auto _ : state) {
        if (state.range(0) == 2) {
            state.PauseTiming();
            f.b->file()->drop_cache();
            state.ResumeTiming();
        }
        isamp from = 0;
        for (;;) {
            const size_t n = f.s.read(from, samples.data(), levels.data(), samples.size());
            if (n == 0) break;
            items += n;
            from = static_cast<isamp>(samples[n - 1]) + 1;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(items));
    state.SetLabel(state.range(0) == 0   ? "memory"
                   : state.range(0) == 1 ? "spilled, warm"
                                         : "spilled, cold");
}

// Arg as BM_read: the level at random samples.
void BM_level_at(benchmark::State& state) {
    auto& f = store_of(state.range(0) != 0);
    const isamp length = f.s.samples_count();
    std::mt19937_64 rng(7);
    uint8_t level = 0;
    for (auto _ : state) {
        if (state.range(0) == 2) {
            state.PauseTiming();
            f.b->file()->drop_cache();
            state.ResumeTiming();
        }
        const auto t = static_cast<isamp>(rng() % static_cast<uint64_t>(length));
        benchmark::DoNotOptimize(f.s.level_at(t, level));
    }
    state.SetLabel(state.range(0) == 0   ? "memory"
                   : state.range(0) == 1 ? "spilled, warm"
                                         : "spilled, cold");
}

BENCHMARK(BM_memcpy_slices)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_append)->Arg(0)->Arg(1)->Arg(16 << 20)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_read)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_level_at)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_level_at)->Arg(2)->Iterations(300)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
