#pragma once

#include "mox/check.h"

#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace mox_utils {

constexpr bool is_big_endian() {
    return std::endian::native == std::endian::big;
}

// Shifts make these independent of the host byte order.
template <std::unsigned_integral T>
constexpr std::array<uint8_t, sizeof(T)> from_uint_to_big_endian_array(T v) {
    std::array<uint8_t, sizeof(T)> out{};
    for (std::size_t i = 0; i < sizeof(T); ++i)
        out[i] = static_cast<uint8_t>(v >> (8 * (sizeof(T) - 1 - i)));
    return out;
}

template <std::unsigned_integral T>
T from_big_endian_array_to_uint(std::span<const uint8_t> bytes) {
    MOX_ASSERT(bytes.size() <= sizeof(T));
    T v = 0;
    for (const uint8_t b : bytes)
        v = static_cast<T>((static_cast<uint64_t>(v) << 8) | b);
    return v;
}

// Reverses the first n bytes of the value's representation.
template <typename T>
requires std::is_trivially_copyable_v<T> T reverse_bytes(T v, std::size_t n = sizeof(T)) {
    MOX_ASSERT(n <= sizeof(T));
    std::array<uint8_t, sizeof(T)> b;
    std::memcpy(b.data(), &v, sizeof(T));
    for (std::size_t i = 0; i < n / 2; ++i)
        std::swap(b[i], b[n - 1 - i]);
    std::memcpy(&v, b.data(), sizeof(T));
    return v;
}

} // namespace mox_utils
