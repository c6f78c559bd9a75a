// A whole capture through the exported interface against the unpaced virtual device, launch
// to done flag: 10^8 samples at 250 MHz of the device's standard signals. Run it through the
// virtual bus, one device at a time: `sim/run build build/bench/bench_e2e
// --benchmark_filter=one` and `--benchmark_filter=three`. The bridges carry any rate
// (KESTREL_SIM_BRIDGE_RATE=0), so that what is measured is the host.
#include <kestrelapi.h>

#include "../tests/core/settings.h"

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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

// Resident memory of the process now and at most since the last reset_peak(), in bytes.
long long status_kb(const char* field) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return 0;
    char line[256];
    long long kb = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, field, std::strlen(field)) == 0)
            kb = std::atoll(line + std::strlen(field));
    std::fclose(f);
    return kb;
}
void reset_peak() {
    if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

// Samples the process's resident memory every 250 ms while it lives, for the curve of a long
// capture: from the launch to the last read.
class rss_curve {
public:
    rss_curve() : thread([this] { run(); }) {}
    ~rss_curve() {
        stop = true;
        thread.join();
    }
    rss_curve(const rss_curve&) = delete;
    rss_curve& operator=(const rss_curve&) = delete;
    // Seconds since the start and MB resident, one line a `step` seconds and the largest.
    void print(const char* name, double step) {
        std::lock_guard l(m);
        double next = 0, top = 0, top_at = 0;
        std::printf("%s: resident memory (s, MB)\n", name);
        for (const auto& [t, mb] : points) {
            if (mb > top) top = mb, top_at = t;
            if (t >= next) {
                std::printf("  %7.1f %7.1f\n", t, mb);
                next += step;
            }
        }
        if (!points.empty())
            std::printf("  %7.1f %7.1f (last)\n", points.back().first, points.back().second);
        std::printf("  largest %.1f MB at %.1f s\n", top, top_at);
    }

private:
    void run() {
        const auto t0 = std::chrono::steady_clock::now();
        while (!stop) {
            const double t =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            const double mb = static_cast<double>(status_kb("VmRSS:")) / 1024;
            {
                std::lock_guard l(m);
                points.emplace_back(t, mb);
            }
            std::this_thread::sleep_for(250ms);
        }
    }
    std::mutex m;
    std::vector<std::pair<double, double>> points;
    std::atomic<bool> stop{false};
    std::thread thread;
};

// Every channel read through in bulk, as a program reads a capture: the items read.
uint64_t read_everything(kestrelapi_handle h, unsigned channels) {
    std::vector<uint64_t> s(65536);
    std::vector<uint8_t> l(65536);
    uint64_t items = 0;
    for (unsigned ch = 0; ch < channels; ++ch) {
        uint64_t from = 0;
        for (;;) {
            uint32_t n = 0;
            if (kestrelapi_trs_read(h, static_cast<uint8_t>(ch), from, s.data(), l.data(),
                                    static_cast<uint32_t>(s.size()), &n) != OHWAPI_OK ||
                n == 0)
                break;
            items += n;
            from = s[n - 1] + 1;
        }
    }
    return items;
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
    // Second argument: the store budget in MB, 0 for none; third: 1 to read every channel
    // after the capture, as part of the measured resident memory.
    const int64_t budget_mb = state.range(1);
    const bool read_after = state.range(2) != 0;
    kestrelapi_set_store_budget(h, static_cast<uint64_t>(budget_mb) << 20, nullptr);
    int64_t samples = 0;
    double cpu = 0;
    long long base_kb = 0, peak_kb = 0;
    uint64_t items = 0;
    // Fourth argument: 1 to print the resident memory's curve from the launch to the last read.
    const bool curve = state.range(3) != 0;
    for (auto _ : state) {
        state.PauseTiming();
        base_kb = status_kb("VmRSS:");
        reset_peak();
        std::optional<rss_curve> rss;
        if (curve) rss.emplace();
        state.ResumeTiming();
        const double cpu0 = process_cpu_seconds();
        const bool launched =
            kestrelapi_launch_new_capture_simple_trigger(
                h, none, none, core_test::default_settings(state.range(0))) == OHWAPI_OK;
        // Long captures run at a few million samples a second at least.
        wait_for(
            [&] {
                return flag(h, kestrelapi_get_capture_done_flag) ||
                       (kestrelapi_get_last_error(h) != OHWAPI_OK &&
                        flag(h, kestrelapi_get_ready_flag));
            },
            std::max<std::chrono::seconds>(600s, std::chrono::seconds(state.range(0) / 5000000)));
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
        if (read_after)
            items = read_everything(h, model == kestrel_one ? 18 : model == kestrel_two ? 36 : 54);
        peak_kb = std::max(peak_kb, status_kb("VmHWM:") - base_kb);
        if (rss) {
            std::printf("resident before the launch: %.1f MB\n",
                        static_cast<double>(base_kb) / 1024);
            rss->print("capture", 10);
            rss.reset();
        }
        wait_for([&] { return flag(h, kestrelapi_get_ready_flag); }, 60s);
        state.ResumeTiming();
    }
    state.counters["samples/s"] =
        benchmark::Counter(static_cast<double>(samples), benchmark::Counter::kIsRate);
    state.counters["samples_per_cpu_s"] = static_cast<double>(samples) / cpu;
    state.counters["x_bridge"] =
        benchmark::Counter(static_cast<double>(samples) / 157e6, benchmark::Counter::kIsRate);
    // Peak resident memory added by a capture (and its read), launch to last read.
    state.counters["peak_MB"] = static_cast<double>(peak_kb) / 1024;
    state.counters["budget_MB"] = static_cast<double>(budget_mb);
    if (read_after) state.counters["items_read"] = static_cast<double>(items);
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
    ->Args({10'000'000, 0, 0, 0})
    ->Args({100'000'000, 0, 0, 0})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_capture_three_groups)
    ->Args({10'000'000, 0, 0, 0})
    ->Args({100'000'000, 0, 0, 0})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Spilling against none, side by side: sustained one-group rate and resident memory of a
// capture several times the budget (`--benchmark_filter=budget`).
void BM_budget_one_group(benchmark::State& s) {
    capture(s, kestrel_one, "7302101000001");
}
void BM_budget_three_groups(benchmark::State& s) {
    capture(s, kestrel_three, "7302103000007");
}
BENCHMARK(BM_budget_one_group)
    ->Args({1'000'000'000, 0, 0, 0})
    ->Args({1'000'000'000, 256, 0, 0})
    ->Args({1'000'000'000, 256, 1, 0})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_budget_three_groups)
    ->Args({300'000'000, 256, 1, 0})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The long capture of a budget: 10^10 samples, 256 MB, every channel read, the resident
// memory's curve (`--benchmark_filter=long_one`, `long_two`, `long_three`).
void BM_long_one_group(benchmark::State& s) {
    capture(s, kestrel_one, "7302101000001");
}
void BM_long_two_groups(benchmark::State& s) {
    capture(s, kestrel_two, "7302102000042");
}
void BM_long_three_groups(benchmark::State& s) {
    capture(s, kestrel_three, "7302103000007");
}
BENCHMARK(BM_long_one_group)
    ->Args({10'000'000'000, 256, 1, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_long_two_groups)
    ->Args({10'000'000'000, 256, 1, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_long_three_groups)
    ->Args({10'000'000'000, 256, 1, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    // Before the virtual bus starts: bridges without a rate limit, and only the device
    // measured plugged (a bus with several devices hands the first one's bridge to group 0).
    bool three = false, two = false;
    for (int i = 1; i < argc; ++i) {
        three = three || std::strstr(argv[i], "three") != nullptr;
        two = two || std::strstr(argv[i], "two") != nullptr;
    }
    setenv("KESTREL_SIM_DEVICES",
           three ? "7302103000007" : (two ? "7302102000042" : "7302101000001"), 0);
    setenv("KESTREL_SIM_BRIDGE_RATE", "0", 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
