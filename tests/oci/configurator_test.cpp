// Output settings in the configuration and the preview of programs in the stores.
#include <gtest/gtest.h>

#include <string>

#include "drivers/libusb/driver.h"
#include "kestrel/oci/oci_configurator.h"
#include "oci/program.h"
#include "oci_helpers.h"

namespace {

using namespace oci_test;
using io = kestrel::config::group_t::port_990::io_t;
using pull = kestrel::config::group_t::port_990::pull_t;

class configurator : public ::testing::Test {
protected:
    explicit configurator(hw::model_t m = hw::model_t::kestrel_one)
        : caps(m), cfg(caps), man(caps.channels, notifier) {}

    // A run of `n` samples at `level`.
    static std::vector<bool> run(size_t n, bool level) { return std::vector<bool>(n, level); }
    static void add(std::vector<bool>& v, size_t n, bool level) { v.insert(v.end(), n, level); }

    std::string logged;
    hw::log_fn log = [this](const std::string& s) { logged += s + "\n"; };
    mox::semaphore notifier;
    hw::status status{notifier};
    mox::version<uint16_t> core_v, mcu_v;
    libusb::driver drv;
    libusb::interface_bulk bulk{drv, 2, 0x04, 0x84};
    kestrel::communication com{bulk, log};
    kestrel::capabilities caps;
    kestrel::config cfg;
    kestrel::status_t device_status{caps, {}};
    kestrel::status_getter stat{com, log, device_status, notifier, core_v, mcu_v};
    kestrel::config_loader loader{com};
    kestrel::oci_loader_t oci_loader{com, caps, status};
    trs::manager man;
    kestrel::oci_configurator oc{caps, cfg, loader, oci_loader, stat, man, log};
    oci::callbacks& cb = oc.callbacks;
};

class configurator_two : public configurator {
protected:
    configurator_two() : configurator(hw::model_t::kestrel_two) {}
};

TEST_F(configurator, drive_types_and_voltages) {
    EXPECT_TRUE(cb.set_io_type(3, oci::io_t::push_pull));
    EXPECT_EQ(cfg.get_io(3), io::pp);
    EXPECT_EQ(cfg.get_pull(3), pull::dn);
    EXPECT_TRUE(cb.set_io_type(4, oci::io_t::open_drain_pull_up));
    EXPECT_EQ(cfg.get_io(4), io::od);
    EXPECT_EQ(cfg.get_pull(4), pull::up);
    // Not offered by the hardware: written as an input, reported false.
    EXPECT_FALSE(cb.set_io_type(4, oci::io_t::open_drain_no_pull));
    EXPECT_EQ(cfg.get_io(4), io::in);
    EXPECT_EQ(cfg.get_pull(4), pull::dn);
    EXPECT_FALSE(cb.set_io_type(3, static_cast<oci::io_t>(7)));
    EXPECT_EQ(cfg.get_io(3), io::in);
    EXPECT_TRUE(cb.set_io_type(3, oci::io_t::floating));
    EXPECT_FALSE(cfg.ch_configured_as_output(3));

    EXPECT_TRUE(cb.set_out_voltage(10, 1800));
    EXPECT_EQ(cfg.get_port(10).gen_tvcc, 1800);
    EXPECT_TRUE(cb.set_out_voltage(10, 3300));
    EXPECT_FALSE(cb.set_out_voltage(10, 1799));
    EXPECT_FALSE(cb.set_out_voltage(10, 3301));
    EXPECT_EQ(cfg.get_port(10).gen_tvcc, 3300);
    EXPECT_EQ(cfg.get_port(0).gen_tvcc, 3300);

    EXPECT_THROW(cb.set_io_type(18, oci::io_t::push_pull), std::out_of_range);
    EXPECT_THROW(cb.set_idle_state(18, true), std::out_of_range);
    EXPECT_EQ(cb.get_sample_rate(), 125000000u);
}

TEST_F(configurator_two, clock_outputs_and_idle_levels_by_group) {
    cb.enable_clkout(3, true);
    EXPECT_TRUE(cfg.groups[1].oci_parameters.clk_out_enable[1]);
    EXPECT_FALSE(cfg.groups[1].oci_parameters.clk_out_enable[0]);
    EXPECT_FALSE(cfg.groups[0].oci_parameters.clk_out_enable[1]);
    EXPECT_EQ(oc.clock_channel(3), 17u); // entry 1 is channels 0..17
    EXPECT_EQ(oc.clock_channel(0), 26u);

    cb.set_clkout_freq(3, 1000000);
    EXPECT_EQ(cfg.groups[1].oci_parameters.clk_out_freq[1], 1000000u);
    // Frequency 0 on an enabled output is refused; on a disabled one it is kept.
    cb.set_clkout_freq(3, 0);
    EXPECT_EQ(cfg.groups[1].oci_parameters.clk_out_freq[1], 1000000u);
    EXPECT_NE(logged.find("Clock output 3"), std::string::npos);
    cb.set_clkout_freq(2, 0);
    EXPECT_EQ(cfg.groups[1].oci_parameters.clk_out_freq[0], 0u);

    cb.set_idle_state(12, true);
    EXPECT_TRUE(cfg.groups[1].oci_parameters.idle_state[12]);
    EXPECT_EQ(cfg.groups[1].oci_parameters.idle_state.count(), 1u);
    cb.set_idle_state(30, true);
    EXPECT_TRUE(cfg.groups[0].oci_parameters.idle_state[12]);
}

TEST_F(configurator, preview_renders_holds_where_they_are_held) {
    cb.set_io_type(0, oci::io_t::push_pull);
    cb.set_io_type(1, oci::io_t::push_pull);
    // Channel 2 is not an output: its levels in the words never show.
    std::vector<oci::word> prog{hold(3, {0, 2}), hold(2, {1, 2}), hold(4, {0}), end(),
                                hold(7, {0, 1})};
    // 250 MHz: two samples per output period.
    ASSERT_TRUE(cb.preview_oci_chunk(prog, 30, 4e-9));
    auto ch0 = run(6, true);
    add(ch0, 4, false);
    add(ch0, 20, true); // the last level holds after the end word
    auto ch1 = run(6, false);
    add(ch1, 4, true);
    add(ch1, 20, false);
    EXPECT_EQ(sampled(man, 0, 30), ch0);
    EXPECT_EQ(sampled(man, 1, 30), ch1);
    EXPECT_EQ(sampled(man, 2, 30), run(30, false));
    EXPECT_EQ(man.maximum_samples_count(), 30);
    EXPECT_EQ(man.available_samples_count(), 30);
    EXPECT_TRUE(man.is_channel_uncaptured(5));
    EXPECT_DOUBLE_EQ(man.get_sampling_period(), 4e-9);
}

TEST_F(configurator, preview_repeats_loops) {
    cb.set_io_type(0, oci::io_t::push_pull);
    // Hold 100 periods inside a loop with count 2: three passes, then low.
    std::vector<oci::word> prog{hold(50, {0}, true), hold(50), loop(2), hold(500)};
    ASSERT_TRUE(cb.preview_oci_chunk(prog, 1000, 8e-9));
    std::vector<bool> expected;
    for (int k = 0; k < 3; ++k) {
        add(expected, 50, true);
        add(expected, 50, false);
    }
    add(expected, 700, false);
    EXPECT_EQ(sampled(man, 0, 1000), expected);

    // Count 0 repeats up to the end of the preview.
    prog[2] = loop(0);
    ASSERT_TRUE(cb.preview_oci_chunk(prog, 1000, 8e-9));
    expected.clear();
    for (int k = 0; k < 10; ++k) {
        add(expected, 50, true);
        add(expected, 50, false);
    }
    EXPECT_EQ(sampled(man, 0, 1000), expected);
}

TEST_F(configurator, preview_of_nested_loops) {
    cb.set_io_type(0, oci::io_t::push_pull);
    cb.set_io_type(1, oci::io_t::push_pull);
    // (A (B C) x2 D) x2 E: the inner body runs three times per outer pass.
    std::vector<oci::word> prog{hold(2, {0}, true),
                                hold(1, {1}, true),
                                hold(1),
                                loop(2),
                                hold(3, {0, 1}),
                                loop(1),
                                hold(4, {1}),
                                end()};
    ASSERT_TRUE(cb.preview_oci_chunk(prog, 40, 8e-9));
    std::vector<bool> ch0, ch1;
    for (int pass = 0; pass < 2; ++pass) {
        add(ch0, 2, true), add(ch1, 2, false);
        for (int k = 0; k < 3; ++k)
            add(ch0, 2, false), add(ch1, 1, true), add(ch1, 1, false);
        add(ch0, 3, true), add(ch1, 3, true);
    }
    add(ch0, 4, false), add(ch1, 4, true);
    ASSERT_EQ(ch0.size(), 26u);
    add(ch0, 14, false), add(ch1, 14, true);
    EXPECT_EQ(sampled(man, 0, 40), ch0);
    EXPECT_EQ(sampled(man, 1, 40), ch1);
}

TEST_F(configurator, preview_edge_cases_end) {
    cb.set_io_type(0, oci::io_t::push_pull);
    // An endless loop that takes no time: the preview ends instead of spinning.
    ASSERT_TRUE(oc.preview_oci_chunk({hold(3, {0}), hold(0, {}, true), loop(0)}, 20, 8e-9));
    EXPECT_EQ(sampled(man, 0, 20), run(20, true));
    // Changes closer than one sample show as the last of them (125 MHz output, 100 MHz
    // capture): periods 0..4 end at 8, 16, 24, 32 ns.
    ASSERT_TRUE(oc.preview_oci_chunk({hold(1, {0}), hold(1), hold(1, {0}), hold(1), hold(10, {0})},
                                     8, 10e-9));
    std::vector<bool> expected{true, false, true, false, true, true, true, true};
    // Samples at 0, 10, 20, 30, 40 ns see periods 0, 1, 2, 3, 5.
    EXPECT_EQ(sampled(man, 0, 8), expected);
    EXPECT_THROW(oc.preview_oci_chunk({hold(1)}, 10, 0.0), std::runtime_error);
}

TEST_F(configurator, preview_draws_enabled_clock_outputs) {
    cb.set_io_type(8, oci::io_t::push_pull);
    cb.set_io_type(17, oci::io_t::push_pull);
    cb.enable_clkout(0, true);
    cb.set_clkout_freq(0, 25000000); // 10 samples at 250 MHz
    cb.enable_clkout(1, true);       // frequency 0: nothing drawn, never a division by zero
    ASSERT_TRUE(oc.preview_oci_chunk({hold(100, {8, 17})}, 40, 4e-9));
    std::vector<bool> clk;
    for (int k = 0; k < 4; ++k)
        add(clk, 5, false), add(clk, 5, true);
    EXPECT_EQ(sampled(man, 8, 40), clk);
    EXPECT_EQ(sampled(man, 17, 40), run(40, false));
    // A clock the capture cannot resolve is not drawn either.
    cb.set_clkout_freq(0, 200000000);
    ASSERT_TRUE(oc.preview_oci_chunk({hold(100)}, 40, 4e-9));
    EXPECT_EQ(sampled(man, 8, 40), run(40, false));
}

} // namespace

