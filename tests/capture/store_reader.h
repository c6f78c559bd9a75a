// Reads a channel store back as (sample, level) pairs.
#pragma once
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "trs/manager.h"

namespace capture_test {

using edges = std::vector<std::pair<isamp, int>>;

// Every transition of the channel in order; the first pair is its initial level.
inline edges read_channel(trs::manager& man, hw::ich ch) {
    edges out;
    trs::iterator it = man.create_iterator(ch);
    it.restart(0, 10.0, 0);
    for (int guard = 0; guard < 100000000; ++guard) {
        const trs::tr t = it.next();
        if (t.pol == trs::value::none) break;
        out.emplace_back(t.sample, t.pol == trs::value::rising ? 1 : 0);
        if (t.is_last) break;
    }
    return out;
}

// The level of the channel at sample s, from its transitions (the last one at or before s).
inline int level_at(const edges& e, isamp s) {
    int level = -1;
    for (const auto& [at, v] : e) {
        if (at > s) break;
        level = v;
    }
    return level;
}

} // namespace capture_test
