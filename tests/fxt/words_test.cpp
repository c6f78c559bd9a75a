#include <gtest/gtest.h>

#include <stdexcept>

#include "fxt/word.h"
#include "fxt_helpers.h"
#include "hw/exception.h"

namespace {

using namespace fxt_test;
using fxt::mode_t;
using hw::model_t;
using E = fxt::event_t;

constexpr uint64_t bit(unsigned n) {
    return 1ULL << n;
}
constexpr uint64_t mask_all = ((1ULL << 18) - 1) << 45;
constexpr uint64_t dwfc = bit(26);

class Words : public ::testing::Test {
protected:
    std::vector<uint64_t> build(mode_t m, std::vector<fxt::step_t> steps, size_t start = 0) {
        c.set_mode(m);
        c.steps.load(steps);
        return c.build_device_data(start);
    }
    uint64_t field(uint64_t w, fxt::reg r) { return fxt::read_reg(w, r); }
    fxt::core c{model_t::kestrel_one};
    const fxt::map& wm = c.my_caps.trig_word_map;
};

TEST_F(Words, HighPulseIsIdlePulseIdle) {
    fxt::step_t p = step({{5, E::PULSE_1}});
    p.ignore_tmin = false;
    p.t_min = 1e-6;
    const auto w = build(mode_t::HI_PULSE, {p});
    ASSERT_EQ(w.size(), 3u);
    const uint64_t others = mask_all & ~bit(50);
    EXPECT_EQ(w[0], bit(0) | bit(1) | dwfc | others);
    EXPECT_EQ(w[1], bit(0) | bit(1) | bit(32) | others);
    EXPECT_EQ(w[2], bit(1) | (c.my_clk.to_tick(1e-6) << 2) | others);
    EXPECT_EQ(c.get_clock(), 250000000u);
    EXPECT_EQ(field(w[2], wm.tmin), 250u);
}

TEST_F(Words, LowPulseKeepsQualifierLevelsAndFitsItsMinimum) {
    fxt::step_t p = step({{1, E::PULSE_0}, {4, E::LVL_1}, {6, E::LVL_0}});
    p.ignore_tmin = false;
    p.t_min = 100e-6; // 25000 ticks at the fastest clock
    p.ignore_tmax = false;
    p.t_max = 50e-6;
    const auto w = build(mode_t::LO_PULSE, {p});
    ASSERT_EQ(w.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(field(w[i], wm.static_value) & ~bit(1), bit(4)) << i;
        EXPECT_EQ(field(w[i], wm.mask), ((1u << 18) - 1) & ~(bit(1) | bit(4) | bit(6))) << i;
    }
    EXPECT_EQ(field(w[0], wm.static_value) & bit(1), bit(1)); // idle high
    EXPECT_EQ(field(w[1], wm.static_value) & bit(1), 0u);
    EXPECT_EQ(field(w[2], wm.static_value) & bit(1), bit(1));
    EXPECT_LT(c.get_clock(), 20460000u);
    EXPECT_EQ(field(w[2], wm.tmin), c.my_clk.to_tick(100e-6));
    EXPECT_LE(field(w[2], wm.tmin), 2046u);
    EXPECT_EQ(field(w[2], wm.tmax), c.my_clk.to_tick(50e-6));
    EXPECT_EQ(field(w[2], wm.ignore_tmax), 0u);
}

TEST_F(Words, PulseModesRefuseProgramsWithoutAPulse) {
    EXPECT_THROW(build(mode_t::HI_PULSE, {}), std::runtime_error);
    for (const auto& s :
         {step({{2, E::RIZE}}), step({{2, E::LVL_1}}), step({{2, E::PULSE_1}, {3, E::PULSE_1}})}) {
        try {
            build(mode_t::HI_PULSE, {s});
            ADD_FAILURE();
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "unexpected event type in trigger step");
        }
        EXPECT_EQ(c.steps.count(), 1u);
    }
}

TEST_F(Words, MultiStepRiseWords) {
    const auto w = build(mode_t::MLTI_STEP, {step({{0, E::RIZE}})});
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0], 0x7FFFC00004000003ULL);
    EXPECT_EQ(w[1], 0x7FFFC00008000003ULL);
}

TEST_F(Words, ChangeAndAllMaskedSteps) {
    fxt::step_t any; // no condition at all: must not wait for a change that never matters
    any.dont_wait_for_change = false;
    const auto w = build(mode_t::DECODER, {any, step({{7, E::CHNG}, {8, E::LVL_0}})});
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0], bit(0) | bit(1) | dwfc | mask_all);
    EXPECT_EQ(w[1], bit(0) | bit(1) | bit(24) | (mask_all & ~bit(52) & ~bit(53)));
}

