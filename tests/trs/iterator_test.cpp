#include "trs/iterator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

using trs::value;

void expect_tr(const trs::tr& t, value pol, isamp sample, bool first, bool last) {
    EXPECT_EQ(t.pol, pol);
    EXPECT_EQ(t.sample, sample);
    EXPECT_EQ(t.is_first, first);
    EXPECT_EQ(t.is_last, last);
}

// Initial level 1 at 0, a fall at 0 and a rise at 100.
struct Example : ::testing::Test {
    trs::store s;
    trs::iterator it{s};
    void SetUp() override {
        s.append(0, 0);
        s.append(100, 1);
    }
};

TEST(Iterator, EmptyStore) {
    trs::store s;
    trs::iterator it(s);
    it.restart(0, 10.0, 0);
    expect_tr(it.next(), value::none, 0, true, true);
    expect_tr(it.prev(), value::none, 0, true, true);
    EXPECT_FALSE(it.current_tr_is_not_last());
    // Data arriving later is found by the pending restart.
    s.append(10, 1);
    expect_tr(it.next(), value::falling, 0, true, false);
}

TEST_F(Example, ForwardsFromStartAndBackToInitialLevel) {
    it.restart(0, 10.0, 0);
    expect_tr(it.next(), value::falling, 0, false, false); // the later of the two at sample 0
    expect_tr(it.prev(), value::rising, 0, true, false);   // the initial level slice
    expect_tr(it.prev(), value::rising, 0, true, false);   // stays on the first item
    expect_tr(it.next(), value::falling, 0, false, false);
    expect_tr(it.next(), value::rising, 100, false, true);
    expect_tr(it.next(), value::rising, 100, false, true);
    expect_tr(it.current(), value::rising, 100, false, true);
    EXPECT_EQ(it.last_idle().sample, 100);
    // New data shows on the next step.
    s.append(150, 0);
    expect_tr(it.next(), value::falling, 150, false, true);
}

TEST_F(Example, RestartBetweenTransitions) {
    it.restart(50, 10.0, 0);
    expect_tr(it.next(), value::rising, 100, false, true);
    it.restart(50, 10.0, 0);
    expect_tr(it.prev(), value::falling, 0, false, false);
    it.restart(100, 10.0, 0);
    expect_tr(it.prev(), value::rising, 100, false, true);
    it.restart(1000, 10.0, 0);
    expect_tr(it.next(), value::rising, 100, false, true);

    it.restart(0, 10.0, 0);
    EXPECT_TRUE(it.current_tr_is_not_last()); // takes the first step
    expect_tr(it.current(), value::falling, 0, false, false);
    expect_tr(it.next(), value::rising, 100, false, true);
    EXPECT_FALSE(it.current_tr_is_not_last());

    EXPECT_THROW(it.restart(0, 0.0, 0), std::invalid_argument);
    EXPECT_THROW(it.restart(0, -1.0, 0), std::invalid_argument);
}

TEST_F(Example, DecrementOnFirstSliceThrows) {
    it.restart(0, 10.0, 0);
    it.prev();
    it.prev();
    EXPECT_TRUE(it.is_first_slice());
    try {
        it.decrement();
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "can't decrement, already at first slice");
    }
}

TEST(Iterator, FoldsDenseRunIntoBloc) {
    trs::store s;
    for (isamp t : {0, 3, 6, 9})
        s.append(t, static_cast<uint8_t>((t / 3 + 1) % 2)); // rise at 0, fall at 3, ...
    s.append(100, 1);
    trs::iterator it(s);
    it.restart(0, 0.3, 0);
    ASSERT_EQ(it.get_samples_per_pixel(), 10);
    expect_tr(it.next(), value::bloc, 0, false, false);
    expect_tr(it.next(), value::falling, 9, false, false); // end of the run
    expect_tr(it.next(), value::rising, 100, false, true);

    // Backwards: from 100 the run folds at 9 and ends on the initial level slice.
    it.restart(100, 0.3, 0);
    expect_tr(it.prev(), value::rising, 100, false, true);
    expect_tr(it.prev(), value::bloc, 9, false, false);
    expect_tr(it.prev(), value::falling, 0, true, false);
}

TEST(Iterator, FoldedRunFollowedByMoreTransitions) {
    trs::store s;
    const std::vector<isamp> t{0, 3, 6, 9, 100, 200, 250, 253, 256, 400};
    for (size_t k = 0; k < t.size(); ++k)
        s.append(t[k], static_cast<uint8_t>((k + 1) % 2));
    trs::iterator it(s);
    it.restart(0, 0.3, 0);
    std::vector<std::pair<value, isamp>> fwd;
    for (int k = 0; k < 20; ++k) {
        auto x = it.next();
        fwd.emplace_back(x.pol, x.sample);
        if (x.is_last) break;
    }
    // Every item once, dense runs folded: no transition of a run comes out after its bloc.
    const std::vector<std::pair<value, isamp>> want_fwd{
        {value::bloc, 0},   {value::falling, 9},  {value::rising, 100}, {value::falling, 200},
        {value::bloc, 250}, {value::rising, 256}, {value::falling, 400}};
    EXPECT_EQ(fwd, want_fwd);

    it.restart(400, 0.3, 0);
    std::vector<std::pair<value, isamp>> back;
    for (int k = 0; k < 20; ++k) {
        auto x = it.prev();
        back.emplace_back(x.pol, x.sample);
        if (x.is_first) break;
    }
    const std::vector<std::pair<value, isamp>> want_back{
        {value::falling, 400}, {value::bloc, 256}, {value::rising, 250}, {value::falling, 200},
        {value::rising, 100},  {value::bloc, 9},   {value::falling, 0}};
    EXPECT_EQ(back, want_back);
}

