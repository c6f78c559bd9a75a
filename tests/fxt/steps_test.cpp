#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "fxt_helpers.h"

namespace {

using namespace fxt_test;
using fxt::event_t;
using hw::model_t;
using E = event_t;

TEST(Step, Queries) {
    fxt::step_t s = step({{2, E::LVL_1}, {5, E::LVL_0}, {9, E::CHNG}});
    EXPECT_TRUE(s.has_level());
    EXPECT_EQ(s.get_evt_channel(), 9);
    s.invert_level();
    EXPECT_EQ(conditions(s), (conds{{2, E::LVL_0}, {5, E::LVL_1}, {9, E::CHNG}}));

    const fxt::step_t levels = step({{3, E::LVL_1}});
    EXPECT_EQ(levels.get_evt_channel(), -1);
    EXPECT_FALSE(levels.has_event());

    const fxt::step_t edges = step({{127, E::FALL}, {64, E::PULSE_0}, {1, E::LVL_0}});
    EXPECT_EQ(edges.get_evt_channel(), 64);
    EXPECT_EQ(edges.get_evt_mask().count(), 2u);
}

TEST(StepsManager, EvaluateAndAccess) {
    fxt::core c(model_t::kestrel_one);
    std::string msg = "stale";
    EXPECT_FALSE(c.steps.evaluate(msg));
    EXPECT_EQ(msg, "No any trigger steps defined");

    c.steps.append(step({{0, E::RIZE}}));
    EXPECT_TRUE(c.steps.evaluate(msg));
    EXPECT_EQ(msg, "");

    c.steps.append(step({{1, E::RIZE}, {4, E::FALL}}));
    EXPECT_FALSE(c.steps.evaluate(msg));
    EXPECT_EQ(msg, "One or more trigger step contains multiple transitions. Only one "
                   "transition is allowed in a single step");

    EXPECT_THROW(c.steps.get(2), std::out_of_range);
}

TEST(StepsManager, MaxPeriodCountsBoundedTimesOnly) {
    fxt::core c(model_t::kestrel_one);
    EXPECT_EQ(c.steps.max_period(), 0.0);
    fxt::step_t unbounded;
    unbounded.t_max = 9.0; // ignore_tmax stays set
    fxt::step_t bounded;
    bounded.ignore_tmax = false;
    bounded.t_max = 2e-3;
    fxt::step_t lower;
    lower.ignore_tmin = false;
    lower.t_min = 5e-3;
    c.steps.load({unbounded, bounded});
    EXPECT_EQ(c.steps.max_period(), 2e-3);
    // A bounded minimum must also fit the timer.
    c.steps.append(lower);
    EXPECT_EQ(c.steps.max_period(), 5e-3);
}

class Expand : public ::testing::Test {
protected:
    std::vector<fxt::step_t> multi(std::vector<fxt::step_t> src) {
        return c.steps.expand(false, std::move(src));
    }
    fxt::core c{model_t::kestrel_one};
};

TEST_F(Expand, SingleRiseBecomesLowThenHigh) {
    const auto out = multi({step({{0, E::RIZE}})});
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(conditions(out[0]), (conds{{0, E::LVL_0}}));
    EXPECT_TRUE(out[0].dont_wait_for_change);
    EXPECT_EQ(conditions(out[1]), (conds{{0, E::LVL_1}}));
    EXPECT_FALSE(out[1].dont_wait_for_change);
    EXPECT_FALSE(out[1].logic_change_only);
}

TEST_F(Expand, RepeatedRiseGetsComplementFall) {
    const auto out = multi({step({{0, E::RIZE}}), step({{0, E::RIZE}})});
    ASSERT_EQ(out.size(), 4u);
    const E expected[] = {E::LVL_0, E::LVL_1, E::LVL_0, E::LVL_1};
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(conditions(out[i]), (conds{{0, expected[i]}})) << i;
        EXPECT_TRUE(out[i].ignore_tmax && out[i].ignore_tmin) << i;
    }
    // The inserted fall continues the timer of the first rise.
    EXPECT_TRUE(out[2].dont_reset_time);
    EXPECT_FALSE(out[3].dont_reset_time);

