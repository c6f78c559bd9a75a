#pragma once

#include "hw/types.h"

#include <cstdint>

namespace trs {

enum class value : uint8_t {
    falling = 0,
    rising = 1,
    bloc = 2, // a folded run of transitions, produced by the iterator only
    none = 3, // nothing loaded yet, or an empty channel
};

// One transition as handed to readers.
struct tr {
    value pol = value::none;
    isamp sample = 0;
    bool is_first = false;
    bool is_last = false;
};

// One transition as handed to a batched append: the sample and the level reached (0 or 1).
struct edge_t {
    isamp sample = 0;
    uint8_t level = 0;
};

// One byte of a stored transition. Bit fields are laid out least significant bit first.
union slice {
    struct bits_t {
        uint8_t extended : 1;      // more slices of this transition follow
        uint8_t val : 1;           // level after the transition
        uint8_t delta_samples : 6; // six bits of the offset from the chunk's abs_time
    };
    uint8_t data;
    bits_t bits;

    static constexpr slice make(bool extended, bool val, uint8_t delta) {
        slice s{};
        s.data = static_cast<uint8_t>((extended ? 1u : 0u) | (val ? 2u : 0u) |
                                      static_cast<unsigned>((delta & 63u) << 2));
        return s;
    }
};
static_assert(sizeof(slice) == 1);

} // namespace trs