TEST_F(Words, GroupWindowSelectsItsOwnChannels) {
    fxt::core two(model_t::kestrel_two);
    two.set_mode(mode_t::DECODER);
    two.steps.load({step({{20, E::LVL_1}, {2, E::LVL_1}}), step({{20, E::LVL_0}})});
    const auto g18 = two.build_device_data(18);
    ASSERT_EQ(g18.size(), 2u);
    EXPECT_EQ(g18[0], bit(0) | bit(1) | bit(29) | (mask_all & ~bit(47)));
    EXPECT_EQ(g18[1], bit(0) | bit(1) | (mask_all & ~bit(47)));
    const auto g0 = two.build_device_data(0);
    EXPECT_EQ(g0[0], bit(0) | bit(1) | bit(29) | (mask_all & ~bit(47)));
    EXPECT_EQ(g0[1], bit(0) | bit(1) | dwfc | mask_all);
}

TEST_F(Words, LongTimesAreClampedNotWrapped) {
    fxt::step_t lower = step({{0, E::LVL_1}});
    lower.ignore_tmin = false;
    lower.t_min = 3.0;
    const auto w = build(mode_t::MLTI_STEP,
                         {delay(5.0), step({{0, E::RIZE}}), delay(2.0), step({{0, E::LVL_0}})});
    EXPECT_EQ(c.get_clock(), 1999u); // as slow as the divider goes from min_clk
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(field(w[0], wm.tmax), 2047u); // 9995 ticks would wrap to 1803
    EXPECT_EQ(field(w[1], wm.tmax), 2047u);
    EXPECT_EQ(field(w[2], wm.tmax), 2047u); // 3998 ticks would wrap to 1950

    const auto d = build(mode_t::DECODER, {lower});
    EXPECT_EQ(field(d[0], wm.tmin), 2047u);
    EXPECT_EQ(field(d[0], wm.ignore_tmin), 0u);
}

TEST_F(Words, ClockFollowsTheBoundsLeftAfterExpansion) {
    fxt::step_t own = step({{1, E::LVL_1}});
    own.ignore_tmax = false; // dropped by the expansion, so it must not slow the clock
    own.t_max = 10.0;
    fxt::step_t short_delay = delay(0);
    short_delay.ignore_tmax = true;
    short_delay.ignore_tmin = false;
    short_delay.t_min = 20e-6;
    const auto w = build(mode_t::MLTI_STEP, {own, short_delay, step({{1, E::LVL_0}})});
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(field(w[0], wm.ignore_tmax), 1u);
    EXPECT_EQ(field(w[1], wm.ignore_tmin), 0u);
    EXPECT_EQ(c.get_clock(), 83333333u);
    EXPECT_EQ(field(w[1], wm.tmin), 1667u); // 0 at the 1999 Hz a 10 s bound would need
}

TEST_F(Words, NoTriggerLoadsNoProgram) {
    c.my_clk.set(100000000);
    EXPECT_TRUE(build(mode_t::NOTRIG, {}).empty());
    EXPECT_EQ(c.get_clock(), 250000000u);
    fxt::step_t timed = step({{0, E::LVL_1}});
    timed.ignore_tmax = false;
    timed.t_max = 1.0;
    EXPECT_TRUE(build(mode_t::NOTRIG, {timed}).empty());
    EXPECT_EQ(c.get_clock(), 250000000u);
    EXPECT_TRUE(build(mode_t::EXT_RISING, {}).empty());
}

// The configuration carries the word count in 8 bits: a 256th word would load as a
// program of 0 words, an engine that is off and triggers at once.
TEST_F(Words, ProgramsLongerThanTheEngineAreRefused) {
    std::vector<fxt::step_t> steps(255, step({{0, E::LVL_1}}));
    EXPECT_EQ(build(mode_t::MLTI_STEP, steps).size(), 255u);
    steps.push_back(step({{0, E::LVL_0}}));
    EXPECT_THROW(build(mode_t::MLTI_STEP, steps), hw::exception);
    steps.push_back(step({{0, E::LVL_0}}));
    EXPECT_THROW(build(mode_t::MLTI_STEP, steps), hw::exception);
}

TEST_F(Words, FastModesAreNotBuilt) {
    for (mode_t m : {mode_t::RISING, mode_t::FALLING, mode_t::CHANGE})
        EXPECT_DEATH(build(m, {step({{0, E::LVL_1}})}), "false");
}

TEST(WordsAllModels, BitSixtyThreeStaysClear) {
    for (model_t model : {model_t::kestrel_one, model_t::kestrel_two, model_t::kestrel_three}) {
        fxt::core c(model);
        c.set_mode(mode_t::DECODER);
        fxt::step_t high;
        high.bit_event_type.fill(E::LVL_1);
        high.ignore_tmax = high.ignore_tmin = false;
        high.t_max = high.t_min = 1e-3;
        c.steps.load({high, fxt::step_t()});
        for (size_t g = 0; g < hw::channel_count(model); g += 18)
            for (uint64_t w : c.build_device_data(g)) {
                EXPECT_EQ(w & bit(63), 0u);
                EXPECT_NE(w, 0u);
            }
    }
}

} // namespace
