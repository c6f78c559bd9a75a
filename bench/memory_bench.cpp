// Resident memory of the library on the virtual device, per model: a created handle, an
// open device, and the handle after a capture of 10^8 samples (the default signals, at
// 250 MHz, half the depth after the trigger). Run it with sim/run <build> bench_memory.
// Figures are in MB of resident memory added to the process by each step.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include <kestrel_sim/bus.h>

#include "../tests/core/settings.h"
#include "kestrelapi.h"

namespace {

double rss_mb() {
    std::ifstream f("/proc/self/statm");
    long pages = 0, resident = 0;
    f >> pages >> resident;
    return static_cast<double>(resident) * 4096.0 / 1e6;
}

double settled_rss_mb() {
    malloc_trim(0);
    return rss_mb();
}

bool flag(kestrelapi_handle h, ohwapi_err_code_t (*getter)(kestrelapi_handle, bool*)) {
    bool f = false;
    getter(h, &f);
    return f;
}

template <typename F> bool wait_for(F&& cond, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void resident_memory(benchmark::State& state) {
    const auto model = static_cast<kestrelapi_model_t>(state.range(0));
    const int64_t depth = state.range(1);
    const char* serials[] = {"7302101000001", "7302102000042", "7302103000007"};
    auto& bus = kestrel_sim::bus::instance();
    bus.reset();
    bus.unplug_all();
    bus.plug(serials[model - kestrel_one]);
    double handle = 0, open = 0, captured = 0;
    int64_t samples = 0;
    for (auto _ : state) {
        const double base = settled_rss_mb();
        kestrelapi_handle h = nullptr;
        if (kestrelapi_create_new_handle(&h, model) != OHWAPI_OK) {
            state.SkipWithError("no handle");
            return;
        }
        handle = settled_rss_mb() - base;
        if (kestrelapi_device_open_first(h) != OHWAPI_OK) {
            kestrelapi_free(h);
            state.SkipWithError("open failed (run under sim/run with the model plugged)");
            return;
        }
        open = settled_rss_mb() - base;
        const auto s = core_test::default_settings(depth);
        kestrelapi_trigger_description_t none{};
        none.type = KESTRELAPI_TRG_NOTRIG;
        kestrelapi_launch_new_capture_simple_trigger(h, none, none, s);
        wait_for(
            [&] {
                return flag(h, kestrelapi_get_capture_done_flag) ||
                       (kestrelapi_get_last_error(h) != OHWAPI_OK &&
                        flag(h, kestrelapi_get_ready_flag));
            },
            std::chrono::seconds(600));
        int64_t post = 0;
        kestrelapi_get_available_samples(h, &samples, &post);
        captured = settled_rss_mb() - base;
        kestrelapi_device_close(h);
        wait_for(
            [&] {
                return !flag(h, kestrelapi_get_device_open_flag) &&
                       flag(h, kestrelapi_get_ready_flag);
            },
            std::chrono::seconds(30));
        kestrelapi_free(h);
    }
    state.counters["handle_MB"] = handle;
    state.counters["open_MB"] = open;
    state.counters["captured_MB"] = captured;
    state.counters["samples"] = static_cast<double>(samples);
}

} // namespace

// One device of the model under test on the virtual bus at a time.
BENCHMARK(resident_memory)
    ->ArgsProduct({{kestrel_one, kestrel_two, kestrel_three}, {100000000}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
