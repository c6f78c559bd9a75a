// The firmware model behind the control link: status records and commands, restarts,
// acknowledgements, configuration decoding and the faults the device core must survive.
#include "raw_link.h"

namespace {

using namespace sim_test;
using namespace std::chrono_literals;

const std::string sn3 = "7302103000007";

// Sends one packet and collects the reply packets that follow, decoded by the test.
std::vector<kestrel_sim::packet_t> exchange(libusb_device_handle* h, uint8_t ep,
                                            const bytes& params, size_t replies = 1) {
    EXPECT_EQ(send(h, frame(ep, params)), static_cast<int>(frame(ep, params).size()));
    std::vector<kestrel_sim::packet_t> out;
    bytes stream;
    // No reply expected: listen a little while for one that should not come.
    const auto end = std::chrono::steady_clock::now() + (replies == 0 ? 150ms : 3000ms);
    while (out.size() < std::max<size_t>(replies, 1) && std::chrono::steady_clock::now() < end) {
        auto [r, b] = recv(h, 100);
        stream.insert(stream.end(), b.begin(), b.end());
        while (stream.size() >= 4) {
            const size_t len = size_t{stream[2]} << 8 | stream[3];
            if (stream.size() < len + 4) break;
            const bytes body(stream.begin() + 4, stream.begin() + 4 + len - 2);
            EXPECT_EQ(crc16(body), stream[len + 2] << 8 | stream[len + 3]);
            // Status records the device pushes while it samples are not replies.
            if (body.front() != 7 || ep == 7)
                out.push_back({body.front(), bytes(body.begin() + 1, body.end() - 1), body.back()});
            stream.erase(stream.begin(), stream.begin() + 4 + len);
        }
        if (r != 0 && r != LIBUSB_ERROR_TIMEOUT) break;
    }
    return out;
}

// A configuration payload laid out field by field for `n` groups.
bytes config_payload(unsigned n) {
    bytes p{2};
    auto le = [&](uint64_t v, int size) {
        for (int i = 0; i < size; ++i)
            p.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    auto port = [&](uint16_t thr) {
        p.push_back(1);
        le(thr, 2);
        le(3300, 2);
        for (int i = 0; i < 9; ++i)
            p.push_back(static_cast<uint8_t>(i % 2));
        for (int i = 0; i < 9; ++i)
            p.push_back(i == 8 ? 2 : 0);
    };
    auto oci = [&] {
        p.insert(p.end(), {2, 7, 1, 1});
        le(0x3FFFF, 4);
        p.insert(p.end(), {1, 0});
        le(10000000, 8);
        le(0, 8);
    };
    for (unsigned g = 0; g < n; ++g) {
        p.push_back(2);
        port(static_cast<uint16_t>(1000 + g));
        port(1650);
        p.insert(p.end(), {0, 1, static_cast<uint8_t>(g == n - 1)});
        p.push_back(2);
        for (int e = 0; e < 2; ++e) {
            p.push_back(1);
            le(250000000, 4);
            p.push_back(static_cast<uint8_t>(3 + e));
        }
        for (int e = 0; e < 2; ++e) {
            p.insert(p.end(), {1, 0, 1, 0, 1});
            le(0xFFFFFFFEu, 4);
            le(1, 4);
        }
        p.insert(p.end(), {1, 0, 3, 0});
        oci();
        p.push_back(0);
    }
    p.push_back(3);
    le(250000000, 4);
    le(20000000, 8);
    le(18000000, 8);
    p.insert(p.end(), {0, 0});
    p.insert(p.end(), {1, 0, 1, 1});
    le(1000, 2);
    p.push_back(0);
    le(0xAABBCCDD, 4);
    return p;
}

TEST_F(sim, status_records_and_startup) {
    bus::instance().plug(sn3);
    auto fw = bus::instance().firmware(sn3);
    auto* h = open_usb(sn3);
    ASSERT_NE(h, nullptr);

    auto r = exchange(h, 7, {1});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].endpoint, 7);
    const bytes& s = r[0].params;
    ASSERT_EQ(s.size(), 9u + 3 * 27);
    EXPECT_EQ(bytes(s.begin(), s.begin() + 9), (bytes{1, 1, 4, 210, 0, 35, 1, 1, 3}));
    for (size_t g = 0; g < 3; ++g) {
        const size_t o = 9 + 27 * g;
        EXPECT_EQ(s[o], 3);        // revision
        EXPECT_EQ(s[o + 8], 0x23); // FPGA version code
        EXPECT_EQ(s[o + 11], 1);   // port 0 marker
        EXPECT_EQ(s[o + 18], 1);   // port 1 marker
    }

