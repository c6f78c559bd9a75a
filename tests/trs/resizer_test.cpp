#include "trs/manager.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct item {
    trs::value pol;
    isamp sample;
    bool operator==(const item&) const = default;
};

std::ostream& operator<<(std::ostream& os, const item& i) {
    return os << "(" << static_cast<int>(i.pol) << "," << i.sample << ")";
}

// Every item of a channel, the initial level slice included.
std::vector<item> walk(trs::iterator it) {
    std::vector<item> v;
    it.restart(-1, 10.0, 0);
    for (int k = 0; k < 100000; ++k) {
        const auto t = it.next();
        if (t.pol == trs::value::none) break;
        v.push_back({t.pol, t.sample});
        if (t.is_last) break;
    }
    return v;
}

constexpr auto F = trs::value::falling;
constexpr auto R = trs::value::rising;

// As the capture tool leaves a channel: level 0 fixed at sample 0, then the changes.
void capture_like(trs::builder b, std::vector<isamp> changes, isamp length) {
    b.clear();
    b.append(0, 0);
    uint8_t level = 0;
    for (isamp s : changes)
        b.append(s, level ^= 1);
    b.append_idle(length, level);
}

TEST(Resizer, CutsAtNewLengthKeepingTheLevelThatHeldThere) {
    mox::semaphore gui;
    trs::manager man(18, gui);
    capture_like(man.create_builder(0), {100, 200, 250}, 300);
    man.resize(150, false);
    // The change at 200 comes after the cut: the channel ends high at 150, as it was there.
    EXPECT_EQ(walk(man.create_iterator(0)), (std::vector<item>{{R, 0}, {F, 0}, {R, 100}}));
    EXPECT_EQ(man.create_iterator(0).last_idle().pol, R);
    for (hw::ich ch = 0; ch < 18; ++ch) {
        EXPECT_EQ(man.create_iterator(ch).last_idle().sample, 150) << ch;
        EXPECT_FALSE(man.is_channel_uncaptured(ch));
    }
    EXPECT_EQ(man.available_samples_count(), 150);
    EXPECT_EQ(man.maximum_samples_count(), 150);
}

TEST(Resizer, EveryChannelEndsAtNewLengthWithItsLevel) {
    mox::semaphore gui;
    trs::manager man(18, gui);
    capture_like(man.create_builder(0), {100, 200, 250}, 300); // extended
    capture_like(man.create_builder(1), {}, 300);              // idle since sample 0
    capture_like(man.create_builder(2), {100, 300}, 300);      // change at the very end
    capture_like(man.create_builder(3), {100, 5000}, 6000);    // last change beyond the cut
    man.create_builder(4).append_idle(300, 1);                 // only an initial level
    man.resize(400, true);
    EXPECT_EQ(walk(man.create_iterator(0)),
              (std::vector<item>{{R, 0}, {F, 0}, {R, 100}, {F, 200}, {R, 250}}));
    EXPECT_EQ(man.create_iterator(0).last_idle().pol, R);
    // No edge is made up at the end of an idle channel.
    EXPECT_EQ(walk(man.create_iterator(1)), (std::vector<item>{{R, 0}, {F, 0}}));
    EXPECT_EQ(man.create_iterator(1).last_idle().pol, F);
    // A change that closed the channel closes it at its new length.
    EXPECT_EQ(walk(man.create_iterator(2)),
              (std::vector<item>{{R, 0}, {F, 0}, {R, 100}, {F, 400}}));
    EXPECT_EQ(walk(man.create_iterator(3)), (std::vector<item>{{R, 0}, {F, 0}, {R, 100}}));
    EXPECT_EQ(man.create_iterator(3).last_idle().pol, R);
    EXPECT_EQ(walk(man.create_iterator(4)), (std::vector<item>{{R, 0}}));
    for (hw::ich ch = 0; ch < 18; ++ch) {
        EXPECT_EQ(man.create_iterator(ch).last_idle().sample, 400) << ch;
        EXPECT_TRUE(man.is_channel_uncaptured(ch)) << ch;
    }
    EXPECT_EQ(man.available_samples_count(), 400);

    man.resize(0, false);
    EXPECT_EQ(walk(man.create_iterator(0)), (std::vector<item>{{R, 0}, {F, 0}}));
    EXPECT_EQ(walk(man.create_iterator(4)), (std::vector<item>{{R, 0}}));
    EXPECT_EQ(man.maximum_samples_count(), 0);
}