    // The complement keeps only the levels both steps share.
    const auto q = multi({step({{0, E::FALL}, {1, E::LVL_1}, {2, E::LVL_1}}),
                          step({{0, E::FALL}, {1, E::LVL_1}, {2, E::LVL_0}})});
    ASSERT_EQ(q.size(), 7u);
    EXPECT_EQ(conditions(q[0]), (conds{{0, E::LVL_1}}));
    EXPECT_EQ(conditions(q[1]), (conds{{0, E::LVL_0}}));
    EXPECT_EQ(conditions(q[2]), (conds{{0, E::LVL_0}, {1, E::LVL_1}, {2, E::LVL_1}}));
    EXPECT_EQ(conditions(q[3]), (conds{{0, E::LVL_1}}));
    EXPECT_EQ(conditions(q[4]), (conds{{0, E::LVL_1}, {1, E::LVL_1}}));
    EXPECT_EQ(conditions(q[5]), (conds{{0, E::LVL_0}}));
    EXPECT_EQ(conditions(q[6]), (conds{{0, E::LVL_0}, {1, E::LVL_1}, {2, E::LVL_0}}));
    EXPECT_TRUE(q[2].dont_wait_for_change && q[4].dont_wait_for_change);
    EXPECT_TRUE(q[6].dont_wait_for_change);
}

TEST_F(Expand, EdgeAfterLevelWaitsForTheOppositeLevelFirst) {
    const auto out = multi({step({{3, E::LVL_1}}), step({{3, E::RIZE}})});
    ASSERT_EQ(out.size(), 3u);
    EXPECT_TRUE(out[0].dont_wait_for_change); // a pure level step
    EXPECT_EQ(conditions(out[1]), (conds{{3, E::LVL_0}}));
    EXPECT_FALSE(out[1].dont_wait_for_change);
    EXPECT_EQ(conditions(out[2]), (conds{{3, E::LVL_1}}));

    // No pre-step when the last level already is the one before the edge.
    const auto low = multi({step({{3, E::LVL_0}}), step({{3, E::RIZE}})});
    EXPECT_EQ(low.size(), 2u);
}

TEST_F(Expand, DelayElementMovesItsBoundOntoTheNextStep) {
    fxt::step_t own = step({{0, E::RIZE}});
    own.ignore_tmin = false; // the user step's own timing is dropped
    own.t_min = 0.25;
    own.dont_reset_time = true;
    const auto out = multi({step({{1, E::LVL_1}}), delay(0.5), own});
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(conditions(out[0]), (conds{{1, E::LVL_1}}));
    EXPECT_TRUE(out[0].ignore_tmax);
    EXPECT_EQ(conditions(out[1]), (conds{{0, E::LVL_1}}));
    EXPECT_FALSE(out[1].ignore_tmax);
    EXPECT_EQ(out[1].t_max, 0.5);
    EXPECT_TRUE(out[1].ignore_tmin);
    EXPECT_EQ(out[1].t_min, 0.0);
    EXPECT_FALSE(out[1].dont_reset_time);
}

TEST_F(Expand, ChangeStepsAndRefusedSteps) {
    const auto out = multi({step({{4, E::CHNG}}), step({{4, E::CHNG}, {6, E::CHNG}})});
    ASSERT_EQ(out.size(), 2u); // a change after a change needs nothing in between
    for (const auto& s : out) {
        EXPECT_TRUE(s.logic_change_only);
        EXPECT_FALSE(s.dont_wait_for_change);
    }
    EXPECT_EQ(conditions(out[1]), (conds{{4, E::CHNG}, {6, E::CHNG}}));

    // Pulses and several edges in one step cannot run as engine steps.
    for (E pulse : {E::PULSE_1, E::PULSE_0}) {
        try {
            multi({step({{2, pulse}})});
            ADD_FAILURE() << "pulse accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "unexpected event type in trigger step");
        }
    }
    EXPECT_THROW(multi({step({{1, E::RIZE}, {4, E::FALL}})}), std::runtime_error);
    EXPECT_THROW(multi({step({{1, E::CHNG}, {4, E::RIZE}})}), std::runtime_error);
}

