// The two USB paths and the communication engine against the virtual device.
#include "../core/api_fixture.h"

#include <kestrel_sim/bus.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "drivers/d3xx/ft245.h"
#include "drivers/libusb/driver.h"
#include "drivers/libusb/exception.h"
#include "hw/exception.h"
#include "kestrel/core.h"
#include "kestrel/link/communication.h"
#include "moxcom/packetizer.h"

namespace {

using namespace core_test;
using kestrel::commands::endpoints;

constexpr const char* sn_one = "7302101000001";
constexpr const char* sn_three = "7302103000007";

// Messages of the engine, readable while its threads log.
struct log_sink {
    std::mutex m;
    std::vector<std::string> lines;
    hw::log_fn fn = [this](const std::string& s) {
        std::lock_guard l(m);
        lines.push_back(s);
    };
    bool has(const std::string& s) {
        std::lock_guard l(m);
        for (auto& line : lines)
            if (line == s) return true;
        return false;
    }
};

class transport : public ::testing::Test {
protected:
    void SetUp() override {
        bus::instance().reset();
        bus::instance().unplug_all();
    }
    void TearDown() override { bus::instance().reset(); }

    libusb::device find(libusb::driver& drv, const std::string& sn) {
        for (auto& d : drv.list_devices(kestrel::core::usb_vid, kestrel::core::usb_pid, sn))
            if (d.sn == sn) return d;
        ADD_FAILURE() << "not listed: " << sn;
        return {};
    }
};

std::vector<std::string> serials(const std::vector<libusb::device>& devs) {
    std::vector<std::string> out;
    for (auto& d : devs)
        out.push_back(d.sn);
    return out;
}

TEST_F(transport, listing_filters_and_counts_open_devices_once) {
    bus::instance().plug(sn_one);
    bus::instance().plug("7302102000042");
    bus::instance().plug(sn_three);
    libusb::driver a, b;
    const auto vid = kestrel::core::usb_vid, pid = kestrel::core::usb_pid;

    EXPECT_EQ(serials(a.list_devices(vid, pid, "")).size(), 3u);
    EXPECT_EQ(serials(a.list_devices(vid, pid, "7302102")),
              std::vector<std::string>{"7302102000042"});
    EXPECT_TRUE(a.list_devices(vid, pid, "7399").empty());
    EXPECT_TRUE(a.list_devices(vid, 0x1234, "").empty());

    // A device held open by this process is still listed, and only once.
    ASSERT_TRUE(a.open(find(a, sn_three)));
    EXPECT_TRUE(a.is_open());
    auto listed = serials(b.list_devices(vid, pid, ""));
    EXPECT_EQ(std::count(listed.begin(), listed.end(), std::string(sn_three)), 1);
    EXPECT_EQ(listed.size(), 3u);
    a.close();
    EXPECT_FALSE(a.is_open());
    listed = serials(b.list_devices(vid, pid, ""));
    EXPECT_EQ(std::count(listed.begin(), listed.end(), std::string(sn_three)), 1);

    // A device that left the bus cannot be opened.
    const auto gone = find(a, sn_one);
    bus::instance().unplug(sn_one);
    EXPECT_FALSE(a.open(gone));
    EXPECT_FALSE(a.is_open());
}

TEST_F(transport, bulk_timeouts_are_reported_and_partial_bytes_kept) {
    bus::instance().plug(sn_one);
    libusb::driver drv;
    ASSERT_TRUE(drv.open(find(drv, sn_one)));
    libusb::interface_bulk bulk(drv, 2, 0x04, 0x84);

    // A stalled device: the write times out, is reported on standard output, not thrown.
    bus::instance().stall(sn_one, true);
    testing::internal::CaptureStdout();
    EXPECT_NO_THROW(bulk.tx({1, 2, 3}, 20));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "LibUSB ERR - -7\n");
    bus::instance().stall(sn_one, false);

    // A reply of which only the first bytes arrive before the read time-out.
    mox_com::packetizer<mox_utils::crc_type::CRC_16_CCITT> pk(
        mox_com::packetizer_conf{{0x55, 0xAA}, mox_com::len_bytes::LEN_2_BYTES, {}});
    bus::instance().split_replies(sn_one, 8, 3, 600ms);
    const std::vector<uint8_t> payload{9, 8, 7, 6};
    bulk.tx(pk.packetize(8, mox_com::acknowledge::NO_ACK, payload), 1000);
    std::vector<uint8_t> buf;
    EXPECT_TRUE(bulk.rx(buf, 512, 200));
    ASSERT_EQ(buf.size(), 3u);
    EXPECT_EQ(buf[0], 0x55);
    EXPECT_EQ(buf[1], 0xAA);
    // The rest follows; nothing answers after that.
    EXPECT_TRUE(eventually([&] { return bulk.rx(buf, 512, 100); }));
    EXPECT_GT(buf.size(), 0u);
    EXPECT_FALSE(bulk.rx(buf, 512, 20));
    EXPECT_TRUE(buf.empty());
}