    // Start-up: two silent requests, then two answers with version 0, then started.
    auto st = fw->status();
    st.startup_silent_requests = 2;
    st.startup_zero_replies = 2;
    st.groups[1].trigged = true;
    st.groups[1].data_available = 2;
    fw->set_status(st);
    EXPECT_TRUE(exchange(h, 7, {1}, 0).empty());
    EXPECT_TRUE(exchange(h, 7, {1}, 0).empty());
    EXPECT_EQ(exchange(h, 7, {1}).at(0).params.at(9 + 8), 0);
    EXPECT_EQ(exchange(h, 7, {1}).at(0).params.at(9 + 8), 0);
    const auto started = exchange(h, 7, {1}).at(0).params;
    EXPECT_EQ(started.at(9 + 8), 0x23);
    EXPECT_EQ(started.at(9 + 27 + 7), 1); // group 1 trigged
    EXPECT_EQ(started.at(9 + 27 + 9), 2); // group 1 data available

    // Malformed commands are counted and not answered.
    EXPECT_TRUE(exchange(h, 7, {9}, 0).empty());
    EXPECT_TRUE(exchange(h, 7, {}, 0).empty());
    EXPECT_EQ(fw->counters().malformed_commands, 2u);
    EXPECT_EQ(fw->counters().status_requests, 6u);
    libusb_close(h);
}

TEST_F(sim, reboot_and_bootloader_take_the_device_off_the_bus) {
    const std::string sn = kestrel_sim::default_serial;
    for (uint8_t cmd : {2, 3}) {
        auto fw = bus::instance().firmware(sn);
        auto st = fw->status();
        st.restart_time = 300ms;
        fw->set_status(st);
        auto* h = open_usb(sn);
        ASSERT_NE(h, nullptr);
        // The command is answered with a status record, then the device leaves.
        auto r = exchange(h, 7, {cmd});
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].params.size(), 9u + 27);
        auto [code, none] = recv(h, 500);
        EXPECT_EQ(code, LIBUSB_ERROR_NO_DEVICE);
        EXPECT_EQ(send(h, ping_packet), LIBUSB_ERROR_NO_DEVICE);
        libusb_close(h);
        // Back after the restart time, as a new device with the same identity.
        std::vector<usb_dev> devs;
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (devs.empty() && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(20ms);
            devs = list_usb();
        }
        ASSERT_EQ(devs.size(), 1u);
        EXPECT_EQ(devs[0].sn, sn);
        h = open_usb(sn);
        ASSERT_NE(h, nullptr);
        send(h, ping_packet);
        EXPECT_EQ(recv_all(h, 12), ping_packet);
        const auto c = fw->counters();
        EXPECT_EQ(cmd == 2 ? c.reboots : c.bootloader_requests, 1u);
        libusb_close(h);
    }
}

