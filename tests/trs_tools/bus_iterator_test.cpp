#include "trs/bus_iterator.h"
#include "trs/manager.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

// "bits@sample" with bit 0 first, then "F" / "L" for is_first / is_last.
std::string show(const trs::bus_iterator::btr& w, size_t width) {
    std::string s;
    for (size_t k = 0; k < width; ++k)
        s += w.bits[k] ? '1' : '0';
    s += "@" + std::to_string(w.sample) + (w.is_first ? "F" : "") + (w.is_last ? "L" : "");
    return s;
}

// Every word up to and including the first one marked last.
std::vector<std::string> walk(trs::bus_iterator& b) {
    std::vector<std::string> v;
    for (bool last = false; !last && v.size() < 1000;) {
        const auto w = b.next();
        v.push_back(show(w, b.width()));
        last = w.is_last;
    }
    return v;
}

TEST(BusIterator, WordsInSampleOrderUpToTheLastTransitions) {
    trs::store a, b;
    for (auto [s, t0] : {std::pair{&a, isamp{10}}, std::pair{&b, isamp{20}}}) {
        s->append(t0, 1);
        s->append(t0 + 20, 0);
        s->append(t0 + 40, 1);
    }
    trs::bus_iterator bus({a, b});
    const std::vector<std::string> want = {"00@0F", "10@10", "11@20", "01@30",
                                           "00@40", "10@50", "11@60L"};
    EXPECT_EQ(walk(bus), want);
    EXPECT_FALSE(bus.current_tr_is_not_last());
    EXPECT_EQ(show(bus.next(), 2), "11@60L"); // the end repeats
    bus.restart();
    EXPECT_EQ(walk(bus), want);

    // Growth is picked up; an item repeating the level repeats the word.
    b.append(70, 1);
    a.append(80, 0);
    EXPECT_TRUE(bus.current_tr_is_not_last());
    EXPECT_EQ(walk(bus), (std::vector<std::string>{"11@70", "01@80L"}));
    // A cleared channel is read again from its start; words never go back in time.
    a.clear();
    a.append(50, 1);
    a.append(90, 0);
    EXPECT_EQ(walk(bus), (std::vector<std::string>{"01@90L"}));
}

TEST(BusIterator, SimultaneousTransitions) {
    // A three-bit counter stepping every 100 samples, stored the capture tool's way: every
    // channel starts with a fall at sample 0 after an initial level of 1.
    std::vector<trs::store> st(3);
    for (auto& s : st)
        s.append(0, 0);
    std::vector<std::string> want = {"000@0F"};
    for (int c = 1; c < 8; ++c) {
        std::string w;
        for (int k = 0; k < 3; ++k) {
            if (((c ^ (c - 1)) >> k) & 1) st[k].append(c * 100, (c >> k) & 1);
            w += ((c >> k) & 1) ? '1' : '0';
        }
        want.push_back(w + "@" + std::to_string(c * 100) + (c == 7 ? "L" : ""));
    }
    trs::bus_iterator bus({st[0], st[1], st[2]});
    EXPECT_EQ(walk(bus), want);
}

TEST(BusIterator, EmptyAndShortChannels) {
    trs::store empty, one;
    one.append_idle(0, 1); // only an initial level
    trs::bus_iterator bus({empty, one});
    EXPECT_EQ(walk(bus), (std::vector<std::string>{"01@0FL"}));
    EXPECT_FALSE(bus.current_tr_is_not_last());
    // Late data before the bus's place only updates the level.
    empty.append(0, 1);
    empty.append(30, 0);
    EXPECT_TRUE(bus.current_tr_is_not_last());
    EXPECT_EQ(walk(bus), (std::vector<std::string>{"01@30L"}));
}

TEST(BusFactory, ChannelsInAscendingOrderAndAtMost128) {
    mox::semaphore gui;
    trs::manager man(6, gui);
    man.create_builder(1).append(10, 1);
    man.create_builder(4).append(20, 1);
    man.create_builder(5).append(30, 1);
    auto bus = man.create_bus_iterator({5, 1, 4, 1});
    EXPECT_EQ(walk(bus), (std::vector<std::string>{"000@0F", "100@10", "110@20", "111@30L"}));
    EXPECT_EQ(man.create_bus_iterator({}).width(), 6u);
    EXPECT_THROW(man.create_bus_iterator({2, 6}), std::out_of_range);

    trs::manager wide(255, gui);
    EXPECT_THROW(wide.create_bus_iterator({}), std::invalid_argument);
    std::vector<hw::ich> top;
    for (hw::ich i = 127; i < 255; ++i)
        top.push_back(i);
    wide.create_builder(254).append(5, 1);
    auto b128 = wide.create_bus_iterator(top);
    b128.next();
    EXPECT_TRUE(b128.next().bits[127]);
}

} // namespace
