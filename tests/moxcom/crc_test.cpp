#include "moxcom/byte_order.h"
#include "moxcom/crc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using namespace mox_utils;

const bytes digits = [] {
    constexpr std::string_view s = "123456789";
    return bytes(s.begin(), s.end());
}();

TEST(Crc, StandardCheckValues) {
    EXPECT_EQ(crc_template<CRC_8_WCDMA>(digits), bytes{0x25});
    EXPECT_EQ(crc_template<CRC_16_CCITT>(digits), (bytes{0x29, 0xB1}));
    EXPECT_EQ(crc_template<CRC_32>(digits), (bytes{0xCB, 0xF4, 0x39, 0x26}));
    EXPECT_TRUE(crc_template<NO_CRC>(digits).empty());
    EXPECT_EQ(crc_value<CRC_32>(digits), 0xCBF43926u);

    // The empty message yields the register start value after the final steps.
    EXPECT_EQ(crc_value<CRC_16_CCITT>(bytes{}), 0xFFFFu);
    EXPECT_EQ(crc_value<CRC_32>(bytes{}), 0u);
}

TEST(Crc, ParameterTable) {
    const crc_conf c16 = getCrcParams(CRC_16_CCITT);
    EXPECT_TRUE(c16.crc_enable);
    EXPECT_EQ(c16.Bits, 16);
    EXPECT_EQ(c16.Poly, 0x1021u);
    EXPECT_EQ(c16.Init, 0xFFFFu);
    EXPECT_FALSE(c16.RefIn);
    const crc_conf none = getCrcParams(NO_CRC);
    EXPECT_FALSE(none.crc_enable);
    EXPECT_EQ(none.Bits / 8, 0);
    EXPECT_EQ(getCrcParams(CRC_8_WCDMA).Poly, 0x9Bu);
    EXPECT_EQ(getCrcParams(CRC_32).XorOut, 0xFFFFFFFFu);
}

TEST(Crc, ListOverloadEqualsOnePassOverConcatenation) {
    const bytes a(digits.begin(), digits.begin() + 4);
    const bytes b(digits.begin() + 4, digits.end());
    const bytes empty;
    EXPECT_EQ(crc_template<CRC_16_CCITT>({a, empty, b}), (bytes{0x29, 0xB1}));
    EXPECT_EQ(crc_template<CRC_32>({a, b}), crc_template<CRC_32>(digits));
    EXPECT_EQ(crc_template<CRC_8_WCDMA>({a, b}), bytes{0x25});
}

TEST(Crc, TableEntriesAreSingleByteCrcs) {
    // Entry i of the MSB-first table is the CRC of byte i from a zero register.
    const CRCImplTable8<16, 0x1021, false> t;
    EXPECT_EQ(t.crc_table[0], 0);
    EXPECT_EQ(t.crc_table[1], 0x1021);
    EXPECT_EQ(t.crc_table[0x80], 0x9188);
}

TEST(ByteOrder, BigEndianConversions) {
    EXPECT_EQ(from_uint_to_big_endian_array(uint16_t{0x1234}),
              (std::array<uint8_t, 2>{0x12, 0x34}));
    EXPECT_EQ(from_uint_to_big_endian_array(uint32_t{0x01020304}),
              (std::array<uint8_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(from_big_endian_array_to_uint<uint16_t>(bytes{0x00, 0x08}), 8);
    EXPECT_EQ(
        from_big_endian_array_to_uint<uint32_t>(std::array<uint8_t, 4>{0xDE, 0xAD, 0xBE, 0xEF}),
        0xDEADBEEFu);
    EXPECT_EQ(reverse_bytes(uint32_t{0x11223344}), 0x44332211u);
    EXPECT_EQ(reverse_bytes(uint32_t{0x11223344}, 2), 0x11224433u);
    EXPECT_FALSE(is_big_endian());
}

} // namespace