// The cut at the end of a capture: channels already at the length keep their stores (and a
// reader its position), the others are cut, and the flag is set on all of them.
TEST(Resizer, ChannelsAtTheLengthStayAsTheyAre) {
    mox::semaphore gui;
    trs::manager man(18, gui);
    capture_like(man.create_builder(0), {100, 200, 300}, 300);
    capture_like(man.create_builder(1), {100, 250}, 400);
    auto it = man.create_iterator(0);
    it.restart(0, 10.0, 0);
    it.next();
    const auto before = it.next();
    man.resize(300, true);
    EXPECT_EQ(it.next().sample, 200); // position kept: no rebuild
    EXPECT_EQ(walk(man.create_iterator(0)),
              (std::vector<item>{{R, 0}, {F, 0}, {R, 100}, {F, 200}, {R, 300}}));
    EXPECT_EQ(before.sample, 100);
    EXPECT_EQ(walk(man.create_iterator(1)),
              (std::vector<item>{{R, 0}, {F, 0}, {R, 100}, {F, 250}}));
    for (hw::ich ch = 0; ch < 18; ++ch)
        EXPECT_TRUE(man.is_channel_uncaptured(ch)) << ch;
}

TEST(Resizer, ParallelOverAllChannelsOfLargestModel) {
    mox::semaphore gui;
    trs::manager man(54, gui);
    for (hw::ich ch = 0; ch < 54; ++ch) {
        std::vector<trs::edge_t> batch;
        uint8_t level = 0;
        batch.push_back({0, 0});
        for (isamp s = 10; s < 100000; s += 10 + static_cast<isamp>(ch))
            batch.push_back({s, level ^= 1});
        auto b = man.create_builder(ch);
        b.append(batch);
        b.append_idle(100000 + static_cast<isamp>(ch) * 1000, level);
    }
    man.resize(50000, false);
    for (hw::ich ch = 0; ch < 54; ++ch) {
        const auto items = walk(man.create_iterator(ch));
        ASSERT_EQ(man.create_iterator(ch).last_idle().sample, 50000);
        const isamp step = 10 + static_cast<isamp>(ch);
        // Everything up to the cut is kept; the channel ends there.
        const size_t kept = static_cast<size_t>((50000 - 10) / step + 1);
        ASSERT_EQ(items.size(), 2 + kept) << ch;
        EXPECT_EQ(items[2 + kept - 1].sample, 10 + static_cast<isamp>(kept - 1) * step);
    }
}

// The device's level at every kept sample survives the cut, and the channel ends with the
// level at the cut (as a channel whose capture ended there), wherever the cut falls:
// between changes, on one, next to one.
TEST(Resizer, EveryCutKeepsTheLevelsUpToAndAtTheCut) {
    const std::vector<isamp> changes{3, 4, 10, 11, 12, 40, 41, 90};
    auto level_before = [&](isamp s) {
        uint8_t l = 0;
        for (isamp c : changes)
            if (c <= s) l ^= 1;
        return l;
    };
    for (isamp n = 1; n < 100; ++n) {
        mox::semaphore gui;
        trs::manager man(18, gui);
        capture_like(man.create_builder(0), changes, 100);
        man.resize(n, false);
        for (isamp s = 0; s < n; ++s) {
            uint8_t l = 2;
            ASSERT_TRUE(man.level_at(0, s, l)) << n << " " << s;
            ASSERT_EQ(l, level_before(s)) << "cut at " << n << ", sample " << s;
        }
        EXPECT_EQ(man.create_iterator(0).last_idle().sample, n);
        EXPECT_EQ(man.create_iterator(0).last_idle().pol == R ? 1 : 0, level_before(n))
            << "cut at " << n;
    }
}

TEST(ResizerDeathTest, NegativeLength) {
    std::vector<trs::store> stores(2);
    std::vector<mox::mutex> mutexes(2);
    std::vector<trs::builder> builders{{stores[0], mutexes[0]}, {stores[1], mutexes[1]}};
    trs::resizer r(stores, builders);
    EXPECT_DEATH(r.resize(-1, false), "new_n_samples >= 0");
    r.resize(10, false); // an empty store is only extended
    EXPECT_EQ(stores[1].samples_count(), 10);
}

} // namespace
