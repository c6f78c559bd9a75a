#pragma once

#include "mox/check.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <type_traits>
#include <vector>

namespace mox_utils {

enum crc_type : uint8_t { CRC_8_WCDMA = 0, CRC_16_CCITT = 1, CRC_32 = 2, NO_CRC = 3 };

struct crc_conf {
    bool crc_enable;
    uint8_t Bits;
    uint64_t Poly;
    uint64_t Init;
    bool RefIn;
    bool RefOut;
    uint64_t XorOut;
};

constexpr crc_conf getCrcParams(crc_type type) {
    switch (type) {
    case CRC_8_WCDMA:
        return {true, 8, 0x9B, 0, true, true, 0};
    case CRC_16_CCITT:
        return {true, 16, 0x1021, 0xFFFF, false, false, 0};
    case CRC_32:
        return {true, 32, 0x04C11DB7, 0xFFFFFFFF, true, true, 0xFFFFFFFF};
    case NO_CRC:
        return {false, 1, 0, 0, false, false, 0};
    }
    MOX_ASSERT(type <= NO_CRC);
    return {};
}

template <uint8_t Bits>
using crc_uint_t =
    std::conditional_t<(Bits <= 8), uint8_t,
                       std::conditional_t<(Bits <= 16), uint16_t,
                                          std::conditional_t<(Bits <= 32), uint32_t, uint64_t>>>;

template <uint8_t Bits>
constexpr uint64_t crc_mask = Bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << Bits) - 1;

template <uint8_t Bits> constexpr uint64_t reflect(uint64_t v) {
    uint64_t r = 0;
    for (uint8_t i = 0; i < Bits; ++i)
        if (v & (uint64_t{1} << i)) r |= uint64_t{1} << (Bits - 1 - i);
    return r;
}

template <uint8_t Bits, uint64_t Init, bool RefIn> struct CRCBase_t {
    using value_type = crc_uint_t<Bits>;
    // Register start value; the reflected algorithm runs on a reflected register.
    static constexpr value_type crc_init =
        static_cast<value_type>(RefIn ? reflect<Bits>(Init) : Init);
};

// Byte-wise table-driven update, MSB first, or LSB first for reflected input.
template <uint8_t Bits, uint64_t Poly, bool RefIn> class CRCImplTable8 {
public:
    using value_type = crc_uint_t<Bits>;
    static_assert(Bits == 8 || Bits == 16 || Bits == 32 || Bits == 64, "byte-multiple widths only");

    constexpr CRCImplTable8() : crc_table{} {
        for (uint64_t i = 0; i < 256; ++i) {
            uint64_t r;
            if constexpr (RefIn) {
                r = i;
                for (int k = 0; k < 8; ++k)
                    r = (r & 1) ? (r >> 1) ^ reflect<Bits>(Poly) : r >> 1;
            } else {
                constexpr uint64_t top = uint64_t{1} << (Bits - 1);
                r = i << (Bits - 8);
                for (int k = 0; k < 8; ++k)
                    r = ((r & top) ? (r << 1) ^ Poly : r << 1) & crc_mask<Bits>;
            }
            crc_table[i] = static_cast<value_type>(r & crc_mask<Bits>);
        }
    }

    constexpr value_type update(value_type crc, std::span<const uint8_t> data) const {
        for (const uint8_t b : data) {
            if constexpr (RefIn) {
                crc = static_cast<value_type>(crc_table[(crc ^ b) & 0xFF] ^ (uint64_t{crc} >> 8));
            } else {
                crc = static_cast<value_type>(
                    (crc_table[((uint64_t{crc} >> (Bits - 8)) ^ b) & 0xFF] ^ (uint64_t{crc} << 8)) &
                    crc_mask<Bits>);
            }
        }
        return crc;
    }

    std::array<value_type, 256> crc_table;
};

template <uint8_t Bits, uint64_t Poly, uint64_t Init, bool RefIn, bool RefOut, uint64_t XorOut,
          template <uint8_t, uint64_t, bool> class Impl = CRCImplTable8>
class CRC_t : public CRCBase_t<Bits, Init, RefIn>, private Impl<Bits, Poly, RefIn> {
public:
    using value_type = crc_uint_t<Bits>;
    static constexpr uint8_t bits = Bits;

    constexpr value_type begin() const { return this->crc_init; }
    constexpr value_type update(value_type crc, std::span<const uint8_t> data) const {
        return Impl<Bits, Poly, RefIn>::update(crc, data);
    }
    constexpr value_type finish(value_type crc) const {
        uint64_t r = crc;
        if constexpr (RefIn != RefOut) r = reflect<Bits>(r);
        return static_cast<value_type>((r ^ XorOut) & crc_mask<Bits>);
    }
    constexpr value_type compute(std::span<const uint8_t> data) const {
        return finish(update(begin(), data));
    }
};

template <crc_type C>
requires(getCrcParams(C).crc_enable) using crc_engine_t =
    CRC_t<getCrcParams(C).Bits, getCrcParams(C).Poly, getCrcParams(C).Init, getCrcParams(C).RefIn,
          getCrcParams(C).RefOut, getCrcParams(C).XorOut>;

template <crc_type C> const crc_engine_t<C>& crc_engine() {
    static constexpr crc_engine_t<C> engine{};
    return engine;
}

// CRC value over the concatenation of the parts; 0 for NO_CRC.
template <crc_type C> uint64_t crc_value(std::initializer_list<std::span<const uint8_t>> parts) {
    if constexpr (!getCrcParams(C).crc_enable) {
        return 0;
    } else {
        const auto& e = crc_engine<C>();
        auto crc = e.begin();
        for (const auto& p : parts)
            crc = e.update(crc, p);
        return e.finish(crc);
    }
}

template <crc_type C> uint64_t crc_value(std::span<const uint8_t> data) {
    return crc_value<C>({data});
}

// Bits / 8 bytes of a CRC value, most significant first; empty for NO_CRC.
template <crc_type C> std::vector<uint8_t> crc_to_bytes(uint64_t crc) {
    constexpr std::size_t n = getCrcParams(C).Bits / 8;
    std::vector<uint8_t> out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(crc >> (8 * (n - 1 - i)));
    return out;
}

template <crc_type C> std::vector<uint8_t> crc_template(std::span<const uint8_t> data) {
    return crc_to_bytes<C>(crc_value<C>(data));
}

// One CRC over the parts in list order: the start value is taken once and XorOut applied
// once at the end.
template <crc_type C>
std::vector<uint8_t> crc_template(std::initializer_list<std::span<const uint8_t>> parts) {
    return crc_to_bytes<C>(crc_value<C>(parts));
}

} // namespace mox_utils
