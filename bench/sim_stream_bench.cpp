// The virtual device's sample stream for one group, produced into a buffer as its bridge
// read does, against a plain memcpy of the same bytes in the same run.
#include <benchmark/benchmark.h>

#include "packet_encoder.h"
#include "waves.h"

#include <cstring>
#include <vector>

namespace {

using namespace kestrel_sim;

constexpr size_t chunk = 4 << 20;

enum class inputs { standard, clocks, quiet, serial };

// One group's set-up as a capture starts it: the trigger 1000 samples into the window,
// a window far longer than the benchmark reads.
std::shared_ptr<setup_t> make_setup(inputs in, uint32_t freq, unsigned groups, unsigned group) {
    auto s = std::make_shared<setup_t>();
    s->tb = timebase(freq);
    s->groups = groups;
    s->master = 0;
    for (unsigned ch = 0; ch < 18 * groups; ++ch) {
        const unsigned j = ch % 18;
        signal_t sig = default_signal(ch);
        if (in == inputs::clocks) sig = signal_t::counter(j, 4e-9);
        if (in == inputs::quiet) sig = signal_t::square(1e-3 * (j + 1), 0.5);
        if (in == inputs::serial && j < 3)
            sig = signal_t::spi(static_cast<signal_t::spi_role_t>(j), {0x81, 0x3C, 0xA5}, 10e6);
        if (in == inputs::serial && j >= 3)
            sig = signal_t::uart({'K', 'E', 'S', 'T', 'R', 'E', 'L'}, 1e6 + 1e5 * j);
        s->waves.emplace_back(sig);
    }
    s->sync.assign(groups, wave(signal_t::constant(false)));
    s->pre = 1000;
    s->post = int64_t{1} << 50;
    s->total = s->pre + 1 + s->post;
    s->overrun_after.assign(groups, -1);
    (void)group;
    return s;
}

void stream(benchmark::State& state, inputs in, uint32_t freq, unsigned groups) {
    const unsigned group = groups - 1;
    auto s = make_setup(in, freq, groups, group);
    packet_encoder enc(*s, group, 123457, s->pre);
    std::vector<uint8_t> out(chunk);
    enc.produce(out.data(), out.size(), s->total); // the tile is built on first use
    for (auto _ : state) {
        benchmark::DoNotOptimize(enc.produce(out.data(), out.size(), s->total));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunk));
    state.counters["Msamples/s"] =
        benchmark::Counter(static_cast<double>(enc.pos()) / 1e6, benchmark::Counter::kIsRate);
}

// What a capture pays once per group when its stream starts: the tile of a long window.
void tile(benchmark::State& state, uint32_t freq) {
    auto s = make_setup(inputs::standard, freq, 1, 0);
    for (auto _ : state)
        benchmark::DoNotOptimize(make_packet_tile(*s, 0, 123457));
}

void copy(benchmark::State& state) {
    std::vector<uint8_t> in(chunk, 0x5A), out(chunk);
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), chunk);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunk));
}

BENCHMARK(copy)->Name("memcpy_4MB");
BENCHMARK_CAPTURE(stream, standard_250MHz_one_group, inputs::standard, 250000000, 1);
BENCHMARK_CAPTURE(stream, standard_250MHz_third_group, inputs::standard, 250000000, 3);
BENCHMARK_CAPTURE(stream, standard_100MHz, inputs::standard, 100000000, 1);
BENCHMARK_CAPTURE(stream, standard_3921568Hz_untiled, inputs::standard, 3921568, 1);
BENCHMARK_CAPTURE(stream, counters_every_sample_250MHz, inputs::clocks, 250000000, 1);
BENCHMARK_CAPTURE(stream, quiet_square_waves_250MHz, inputs::quiet, 250000000, 1);
BENCHMARK_CAPTURE(stream, spi_and_uart_250MHz, inputs::serial, 250000000, 1);
BENCHMARK_CAPTURE(tile, build_250MHz, 250000000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(tile, build_100MHz, 100000000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
