#include <gtest/gtest.h>

#include <stdexcept>

#include "kestrel/config/config.h"

using hw::model_t;
using kestrel::config;
using gn = kestrel::config::group_name_t;

namespace {

config make(model_t m) {
    return config(kestrel::capabilities(m));
}

} // namespace

TEST(Config, GroupOrderIsHighestFirst) {
    config c = make(model_t::kestrel_three);
    EXPECT_EQ(c.group_index(gn::grp_ab), 2u);
    EXPECT_EQ(c.group_index(gn::grp_ef), 0u);
    EXPECT_EQ(c.group_index(size_t{1}), 1u);
    EXPECT_EQ(c.group_name(0), gn::grp_ef);
    EXPECT_EQ(c.start_channel_from_group(0), 36u);
    EXPECT_EQ(c.start_channel_from_group(2), 0u);
    // A fresh configuration has exactly one master: grp_ab, the last entry.
    int masters = 0;
    for (const auto& g : c.groups)
        masters += g.is_master();
    EXPECT_EQ(masters, 1);
    EXPECT_EQ(&c.master_group(), &c.groups.back());
    c.set_master_group(gn::grp_ef);
    EXPECT_EQ(c.get_master_group_name(), gn::grp_ef);
    EXPECT_TRUE(c.groups.front().is_master());
    EXPECT_FALSE(c.groups.back().is_master());
    EXPECT_EQ(c.post_trig_depth, 18000000);
    EXPECT_EQ(c.pre_trig_samples(), 2000000);
}

TEST(Config, ChannelsLocateAcrossGroups) {
    config c = make(model_t::kestrel_two);
    auto l = c.locate(25);
    EXPECT_EQ(l.grp, 0);
    EXPECT_EQ(l.port, 0);
    EXPECT_EQ(l.ch_in_group, 7);
    EXPECT_EQ(l.ch, 7);
    l = c.locate(17);
    EXPECT_EQ(l.grp, 1);
    EXPECT_EQ(l.port, 1);
    EXPECT_EQ(l.ch_in_group, 17);
    EXPECT_EQ(l.ch, 8);

    c.get_io(20) = config::group_t::port_990::io_t::pp;
    EXPECT_TRUE(c.ch_configured_as_output(20));
    EXPECT_EQ(c.groups[0].ports[0].io[2], config::group_t::port_990::io_t::pp);
    EXPECT_FALSE(c.ch_configured_as_output(2));
    // Channels beyond the configured groups are refused, also far beyond.
    EXPECT_THROW(c.get_io(36), std::out_of_range);
    EXPECT_THROW(c.get_pull(200), std::out_of_range);
    EXPECT_THROW(c.get_group(gn::grp_ef), std::out_of_range);
}

TEST(Config, ClockOutputsAreTheLastChannelOfEachPort) {
    config c = make(model_t::kestrel_three);
    c.groups[1].oci_parameters.clk_out_enable[1] = true;
    c.groups[1].oci_parameters.clk_out_freq[1] = 0x100000005ULL;
    const auto outs = c.get_oci_clk_outs();
    ASSERT_EQ(outs.size(), 6u);
    const uint8_t expected[] = {8, 17, 26, 35, 44, 53};
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(outs[i].natural_channel, expected[i]);
    EXPECT_TRUE(outs[3].enable);
    EXPECT_EQ(outs[3].freq, 5u); // truncated to 32 bits
    c.set_oci_load_enable(false);
    for (const auto& g : c.groups)
        EXPECT_FALSE(g.oci_parameters.load_enable);
}

TEST(Config, PayloadLayout) {
    config c = make(model_t::kestrel_one);
    config::bytes p;
    c.push_to_vector(p);
    ASSERT_EQ(p.size(), 155u);
    const config::bytes head = {0x02, 0x02, 0x01, 0x72, 0x06, 0xE4, 0x0C};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), p.begin()));
    const config::bytes tail = {0xDD, 0xCC, 0xBB, 0xAA};
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), p.end() - 4));
    // After the group block: timebase, then the sampling frequency 250 MHz little-endian.
    EXPECT_EQ(p[121], 3);
    EXPECT_EQ(p[122], 0x80);
    EXPECT_EQ(p[125], 0x0E);
    // The master flag of the one group, at offset 49 of its block.
    EXPECT_EQ(p[1 + 49], 1);

    for (model_t m : {model_t::kestrel_two, model_t::kestrel_three}) {
        config cm = make(m);
        cm.groups.front().oci_parameters.start_latency = 0x5A;
        config::bytes q;
        cm.push_to_vector(q);
        EXPECT_EQ(q.size(), 35 + 120 * cm.groups.size());
        config::bytes oci;
        cm.push_oci_params_to_vector(oci);
        EXPECT_EQ(oci.size(), 72 * cm.groups.size());
        // The highest group's block comes first.
        EXPECT_EQ(oci[0], 2);
        EXPECT_EQ(oci[1], 0x5A);
        EXPECT_EQ(oci[26], 1); // port block marker
    }
}
