// Sample-stream parsing and the whole host path (parser, capture tool, stores), against a
// plain memcpy of the same bytes in the same run.
#include <benchmark/benchmark.h>

#include <time.h>

#include <array>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "kestrel/capture/buffer_parser.h"
#include "kestrel/capture/capture_tool.h"

namespace {

using kestrel::buffer_parser;
using kestrel::kestrel_trs;

constexpr size_t stream_bytes = 16 << 20;

void put_samples(std::vector<uint8_t>& out, const std::array<uint32_t, 7>& s) {
    unsigned __int128 v = 0;
    for (unsigned i = 0; i < 7; ++i)
        v |= static_cast<unsigned __int128>(s[i] & 0x3FFFF) << (18 * i);
    for (int b = 0; b < 16; ++b)
        out.push_back(static_cast<uint8_t>(v >> (8 * b)));
}

void put_delta(std::vector<uint8_t>& out, uint32_t n) {
    uint8_t p[16] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                     static_cast<uint8_t>(n >> 16)};
    p[15] = 1 << 6;
    out.insert(out.end(), p, p + 16);
}

enum class mix { idle, clock, random, serial };

// A stream of about stream_bytes with the character of the mix.
std::vector<uint8_t> make_stream(mix m, uint64_t seed = 1) {
    std::vector<uint8_t> out;
    out.reserve(stream_bytes + 64);
    std::mt19937_64 rng(seed);
    uint32_t level = 0;
    uint64_t t = 0;
    while (out.size() < stream_bytes) {
        std::array<uint32_t, 7> s{};
        switch (m) {
        case mix::idle:
            // Long quiet stretches with a burst of changes now and then.
            put_delta(out, 1000);
            level ^= 1;
            s.fill(level);
            put_samples(out, s);
            continue;
        case mix::clock:
            for (unsigned i = 0; i < 7; ++i)
                s[i] = (t + i) % 2 ? 0x3FFFF : 0;
            break;
        case mix::random:
            for (unsigned i = 0; i < 7; ++i) {
                level ^= static_cast<uint32_t>(rng()) & static_cast<uint32_t>(rng()) &
                         static_cast<uint32_t>(rng()) & 0x3FFFF;
                s[i] = level;
            }
            break;
        case mix::serial:
            // A UART-like line every 28 samples, an SPI-like clock with data every 4.
            for (unsigned i = 0; i < 7; ++i) {
                const uint64_t k = t + i;
                uint32_t v = ((k / 28) % 3 == 0) ? 1 : 0;
                v |= ((k / 2) % 2) << 1;
                v |= static_cast<uint32_t>((k / 4) % 5 == 0) << 2;
                v |= static_cast<uint32_t>((k / 1000) % 2) << 3;
                s[i] = v;
            }
            break;
        }
        put_samples(out, s);
        t += 7;
    }
    return out;
}

void parse_mix(benchmark::State& state, mix m) {
    const auto bytes = make_stream(m);
    uint64_t records = 0;
    buffer_parser parser(0, buffer_parser::batch_fn_t(
                                [&](std::span<kestrel_trs> b, uint8_t) { records += b.size(); }));
    for (auto _ : state) {
        parser.parse(bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
}

void BM_parse_idle(benchmark::State& s) {
    parse_mix(s, mix::idle);
}
void BM_parse_clock(benchmark::State& s) {
    parse_mix(s, mix::clock);
}
void BM_parse_random(benchmark::State& s) {
    parse_mix(s, mix::random);
}
void BM_parse_serial(benchmark::State& s) {
    parse_mix(s, mix::serial);
}

void BM_memcpy(benchmark::State& state) {
    const auto bytes = make_stream(mix::serial);
    std::vector<uint8_t> dst(bytes.size());
    for (auto _ : state) {
        std::memcpy(dst.data(), bytes.data(), bytes.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

double process_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Parser, capture tool and stores for `groups` groups, each group on its own thread as in
// a capture; samples/s counts one group's samples per sample instant. With `per_core` the
// time of an iteration is the CPU time the whole process spent on it, so samples/s is what
// one core per group sustains, whatever else the machine runs.
void host_path(benchmark::State& state, mix m, bool per_core = false) {
    const auto groups = static_cast<unsigned>(state.range(0));
    const auto bytes = make_stream(m);
    // Samples and records one stream stands for (the host path writes most records into
    // the batches without handing them out).
    uint64_t per_stream = 0;
    uint64_t records_per_stream = 0;
    {
        buffer_parser p(0, buffer_parser::batch_fn_t([&](std::span<kestrel_trs> b, uint8_t) {
                            records_per_stream += b.size();
                            for (auto& r : b)
                                per_stream += r.delta_samples;
                        }));
        p.parse(bytes);
    }
    mox::semaphore notifier{1, 0};
    hw::log_fn log = [](const std::string&) {};
    trs::manager man(18 * groups, notifier);
    kestrel::capture_tool tool(18 * groups, man, 100000, {}, log);
    uint64_t records = 0;
    for (auto _ : state) {
        state.PauseTiming();
        tool.reset(0, 4e-9, static_cast<isamp>(per_stream) + 10);
        std::vector<kestrel_trs> first{{0, 1, true}};
        state.ResumeTiming();
        const double cpu0 = process_cpu_seconds();
        std::vector<std::thread> th;
        for (unsigned g = 0; g < groups; ++g)
            th.emplace_back([&, g] {
                tool.append(std::span<const kestrel_trs>(first), static_cast<uint8_t>(g));
                buffer_parser p(
                    static_cast<uint8_t>(g),
                    buffer_parser::batch_fn_t([&](std::span<kestrel_trs> b, uint8_t gi) {
                        tool.append(std::span<const kestrel_trs>(b), gi);
                    }));
                p.write_batches_to(&tool.direct_batch(static_cast<uint8_t>(g)));
                p.parse(bytes);
            });
        for (auto& t : th)
            t.join();
        tool.flush();
        tool.wait_stored();
        records += records_per_stream * groups;
        if (per_core) state.SetIterationTime((process_cpu_seconds() - cpu0) / groups);
    }
    state.counters["samples/s"] = benchmark::Counter(
        static_cast<double>(per_stream * state.iterations()), benchmark::Counter::kIsRate);
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size() * groups));
}

void BM_host_idle(benchmark::State& s) {
    host_path(s, mix::idle);
}
void BM_host_clock(benchmark::State& s) {
    host_path(s, mix::clock);
}
void BM_host_idle_per_core(benchmark::State& s) {
    host_path(s, mix::idle, true);
}
void BM_host_serial_per_core(benchmark::State& s) {
    host_path(s, mix::serial, true);
}
void BM_host_random_per_core(benchmark::State& s) {
    host_path(s, mix::random, true);
}
void BM_host_random(benchmark::State& s) {
    host_path(s, mix::random);
}
void BM_host_serial(benchmark::State& s) {
    host_path(s, mix::serial);
}

} // namespace

BENCHMARK(BM_memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_parse_idle)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_parse_clock)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_parse_random)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_parse_serial)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_host_idle)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_host_serial)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_host_random)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_host_clock)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_host_idle_per_core)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_host_serial_per_core)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_host_random_per_core)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond)->UseManualTime();

BENCHMARK_MAIN();