TEST_F(sim, acknowledgements_and_configuration_decoding) {
    bus::instance().plug(sn3);
    auto fw = bus::instance().firmware(sn3);
    auto* h = open_usb(sn3);
    ASSERT_NE(h, nullptr);

    const bytes cfg = config_payload(3);
    ASSERT_EQ(cfg.size(), 395u);
    auto r = exchange(h, 1, cfg);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].endpoint, 1);
    const auto c = fw->last_config();
    ASSERT_TRUE(c.has_value());
    ASSERT_EQ(c->groups.size(), 3u);
    EXPECT_EQ(c->groups[0].ports[0].capture_threshold_mv, 1000);
    EXPECT_EQ(c->groups[2].ports[0].capture_threshold_mv, 1002);
    EXPECT_EQ(c->groups[0].ports[1].gen_tvcc_mv, 3300);
    EXPECT_EQ(c->groups[0].ports[0].pull[1], 1);
    EXPECT_EQ(c->groups[0].ports[0].io[8], 2);
    EXPECT_EQ(c->groups[0].state_clk_mode, 1);
    EXPECT_FALSE(c->groups[0].is_master_group);
    EXPECT_TRUE(c->groups[2].is_master_group);
    EXPECT_EQ(c->groups[1].trigger.flex[1].max_steps, 4);
    EXPECT_EQ(c->groups[1].trigger.fast[0].mask, 0xFFFFFFFEu);
    EXPECT_TRUE(c->groups[1].trigger.fast[0].ext_in_pol);
    EXPECT_TRUE(c->groups[1].trigger.select_fast[0]);
    EXPECT_EQ(c->groups[1].trigger.order, 3);
    EXPECT_EQ(c->groups[1].oci.start_latency, 7);
    EXPECT_EQ(c->groups[1].oci.idle_state, 0x3FFFFu);
    EXPECT_EQ(c->groups[1].oci.clk_out_freq[0], 10000000u);
    EXPECT_EQ(c->timebase, 3);
    EXPECT_EQ(c->sampling_freq, 250000000u);
    EXPECT_EQ(c->sampling_depth, 20000000);
    EXPECT_EQ(c->post_trig_depth, 18000000);
    EXPECT_FALSE(c->global_trigger.ext_in_50r);
    EXPECT_EQ(c->global_trigger.trig_source, 1);
    EXPECT_EQ(c->global_trigger.ext_in_threshold_mv, 1000);

    // Wrong size, wrong end marker: counted, acknowledged, the last good one kept.
    EXPECT_EQ(exchange(h, 1, config_payload(1)).size(), 1u);
    bytes bad_end = cfg;
    bad_end.back() = 0;
    EXPECT_EQ(exchange(h, 1, bad_end).size(), 1u);
    EXPECT_EQ(exchange(h, 1, {}).size(), 1u);
    EXPECT_EQ(fw->counters().configs, 1u);
    EXPECT_EQ(fw->counters().malformed_configs, 3u);
    EXPECT_EQ(fw->last_config()->groups.size(), 3u);

    // Output parameters: 72 bytes per group, taken from the config layout's blocks.
    bytes oci;
    for (unsigned g = 0; g < 3; ++g) {
        const size_t o = 1 + 120 * g;
        oci.insert(oci.end(), cfg.begin() + o + 93, cfg.begin() + o + 119);
        oci.insert(oci.end(), cfg.begin() + o + 1, cfg.begin() + o + 47);
    }
    ASSERT_EQ(oci.size(), 216u);
    EXPECT_EQ(exchange(h, 13, oci).at(0).endpoint, 13);
    ASSERT_TRUE(fw->last_oci_params().has_value());
    EXPECT_EQ(fw->last_oci_params()->at(2).ports[0].capture_threshold_mv, 1002);
    EXPECT_EQ(exchange(h, 13, bytes(71)).size(), 1u);
    EXPECT_EQ(fw->counters().malformed_oci_params, 1u);

    // Flags, each acknowledged on its own endpoint; the bridge reset on the config one.
    EXPECT_EQ(exchange(h, 10, {1}).at(0).endpoint, 10);
    EXPECT_TRUE(fw->run_flag());
    EXPECT_EQ(exchange(h, 12, {1}).at(0).endpoint, 12);
    EXPECT_TRUE(fw->oci_start_flag());
    EXPECT_EQ(exchange(h, 10, {0}).at(0).endpoint, 10);
    EXPECT_FALSE(fw->run_flag());
    EXPECT_EQ(exchange(h, 3, {0}).at(0).endpoint, 1);
    EXPECT_EQ(fw->counters().bridge_resets, 1u);
    libusb_close(h);
}

TEST_F(sim, endpoint_and_bridge_faults) {
    const std::string sn = kestrel_sim::default_serial;
    auto fw = bus::instance().firmware(sn);
    auto* h = open_usb(sn);
    ASSERT_NE(h, nullptr);

    // Only the second attempt is answered.
    bus::instance().ignore_packets(sn, 10, 1);
    EXPECT_TRUE(exchange(h, 10, {1}, 0).empty());
    EXPECT_EQ(exchange(h, 10, {1}).size(), 1u);
    EXPECT_EQ(fw->counters().run_flags, 1u);
    // Never answered.
    bus::instance().ignore_packets(sn, 1, -1);
    EXPECT_TRUE(exchange(h, 1, config_payload(1), 0).empty());
    EXPECT_TRUE(exchange(h, 1, config_payload(1), 0).empty());
    EXPECT_FALSE(fw->last_config().has_value());
    bus::instance().ignore_packets(sn, 1, 0);
    EXPECT_EQ(exchange(h, 1, config_payload(1)).size(), 1u);
    EXPECT_TRUE(fw->last_config().has_value());

    // Bridges missing for two listings, then back.
    bus::instance().hide_bridges(sn, 2);
    EXPECT_TRUE(list_bridges().empty());
    EXPECT_TRUE(list_bridges().empty());
    EXPECT_EQ(list_bridges().size(), 1u);
    // Missing until the host resets them.
    bus::instance().hide_bridges(sn, -1);
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(list_bridges().empty());
    EXPECT_EQ(exchange(h, 3, {0}).size(), 1u);
    EXPECT_EQ(list_bridges().size(), 1u);
    libusb_close(h);
}

} // namespace
