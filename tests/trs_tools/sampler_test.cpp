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
    s.append_idle(200, 0);
    trs::bitsampler b(s);
    b.init(50, 10);
    EXPECT_EQ(sample(b, 9), (std::vector<int>{0, 0, 0, 1, 1, 1, 1, 0, 0}));
    EXPECT_EQ(b.position(), 140);
    // Past the last transition the channel keeps its level.
    b.init(1000, 1000);
    EXPECT_EQ(sample(b, 2), (std::vector<int>{0, 0}));
    // A position exactly on a transition reads the level it reaches.
    b.init(75, 45);
    EXPECT_EQ(sample(b, 2), (std::vector<int>{1, 0}));
}

TEST(BitSampler, ItemsThatRepeatTheLevelDoNotFlipIt) {
    // The shape a resize or an edit leaves: a closing item at the end with the level held.
    trs::store s;
    s.append(0, 0);
    s.append(100, 1);
    s.append(300, 1);
    trs::bitsampler b(s);
    b.init(50, 100);
    EXPECT_EQ(sample(b, 4), (std::vector<int>{0, 1, 1, 1}));
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
    b.init(90, -20); // positions behind the walker
    // -10 lies before the channel: the level its initial level slice states.
    EXPECT_EQ(sample(b, 6), (std::vector<int>{1, 0, 0, 1, 1, 0}));
    // Data that arrives after the walk reached the end is seen.
    b.init(100, 100);
    EXPECT_EQ(b.next(), 1);
    s.append(150, 0);
    EXPECT_EQ(b.next(), 0);
    // A clear voids the walker's place.
    s.clear();
    s.append(500, 0); // initial level 1
    EXPECT_EQ(b.next(), 1);
}

TEST(BitSampler, ChunkBoundariesAndLongChannels) {
    // Enough transitions for many chunks, with multi-slice offsets.
    trs::store s;
    std::vector<int> want;
    for (isamp k = 1; k <= 3000; ++k)
        s.append(k * 1000, static_cast<uint8_t>(k % 2));
    trs::bitsampler b(s);
    b.init(500, 1000);
    for (isamp k = 0; k < 3000; ++k)
        want.push_back(static_cast<int>(k % 2));
    EXPECT_EQ(sample(b, 3000), want);
}

// Alternating pulses of `width` samples from `first` on, `n` edges.
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
}

TEST(AutoBaud, GlitchesAndTheFirstPulseAreNotMeasured) {
    // Glitches only.
    trs::store g;
    for (int k = 1; k <= 200; ++k)
        g.append(k * 3 + (k % 2), static_cast<uint8_t>(k % 2));
    trs::auto_baud none(g, 1e-6);
    EXPECT_EQ(none.real, 1u);
    EXPECT_EQ(none.nearest, 110u);
    EXPECT_EQ(none.shortest, 0);

    // A capture that began 30 samples before the end of a 104-sample bit, after the start
    // artefacts the capture tool writes (a fall and a rise at sample 0); a glitch of 2
    // samples inside a later bit is skipped too.
    trs::store s;
    s.append(0, 0);
    s.append(0, 1);
    s.append(30, 0);
    s.append(134, 1);
    s.append(200, 0);
    s.append(202, 1);
    s.append(342, 0);
    s.append(446, 1);
    s.append(600, 1); // repeats the level: not an edge
    trs::auto_baud a(s, 1e-6);
    EXPECT_EQ(a.shortest, 66); // 134 .. 200, the shortest complete pulse of at least 6
    trs::store clean;
    clean.append(0, 0);
    clean.append(0, 1);
    clean.append(30, 0);
    clean.append(134, 1);
    clean.append(342, 0);
    clean.append(446, 1);
    clean.append(460, 1);
    trs::auto_baud c(clean, 1e-6);
    EXPECT_EQ(c.shortest, 104);
    EXPECT_EQ(c.nearest, 9600u);
}

TEST(AutoBaud, ScanDepthBoundsTheWalk) {
    // 1000 items examined: the narrow pulses after them are not seen.
    trs::store s;
    isamp t = 0;
    for (int k = 0; k < 1100; ++k) {
        t += k < 1000 ? 500 : 10;
        s.append(t, static_cast<uint8_t>(k % 2 == 0));
    }
    trs::auto_baud a(s, 1e-6);
    EXPECT_EQ(a.shortest, 500);
    EXPECT_EQ(a.real, 2000u);
    EXPECT_EQ(a.nearest, 2400u);
}

TEST(AutoBaud, NearestStandardRate) {
    using a = trs::auto_baud;
    EXPECT_EQ(a::nearest_standard(1), 110u);
    EXPECT_EQ(a::nearest_standard(110), 110u);
    EXPECT_EQ(a::nearest_standard(111), 110u);
    EXPECT_EQ(a::nearest_standard(14400), 9600u); // halfway: the lower
    EXPECT_EQ(a::nearest_standard(14401), 19200u);
    EXPECT_EQ(a::nearest_standard(111111), 115200u);
    EXPECT_EQ(a::nearest_standard(125000), 115200u);
    EXPECT_EQ(a::nearest_standard(1000000), 1000000u);
    EXPECT_EQ(a::nearest_standard(4000000), 1000000u);
}

TEST(AutoBaud, RatesOutsideTheTable) {
    trs::store s = pulses(0, 6, 20);
    // 6 samples at 1 ns: 166 MBd, above the table.
    trs::auto_baud fast(s, 1e-9);
    EXPECT_EQ(fast.real, 166666666u);
    EXPECT_EQ(fast.nearest, 1000000u);
    // So short a period that the rate does not fit 32 bits.
    trs::auto_baud huge(s, 1e-18);
    EXPECT_EQ(huge.real, 4294967295u);
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
    man.modify_sampling_period(1e-6 / 12); // the same samples, twelve times faster
    EXPECT_EQ(man.get_baud(2).nearest, 115200u);
    EXPECT_EQ(man.get_baud(0).real, 1u); // an empty channel
    man.modify_sampling_period(0.0);
    EXPECT_THROW(man.get_baud(2), std::runtime_error);
    EXPECT_THROW(man.get_baud(3), std::out_of_range);

    auto samplers = man.create_bitsamplers();
    ASSERT_EQ(samplers.size(), 3u);
    samplers[2].init(52, 104);
    EXPECT_EQ(sample(samplers[2], 4), (std::vector<int>{1, 0, 1, 0}));
    auto one = man.create_bitsampler(2);
    one.init(52 + 104, 208);
    EXPECT_EQ(sample(one, 3), (std::vector<int>{0, 0, 0}));
    EXPECT_THROW(man.create_bitsampler(3), std::out_of_range);
}

} // namespace
