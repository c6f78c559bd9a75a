// Configuration payloads as the virtual device decodes them, for one, two and three groups.
#include "api_fixture.h"

#include <future>

namespace {

using namespace core_test;
using kestrel::config;

// Distinct values in every field so that a swapped or shifted field shows.
void fill(config& c) {
    c.timebase = kestrel::timebase_t::external;
    c.sampling_freq = 125000000;
    c.sampling_depth = 3000000;
    c.post_trig_depth = 1000000;
    c.run_flag = true;
    c.global_trigger.ext_in_50r = true;
    c.global_trigger.trig_out_polarity = false;
    c.global_trigger.trig_source = kestrel::trig_source_t::external;
    c.global_trigger.ext_in_threshold_mv = 1234;
    for (size_t gi = 0; gi < c.groups.size(); ++gi) {
        auto& g = c.groups[gi];
        const auto k = static_cast<uint16_t>(gi * 10);
        for (size_t p = 0; p < 2; ++p) {
            g.ports[p].capture_threshold = static_cast<hw::millivolts>(800 + k + p);
            g.ports[p].gen_tvcc = static_cast<hw::millivolts>(1800 + k + p);
            for (size_t i = 0; i < 9; ++i) {
                g.ports[p].pull[i] = (i + gi + p) % 2 ? config::group_t::port_990::pull_t::up
                                                      : config::group_t::port_990::pull_t::dn;
                g.ports[p].io[i] = static_cast<config::group_t::port_990::io_t>((i + gi) % 3);
            }
        }
        g.state_clk_source = kestrel::state_clk_source_t::ch18;
        g.state_clk_mode = static_cast<kestrel::state_clk_mode_t>(gi % 4);
        g.trigger.order = static_cast<kestrel::trigger_order>((gi + 1) % 4);
        g.trigger.select_fast = {true, gi % 2 == 1};
        g.trigger.flex[0].clk = static_cast<hw::freq>(1000000 + gi);
        g.trigger.flex[1].max_steps = static_cast<uint8_t>(4 + gi);
        g.trigger.fast[0].mask = 0x3FFFF >> gi;
        g.trigger.fast[0].level = 0x15555 + static_cast<uint32_t>(gi);
        g.trigger.fast[1].skip_level = true;
        g.trigger.fast[1].ext_enable = gi == 0;
        g.oci_parameters.start_latency = static_cast<uint8_t>(3 + gi);
        g.oci_parameters.idle_state = std::bitset<18>(0x2AAAA >> gi);
        g.oci_parameters.clk_out_enable = {gi % 2 == 0, true};
        g.oci_parameters.clk_out_freq = {1000000u + gi, 25000000u};
    }
    c.set_master_group(config::group_name_t::grp_ab);
}

void expect_decoded(const config& c, const kestrel_sim::device_config_t& d) {
    EXPECT_EQ(d.timebase, static_cast<uint8_t>(c.timebase));
    EXPECT_EQ(d.sampling_freq, c.sampling_freq);
    EXPECT_EQ(d.sampling_depth, c.sampling_depth);
    EXPECT_EQ(d.post_trig_depth, c.post_trig_depth);
    EXPECT_EQ(d.run_flag, c.run_flag);
    EXPECT_EQ(d.global_trigger.ext_in_50r, c.global_trigger.ext_in_50r);
    EXPECT_EQ(d.global_trigger.trig_out_polarity, c.global_trigger.trig_out_polarity);
    EXPECT_EQ(d.global_trigger.trig_source, static_cast<uint8_t>(c.global_trigger.trig_source));
    EXPECT_EQ(d.global_trigger.ext_in_threshold_mv, c.global_trigger.ext_in_threshold_mv);
    ASSERT_EQ(d.groups.size(), c.groups.size());
    for (size_t gi = 0; gi < c.groups.size(); ++gi) {
        SCOPED_TRACE(gi);
        const auto& g = c.groups[gi];
        const auto& dg = d.groups[gi];
        for (size_t p = 0; p < 2; ++p) {
            EXPECT_EQ(dg.ports[p].capture_threshold_mv, g.ports[p].capture_threshold);
            EXPECT_EQ(dg.ports[p].gen_tvcc_mv, g.ports[p].gen_tvcc);
            for (size_t i = 0; i < 9; ++i) {
                EXPECT_EQ(dg.ports[p].pull[i], static_cast<uint8_t>(g.ports[p].pull[i]));
                EXPECT_EQ(dg.ports[p].io[i], static_cast<uint8_t>(g.ports[p].io[i]));
            }
        }
        EXPECT_EQ(dg.state_clk_source, static_cast<uint8_t>(g.state_clk_source));
        EXPECT_EQ(dg.state_clk_mode, static_cast<uint8_t>(g.state_clk_mode));
        EXPECT_EQ(dg.is_master_group, g.is_master());
        EXPECT_EQ(dg.trigger.order, static_cast<uint8_t>(g.trigger.order));
        for (size_t e = 0; e < 2; ++e) {
            EXPECT_EQ(dg.trigger.select_fast[e], g.trigger.select_fast[e]);
            EXPECT_EQ(dg.trigger.flex[e].clk, g.trigger.flex[e].clk);
            EXPECT_EQ(dg.trigger.flex[e].max_steps, g.trigger.flex[e].max_steps);
            EXPECT_EQ(dg.trigger.fast[e].mask, g.trigger.fast[e].mask);
            EXPECT_EQ(dg.trigger.fast[e].level, g.trigger.fast[e].level);
            EXPECT_EQ(dg.trigger.fast[e].skip_level, g.trigger.fast[e].skip_level);
            EXPECT_EQ(dg.trigger.fast[e].skip_change, g.trigger.fast[e].skip_change);
            EXPECT_EQ(dg.trigger.fast[e].ext_enable, g.trigger.fast[e].ext_enable);
            EXPECT_EQ(dg.trigger.fast[e].ext_in_pol, g.trigger.fast[e].ext_in_pol);
            EXPECT_EQ(dg.oci.clk_out_enable[e], g.oci_parameters.clk_out_enable[e]);
            EXPECT_EQ(dg.oci.clk_out_freq[e], g.oci_parameters.clk_out_freq[e]);
        }
        EXPECT_EQ(dg.oci.start_latency, g.oci_parameters.start_latency);
        EXPECT_EQ(dg.oci.idle_state, g.oci_parameters.idle_state.to_ulong());
    }
}

class config_exchange : public opened_device {};

TEST_F(config_exchange, device_decodes_what_the_host_sent) {
    for (const model_case& c : family) {
        SCOPED_TRACE(c.sn);
        start(c);
        auto& dev = h->internals().device;

        // The defaults first, then every field changed.
        dev.cfg_loader.send_to_device(dev.device_config);
        ASSERT_TRUE(fw->last_config());
        expect_decoded(dev.device_config, fw->last_config().value());
        config changed = dev.device_config;
        fill(changed);
        dev.cfg_loader.send_to_device(changed);
        expect_decoded(changed, fw->last_config().value());
        EXPECT_EQ(fw->counters().malformed_configs, 0u);
        EXPECT_EQ(fw->counters().configs, 2u);

        // The output parameters travel on their own endpoint.
        dev.cfg_loader.config_oci(changed);
        const auto decoded = fw->last_oci_params();
        ASSERT_TRUE(decoded);
        const auto& params = *decoded;
        ASSERT_EQ(params.size(), changed.groups.size());
        for (size_t gi = 0; gi < params.size(); ++gi) {
            EXPECT_EQ(params[gi].oci.start_latency,
                      changed.groups[gi].oci_parameters.start_latency);
            EXPECT_EQ(params[gi].ports[1].gen_tvcc_mv, changed.groups[gi].ports[1].gen_tvcc);
        }
        EXPECT_EQ(fw->counters().malformed_oci_params, 0u);

        dev.cfg_loader.set_run_flag(true);
        EXPECT_TRUE(fw->run_flag());
        dev.cfg_loader.set_run_flag(false);
        EXPECT_FALSE(fw->run_flag());
        h->close();
        h.reset();
    }
}

TEST_F(config_exchange, one_lost_packet_is_sent_again_and_silence_fails) {
    start(family[0]);
    const std::string sn = family[0].sn;
    auto& dev = h->internals().device;

    bus::instance().ignore_packets(sn, 1, 1); // the device answers the second attempt
    EXPECT_NO_THROW(dev.cfg_loader.send_to_device(dev.device_config));
    EXPECT_EQ(fw->counters().configs, 1u);

    bus::instance().ignore_packets(sn, 10, -1); // the run flag never arrives
    try {
        dev.cfg_loader.set_run_flag(true);
        ADD_FAILURE() << "no exception";
    } catch (const hw::exception& e) {
        EXPECT_EQ(e.code(), hw::error::not_responding);
    }
    EXPECT_FALSE(fw->run_flag());
}

// The run flag's acknowledgement marks where the device took the flag among its status
// records: a record the device sent after it counts as newer, even when it arrives before
// the caller has woken (here it is requested once the device has the flag and waits behind
// the acknowledgement, which the device holds back).
TEST_F(config_exchange, the_run_flag_acknowledgement_marks_the_status_records_before_it) {
    start(family[0]);
    const std::string sn = family[0].sn;
    auto& dev = h->internals().device;
    ASSERT_TRUE(dev.stat_ctrl.request_update(1000));
    const uint64_t before = dev.device_status.published();
    const uint64_t flags = fw->counters().run_flags;

    bus::instance().delay_replies(sn, 10, std::chrono::milliseconds(200));
    auto run = std::async(std::launch::async, [&] { dev.cfg_loader.set_run_flag(true); });
    ASSERT_TRUE(eventually([&] { return fw->counters().run_flags > flags; }));
    // Answered behind the acknowledgement.
    ASSERT_TRUE(dev.stat_ctrl.request_update(5000));
    EXPECT_NO_THROW(run.get());
    const uint64_t mark = dev.cfg_loader.run_flag_mark();
    EXPECT_GE(mark, before);
    EXPECT_LT(mark, dev.device_status.published());
    bus::instance().clear_reply_faults(sn, 10);
    dev.cfg_loader.set_run_flag(false);
}

} // namespace
