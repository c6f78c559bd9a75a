#include "moxcom/except.h"
#include "moxcom/interpreter.h"
#include "moxcom/packetizer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using mox_utils::CRC_16_CCITT;

struct received {
    uint8_t id;
    mox_com::acknowledge ack;
    bytes params;
    bool operator==(const received&) const = default;
};

const bytes header{0x55, 0xAA};
const bytes ping{0x55, 0xAA, 0x00, 0x08, 0x08, 0xAA, 0xBB, 0xCC, 0xDD, 0x00, 0xB0, 0xBB};

bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

class Link : public ::testing::Test {
protected:
    Link() {
        for (uint8_t id : {1, 5, 7, 8})
            ip.regist_endpoint(id, [this, id](mox_com::acknowledge ack, bytes& params) {
                got.push_back({id, ack, params});
            });
    }

    bytes packet(uint8_t id, bytes params, mox_com::acknowledge ack = mox_com::NO_ACK) {
        return pk.packetize(id, ack, params);
    }

    mox_com::packetizer<CRC_16_CCITT> pk{
        mox_com::packetizer_conf{header, mox_com::LEN_2_BYTES, {}}};
    mox_com::interpreter<CRC_16_CCITT> ip{
        mox_com::interpreter_conf{header, mox_com::LEN_2_BYTES, {}}};
    std::vector<received> got;
};

TEST_F(Link, PacketizeFramesPingAsOnTheWire) {
    EXPECT_EQ(packet(8, {0xAA, 0xBB, 0xCC, 0xDD}), ping);
    const bytes empty = packet(7, {}, mox_com::ACK_REQUEST);
    ASSERT_EQ(empty.size(), 8u);
    EXPECT_EQ(bytes(empty.begin(), empty.begin() + 6), (bytes{0x55, 0xAA, 0x00, 0x04, 0x07, 0x01}));
}

TEST_F(Link, ReassemblesSplitAndBatchedPackets) {
    // Byte by byte: dispatched once, on the last byte.
    for (std::size_t i = 0; i < ping.size(); ++i) {
        EXPECT_TRUE(got.empty()) << i;
        ip.append(bytes{ping[i]});
    }
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (received{8, mox_com::NO_ACK, {0xAA, 0xBB, 0xCC, 0xDD}}));

    // Two packets in one chunk, with stray bytes before, between and after.
    got.clear();
    ip.append(
        cat({{0x00, 0xAA, 0x13}, packet(1, {9}), {0xAA, 0x55}, packet(5, {1, 2, 3}), {0x42}}));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (received{1, mox_com::NO_ACK, {9}}));
    EXPECT_EQ(got[1], (received{5, mox_com::NO_ACK, {1, 2, 3}}));

    // The header window slides: 55 55 AA is a header starting at the second byte, also when
    // the header is split between chunks.
    got.clear();
    ip.append(cat({{0x55}, ping}));
    ip.append(bytes{0x55, 0x55});
    ip.append(bytes(ping.begin() + 1, ping.end()));
    EXPECT_EQ(got.size(), 2u);
}

TEST_F(Link, EmptyParametersAndAckPassThrough) {
    ip.append(packet(7, {}, mox_com::ACK_CONFIRMATION));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (received{7, mox_com::ACK_CONFIRMATION, {}}));
}

TEST_F(Link, ZeroLengthReturnsToHeaderHunt) {
    // After 55 AA 00 00 the next bytes are header candidates again.
    ip.append(cat({{0x55, 0xAA, 0x00, 0x00}, ping}));
    EXPECT_EQ(got.size(), 1u);
    EXPECT_EQ(ip.get_state(), decltype(ip)::Idle);
}

TEST_F(Link, CorruptedPacketIsDroppedSilently) {
    bytes bad = packet(5, {1, 2, 3, 4});
    bad[6] ^= 0x01;
    bytes bad_crc = packet(5, {1});
    bad_crc.back() ^= 0xFF;
    ip.append(cat({bad, bad_crc, packet(5, {7, 7})}));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].params, (bytes{7, 7}));
}

TEST_F(Link, UnknownEndpointThrowsAndDropsRestOfChunk) {
    const bytes chunk = cat({packet(9, {1}), ping});
    try {
        ip.append(chunk);
        ADD_FAILURE() << "nothing thrown";
    } catch (const mox_com::except& e) {
        EXPECT_EQ(e.code(), mox_com::unknown_endpoint);
        EXPECT_EQ(e.code(), 1);
        EXPECT_STREQ(e.what(), "MOXCOM Error");
    }
    EXPECT_TRUE(got.empty()) << "the rest of the chunk is discarded";
    EXPECT_EQ(ip.get_state(), decltype(ip)::Idle);
    ip.append(ping);
    EXPECT_EQ(got.size(), 1u);
}

TEST_F(Link, HandlerExceptionResetsParser) {
    ip.unreg_endpoint(1);
    ip.unreg_endpoint(1);
    ip.regist_endpoint(1,
                       [](mox_com::acknowledge, bytes&) { throw std::runtime_error("bad reply"); });
    // The chunk ends inside a second packet; the guard drops that partial packet, so its
    // tail in the next chunk is only garbage to the header hunt.
    const bytes next = packet(5, {4, 5, 6});
    ip.append(bytes(ping.begin(), ping.begin() + 3)); // parser state survives chunk ends
    ip.append(bytes(ping.begin() + 3, ping.end()));
    EXPECT_THROW(ip.append(cat({packet(1, {}), bytes(next.begin(), next.begin() + 7)})),
                 std::runtime_error);
    EXPECT_EQ(ip.get_state(), decltype(ip)::Idle);
    ip.append(cat({bytes(next.begin() + 7, next.end()), packet(7, {1})}));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].id, 8);
    EXPECT_EQ(got[1], (received{7, mox_com::NO_ACK, {1}}));

    ip.unreg_endpoint(7);
    EXPECT_THROW(ip.append(packet(7, {})), mox_com::except);
}