TEST_F(transport, io_error_closes_the_driver_and_drops_the_link) {
    bus::instance().plug(sn_one);
    libusb::driver drv;
    ASSERT_TRUE(drv.open(find(drv, sn_one)));
    libusb::interface_bulk bulk(drv, 2, 0x04, 0x84);

    // Directly: the failed transfer throws its code and leaves the driver closed.
    bus::instance().fail_bulk_transfers(sn_one, 1);
    try {
        bulk.tx({1}, 100);
        FAIL() << "no exception";
    } catch (const libusb::exception& e) {
        EXPECT_EQ(e.code(), -1);
    }
    EXPECT_FALSE(drv.is_open());

    // Through the engine: the link check follows the driver.
    ASSERT_TRUE(drv.open(find(drv, sn_one)));
    log_sink log;
    kestrel::communication com(bulk, log.fn);
    ASSERT_TRUE(eventually([&] { return com.link_ok(); }));
    bus::instance().fail_bulk_transfers(sn_one, 1);
    EXPECT_TRUE(eventually([&] { return !drv.is_open() && !com.link_ok(); }));
    EXPECT_TRUE(log.has("Libusb RX exception: -1") || log.has("Libusb TX exception: -1"));
}

// The handle given up after an IO error is closed by the next open: kept, it would hold
// the device (on the virtual bus, its model and threads) for the life of the process.
TEST_F(transport, a_link_dropped_after_an_io_error_is_closed_by_the_next_open) {
    bus::instance().plug(sn_one);
    std::weak_ptr<kestrel_sim::firmware> fw = bus::instance().firmware(sn_one);
    {
        libusb::driver drv;
        ASSERT_TRUE(drv.open(find(drv, sn_one)));
        libusb::interface_bulk bulk(drv, 2, 0x04, 0x84);
        bus::instance().fail_bulk_transfers(sn_one, 1);
        EXPECT_THROW(bulk.tx({1}, 100), libusb::exception);
        EXPECT_FALSE(drv.is_open());
        ASSERT_TRUE(drv.open(find(drv, sn_one)));
        drv.close();
        bus::instance().reset();
        EXPECT_TRUE(eventually([&] { return fw.expired(); }, 5s));
    }
}

TEST_F(transport, ping_sets_the_link_once_and_ignores_wrong_echoes) {
    bus::instance().plug(sn_one);
    auto fw = bus::instance().firmware(sn_one);
    libusb::driver drv;
    ASSERT_TRUE(drv.open(find(drv, sn_one)));
    libusb::interface_bulk bulk(drv, 2, 0x04, 0x84);
    log_sink log;

    {
        // An echo with another payload proves nothing.
        fw->set_handler(8, [](kestrel_sim::firmware& f, const kestrel_sim::packet_t&) {
            const uint8_t wrong[] = {0xAA, 0xBB, 0xCC, 0xDE};
            f.reply(8, wrong);
        });
        kestrel::communication com(bulk, log.fn);
        EXPECT_TRUE(eventually([&] { return fw->packets_received(8) >= 3; }));
        EXPECT_FALSE(com.link_ok());
        EXPECT_FALSE(com.ping_sem.take(mox::timeout(0)));
    }

    bus::instance().reset();
    bus::instance().unplug_all();
    bus::instance().plug(sn_one);
    fw = bus::instance().firmware(sn_one);
    ASSERT_TRUE(drv.open(find(drv, sn_one)));
    kestrel::communication com(bulk, log.fn);
    EXPECT_TRUE(com.ping_sem.take(mox::timeout(10000)));
    EXPECT_TRUE(com.link_ok());
    // Once the link is good the engine stops pinging: the semaphore is given once.
    const auto pings = fw->packets_received(8);
    EXPECT_FALSE(com.ping_sem.take(mox::timeout(300)));
    EXPECT_EQ(fw->packets_received(8), pings);
}

TEST_F(transport, stalled_transmitter_fails_tx_after_the_queue_limit) {
    bus::instance().plug(sn_one);
    libusb::driver drv;
    ASSERT_TRUE(drv.open(find(drv, sn_one)));
    libusb::interface_bulk bulk(drv, 2, 0x04, 0x84);
    log_sink log;
    kestrel::communication com(bulk, log.fn);
    ASSERT_TRUE(eventually([&] { return com.link_ok(); }));

    // A transfer that never ends holds the bulk OUT endpoint: the transmitter stops
    // draining and the hundred slots fill up.
    {
        mox::mutex_lock stuck(drv.handles().mutex_tx);
        auto start = steady::now();
        bool failed = false;
        int sent = 0;
        for (; sent < 200 && !failed; ++sent) {
            start = steady::now();
            try {
                com.tx(endpoints::config_run_flag, {1});
            } catch (const hw::exception& e) {
                EXPECT_EQ(e.code(), hw::error::not_responding);
                failed = true;
            }
        }
        ASSERT_TRUE(failed);
        EXPECT_GE(sent, 101);
        EXPECT_LE(sent, 102); // one packet may be in the transmitter's hands
        EXPECT_GE(steady::now() - start, 450ms);
        EXPECT_TRUE(log.has("No response after TX"));
    }
    // Released, the queue drains to the device.
    auto fw = bus::instance().firmware(sn_one);
    EXPECT_TRUE(eventually([&] { return fw->packets_received(10) >= 100; }, 60s));
}

