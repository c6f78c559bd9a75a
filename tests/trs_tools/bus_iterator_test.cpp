#include "trs/bus_iterator.h"
#include "trs/manager.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using btr = trs::bus_iterator::btr;

// "bits@sample" with bit 0 first, plus "F"/"L" for is_first/is_last.
std::string show(const btr& w, size_t width) {
    std::string s;
    for (size_t k = 0; k < width; ++k)
        s += w.bits[k] ? '1' : '0';
    s += "@" + std::to_string(w.sample);
    if (w.is_first) s += "F";
    if (w.is_last) s += "L";
    return s;
}

// Every word up to and including the first one marked last.
std::vector<std::string> walk(trs::bus_iterator& b, size_t limit = 100000) {
    std::vector<std::string> v;
    while (v.size() < limit) {
        const btr w = b.next();
        v.push_back(show(w, b.width()));
        if (w.is_last) break;
    }
    return v;
}

struct TwoChannels : ::testing::Test {
    trs::store a, b;
    void SetUp() override {
        for (auto [s, t0] : {std::pair{&a, isamp{10}}, std::pair{&b, isamp{20}}}) {
            s->append(t0, 1);
            s->append(t0 + 20, 0);
            s->append(t0 + 40, 1);
        }
    }
};

TEST_F(TwoChannels, WordsInSampleOrderUpToTheLastTransitions) {
    trs::bus_iterator bus({a, b});
    const std::vector<std::string> want = {"00@0F", "10@10", "11@20", "01@30",
                                           "00@40", "10@50", "11@60L"};
    EXPECT_EQ(walk(bus), want);
    EXPECT_FALSE(bus.current_tr_is_not_last());
    EXPECT_EQ(show(bus.next(), 2), "11@60L"); // the end repeats
    // Restart walks again from the start.
    bus.restart();
    EXPECT_TRUE(bus.current_tr_is_not_last());
    EXPECT_EQ(walk(bus), want);
}

TEST_F(TwoChannels, GrowingChannelsAndRepeatedLevels) {
    trs::bus_iterator bus({a, b});
    std::vector<std::string> seen = walk(bus);
    ASSERT_EQ(seen.back(), "11@60L");
    b.append(70, 1); // a closing item: the word repeats at its sample
    a.append(80, 0);
    EXPECT_TRUE(bus.current_tr_is_not_last());
    EXPECT_EQ(walk(bus), (std::vector<std::string>{"11@70", "01@80L"}));
}

TEST(BusIterator, SimultaneousTransitionsAndSamplesAtZero) {
    // A three-bit counter stepping every 100 samples, the capture tool's way: every
    // channel starts with a fall at sample 0 after an initial level of 1.
    std::vector<trs::store> st(3);
    for (auto& s : st)
        s.append(0, 0);
    for (int c = 1; c < 8; ++c)
        for (int k = 0; k < 3; ++k)
            if (((c ^ (c - 1)) >> k) & 1) st[k].append(c * 100, static_cast<uint8_t>((c >> k) & 1));
    trs::bus_iterator bus({st[0], st[1], st[2]});
    std::vector<std::string> want = {"000@0F"};
    for (int c = 1; c < 8; ++c) {
        std::string w;
        for (int k = 0; k < 3; ++k)
            w += ((c >> k) & 1) ? '1' : '0';
        want.push_back(w + "@" + std::to_string(c * 100) + (c == 7 ? "L" : ""));
    }
    EXPECT_EQ(walk(bus), want);
}

TEST(BusIterator, EmptyAndShortChannels) {
    trs::store empty, one;
    one.append_idle(0, 1); // only an initial level
    trs::bus_iterator bus({empty, one});
    EXPECT_TRUE(bus.current_tr_is_not_last());
    EXPECT_EQ(walk(bus), (std::vector<std::string>{"01@0FL"}));
    EXPECT_FALSE(bus.current_tr_is_not_last());
    // Data for the empty channel, some of it before the bus's place: levels catch up, the
    // words stay in order.
    empty.append(0, 1);
    empty.append(30, 0);
    EXPECT_TRUE(bus.current_tr_is_not_last());
    EXPECT_EQ(walk(bus), (std::vector<std::string>{"01@30L"}));

    trs::bus_iterator none({});
    EXPECT_EQ(show(none.next(), 0), "@0FL");
}

TEST(BusIterator, WidthIsBounded) {
    std::vector<trs::store> st(129);
    std::vector<std::reference_wrapper<trs::store>> refs(st.begin(), st.end());
    EXPECT_THROW(trs::bus_iterator{refs}, std::invalid_argument);
    refs.pop_back();
    trs::bus_iterator full(refs);
    st[127].append(5, 1);
    const btr w0 = full.next();
    EXPECT_FALSE(w0.bits[127]);
    const btr w1 = full.next();
    EXPECT_TRUE(w1.bits[127]);
    EXPECT_EQ(w1.sample, 5);
    EXPECT_TRUE(w1.is_last);
}

TEST(BusFactory, ChannelsInAscendingOrder) {
    mox::semaphore gui;
    trs::manager man(6, gui);
    man.create_builder(1).append(10, 1);
    man.create_builder(4).append(20, 1);
    man.create_builder(5).append(30, 1);
    auto bus = man.create_bus_iterator({5, 1, 4, 1});
    ASSERT_EQ(bus.width(), 3u);
    EXPECT_EQ(walk(bus), (std::vector<std::string>{"000@0F", "100@10", "110@20", "111@30L"}));
    EXPECT_EQ(man.create_bus_iterator({}).width(), 6u);
    EXPECT_THROW(man.create_bus_iterator({2, 6}), std::out_of_range);

    // 255 channels do not fit one bus.
    trs::manager wide(255, gui);
    EXPECT_THROW(wide.create_bus_iterator({}), std::invalid_argument);
    EXPECT_EQ(wide.create_bus_iterator({0, 254}).width(), 2u);
}

} // namespace