TEST_F(Link, CommonHandlerReceivesTheId) {
    std::vector<uint8_t> ids;
    auto common = [&](uint8_t id, mox_com::acknowledge, bytes& p) {
        ids.push_back(id);
        EXPECT_EQ(p, bytes{id});
    };
    ip.regist_common_endpoint(71, common);
    ip.regist_common_endpoint(10, common);
    ip.append(cat({packet(10, {10}), packet(71, {71})}));
    EXPECT_EQ(ids, (std::vector<uint8_t>{10, 71}));
}

TEST_F(Link, PayloadLimitOfTheLengthField) {
    const bytes max_params(65531, 0x5A);
    const bytes p = packet(5, max_params);
    ASSERT_EQ(p.size(), 65531u + 8);
    EXPECT_EQ(p[2], 0xFF);
    EXPECT_EQ(p[3], 0xFF);
    ip.append(p);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].params, max_params);

    try {
        packet(5, bytes(65532, 0));
        ADD_FAILURE() << "nothing thrown";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "too long message data");
    }

    mox_com::packetizer<CRC_16_CCITT> short_len{{header, mox_com::LEN_1_BYTE, {}}};
    EXPECT_EQ(short_len.packetize(1, mox_com::NO_ACK, bytes(251, 0)).size(), 251u + 7);
    EXPECT_THROW(short_len.packetize(1, mox_com::NO_ACK, bytes(252, 0)), std::length_error);
}

TEST_F(Link, SurvivesRandomGarbageAndArbitrarySplits) {
    std::mt19937 rng(1234);
    std::vector<received> sent;
    bytes stream;
    for (int n = 0; n < 200; ++n) {
        // Garbage without 0x55 cannot start a false header that would swallow a packet.
        const std::size_t garbage = rng() % 6;
        for (std::size_t g = 0; g < garbage; ++g) {
            uint8_t b = static_cast<uint8_t>(rng());
            stream.push_back(b == 0x55 ? 0x54 : b);
        }
        bytes params(rng() % 40);
        for (auto& b : params)
            b = static_cast<uint8_t>(rng());
        const uint8_t id = std::array<uint8_t, 4>{1, 5, 7, 8}[rng() % 4];
        const auto ack = static_cast<mox_com::acknowledge>(rng() % 3);
        sent.push_back({id, ack, params});
        const bytes p = packet(id, params, ack);
        stream.insert(stream.end(), p.begin(), p.end());
    }
    std::size_t pos = 0;
    while (pos < stream.size()) {
        const std::size_t n = std::min<std::size_t>(1 + rng() % 64, stream.size() - pos);
        ip.append(std::span<const uint8_t>(stream).subspan(pos, n));
        pos += n;
    }
    EXPECT_EQ(got, sent);
}

TEST(LinkVariants, EncryptedFramesAndNoCrc) {
    auto scramble = [](const bytes& f) {
        bytes out = f;
        for (auto& b : out)
            b ^= 0x3C;
        return out;
    };
    mox_com::packetizer<CRC_16_CCITT> pk{{header, mox_com::LEN_2_BYTES, scramble}};
    mox_com::interpreter<CRC_16_CCITT> ip{{header, mox_com::LEN_2_BYTES, scramble}};
    std::vector<bytes> got;
    ip.regist_endpoint(3, [&](mox_com::acknowledge, bytes& p) { got.push_back(p); });
    const bytes p = pk.packetize(3, mox_com::NO_ACK, bytes{1, 2, 3});
    EXPECT_NE(p[4], 3) << "the frame travels scrambled";
    ip.append(cat({p, p}));
    EXPECT_EQ(got, (std::vector<bytes>{{1, 2, 3}, {1, 2, 3}}));

    mox_com::packetizer<mox_utils::NO_CRC> plain_pk{{header, mox_com::LEN_2_BYTES, {}}};
    mox_com::interpreter<mox_utils::NO_CRC> plain_ip{{header, mox_com::LEN_2_BYTES, {}}};
    const bytes plain = plain_pk.packetize(3, mox_com::ACK_REQUEST, bytes{9});
    EXPECT_EQ(plain, (bytes{0x55, 0xAA, 0x00, 0x03, 0x03, 0x09, 0x01}));
    plain_ip.regist_endpoint(3, [&](mox_com::acknowledge a, bytes& p) {
        EXPECT_EQ(a, mox_com::ACK_REQUEST);
        got.push_back(p);
    });
    plain_ip.append(plain);
    EXPECT_EQ(got.back(), bytes{9});
}

TEST(LinkDeathTest, DuplicateRegistrationIsAProgrammingError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    mox_com::interpreter<CRC_16_CCITT> ip{{header, mox_com::LEN_2_BYTES, {}}};
    ip.regist_endpoint(8, [](mox_com::acknowledge, bytes&) {});
    EXPECT_DEATH(ip.regist_endpoint(8, [](mox_com::acknowledge, bytes&) {}),
                 "assertion failed: !registered\\(id\\)");
}

} // namespace