TEST(StepRecord, LayoutAndRoundTrip) {
    fxt::step_t s = step({{0, E::LVL_1}, {17, E::FALL}, {127, E::PULSE_0}});
    s.t_max = 1.0;
    s.t_min = 0.5;
    s.ignore_tmax = false;
    s.dont_reset_time = true;
    s.str_description = "not sent";
    fxt::bytes b;
    s.push_to_vector(b);
    ASSERT_EQ(b.size(), 151u);
    EXPECT_EQ(b[0], 2);
    EXPECT_EQ(b[1], 1);
    EXPECT_EQ(b[18], 5);
    EXPECT_EQ(b[128], 7);
    EXPECT_EQ(b[135], 0xF0); // t_max 1.0
    EXPECT_EQ(b[136], 0x3F);
    EXPECT_EQ(b[144], 0x3F); // t_min 0.5 is 00..00 E0 3F
    EXPECT_EQ((fxt::bytes(b.end() - 6, b.end())), (fxt::bytes{0, 1, 0, 0, 1, 0}));

    // Any non-zero flag byte reads as set; marker 1 is read alike.
    b[0] = 1;
    b[150] = 0x80;
    fxt::step_t r;
    size_t i = 0;
    r.pull_from_vector(b, i);
    EXPECT_EQ(i, 151u);
    EXPECT_EQ(r.bit_event_type, s.bit_event_type);
    EXPECT_EQ(r.t_max, 1.0);
    EXPECT_EQ(r.t_min, 0.5);
    EXPECT_FALSE(r.ignore_tmax);
    EXPECT_TRUE(r.ignore_tmin);
    EXPECT_TRUE(r.dont_reset_time);
    EXPECT_TRUE(r.logic_change_only);
    EXPECT_EQ(r.str_description, "");
}

TEST(StepsManager, ListFormAppendsAndRefusesBadLists) {
    fxt::core c(model_t::kestrel_one);
    c.steps.load({step({{0, E::RIZE}}), step({{1, E::LVL_0}})});
    fxt::bytes b{0xAA}; // pushes append to what the vector holds
    c.steps.push_to_vector(b);
    ASSERT_EQ(b.size(), 1u + 1 + 8 + 2 * 151);
    EXPECT_EQ((fxt::bytes(b.begin() + 1, b.begin() + 10)), (fxt::bytes{2, 2, 0, 0, 0, 0, 0, 0, 0}));

    size_t i = 1;
    c.steps.pull_from_vector(b, i);
    EXPECT_EQ(i, b.size());
    ASSERT_EQ(c.steps.count(), 4u);
    EXPECT_EQ(c.steps.get(2).bit_event_type[0], E::RIZE);
    EXPECT_EQ(c.steps.get(3).bit_event_type[1], E::LVL_0);

    // The older list form has a one-byte count.
    fxt::bytes old(2 + 151, 1);
    std::copy(b.begin() + 10, b.begin() + 10 + 151, old.begin() + 2);
    i = 0;
    c.steps.pull_from_vector(old, i);
    EXPECT_EQ(i, old.size());
    EXPECT_EQ(c.steps.count(), 5u);

    // A count beyond the bytes present is refused before anything is allocated.
    const fxt::bytes huge{2, 0, 0, 0, 0, 0, 0, 0, 0x10};
    i = 0;
    EXPECT_THROW(c.steps.pull_from_vector(huge, i), hw::exception);
    EXPECT_EQ(i, 0u);
    EXPECT_EQ(c.steps.count(), 5u);
}

} // namespace
