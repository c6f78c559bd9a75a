// Transition store: append, walk and positioning rates, and memory per transition.
#include "trs/iterator.h"
#include "trs/store.h"

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <utility>
#include <vector>

namespace {

enum signal_kind { dense_clock, sparse, random_toggles };

const char* name_of(signal_kind k) {
    return k == dense_clock ? "dense_clock" : k == sparse ? "sparse" : "random";
}

// n transitions of one channel: a clock toggling every sample, a signal toggling every 10007
// samples, or toggles 1..100 samples apart from a fixed seed.
std::vector<trs::edge_t> make_signal(signal_kind kind, size_t n) {
    std::vector<trs::edge_t> v;
    v.reserve(n);
    std::mt19937_64 rng(42);
    isamp t = 0;
    for (size_t k = 0; k < n; ++k) {
        v.push_back({t, static_cast<uint8_t>(k % 2)});
        t += kind == dense_clock ? 1 : kind == sparse ? 10007 : 1 + static_cast<isamp>(rng() % 100);
    }
    return v;
}

constexpr size_t append_n = 1'000'000;

void BM_append_single(benchmark::State& state) {
    const auto kind = static_cast<signal_kind>(state.range(0));
    const auto sig = make_signal(kind, append_n);
    for (auto _ : state) {
        auto s = std::make_unique<trs::store>();
        for (const auto& e : sig)
            s->append(e.sample, e.level);
        benchmark::DoNotOptimize(s->get_slices_count());
        state.PauseTiming();
        s.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * append_n));
    state.SetLabel(name_of(kind));
}

void BM_append_batched(benchmark::State& state) {
    const auto kind = static_cast<signal_kind>(state.range(0));
    const auto batch = static_cast<size_t>(state.range(1));
    const auto sig = make_signal(kind, append_n);
    for (auto _ : state) {
        auto s = std::make_unique<trs::store>();
        for (size_t k = 0; k < sig.size(); k += batch)
            s->append(
                std::span<const trs::edge_t>(sig).subspan(k, std::min(batch, sig.size() - k)));
        benchmark::DoNotOptimize(s->get_slices_count());
        state.PauseTiming();
        s.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * append_n));
    state.SetLabel(name_of(kind));
}

// One store of 10^8 random toggles, built once for the walk and positioning benchmarks.
trs::store& big_store() {
    static std::unique_ptr<trs::store> s = [] {
        auto st = std::make_unique<trs::store>();
        std::mt19937_64 rng(42);
        std::vector<trs::edge_t> batch;
        batch.reserve(100000);
        isamp t = 0;
        for (int64_t k = 0; k < 100'000'000;) {
            batch.clear();
            for (int j = 0; j < 100000; ++j, ++k) {
                batch.push_back({t, static_cast<uint8_t>(k % 2)});
                t += 1 + static_cast<isamp>(rng() % 100);
            }
            st->append(batch);
        }
        st->append_idle(t, 1);
        return st;
    }();
    return *s;
}

void BM_next(benchmark::State& state) {
    trs::store& s = big_store();
    trs::iterator it(s);
    it.restart(0, 10.0, 0);
    int64_t n = 0;
    for (auto _ : state) {
        const auto t = it.next();
        benchmark::DoNotOptimize(t);
        if (t.is_last) it.restart(0, 10.0, 0);
        ++n;
    }
    state.SetItemsProcessed(n);
}

void BM_prev(benchmark::State& state) {
    trs::store& s = big_store();
    trs::iterator it(s);
    const isamp end = s.samples_count();
    it.restart(end, 10.0, 0);
    int64_t n = 0;
    for (auto _ : state) {
        const auto t = it.prev();
        benchmark::DoNotOptimize(t);
        if (t.is_first) it.restart(end, 10.0, 0);
        ++n;
    }
    state.SetItemsProcessed(n);
}

// Latency of positioning at a random sample: restart plus the first step, which runs the
// binary search.
void BM_restart_at_sample(benchmark::State& state) {
    trs::store& s = big_store();
    trs::iterator it(s);
    const auto end = static_cast<uint64_t>(s.samples_count());
    std::mt19937_64 rng(9);
    for (auto _ : state) {
        it.restart(static_cast<isamp>(rng() % end), 10.0, 0);
        benchmark::DoNotOptimize(it.next());
    }
    state.counters["transitions"] = 1e8;
}

size_t heap_in_use() {
    const auto mi = mallinfo2();
    return mi.uordblks + mi.hblkhd; // small blocks and mmapped ones
}

// Heap bytes per transition of the store and of a plain vector of (sample, level) pairs for
// the same signal, and bytes per sample of 54 such channels against 7 bytes per raw sample.
void BM_memory(benchmark::State& state) {
    const auto kind = static_cast<signal_kind>(state.range(0));
    constexpr size_t n = 10'000'000;
    const auto sig = make_signal(kind, n);
    double store_bytes = 0, vector_bytes = 0;
    for (auto _ : state) {
        const size_t h0 = heap_in_use();
        auto s = std::make_unique<trs::store>();
        for (const auto& e : sig)
            s->append(e.sample, e.level);
        const size_t h1 = heap_in_use();
        std::vector<std::pair<int64_t, bool>> v;
        for (const auto& e : sig)
            v.emplace_back(e.sample, e.level != 0);
        const size_t h2 = heap_in_use();
        store_bytes = static_cast<double>(h1 - h0);
        vector_bytes = static_cast<double>(h2 - h1);
        benchmark::DoNotOptimize(v.data());
    }
    const double samples = static_cast<double>(sig.back().sample + 1);
    state.counters["store_B_per_tr"] = store_bytes / n;
    state.counters["vector_B_per_tr"] = vector_bytes / n;
    state.counters["store_54ch_B_per_sample"] = 54 * store_bytes / samples;
    state.counters["vector_54ch_B_per_sample"] = 54 * vector_bytes / samples;
    state.counters["raw_54ch_B_per_sample"] = 7;
    state.SetLabel(name_of(kind));
}

BENCHMARK(BM_append_single)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_append_batched)->ArgsProduct({{0, 1, 2}, {100, 10000}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_next);
BENCHMARK(BM_prev);
BENCHMARK(BM_restart_at_sample)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_memory)->DenseRange(0, 2)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
