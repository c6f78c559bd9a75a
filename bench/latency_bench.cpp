// The fixed cost of a capture, through the exported interface against the unpaced virtual
// device: launch to done flag of a 10^6-sample capture at 250 MHz without a trigger to wait
// for (p50 and p99 over the iterations, and the timeline of one capture), and the rate of a
// loop that launches, waits, reads every channel in bulk and launches again. cpu_ms is the
// CPU time of the whole process per capture, the virtual device's production included
// (caller_ms: the part of it on the caller's thread, its launch and its poll of the flags). Run it
// through the virtual bus: `sim/run build build/bench/bench_latency`.
#include <kestrelapi.h>

#include "../tests/core/settings.h"

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

bool flag(kestrelapi_handle h, ohwapi_err_code_t (*getter)(kestrelapi_handle, bool*)) {
    bool f = false;
    return getter(h, &f) == OHWAPI_OK && f;
}

// Polls in steps of 50 µs: short against what is measured.
template <typename F> bool wait_for(F done, std::chrono::seconds limit) {
    const auto end = steady::now() + limit;
    while (!done()) {
        if (steady::now() > end) return false;
        std::this_thread::sleep_for(50us);
    }
    return true;
}

double cpu_ms(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return 1e3 * static_cast<double>(ts.tv_sec) + 1e-6 * static_cast<double>(ts.tv_nsec);
}
// CPU time of the whole process (the virtual device included), in ms ...
double process_cpu_ms() {
    return cpu_ms(CLOCK_PROCESS_CPUTIME_ID);
}
// ... and of the calling thread: the launch and the caller's poll of the flags.
double thread_cpu_ms() {
    return cpu_ms(CLOCK_THREAD_CPUTIME_ID);
}

double ms_since(steady::time_point t0) {
    return std::chrono::duration<double, std::milli>(steady::now() - t0).count();
}

// The library's log lines with their time since the launch, for the timeline.
struct timeline {
    std::mutex m;
    steady::time_point t0;
    std::vector<std::pair<double, std::string>> lines;
    bool on = false;

    static void take(void* user, int, const char* line) {
        auto* t = static_cast<timeline*>(user);
        std::lock_guard lk(t->m);
        if (t->on) t->lines.emplace_back(ms_since(t->t0), line);
    }
};

struct device {
    kestrelapi_handle h = nullptr;
    timeline tl;

    bool open(benchmark::State& state) {
        if (kestrelapi_create_new_handle(&h, kestrel_one) != OHWAPI_OK) {
            state.SkipWithError("no handle");
            return false;
        }
        kestrelapi_set_log_callback(h, &timeline::take, &tl);
        std::string sn = "7302101000001", desc = "KESTREL";
        device_descriptor_t d{sn.data(), desc.data()};
        if (kestrelapi_device_open(h, d) != OHWAPI_OK) {
            state.SkipWithError("cannot open the device: run through sim/run");
            return false;
        }
        return true;
    }
    ~device() {
        if (!h) return;
        kestrelapi_device_close(h);
        wait_for([&] { return !flag(h, kestrelapi_get_device_open_flag); }, 60s);
        kestrelapi_free(h);
    }

