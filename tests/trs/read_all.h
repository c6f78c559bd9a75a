#pragma once

#include "trs/store.h"

#include <cstdint>
#include <vector>

namespace trs_test {

// Every item of a bulk read from `from`, in reads of `capacity` that go on at the last + 1,
// as items of the caller's type (a sample and a level).
template <typename Item>
std::vector<Item> read_all(const trs::store& s, isamp from, size_t capacity) {
    std::vector<Item> v;
    std::vector<uint64_t> samples(capacity);
    std::vector<uint8_t> levels(capacity);
    for (;;) {
        const size_t n = s.read(from, samples.data(), levels.data(), capacity);
        if (n == 0) return v;
        for (size_t i = 0; i < n; ++i)
            v.push_back({static_cast<decltype(Item::sample)>(samples[i]), levels[i]});
        from = static_cast<isamp>(samples[n - 1]) + 1;
    }
}

} // namespace trs_test
