// A whole capture through the exported interface against the unpaced virtual device, launch
// to done flag: 10^8 samples at 250 MHz of the device's standard signals. Run it through the
// virtual bus, one device at a time: `sim/run build build/bench/bench_e2e
// --benchmark_filter=one` and `--benchmark_filter=three`. The bridges carry any rate
// (KESTREL_SIM_BRIDGE_RATE=0), so that what is measured is the host.
#include <kestrelapi.h>

#include "../tests/core/settings.h"

#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

bool flag(kestrelapi_handle h, ohwapi_err_code_t (*getter)(kestrelapi_handle, bool*)) {
    bool f = false;
    return getter(h, &f) == OHWAPI_OK && f;
}

template <typename F> bool wait_for(F done, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

double process_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// samples/s: samples of one group per second, launch to done flag. samples_per_cpu_s: the
// same per second of CPU time of the whole process (the virtual device's production
// included), what the machine's load does not change.
void capture(benchmark::State& state, kestrelapi_model_t model, std::string sn) {
    kestrelapi_handle h = nullptr;
    if (kestrelapi_create_new_handle(&h, model) != OHWAPI_OK) {
        state.SkipWithError("no handle");
        return;
    }
    std::string desc = "KESTREL";
    device_descriptor_t d{sn.data(), desc.data()};
    if (kestrelapi_device_open(h, d) != OHWAPI_OK) {
        state.SkipWithError(("cannot open " + sn + ": run through sim/run").c_str());
        kestrelapi_free(h);
        return;
    }
    kestrelapi_trigger_description_t none{KESTRELAPI_TRG_NOTRIG, 0};
    int64_t samples = 0;
    double cpu = 0;
    for (auto _ : state) {
        const double cpu0 = process_cpu_seconds();
        const bool launched =
            kestrelapi_launch_new_capture_simple_trigger(
                h, none, none, core_test::default_settings(state.range(0))) == OHWAPI_OK;
        wait_for(
            [&] {
                return flag(h, kestrelapi_get_capture_done_flag) ||
                       (kestrelapi_get_last_error(h) != OHWAPI_OK &&
                        flag(h, kestrelapi_get_ready_flag));
            },
            600s);
        const ohwapi_err_code_t err = kestrelapi_get_last_error(h);
        if (!launched || err != OHWAPI_OK) {
            state.SkipWithError(("capture failed: " + std::to_string(err)).c_str());
            break;
        }
        int64_t total = 0, post = 0;
        kestrelapi_get_available_samples(h, &total, &post);
        samples += total;
        cpu += process_cpu_seconds() - cpu0;
        state.PauseTiming();
        wait_for([&] { return flag(h, kestrelapi_get_ready_flag); }, 60s);
        state.ResumeTiming();
    }
    state.counters["samples/s"] =
        benchmark::Counter(static_cast<double>(samples), benchmark::Counter::kIsRate);
    state.counters["samples_per_cpu_s"] = static_cast<double>(samples) / cpu;
    state.counters["x_bridge"] =
        benchmark::Counter(static_cast<double>(samples) / 157e6, benchmark::Counter::kIsRate);
    kestrelapi_device_close(h);
    wait_for([&] { return !flag(h, kestrelapi_get_device_open_flag); }, 60s);
    kestrelapi_free(h);
}

void BM_capture_one_group(benchmark::State& s) {
    capture(s, kestrel_one, "7302101000001");
}
void BM_capture_three_groups(benchmark::State& s) {
    capture(s, kestrel_three, "7302103000007");
}

// Two depths each: the difference of their times is the sustained rate, without the
// fixed cost of a capture.
BENCHMARK(BM_capture_one_group)
    ->Arg(10'000'000)
    ->Arg(100'000'000)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_capture_three_groups)
    ->Arg(10'000'000)
    ->Arg(100'000'000)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    // Before the virtual bus starts: bridges without a rate limit, and only the device
    // measured plugged (a bus with several devices hands the first one's bridge to group 0).
    bool three = false;
    for (int i = 1; i < argc; ++i)
        three = three || std::strstr(argv[i], "three") != nullptr;
    setenv("KESTREL_SIM_DEVICES", three ? "7302103000007" : "7302101000001", 0);
    setenv("KESTREL_SIM_BRIDGE_RATE", "0", 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
