// SHA-256 through mbedTLS, against published digests.
#include <gtest/gtest.h>

#include <string>

#include "mox/tls/hash.h"

namespace {

std::vector<uint8_t> of(const std::string& s) {
    return {s.begin(), s.end()};
}

std::string hex(const std::vector<uint8_t>& b) {
    static const char* d = "0123456789abcdef";
    std::string out;
    for (uint8_t x : b) {
        out += d[x >> 4];
        out += d[x & 15];
    }
    return out;
}

TEST(Sha256, KnownDigestsWholeAndInPieces) {
    mox::tls::hash h;
    std::vector<uint8_t> out;
    ASSERT_TRUE(h.do_hash(of("abc"), out));
    EXPECT_EQ(hex(out), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    ASSERT_TRUE(h.do_hash({}, out));
    EXPECT_EQ(hex(out), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    // The context is reused: a new start forgets the earlier digest.
    ASSERT_TRUE(h.do_hash(of("a"), out, true, false));
    ASSERT_TRUE(h.do_hash(of("bc"), out, false, true));
    EXPECT_EQ(hex(out), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256, UnavailableDigestFailsWithoutOutput) {
    std::string diag;
    mox::tls::hash h(MBEDTLS_MD_NONE, [&](std::string_view s) { diag += s; });
    std::vector<uint8_t> out{1, 2, 3};
    EXPECT_FALSE(h.do_hash(of("abc"), out));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(h.size(), 0u);
    EXPECT_FALSE(diag.empty());
}

} // namespace
