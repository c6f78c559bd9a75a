#include "mox/serdes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

enum class clk_source_t : uint8_t { internal = 0, external = 3 };

TEST(Serdes, PushBackIsLittleEndianAtFixedWidths) {
    bytes b;
    serdes::push_back(b, uint16_t{0x1234}, 8);
    EXPECT_EQ(b, (bytes{0x34, 0x12}));

    b.clear();
    serdes::push_back(b, std::bitset<18>().set(17), 8);
    EXPECT_EQ(b, (bytes{0x00, 0x00, 0x02, 0x00}));
    EXPECT_EQ(serdes::my_sizeof(std::bitset<18>()), 4u);

    b.clear();
    serdes::push_back(b, 1.0, 8);
    EXPECT_EQ(b, (bytes{0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));

    b.clear();
    serdes::push_back(b, uint32_t{0xA1B2C3D4}, 8);
    serdes::push_back(b, int64_t{-2}, 8);
    serdes::push_back(b, clk_source_t::external, 8);
    EXPECT_EQ(
        b, (bytes{0xD4, 0xC3, 0xB2, 0xA1, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x03}));
    EXPECT_EQ(serdes::my_sizeof(clk_source_t::internal), 1u);
    EXPECT_EQ(serdes::serialize(uint64_t{1}, 8).size(), 8u);
}

TEST(Serdes, RecordRoundTripThroughSharedIndex) {
    const std::bitset<18> mask("101000000000000011");
    bytes b;
    serdes::push_back(b, uint16_t{7}, 8);
    serdes::push_back(b, mask, 8);
    serdes::push_back(b, -1.5, 8);
    serdes::push_back(b, uint64_t{0x0102030405060708}, 8);
    serdes::push_back(b, clk_source_t::external, 8);
    ASSERT_EQ(b.size(), 2u + 4 + 8 + 8 + 1);

    std::size_t i = 0;
    uint16_t u16 = 0;
    std::bitset<18> bits;
    double d = 0;
    uint64_t u64 = 0;
    clk_source_t src = clk_source_t::internal;
    serdes::pull_front(b, i, u16, 8);
    serdes::pull_front(b, i, bits, 8);
    serdes::pull_front(b, i, d, 8);
    serdes::pull_front(b, i, u64, 8);
    serdes::pull_front(b, i, src, 8);
    EXPECT_EQ(i, b.size());
    EXPECT_EQ(u16, 7);
    EXPECT_EQ(bits, mask);
    EXPECT_EQ(d, -1.5);
    EXPECT_EQ(u64, 0x0102030405060708u);
    EXPECT_EQ(src, clk_source_t::external);

    // Bits 18..31 of the stored word do not leak into the set.
    EXPECT_EQ(serdes::deserialize<std::bitset<18>>(bytes{0xFF, 0xFF, 0xFF, 0xFF}, 8).count(), 18u);
}

TEST(Serdes, PullFrontRefusesReadPastTheEnd) {
    const bytes src{0x01, 0x00, 0x02, 0x00};
    int i = 0;
    uint16_t v = 0;
    serdes::pull_front(src, i, v, 8);
    EXPECT_EQ(v, 1);
    serdes::pull_front(src, i, v, 8);
    EXPECT_EQ(v, 2);
    EXPECT_EQ(i, 4);

    std::size_t at3 = 3;
    v = 0xAAAA;
    try {
        serdes::pull_front(src, at3, v, 8);
        ADD_FAILURE() << "nothing thrown";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "src.size() >= (i + my_sizeof(dest))");
    }
    EXPECT_EQ(at3, 3u);
    EXPECT_EQ(v, 0xAAAA);

    // Indices beyond the end or negative are refused the same way, without overflow.
    std::size_t huge = SIZE_MAX - 1;
    EXPECT_THROW(serdes::pull_front(src, huge, v, 8), std::out_of_range);
    int negative = -1;
    EXPECT_THROW(serdes::pull_front(src, negative, v, 8), std::out_of_range);
    uint64_t big = 0;
    std::size_t zero = 0;
    EXPECT_THROW(serdes::pull_front(src, zero, big, 8), std::out_of_range);
    EXPECT_THROW(serdes::pull_front(std::span<const uint8_t>(), zero, v, 8), std::out_of_range);
}

TEST(Serdes, DeserializeFillsLowBytesOfShortSource) {
    EXPECT_EQ(serdes::deserialize<uint32_t>(bytes{0x34, 0x12}, 8), 0x1234u);
    EXPECT_EQ(serdes::deserialize<uint32_t>(bytes{}, 8), 0u);
    EXPECT_THROW(serdes::deserialize<uint16_t>(bytes{1, 2, 3}, 8), std::length_error);
}

} // namespace
