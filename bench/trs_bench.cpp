// Transition store: append, walk and positioning rates, and memory per transition.
#include "api/api_handles.h"
#include "kestrelapi.h"
#include "trs/iterator.h"
#include "trs/store.h"

#include "signals.h"

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <random>
#include <utility>
#include <vector>

namespace {

using namespace bench_signals;

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

// Appends through a writer session, as the capture tool's hand-over does: the encoder alone.
// The input is a cache-sized piece of the signal repeated at later times, as the hand-over
// reads a batch of records that is in the cache, not a stream from main memory.
void BM_append_writer(benchmark::State& state) {
    const auto kind = static_cast<signal_kind>(state.range(0));
    constexpr size_t piece = 1 << 15;
    const auto sig = make_signal(kind, piece + 1);
    const isamp span = sig.back().sample + 1;
    trs::store s;
    for (auto _ : state) {
        s.clear(); // keeps the chunks: no page is faulted in after the first round
        trs::store::writer w(s);
        for (size_t r = 0; r < append_n / piece; ++r) {
            const isamp base = static_cast<isamp>(r) * span;
            for (size_t k = 0; k < piece; ++k)
                w.append(base + sig[k].sample, sig[k].level);
        }
        w.commit();
        benchmark::DoNotOptimize(s.get_slices_count());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * (append_n / piece) * piece));
    state.SetLabel(name_of(kind));
}

// Runs of toggles over blocks of 64 records into 18 channels' stores, as the host path's
// hand-over gives them for random toggles (each channel changes at a sample with probability
// 1/8, a record at each sample where one does), in each way (0: one change at a time, 1: eight
// records with SSSE3, 2: half a block with AVX-512; one the processor lacks goes the widest it
// has). A batch of records repeated at later times; items are changes.
void BM_append_toggles(benchmark::State& state) {
    const auto way = static_cast<trs::store::writer::toggles_way>(state.range(0));
    constexpr unsigned channels = 18;
    constexpr size_t blocks = 64, records = blocks * 64;
    std::mt19937_64 rng(3);
    std::vector<isamp> times(records);
    std::vector<uint64_t> masks(blocks * channels, 0);
    int64_t changes = 0;
    isamp t = 0;
    for (size_t r = 0; r < records; ++t) {
        uint32_t bits = 0;
        for (unsigned k = 0; k < channels; ++k)
            bits |= static_cast<uint32_t>(rng() % 8 == 0) << k;
        if (bits == 0) continue;
        times[r] = t;
        for (unsigned k = 0; k < channels; ++k)
            masks[r / 64 * channels + k] |= uint64_t{(bits >> k) & 1} << (r % 64);
        changes += std::popcount(bits);
        ++r;
    }
    // The batch at 16 later times, all taken before the timing.
    constexpr size_t rounds = 16;
    std::vector<isamp> shifted(rounds * records);
    std::vector<uint16_t> low(rounds * records + 32);
    for (size_t r = 0; r < shifted.size(); ++r)
        shifted[r] = times[r % records] + 1 + t * static_cast<isamp>(r / records);
    trs::store::writer::low_bits(shifted.data(), low.data(), shifted.size());
    std::vector<trs::store> stores(channels);
    for (auto _ : state) {
        std::vector<trs::store::writer> writers;
        for (auto& s : stores) {
            s.clear(); // keeps the chunks: no page is faulted in after the first round
            writers.emplace_back(s);
            writers.back().append(0, 0);
        }
        std::vector<uint8_t> levels(channels, 0);
        for (size_t b = 0; b < rounds * blocks; ++b)
            for (unsigned k = 0; k < channels; ++k)
                if (const uint64_t m = masks[b % blocks * channels + k]; m != 0)
                    levels[k] = writers[k].append_toggles(way, shifted.data() + b * 64,
                                                          low.data() + b * 64, m, levels[k]);
        for (auto& w : writers)
            w.commit();
        benchmark::DoNotOptimize(stores[0].get_slices_count());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(rounds) * changes);
}

// Bulk reads in pieces of `capacity` items, each going on at the last sample + 1 (from the
// start again at the end); `read` is (from, samples, levels, capacity) -> count.
template <typename Read> void read_on(benchmark::State& state, Read read) {
    const auto capacity = static_cast<uint32_t>(state.range(0));
    std::vector<uint64_t> samples(capacity);
    std::vector<uint8_t> levels(capacity);
    uint64_t from = 0;
    int64_t items = 0;
    for (auto _ : state) {
        const uint32_t n = read(from, samples.data(), levels.data(), capacity);
        from = n == 0 ? 0 : samples[n - 1] + 1;
        items += n;
    }
    state.SetItemsProcessed(items);
}

// The bulk read of the store of 10^8 random toggles.
void BM_read(benchmark::State& state) {
    trs::store& s = big_store();
    read_on(state, [&](uint64_t from, uint64_t* samples, uint8_t* levels, uint32_t capacity) {
        return static_cast<uint32_t>(s.read(static_cast<isamp>(from), samples, levels, capacity));
    });
}

// The same store behind a handle, through the exported functions.
kestrelapi_handle big_handle() {
    static kestrelapi_handle h = [] {
        kestrelapi_handle hh = nullptr;
        kestrelapi_create_new_handle(&hh, kestrel_one);
        static_cast<api_utils::api_handles*>(hh)->trs_man.create_builder(0).get_store() =
            big_store();
        return hh;
    }();
    return h;
}

void BM_api_get_next(benchmark::State& state) {
    kestrelapi_handle h = big_handle();
    kestrelapi_trs_reset(h, 0);
    kestrelapi_trs_t t{};
    int64_t n = 0;
    for (auto _ : state) {
        kestrelapi_trs_get_next(h, 0, &t);
        benchmark::DoNotOptimize(t);
        ++n;
    }
    state.SetItemsProcessed(n);
}

void BM_api_trs_read(benchmark::State& state) {
    kestrelapi_handle h = big_handle();
    read_on(state, [&](uint64_t from, uint64_t* samples, uint8_t* levels, uint32_t capacity) {
        uint32_t n = 0;
        kestrelapi_trs_read(h, 0, from, samples, levels, capacity, &n);
        return n;
    });
}

void BM_api_level_at(benchmark::State& state) {
    kestrelapi_handle h = big_handle();
    const auto end = static_cast<uint64_t>(big_store().samples_count());
    std::mt19937_64 rng(5);
    uint8_t level = 0;
    for (auto _ : state) {
        kestrelapi_trs_level_at(h, 0, rng() % end, &level);
        benchmark::DoNotOptimize(level);
    }
}

BENCHMARK(BM_append_single)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_append_batched)->ArgsProduct({{0, 1, 2}, {100, 10000}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_append_writer)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_append_toggles)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_read)->Arg(1)->Arg(64)->Arg(65536);
BENCHMARK(BM_api_get_next);
BENCHMARK(BM_api_trs_read)->Arg(1)->Arg(64)->Arg(65536);
BENCHMARK(BM_api_level_at)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_next);
BENCHMARK(BM_prev);
BENCHMARK(BM_restart_at_sample)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_memory)->DenseRange(0, 2)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
