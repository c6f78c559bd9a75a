#pragma once
// The one-channel signals the store benchmarks append and read.
#include "trs/types.h"

#include <cstddef>
#include <random>
#include <vector>

namespace bench_signals {

enum signal_kind { dense_clock, sparse, random_toggles };

inline const char* name_of(signal_kind k) {
    return k == dense_clock ? "dense_clock" : k == sparse ? "sparse" : "random";
}

// n transitions of one channel: a clock toggling every sample, a signal toggling every 10007
// samples, or toggles 1..100 samples apart from a fixed seed (the virtual device's random
// channels).
inline std::vector<trs::edge_t> make_signal(signal_kind kind, size_t n) {
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

} // namespace bench_signals