TEST(Iterator, ViewportLimitStopsFold) {
    trs::store s;
    for (isamp t = 0; t <= 300; t += 2)
        s.append(t, static_cast<uint8_t>((t / 2 + 1) % 2));
    s.append(1000, 1);
    trs::iterator it(s);
    it.restart(0, 0.3, 100);
    EXPECT_EQ(it.next().pol, value::bloc);
    const auto end = it.next();
    EXPECT_NE(end.pol, value::bloc);
    EXPECT_LE(end.sample, 100);
    EXPECT_GT(end.sample, 80);
}

// A store whose chunk boundary is crossed by a three-slice transition at 100000.
struct Straddle : ::testing::Test {
    trs::store s;
    void SetUp() override {
        for (int k = 0; k < 498; ++k)
            s.append(k / 10, static_cast<uint8_t>(k % 2));
        s.append(100000, 0);
        s.append(100010, 1);
        ASSERT_EQ(s.get_abs_time(1), 100000);
    }
};

TEST_F(Straddle, ReachedForwardsBackwardsAndBySearch) {
    trs::iterator it(s);
    it.restart(49, 10.0, 0);
    trs::tr x{};
    while (x.sample < 100000 && !x.is_last)
        x = it.next();
    expect_tr(x, value::falling, 100000, false, false);
    expect_tr(it.next(), value::rising, 100010, false, true);
    expect_tr(it.prev(), value::falling, 100000, false, false);
    EXPECT_EQ(it.prev().sample, 49);

    for (isamp target : {isamp{50}, isamp{99999}, isamp{100000}}) {
        it.restart(target, 10.0, 0);
        expect_tr(it.next(), value::falling, 100000, false, false);
    }
    it.restart(100005, 10.0, 0);
    expect_tr(it.prev(), value::falling, 100000, false, false);
    it.restart(100010, 10.0, 0);
    expect_tr(it.prev(), value::rising, 100010, false, true);
}

TEST(Iterator, MatchesReferenceWalkOnRandomStore) {
    std::mt19937_64 rng(1234);
    trs::store s;
    std::vector<isamp> ref{0}; // the initial level slice
    std::vector<uint8_t> lvl{1};
    isamp t = 0;
    for (int k = 0; k < 20000; ++k) {
        const int kind = static_cast<int>(rng() % 4);
        t += kind == 0   ? 0
             : kind == 1 ? static_cast<isamp>(rng() % 64)
             : kind == 2 ? static_cast<isamp>(rng() % 5000)
                         : static_cast<isamp>(rng() % 1000000);
        const uint8_t v = static_cast<uint8_t>(k % 2);
        s.append(t, v);
        ref.push_back(t);
        lvl.push_back(v);
    }
    lvl[0] = 1; // opposite of the first edge (0)
    trs::iterator it(s);
    it.restart(-1, 10.0, 0);
    auto x = it.next();
    for (size_t k = 1; k < ref.size(); ++k) {
        // restart(-1) starts on the initial level slice itself
        x = it.next();
        ASSERT_EQ(x.sample, ref[k]) << k;
        ASSERT_EQ(static_cast<int>(x.pol), lvl[k]) << k;
    }
    EXPECT_TRUE(x.is_last);
    for (size_t k = ref.size() - 1; k-- > 0;) {
        x = it.prev();
        ASSERT_EQ(x.sample, ref[k]) << k;
        ASSERT_EQ(static_cast<int>(x.pol), lvl[k]) << k;
    }
    EXPECT_TRUE(x.is_first);

    // Positioning: the first next() gives the first transition at or after the target (the
    // last of equal samples), prev() the last one at or before it.
    for (int n = 0; n < 500; ++n) {
        const isamp target = static_cast<isamp>(rng() % static_cast<uint64_t>(t + 10));
        const auto after = std::upper_bound(ref.begin(), ref.end(), target);
        it.restart(target, 10.0, 0);
        const auto p = it.prev();
        ASSERT_EQ(p.sample, *(after - 1));
        it.restart(target, 10.0, 0);
        const auto q = it.next();
        if (*(after - 1) == target || after == ref.end())
            ASSERT_EQ(q.sample, *(after - 1));
        else
            ASSERT_EQ(q.sample, *after);
    }
}

TEST(Iterator, ClearVoidsPosition) {
    trs::store s;
    for (int k = 0; k < 5000; ++k)
        s.append(k * 100, static_cast<uint8_t>(k % 2));
    trs::iterator it(s);
    it.restart(0, 10.0, 0);
    for (int k = 0; k < 4000; ++k)
        it.next();
    s.clear();
    expect_tr(it.next(), value::none, 0, true, true);
    s.append(7, 1);
    expect_tr(it.next(), value::falling, 0, true, false);
    EXPECT_EQ(it.next().sample, 7);
    // A copy walks from the same position.
    trs::iterator copy = it;
    EXPECT_EQ(copy.current().sample, 7);
    EXPECT_EQ(copy.prev().sample, 0);
}

} // namespace