    // Launch to done flag; false when the capture failed.
    bool capture(int64_t depth) {
        kestrelapi_trigger_description_t none{KESTRELAPI_TRG_NOTRIG, 0};
        if (kestrelapi_launch_new_capture_simple_trigger(
                h, none, none, core_test::default_settings(depth)) != OHWAPI_OK)
            return false;
        wait_for(
            [&] {
                return flag(h, kestrelapi_get_capture_done_flag) ||
                       (kestrelapi_get_last_error(h) != OHWAPI_OK &&
                        flag(h, kestrelapi_get_ready_flag));
            },
            60s);
        return kestrelapi_get_last_error(h) == OHWAPI_OK;
    }
    void wait_ready() {
        wait_for([&] { return flag(h, kestrelapi_get_ready_flag); }, 60s);
    }
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// One capture's phases from the flags (polled) and the library's log lines, printed once.
void print_timeline(device& d, int64_t depth) {
    {
        std::lock_guard lk(d.tl.m);
        d.tl.lines.clear();
        d.tl.t0 = steady::now();
        d.tl.on = true;
    }
    const auto t0 = d.tl.t0;
    kestrelapi_trigger_description_t none{KESTRELAPI_TRG_NOTRIG, 0};
    kestrelapi_launch_new_capture_simple_trigger(d.h, none, none,
                                                 core_test::default_settings(depth));
    double cfg = -1, trig = -1, done = -1;
    // Polled as the capture loop does: a thread that never sleeps is put behind the others
    // on a loaded machine and would see the flags late.
    wait_for(
        [&] {
            if (cfg < 0 && flag(d.h, kestrelapi_get_config_done_flag)) cfg = ms_since(t0);
            if (trig < 0 && flag(d.h, kestrelapi_get_triggered_flag)) trig = ms_since(t0);
            if (flag(d.h, kestrelapi_get_capture_done_flag)) done = ms_since(t0);
            return done >= 0;
        },
        60s);
    d.wait_ready();
    const double ready = ms_since(t0);
    std::lock_guard lk(d.tl.m);
    d.tl.on = false;
    std::fprintf(stderr, "timeline of one capture (ms since the launch):\n");
    for (const auto& [at, line] : d.tl.lines)
        std::fprintf(stderr, "  %8.3f  %s\n", at, line.c_str());
    std::fprintf(stderr, "  flags: configured %.3f, triggered %.3f, done %.3f, ready %.3f\n", cfg,
                 trig, done, ready);
}

void BM_launch_to_done(benchmark::State& state) {
    device d;
    if (!d.open(state)) return;
    const int64_t depth = state.range(0);
    // The first capture also maps the stores' memory: the timeline is of the second.
    d.capture(depth);
    d.wait_ready();
    print_timeline(d, depth);
    std::vector<double> ms;
    double cpu = 0, caller = 0;
    for (auto _ : state) {
        const auto t0 = steady::now();
        const double cpu0 = process_cpu_ms(), caller0 = thread_cpu_ms();
        if (!d.capture(depth)) {
            state.SkipWithError("capture failed");
            break;
        }
        ms.push_back(ms_since(t0));
        cpu += process_cpu_ms() - cpu0;
        caller += thread_cpu_ms() - caller0;
        state.PauseTiming();
        d.wait_ready();
        state.ResumeTiming();
    }
    state.counters["p50_ms"] = percentile(ms, 0.5);
    state.counters["p99_ms"] = percentile(ms, 0.99);
    // What a capture costs the machine, whatever else runs on it.
    state.counters["cpu_ms"] = ms.empty() ? 0 : cpu / static_cast<double>(ms.size());
    // Of which the caller's thread: the launch call and the poll of the flags every 50 us.
    state.counters["caller_ms"] = ms.empty() ? 0 : caller / static_cast<double>(ms.size());
}

// Launch, wait, read every channel in bulk, launch again: captures per second.
void BM_capture_loop(benchmark::State& state) {
    device d;
    if (!d.open(state)) return;
    const int64_t depth = state.range(0);
    std::vector<uint64_t> samples(65536);
    std::vector<uint8_t> levels(65536);
    uint64_t items = 0;
    for (auto _ : state) {
        if (!d.capture(depth)) {
            state.SkipWithError("capture failed");
            break;
        }
        for (uint8_t ch = 0; ch < 18; ++ch) {
            uint64_t from = 0;
            for (;;) {
                uint32_t n = 0;
                if (kestrelapi_trs_read(d.h, ch, from, samples.data(), levels.data(),
                                        static_cast<uint32_t>(samples.size()), &n) != OHWAPI_OK ||
                    n == 0)
                    break;
                items += n;
                from = samples[n - 1] + 1;
            }
        }
        d.wait_ready();
    }
    state.counters["captures/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["items/capture"] =
        static_cast<double>(items) / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
}

BENCHMARK(BM_launch_to_done)
    ->Arg(1'000'000)
    ->Iterations(100)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_capture_loop)
    ->Arg(1'000'000)
    ->Iterations(60)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    // Before the virtual bus starts: one one-group device, unpaced.
    setenv("KESTREL_SIM_DEVICES", "7302101000001", 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
