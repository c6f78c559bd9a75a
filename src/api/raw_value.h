#pragma once
#include <cstring>

namespace api_utils {

// A C caller may pass any int where an enumeration is declared: read the raw value, never
// load it as the enumeration.
template <typename E> int raw_value(const E& e) {
    int raw = 0;
    static_assert(sizeof raw == sizeof e);
    std::memcpy(&raw, &e, sizeof raw);
    return raw;
}

} // namespace api_utils
