#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <type_traits>
#include <vector>

#include "mox/check.h"

namespace mox {

// A typed bit field of a register space: `bit_width` bits from bit `bit_offset` of
// register `address` on, over as many consecutive registers as it needs. The byte image
// and its lock belong to the port; reading and writing the registers is the subclass's.
template <typename T> class regmap {
public:
    using bytes = std::vector<uint8_t>;

    regmap(bytes& working_vector, std::recursive_mutex& mutex, uint32_t address, uint8_t bit_offset,
           uint8_t bit_width)
        : working_vector(working_vector), address(address), bit_offset(bit_offset),
          bit_width(bit_width), bytes_width(static_cast<uint8_t>((bit_offset + bit_width + 7) / 8)),
          mask_first(first_mask(bit_offset, bit_width)),
          mask_last(last_mask(bit_offset, bit_width, bytes_width)), mutex(mutex) {
        // clang-format off
        MOX_ASSERT(bit_width <= (sizeof (T)*8));
        // clang-format on
        MOX_ASSERT(bit_offset < 8);
        MOX_ASSERT(bytes_width > 0);
        MOX_ASSERT(bytes_width < 8);
    }
    virtual ~regmap() = default;
    regmap(const regmap&) = delete;
    regmap& operator=(const regmap&) = delete;

    virtual void write_reg(uint32_t address, bytes& data) = 0;
    virtual void read_reg(uint32_t address, size_t count, bytes& out) = 0;

    // Inserts the value into the image and writes the registers it spans.
    void set(T value) {
        std::lock_guard lk(mutex);
        ensure_image();
        uint64_t field = static_cast<uint64_t>(value) & field_mask();
        field <<= bit_offset;
        const uint64_t mask = field_mask() << bit_offset;
        bytes data(bytes_width);
        for (size_t k = 0; k < bytes_width; ++k) {
            const auto m = static_cast<uint8_t>(mask >> (8 * k));
            auto& reg = working_vector[address + k];
            reg = static_cast<uint8_t>((reg & ~m) | (static_cast<uint8_t>(field >> (8 * k)) & m));
            data[k] = reg;
        }
        write_reg(address, data);
    }
    // Reads the registers the field spans into the image and extracts the value.
    T get() {
        std::lock_guard lk(mutex);
        ensure_image();
        bytes data;
        read_reg(address, bytes_width, data);
        uint64_t raw = 0;
        for (size_t k = 0; k < bytes_width && k < data.size(); ++k) {
            working_vector[address + k] = data[k];
            raw |= uint64_t{data[k]} << (8 * k);
        }
        return static_cast<T>((raw >> bit_offset) & field_mask());
    }

    bytes& working_vector;
    const uint32_t address;
    const uint8_t bit_offset;
    const uint8_t bit_width;
    const uint8_t bytes_width;
    const uint8_t mask_first;
    const uint8_t mask_last;
    std::recursive_mutex& mutex;

private:
    uint64_t field_mask() const { return bit_width >= 64 ? ~0ull : (1ull << bit_width) - 1; }
    void ensure_image() {
        if (working_vector.size() < address + bytes_width)
            working_vector.resize(address + bytes_width);
    }
    static uint8_t first_mask(unsigned offset, unsigned width) {
        unsigned m = 0;
        for (unsigned b = offset; b < offset + width && b < 8; ++b)
            m |= 1u << b;
        return static_cast<uint8_t>(m);
    }
    static uint8_t last_mask(unsigned offset, unsigned width, unsigned n_bytes) {
        unsigned m = 0;
        for (unsigned b = offset; b < offset + width; ++b)
            if (n_bytes > 0 && b >= 8 * (n_bytes - 1)) m |= 1u << (b % 8);
        return static_cast<uint8_t>(m);
    }
};

} // namespace mox
