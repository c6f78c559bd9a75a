#include "trs/bitsampler.h"
#include "trs/manager.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace {

std::vector<int> sample(trs::bitsampler& b, int n) {
    std::vector<int> v;
    for (int k = 0; k < n; ++k)
        v.push_back(b.next());
    return v;
}

TEST(BitSampler, LevelsAtEvenlySpacedPositions) {
    trs::store s;
    s.append(75, 1);
    s.append(120, 0);
    s.append(300, 0); // a closing item repeating the level, as a resize or an edit leaves
    trs::bitsampler b(s);
    b.init(50, 10);
    EXPECT_EQ(sample(b, 9), (std::vector<int>{0, 0, 0, 1, 1, 1, 1, 0, 0}));
    EXPECT_EQ(b.position(), 140);
    b.init(75, 45); // on a transition: the level it reaches
    EXPECT_EQ(sample(b, 2), (std::vector<int>{1, 0}));
    b.init(250, 100); // does not flip at the closing item
    EXPECT_EQ(sample(b, 2), (std::vector<int>{0, 0}));
}

TEST(BitSampler, WalksBackwardsAndFollowsTheStore) {
    trs::store s;
    trs::bitsampler b(s);
    b.init(10, 10);
    EXPECT_EQ(b.next(), 0); // nothing stored yet
    s.append(0, 1);         // initial level 0, a rise at 0
    s.append(40, 0);
    s.append(80, 1);
    EXPECT_EQ(sample(b, 8), (std::vector<int>{1, 1, 0, 0, 0, 0, 1, 1}));
    // Positions behind the walker; -10 lies before the channel: its initial level.
    b.init(90, -20);
    EXPECT_EQ(sample(b, 6), (std::vector<int>{1, 0, 0, 1, 1, 0}));
    // Data appended after the walk reached the end is seen; a clear voids its place.
    b.init(100, 100);
    EXPECT_EQ(b.next(), 1);
    s.append(150, 0);
    EXPECT_EQ(b.next(), 0);
    s.clear();
    s.append(500, 0); // initial level 1
    EXPECT_EQ(b.next(), 1);
}

// Alternating levels from 1 at `first`, one edge every `width` samples.
trs::store pulses(isamp first, isamp width, int n) {
    trs::store s;
    for (int k = 0; k < n; ++k)
        s.append(first + k * width, static_cast<uint8_t>(k % 2 == 0));
    return s;
}

TEST(AutoBaud, ShortestPulseGivesTheRate) {
    trs::store s = pulses(0, 104, 40);
    trs::auto_baud a(s, 1e-6);
    EXPECT_EQ(a.shortest, 104);
    EXPECT_EQ(a.real, 9615u);
    EXPECT_EQ(a.nearest, 9600u);

    // 1000 items examined: the narrow pulses after them are not seen.
    trs::store deep;
    isamp t = 0;
    for (int k = 0; k < 1100; ++k)
        deep.append(t += k < 1000 ? 500 : 10, static_cast<uint8_t>(k % 2 == 0));
    EXPECT_EQ(trs::auto_baud(deep, 1e-6).shortest, 500);
}

TEST(AutoBaud, WhatIsNotAPulse) {
    // Glitches only.
    trs::store g;
    for (int k = 1; k <= 200; ++k)
        g.append(k * 3 + (k % 2), static_cast<uint8_t>(k % 2));
    trs::auto_baud none(g, 1e-6);
    EXPECT_EQ(none.real, 1u);
    EXPECT_EQ(none.nearest, 110u);

    // A capture that began 30 samples before the end of a 104-sample bit, after the items
    // the capture tool writes at sample 0, and closed by an item repeating the level.
    trs::store s;
    s.append(0, 0);
    s.append(0, 1);
    s.append(30, 0);
    s.append(134, 1);
    s.append(342, 0);
    s.append(446, 1);
    s.append(460, 1);
    trs::auto_baud a(s, 1e-6);
    EXPECT_EQ(a.shortest, 104);
    EXPECT_EQ(a.nearest, 9600u);
}

TEST(AutoBaud, NearestStandardRate) {
    using a = trs::auto_baud;
    EXPECT_EQ(a::nearest_standard(1), 110u);
    EXPECT_EQ(a::nearest_standard(111), 110u);
    EXPECT_EQ(a::nearest_standard(14400), 9600u); // halfway: the lower
    EXPECT_EQ(a::nearest_standard(14401), 19200u);
    EXPECT_EQ(a::nearest_standard(125000), 115200u);
    EXPECT_EQ(a::nearest_standard(4000000), 1000000u);

    trs::store s = pulses(0, 6, 20);
    EXPECT_EQ(trs::auto_baud(s, 1e-9).real, 166666666u);
    EXPECT_EQ(trs::auto_baud(s, 1e-18).real, 4294967295u); // does not fit: the largest
    EXPECT_THROW(trs::auto_baud(s, 0.0), std::runtime_error);
    EXPECT_THROW(trs::auto_baud(s, -1e-6), std::runtime_error);
}

TEST(SamplerFactories, UseTheManagersStoresAndPeriod) {
    mox::semaphore gui;
    trs::manager man(3, gui);
    man.init(1e-6, trs::manager::all_channels);
    auto b = man.create_builder(2);
    for (int k = 0; k < 40; ++k)
        b.append(k * 104, static_cast<uint8_t>(k % 2 == 0));
    EXPECT_EQ(man.get_baud(2).nearest, 9600u);
    man.modify_sampling_period(1e-6 / 12);
    EXPECT_EQ(man.get_baud(2).nearest, 115200u);
    EXPECT_EQ(man.get_baud(0).real, 1u);
    man.modify_sampling_period(0.0);
    EXPECT_THROW(man.get_baud(2), std::runtime_error);
    EXPECT_THROW(man.get_baud(3), std::out_of_range);

    auto samplers = man.create_bitsamplers();
    ASSERT_EQ(samplers.size(), 3u);
    samplers[2].init(52, 104);
    EXPECT_EQ(sample(samplers[2], 4), (std::vector<int>{1, 0, 1, 0}));
    EXPECT_THROW(man.create_bitsampler(3), std::out_of_range);
}

} // namespace
