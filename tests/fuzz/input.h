// Reads typed values off the front of a fuzz input; past its end every value is 0.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace kestrel_fuzz {

class input {
public:
    input(const uint8_t* d, size_t n) : data(d), size(n) {}

    template <typename T> T take() {
        T v{};
        const size_t n = std::min(sizeof v, size - pos);
        if (n > 0) std::memcpy(&v, data + pos, n);
        pos += n;
        return v;
    }
    uint8_t byte() { return take<uint8_t>(); }
    // The next n bytes (fewer at the end).
    std::span<const uint8_t> bytes(size_t n) {
        n = std::min(n, size - pos);
        const std::span<const uint8_t> out(data + pos, n);
        pos += n;
        return out;
    }
    std::span<const uint8_t> rest() { return bytes(size - pos); }
    bool empty() const { return pos >= size; }

private:
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
};

} // namespace kestrel_fuzz
