#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hw/exception.h"
#include "mox/serdes.h"

namespace fxt {

using bytes = std::vector<uint8_t>;

namespace detail {

// Trigger descriptions arrive from callers as byte vectors: a short or malformed one is
// refused with an exception, never with an assertion.
[[noreturn]] inline void malformed() {
    throw hw::exception(hw::error::invalid_argument);
}

inline void require(const bytes& src, size_t index, size_t n) {
    if (index > src.size() || src.size() - index < n) malformed();
}

template <typename T> T pull(const bytes& src, size_t& index) {
    T value{};
    require(src, index, serdes::my_sizeof(value));
    serdes::pull_front(std::span<const uint8_t>(src), index, value, 8);
    return value;
}

} // namespace detail
} // namespace fxt