TEST_F(transport, engine_stops_within_a_read_time_out) {
    bus::instance().plug(sn_one);
    libusb::driver drv;
    ASSERT_TRUE(drv.open(find(drv, sn_one)));
    libusb::interface_bulk bulk(drv, 2, 0x04, 0x84);
    log_sink log;
    auto com = std::make_unique<kestrel::communication>(bulk, log.fn);
    ASSERT_TRUE(eventually([&] { return com->link_ok(); }));
    const auto start = steady::now();
    com.reset();
    // A read of 50 ms plus the 100 ms pause, with room for a slow machine.
    EXPECT_LT(steady::now() - start, 3s);
}

TEST_F(transport, usb3_bridges_one_per_group) {
    bus::instance().plug(sn_three);
    libusb::driver drv;
    ASSERT_TRUE(drv.open(find(drv, sn_three)));
    libusb::interface_bulk bulk(drv, 2, 0x04, 0x84);
    log_sink log;
    kestrel::communication com(bulk, log.fn);

    EXPECT_EQ(com.create_usb3(3), d3xx::err::OK);
    ASSERT_EQ(com.usb_interfaces.size(), 3u);
    for (unsigned g = 0; g < 3; ++g) {
        EXPECT_TRUE(com.usb_interfaces[g]->driver.is_open());
        EXPECT_TRUE(bus::instance().bridge_is_open(sn_three, g));
    }
    EXPECT_TRUE(log.has("creating USB3 interfaces, groups count=3"));
    EXPECT_TRUE(log.has("Tryin USB buffer capacity reserve: 16MB"));
    EXPECT_TRUE(log.has("Core 2 USB3 port open, handle ok?true"));

    // The same count again keeps the bridges.
    const auto opens = bus::instance().counters().bridge_opens;
    EXPECT_EQ(com.create_usb3(3), d3xx::err::OK);
    EXPECT_EQ(bus::instance().counters().bridge_opens, opens);

    com.clear_usb3();
    EXPECT_TRUE(com.usb_interfaces.empty());
    EXPECT_TRUE(eventually([&] { return !bus::instance().bridge_is_open(sn_three, 0); }));

    // Missing bridges, and bridges that refuse to open (both bindings are tried).
    bus::instance().hide_bridges(sn_three, 2);
    EXPECT_EQ(com.create_usb3(3), d3xx::err::DEVICE_NOT_FOUND);
    com.clear_usb3();
    bus::instance().fail_bridge_opens(2, static_cast<uint32_t>(d3xx::err::DEVICE_NOT_OPENED));
    EXPECT_EQ(com.create_usb3(1), d3xx::err::DEVICE_NOT_OPENED);
    EXPECT_THROW(kestrel::communication::throw_usb_err(d3xx::err::DEVICE_NOT_OPENED),
                 std::exception);
    com.clear_usb3();
    EXPECT_EQ(com.create_usb3(1), d3xx::err::OK);
}

TEST_F(transport, bridge_read_keeps_bytes_received_before_the_time_out) {
    bus::instance().plug(sn_one);
    d3xx::ft245 bridge;
    EXPECT_EQ(bridge.open("730210100002", "KESTREL-CORE", 0), d3xx::err::DEVICE_NOT_FOUND);
    EXPECT_EQ(bridge.open("730210100001", "OTHER", 0), d3xx::err::DEVICE_NOT_FOUND);
    ASSERT_EQ(bridge.open("730210100001", "KESTREL-CORE", 0), d3xx::err::OK);

    std::vector<uint8_t> sent(1000);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<uint8_t>(i * 7);
    bus::instance().push_bridge_data(sn_one, 0, sent);
    std::vector<uint8_t> buf;
    EXPECT_EQ(bridge.read(buf, 4096, 50), d3xx::err::TIMEOUT);
    EXPECT_EQ(buf, sent);
    EXPECT_EQ(bridge.read(buf, 4096, 20), d3xx::err::TIMEOUT);
    EXPECT_TRUE(buf.empty());

    // A full read returns at once with exactly what was asked.
    bus::instance().push_bridge_data(sn_one, 0, sent);
    EXPECT_EQ(bridge.read(buf, 600, 5000), d3xx::err::OK);
    EXPECT_EQ(buf, std::vector<uint8_t>(sent.begin(), sent.begin() + 600));

    size_t written = 0;
    EXPECT_EQ(bridge.write({1, 2, 3, 4}, written, 100), d3xx::err::OK);
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(bus::instance().bridge_output(sn_one, 0), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(bridge.close(), d3xx::err::OK);
    EXPECT_FALSE(bridge.is_open());
}

} // namespace
