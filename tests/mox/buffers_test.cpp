#include "mox/cvbuffer.h"
#include "mox/elapsed_timer.h"
#include "mox/objqueue.h"
#include "mox/pingpong.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

TEST(Cvbuffer, KeepsOneSlotFreeAndOverwritesOldest) {
    mox::cvbuffer<int> b(4);
    EXPECT_EQ(b.size(), 0u);
    EXPECT_TRUE(b.push(1, false));
    EXPECT_TRUE(b.push(2, false));
    EXPECT_TRUE(b.push(3, false));
    EXPECT_EQ(b.size(), 3u);

    EXPECT_FALSE(b.push(4, false));
    EXPECT_EQ(b.size(), 3u);
    EXPECT_EQ(b.at(0), 1);
    EXPECT_EQ(b.at(2), 3);

    EXPECT_TRUE(b.push(4, true));
    EXPECT_EQ(b.size(), 3u);
    EXPECT_EQ(b.at(0), 2);
    EXPECT_EQ(b.at(2), 4);

    // Keep wrapping around the storage; the newest three always remain, oldest first.
    for (int v = 5; v < 20; ++v)
        EXPECT_TRUE(b.push(v, true));
    EXPECT_EQ(b.size(), 3u);
    EXPECT_EQ(b.at(0), 17);
    EXPECT_EQ(b.at(1), 18);
    EXPECT_EQ(b.at(2), 19);

    b.at(1) = 100;
    EXPECT_EQ(b.at(1), 100);

    b.clear();
    EXPECT_EQ(b.size(), 0u);
    EXPECT_TRUE(b.push(7, false));
    EXPECT_EQ(b.at(0), 7);
}

TEST(CvbufferDeathTest, IndexMustBeBelowSize) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    mox::cvbuffer<int> b(4);
    b.push(1, false);
    EXPECT_DEATH(b.at(b.size()), "assertion failed: i < size\\(\\)");
}

TEST(Objqueue, BoundedWithTimeouts) {
    mox::objqueue<bytes> q(2);
    bytes out;
    EXPECT_FALSE(q.receive(out, mox::timeout(20)));

    bytes a{1}, b{2}, c{3};
    EXPECT_TRUE(q.post(a, mox::timeout(0)));
    EXPECT_TRUE(q.post(b, mox::timeout(0)));
    mox::elapsed_timer t;
    EXPECT_FALSE(q.post(c, mox::timeout(30)));
    EXPECT_GE(t.elapsed_ms(), 29u);
    EXPECT_EQ(a, bytes{1}) << "post copies";

    // A receive on another thread frees a slot for a waiting post.
    std::thread consumer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        bytes got;
        EXPECT_TRUE(q.receive(got, mox::timeout(10000)));
        EXPECT_EQ(got, bytes{1});
    });
    EXPECT_TRUE(q.post(c, mox::timeout(10000)));
    consumer.join();

    EXPECT_TRUE(q.receive(out, mox::timeout(0)));
    EXPECT_EQ(out, bytes{2});
    EXPECT_TRUE(q.receive(out, mox::timeout(0)));
    EXPECT_EQ(out, bytes{3});
    EXPECT_FALSE(q.receive(out, mox::timeout(0)));
}

TEST(Objqueue, ManyProducersAndConsumersLoseNothing) {
    mox::objqueue<int> q(3);
    constexpr int per_producer = 300;
    std::atomic<long> sum{0};
    std::atomic<int> received{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < 2; ++p)
        threads.emplace_back([&, p] {
            for (int i = 1; i <= per_producer; ++i)
                ASSERT_TRUE(q.post(i * (p + 1), mox::timeout(10000)));
        });
    for (int c = 0; c < 2; ++c)
        threads.emplace_back([&] {
            int v = 0;
            while (received < 2 * per_producer)
                if (q.receive(v, mox::timeout(10))) {
                    sum += v;
                    ++received;
                }
        });
    for (auto& t : threads)
        t.join();
    const long one = per_producer * (per_producer + 1) / 2;
    EXPECT_EQ(sum, one * 3);
    EXPECT_EQ(q.size(), 0u);
}

TEST(Pingpong, SwapExchangesRolesNotContents) {
    mox::pingpong_t<bytes> pp;
    pp.access_write_buffer([](bytes& b) { b = {1, 2, 3}; });
    pp.access_read_buffer([](bytes& b) { EXPECT_TRUE(b.empty()); });

    pp.swap_buffers();
    pp.access_read_buffer([](bytes& b) {
        EXPECT_EQ(b, (bytes{1, 2, 3}));
        b.resize(1); // what the consumer leaves stays with the buffer
    });
    pp.access_write_buffer([](bytes& b) {
        EXPECT_TRUE(b.empty());
        b = {9};
    });
    pp.access_read_buffer([](bytes& b) { EXPECT_EQ(b, bytes{1}); });

    pp.swap_buffers();
    EXPECT_EQ(pp.access_read_buffer([](bytes& b) { return b; }), bytes{9});
    EXPECT_EQ(pp.access_write_buffer([](bytes& b) { return b; }), bytes{1});
}

TEST(Pingpong, SidesDoNotBlockEachOther) {
    mox::pingpong_t<int> pp;
    std::atomic<bool> in_write{false}, release{false};
    std::thread producer([&] {
        pp.access_write_buffer([&](int& v) {
            v = 1;
            in_write = true;
            while (!release)
                std::this_thread::yield();
        });
    });
    while (!in_write)
        std::this_thread::yield();
    // The read side is reachable while the producer holds the write side.
    pp.access_read_buffer([](int& v) { v = 2; });
    release = true;
    producer.join();
    pp.swap_buffers();
    EXPECT_EQ(pp.access_read_buffer([](int& v) { return v; }), 1);
}

} // namespace
