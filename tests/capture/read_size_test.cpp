#include <gtest/gtest.h>

#include <chrono>

#include "kestrel/capture/read_size.h"

namespace {

using kestrel::read_sizer;
using namespace std::chrono_literals;

// A read asks for what the last parse would have got through in the target time, so that
// the bytes a group holds unparsed at an abort follow the host's rate; it grows at most to
// twice its size a parse, and shrinks at once.
TEST(read_sizer, a_read_asks_for_what_the_last_parse_rate_parses_in_the_target_time) {
    static_assert(read_sizer::parse_target == std::chrono::milliseconds(15));
    read_sizer s(16000000);
    EXPECT_EQ(s.next(), read_sizer::first);
    s.parsed(1000000, 100ms); // 10 MB/s: 150 kB in 15 ms
    EXPECT_EQ(s.next(), 150000u);
    s.parsed(150000, 1ms); // 150 MB/s: 2.25 MB in 15 ms, but twice the last size at most
    EXPECT_EQ(s.next(), 300000u);
    s.parsed(300000, 2ms);
    EXPECT_EQ(s.next(), 600000u);
    s.parsed(600000, 4ms);
    EXPECT_EQ(s.next(), 1200000u);
    s.parsed(1200000, 8ms);
    EXPECT_EQ(s.next(), 2250000u);
    s.parsed(0, 0ms); // nothing parsed tells nothing
    EXPECT_EQ(s.next(), 2250000u);
    s.parsed(2250000, 150ms); // the host slowed down tenfold
    EXPECT_EQ(s.next(), 225000u);
}

TEST(read_sizer, a_read_stays_between_the_smallest_read_and_the_ceiling) {
    read_sizer s(4000000);
    s.parsed(1000, 1s);
    EXPECT_EQ(s.next(), read_sizer::smallest);
    for (int i = 0; i < 8; ++i)
        s.parsed(16000000, 1ms);
    EXPECT_EQ(s.next(), 4000000u);
    s.parsed(1, 0ns);
    EXPECT_EQ(s.next(), 4000000u);
    EXPECT_EQ(read_sizer(100).limit(), read_sizer::smallest);
    EXPECT_EQ(read_sizer(100).next(), read_sizer::smallest);
}

// With a store budget, the read buffers of every group together take at most a sixteenth
// of it, in whole steps of the smallest read; without one, the buffers' capacity.
TEST(read_sizer, the_ceiling_is_a_share_of_the_store_budget) {
    EXPECT_EQ(read_sizer::ceiling_for(0, 3, 16000000), 16000000u);
    EXPECT_EQ(read_sizer::ceiling_for(256ull << 20, 1, 16000000), 8u << 20);
    const size_t three = read_sizer::ceiling_for(256ull << 20, 3, 16000000);
    EXPECT_LE(6 * three, 16u << 20);
    EXPECT_EQ(three % read_sizer::smallest, 0u);
    EXPECT_EQ(read_sizer::ceiling_for(1 << 20, 3, 16000000), read_sizer::smallest);
    EXPECT_EQ(read_sizer::ceiling_for(64ull << 30, 1, 16000000), 16000000u);
}

} // namespace
