#pragma once

// Little-endian serialisation of command payload values. Every function takes a trailing
// int that callers set to 8; it does not change the encoding.

#include "mox/check.h"

#include <bit>
#include <bitset>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace serdes {

constexpr bool is_big_endian() {
    return std::endian::native == std::endian::big;
}

// Enumerations stored in one byte (clock source and mode of the state clock, ...).
template <typename T>
concept byte_enum = std::is_enum_v<T> && sizeof(std::underlying_type_t<T>) == 1;

// Values written as the bytes of their in-memory representation.
template <typename T>
concept plain_value = (std::is_arithmetic_v<T> && !std::is_same_v<T, bool>) || byte_enum<T>;

using channel_bits = std::bitset<18>;

template <plain_value T> constexpr std::size_t my_sizeof(const T&) {
    return sizeof(T);
}
constexpr std::size_t my_sizeof(const channel_bits&) {
    return sizeof(uint32_t);
}

template <plain_value T> std::vector<uint8_t> serialize(const T& value, int = 8) {
    MOX_ASSERT(!is_big_endian());
    std::vector<uint8_t> out(my_sizeof(value));
    std::memcpy(out.data(), &value, out.size());
    return out;
}

inline std::vector<uint8_t> serialize(const channel_bits& value, int = 8) {
    return serialize(static_cast<uint32_t>(value.to_ulong()), 8);
}

template <typename T> void push_back(std::vector<uint8_t>& dest, const T& value, int = 8) {
    const std::vector<uint8_t> bytes = serialize(value, 8);
    dest.insert(dest.end(), bytes.begin(), bytes.end());
}

// A source shorter than the value fills its low bytes and leaves the rest 0.
template <typename T>
requires plain_value<T> || std::is_same_v<T, channel_bits>
    T deserialize(std::span<const uint8_t> src, int = 8) {
    if (is_big_endian()) throw std::runtime_error("big endian not supported yet");
    if constexpr (std::is_same_v<T, channel_bits>) {
        return channel_bits(deserialize<uint32_t>(src, 8));
    } else {
        if (src.size() > sizeof(T)) throw std::length_error("src.size() <= sizeof(T)");
        T value{};
        if (!src.empty()) std::memcpy(&value, src.data(), src.size());
        return value;
    }
}

// Reads dest from src at index i and advances i by its width. Refuses, before reading, a
// read past the end of src (which comes from the device) with std::out_of_range, leaving
// i unchanged.
template <typename T, std::integral I>
void pull_front(std::span<const uint8_t> src, I& i, T& dest, int = 8) {
    const std::size_t width = my_sizeof(dest);
    if (i < 0 || static_cast<std::size_t>(i) > src.size() ||
        src.size() - static_cast<std::size_t>(i) < width)
        throw std::out_of_range("src.size() >= (i + my_sizeof(dest))");
    dest = deserialize<T>(src.subspan(static_cast<std::size_t>(i), width), 8);
    i += static_cast<I>(width);
}

} // namespace serdes
