// The cost of the checks every exported call makes at the C boundary (the handle looked up
// among the live ones and leased for the call), beside the same call without them.
#include <benchmark/benchmark.h>

#include "api/api_handles.h"
#include "api/call.h"
#include "api/live_handles.h"
#include "api/trycatch.h"
#include "kestrelapi.h"

namespace {

// A few handles alive, the one used created last: the lookup walks past the others.
struct handles {
    kestrelapi_handle h[4] = {};
    handles() {
        for (auto& x : h)
            kestrelapi_create_new_handle(&x, kestrel_one);
    }
    ~handles() {
        for (auto& x : h)
            kestrelapi_free(x);
    }
    kestrelapi_handle last() const { return h[3]; }
};

handles& live() {
    static handles l;
    return l;
}

void BM_handle_check(benchmark::State& state) {
    const kestrelapi_handle h = live().last();
    for (auto _ : state) {
        auto lease = api_utils::live_handles::instance().acquire(h);
        benchmark::DoNotOptimize(lease);
    }
}
BENCHMARK(BM_handle_check)->ThreadRange(1, 2);

void BM_call_checked(benchmark::State& state) {
    const kestrelapi_handle h = live().last();
    uint64_t pos = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kestrelapi_get_trigger_position(h, &pos));
    }
}
BENCHMARK(BM_call_checked);

// The body of kestrelapi_get_trigger_position as it was before the checks.
void BM_call_unchecked(benchmark::State& state) {
    const kestrelapi_handle h = live().last();
    uint64_t pos = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(api_utils::trycatch([&] {
            pos = static_cast<uint64_t>(static_cast<api_utils::api_handles*>(h)->trig_pos.load());
        }));
    }
}
BENCHMARK(BM_call_unchecked);

} // namespace

BENCHMARK_MAIN();
