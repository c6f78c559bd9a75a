// Builds sample-stream packets bit by bit, the way the device lays them out.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

namespace capture_test {

using packet = std::array<uint8_t, 16>;

inline void put_bits(packet& p, unsigned at, unsigned n, uint64_t v) {
    for (unsigned k = 0; k < n; ++k)
        if ((v >> k) & 1) p[(at + k) / 8] |= static_cast<uint8_t>(1u << ((at + k) % 8));
}

inline packet samples(const std::array<uint32_t, 7>& s) {
    packet p{};
    for (unsigned i = 0; i < 7; ++i)
        put_bits(p, 18 * i, 18, s[i]);
    return p; // type 0 in bits 126..127
}

inline packet samples_all(uint32_t v) {
    return samples({v, v, v, v, v, v, v});
}

inline packet typed(unsigned type, uint32_t low_bytes) {
    packet p{};
    p[0] = static_cast<uint8_t>(low_bytes);
    p[1] = static_cast<uint8_t>(low_bytes >> 8);
    p[2] = static_cast<uint8_t>(low_bytes >> 16);
    p[15] = static_cast<uint8_t>(type << 6);
    return p;
}
inline packet delta_s(uint32_t n) {
    return typed(1, n);
}
inline packet trig(uint8_t bitmap) {
    return typed(2, bitmap);
}
inline packet rfu(uint8_t bitmap) {
    return typed(3, bitmap);
}

inline std::vector<uint8_t> stream(const std::vector<packet>& packets) {
    std::vector<uint8_t> out;
    for (const auto& p : packets)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

} // namespace capture_test