namespace {

TEST_F(configurator, malformed_programs_are_refused_before_the_preview_or_the_device) {
    cb.set_io_type(0, oci::io_t::push_pull);
    auto deep = [](int levels) {
        std::vector<oci::word> p;
        for (int k = 0; k < levels; ++k)
            p.push_back(hold(1, {0}, true));
        for (int k = 0; k < levels; ++k)
            p.push_back(loop(1));
        return p;
    };
    const std::vector<std::pair<const char*, std::vector<oci::word>>> refused = {
        // Unbalanced loop words with no hold: the preview spun for ever holding its lock.
        {"two loops closing nothing", {loop(1), loop(1)}},
        {"a loop word after the whole program's loop", {hold(2, {0}), loop(2), hold(1), loop(1)}},
        {"a loop never closed", {hold(2, {0}, true), hold(1), end()}},
        {"four nested loops", deep(4)},
        // Values the device would run truncated while the preview drew them whole.
        {"hold beyond 9 bits", {hold(512, {0})}},
        {"negative hold", {hold(-1, {0})}},
        {"loop count beyond 28 bits", {hold(1, {0}, true), loop(size_t{1} << 28)}},
    };
    for (const auto& [name, prog] : refused) {
        logged.clear();
        auto p = prog;
        EXPECT_FALSE(cb.preview_oci_chunk(p, 100, 8e-9)) << name;
        // Refused before anything goes to the device (this fixture has none to answer).
        EXPECT_FALSE(cb.start_oci_chunk(p)) << name;
        EXPECT_NE(logged.find("Output program refused"), std::string::npos) << name;
    }
    // At the limits of their fields, and with the whole program's loop last, they run.
    auto ok = deep(3);
    EXPECT_TRUE(cb.preview_oci_chunk(ok, 100, 8e-9));
    std::vector<oci::word> widest{
        hold(511, {0}, true), loop(oci::max_loop_count), hold(3), loop(0), end(), hold(7)};
    EXPECT_TRUE(cb.preview_oci_chunk(widest, 100, 8e-9));
    EXPECT_EQ(sampled(man, 0, 100), run(100, true));
}

} // namespace
