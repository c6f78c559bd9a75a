#pragma once
#include <cstdint>

#include "fxt/capabilities.h"
#include "mox/check.h"

namespace fxt {

// Writes the low r.width bits of value into field r of word; higher bits are dropped.
template <typename T> void write_reg(T& word, reg r, uint64_t value) {
    constexpr unsigned word_bits = sizeof(T) * 8;
    MOX_ASSERT(r.width > 0 && r.bit_pos + r.width <= word_bits);
    const uint64_t low = r.width >= 64 ? ~0ULL : (1ULL << r.width) - 1;
    word =
        static_cast<T>((word & ~static_cast<T>(low << r.bit_pos)) | ((value & low) << r.bit_pos));
}

template <typename T> uint64_t read_reg(T word, reg r) {
    constexpr unsigned word_bits = sizeof(T) * 8;
    MOX_ASSERT(r.width > 0 && r.bit_pos + r.width <= word_bits);
    const uint64_t low = r.width >= 64 ? ~0ULL : (1ULL << r.width) - 1;
    return (static_cast<uint64_t>(word) >> r.bit_pos) & low;
}

} // namespace fxt
