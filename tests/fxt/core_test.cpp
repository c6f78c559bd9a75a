#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "fxt_helpers.h"
#include "hw/exception.h"

namespace {

using namespace fxt_test;
using fxt::mode_t;
using hw::model_t;
using E = fxt::event_t;

TEST(Clock, AutosetChoosesTheDivision) {
    fxt::core c(model_t::kestrel_one);
    EXPECT_EQ(c.get_clock(), 0u);
    fxt::clock& clk = c.my_clk;
    EXPECT_EQ(clk.autoset(0), 250000000u);
    EXPECT_EQ(clk.autoset(1e-3), 2032520u);
    EXPECT_EQ(clk.get(), 2032520u);
    EXPECT_EQ(clk.autoset(10.0), 1999u);
    // Times too short for a 32-bit intermediate, or not times at all, run at full speed.
    EXPECT_EQ(clk.autoset(1e-12), 250000000u);
    EXPECT_EQ(clk.autoset(-1.0), 250000000u);
    EXPECT_EQ(clk.autoset(std::nan("")), 250000000u);
    EXPECT_EQ(clk.autoset(std::numeric_limits<double>::infinity()), 1999u);
    // Up to about 1.023 s the longest time fits the timer and uses at least half of it.
    for (double t : {37e-6, 1e-3, 0.3, 1.023}) {
        clk.autoset(t);
        EXPECT_LE(clk.to_tick(t), 2046u) << t;
        EXPECT_GT(clk.to_tick(t), 1000u) << t;
    }
}

TEST(Clock, SetRefusesClocksOutOfRange) {
    fxt::core c(model_t::kestrel_two);
    c.my_clk.set(250000000);
    EXPECT_EQ(c.get_clock(), 250000000u);
    c.my_clk.set(2001);
    EXPECT_THROW(c.my_clk.set(2000), std::out_of_range);
    EXPECT_THROW(c.my_clk.set(250000001), std::out_of_range);
    EXPECT_EQ(c.get_clock(), 2001u);
}

TEST(Clock, TicksAndRealTimings) {
    fxt::core c(model_t::kestrel_one);
    fxt::clock& clk = c.my_clk;
    double tmin = 0, tmax = 5e-6;
    clk.get_real_timings(tmin, tmax, false, true);
    EXPECT_EQ(clk.get(), 250000000u);
    EXPECT_DOUBLE_EQ(tmax, 1250.0 / 250000000);

    tmin = 3.3e-7, tmax = 1e-3;
    clk.get_real_timings(tmin, tmax, true, true);
    EXPECT_EQ(clk.get(), 2032520u);
    EXPECT_DOUBLE_EQ(tmax, 2033.0 / 2032520); // 2032.52 ticks round up
    EXPECT_DOUBLE_EQ(tmin, 1.0 / 2032520);

    // A time past the timer is capped.
    tmin = 0, tmax = 30.0;
    clk.get_real_timings(tmin, tmax, false, true);
    EXPECT_EQ(clk.get(), 1999u);
    EXPECT_DOUBLE_EQ(tmax, 2047.0 / 1999);

    clk.set(1000000);
    EXPECT_EQ(clk.to_tick(1.5e-6), 2u);
    EXPECT_EQ(clk.to_tick(-1.0), 0u);
    EXPECT_EQ(clk.to_tick(std::nan("")), 0u);
}

TEST(Core, DescriptionRoundTrip) {
    EXPECT_THROW(fxt::core(model_t::na), hw::exception);
    fxt::core a(model_t::kestrel_one);
    EXPECT_EQ(a.get_mode(), mode_t::NOTRIG);
    EXPECT_THROW(a.set_mode(mode_t::BUS), hw::exception);
    fxt::step_t timed = step({{0, E::FALL}, {5, E::LVL_1}});
    timed.ignore_tmax = false;
    timed.t_max = 0.125;
    a.steps.load({step({{3, E::PULSE_1}}), timed});
    a.set_mode(mode_t::HI_PULSE);
    fxt::bytes b;
    a.push_to_vector(b);
    ASSERT_EQ(b.size(), 1u + 9 + 2 * 151 + 1);
    EXPECT_EQ(b.front(), 2);
    EXPECT_EQ(b[1], 2);
    EXPECT_EQ(b.back(), 3);

    fxt::core r(model_t::kestrel_one);
    r.steps.append(fxt::step_t()); // replaced, not appended to
    size_t i = 0;
    r.pull_from_vector(b, i);
    EXPECT_EQ(i, b.size());
    EXPECT_EQ(r.get_mode(), mode_t::HI_PULSE);
    ASSERT_EQ(r.steps.count(), 2u);
    EXPECT_EQ(conditions(r.steps.get(1)), (conds{{0, E::FALL}, {5, E::LVL_1}}));
    EXPECT_EQ(r.steps.get(1).t_max, 0.125);
    EXPECT_EQ(r.build_device_data(0), a.build_device_data(0));
}

TEST(Core, BadDescriptionsLeaveTheCoreAlone) {
    fxt::core a(model_t::kestrel_one);
    a.steps.load({step({{0, E::RIZE}})});
    a.set_mode(mode_t::MLTI_STEP);
    fxt::bytes good;
    a.push_to_vector(good);

    fxt::core r(model_t::kestrel_one);
    r.steps.load({step({{7, E::LVL_0}}), step({{8, E::LVL_0}})});
    r.set_mode(mode_t::DECODER);
    auto refused = [&](const fxt::bytes& b) {
        size_t i = 0;
        EXPECT_THROW(r.pull_from_vector(b, i), hw::exception);
        EXPECT_EQ(i, 0u);
        EXPECT_EQ(r.get_mode(), mode_t::DECODER);
        EXPECT_EQ(r.steps.count(), 2u);
    };
    for (size_t n = 0; n < good.size(); ++n)
        refused(fxt::bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)));
    for (uint8_t marker : {0, 1, 3}) {
        fxt::bytes b = good;
        b[0] = marker;
        refused(b);
    }
    // Step record: an unknown condition, a NaN t_max, a negative t_min.
    for (auto [at, v] :
         {std::pair<size_t, uint8_t>{10 + 5, 8}, {10 + 136, 0xFF}, {10 + 144, 0xBF}}) {
        fxt::bytes b = good;
        b[at] = v;
        if (v == 0xFF) b[at - 1] = 0xF8;
        refused(b);
    }
    for (uint8_t m : {6, 8, 11, 42, 98, 255}) { // unsupported or unknown modes
        fxt::bytes b = good;
        b.back() = m;
        refused(b);
    }
}

} // namespace
