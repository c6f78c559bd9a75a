// Drives the virtual device the way the library does: through the plain libusb C calls
// and the FT_* entry points.
#include "raw_link.h"

#include <cstring>
#include <dlfcn.h>

namespace {

using namespace sim_test;
using namespace std::chrono_literals;

TEST_F(sim, one_loaded_instance_behind_every_name) {
    // libusb-1.0.so.0, ./libftd3xx.so and the control interface are one library.
    Dl_info a{}, b{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&libusb_init), &a), 0);
    void* ft = dlopen("./libftd3xx.so", RTLD_LAZY);
    ASSERT_NE(ft, nullptr) << dlerror();
    void* create = dlsym(ft, "FT_CreateDeviceInfoList");
    ASSERT_EQ(create, reinterpret_cast<void*>(&FT_CreateDeviceInfoList));
    ASSERT_NE(dladdr(create, &b), 0);
    EXPECT_EQ(a.dli_fbase, b.dli_fbase);
    dlclose(ft);

    bus::instance().plug("7302102000042");
    auto devs = list_usb();
    ASSERT_EQ(devs.size(), 2u);
    EXPECT_EQ(devs[1].sn, "7302102000042");
}

TEST_F(sim, listing_and_descriptors) {
    auto devs = list_usb();
    ASSERT_EQ(devs.size(), 1u);
    EXPECT_EQ(devs[0].sn, kestrel_sim::default_serial);
    EXPECT_EQ(devs[0].vid, 0x1FC9);
    EXPECT_EQ(devs[0].pid, 0x82A5);
    EXPECT_FALSE(devs[0].man.empty());
    EXPECT_FALSE(devs[0].product.empty());

    // The start devices come from the environment.
    setenv("KESTREL_SIM_DEVICES", "7302101000001, 7302103000007,,", 1);
    bus::instance().reset();
    devs = list_usb();
    ASSERT_EQ(devs.size(), 2u);
    EXPECT_EQ(devs[1].sn, "7302103000007");
    setenv("KESTREL_SIM_DEVICES", "", 1);
    bus::instance().reset();
    EXPECT_TRUE(list_usb().empty());

    // Plug and unplug; a serial number is plugged once.
    bus::instance().plug("7302103000007");
    EXPECT_THROW(bus::instance().plug("7302103000007"), std::invalid_argument);
    EXPECT_EQ(bus::instance().devices(), std::vector<std::string>{"7302103000007"});
    EXPECT_TRUE(bus::instance().unplug("7302103000007"));
    EXPECT_FALSE(bus::instance().unplug("7302103000007"));
    EXPECT_TRUE(list_usb().empty());

    // A truncated string descriptor is terminated and reports its length.
    bus::instance().plug("7302101000001");
    auto* h = open_usb("7302101000001");
    ASSERT_NE(h, nullptr);
    unsigned char small[5];
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 3, small, sizeof small), 4);
    EXPECT_STREQ(reinterpret_cast<char*>(small), "7302");
    EXPECT_EQ(libusb_kernel_driver_active(h, 1), 0);
    EXPECT_EQ(libusb_claim_interface(h, 2), 0);
    libusb_close(h);
}

TEST_F(sim, ping_echo_with_split_and_garbage_input) {
    auto* h = open_usb(kestrel_sim::default_serial);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_claim_interface(h, 2), 0);
    EXPECT_EQ(frame(8, {0xAA, 0xBB, 0xCC, 0xDD}), ping_packet);

    EXPECT_EQ(send(h, ping_packet), 12);
    EXPECT_EQ(recv_all(h, 12), ping_packet);

    // Byte by byte, after garbage and a false header start, then a corrupted packet
    // followed by a good one in the same transfer.
    bytes stream{0x00, 0x55, 0x13, 0x55, 0x55};
    stream.insert(stream.end(), ping_packet.begin(), ping_packet.end());
    for (uint8_t b : stream)
        ASSERT_EQ(send(h, {b}), 1);
    EXPECT_EQ(recv_all(h, 12), ping_packet);

    bytes bad = frame(8, {1, 2, 3});
    bad[6] ^= 0x40;
    const bytes good = frame(8, {4, 5, 6});
    bytes both = bad;
    both.insert(both.end(), good.begin(), good.end());
    EXPECT_EQ(send(h, both), static_cast<int>(both.size()));
    EXPECT_EQ(recv_all(h, good.size()), good);
    auto [r, rest] = recv(h, 50);
    EXPECT_EQ(r, LIBUSB_ERROR_TIMEOUT);
    EXPECT_TRUE(rest.empty());

    auto fw = bus::instance().firmware(kestrel_sim::default_serial);
    ASSERT_NE(fw, nullptr);
    EXPECT_EQ(fw->packets_received(8), 3u);
    EXPECT_EQ(fw->bad_packets(), 1u);
    EXPECT_EQ(bus::instance().counters().packets_received.at(8), 3u);

    // An empty ping and a long one are echoed too; a small read takes a reply in parts.
    const bytes empty = frame(8, {});
    send(h, empty);
    EXPECT_EQ(recv_all(h, empty.size()), empty);
    const bytes long_ping = frame(8, bytes(1000, 0x5A));
    send(h, long_ping);
    auto [r1, first] = recv(h, 200, 100);
    EXPECT_EQ(r1, 0);
    EXPECT_EQ(first.size(), 100u);
    bytes got = first;
    const bytes more = recv_all(h, long_ping.size() - 100);
    got.insert(got.end(), more.begin(), more.end());
    EXPECT_EQ(got, long_ping);
    libusb_close(h);
}

TEST_F(sim, reply_faults_and_partial_reads) {
    const std::string sn = kestrel_sim::default_serial;
    auto* h = open_usb(sn);
    ASSERT_NE(h, nullptr);

    // Nothing queued: a time-out with no bytes.
    auto [r0, none] = recv(h, 30);
    EXPECT_EQ(r0, LIBUSB_ERROR_TIMEOUT);
    EXPECT_TRUE(none.empty());

    // Dropped: the first ping goes unanswered, the second is echoed.
    bus::instance().drop_replies(sn, 8, 1);
    send(h, ping_packet);
    EXPECT_EQ(recv(h, 50).second.size(), 0u);
    send(h, ping_packet);
    EXPECT_EQ(recv_all(h, 12), ping_packet);
    bus::instance().drop_replies(sn, 8);
    send(h, ping_packet);
    EXPECT_TRUE(recv(h, 50).second.empty());
    EXPECT_GE(bus::instance().counters().dropped_replies, 2u);

    // Delayed: not there at once, there later.
    bus::instance().delay_replies(sn, 8, 150ms);
    send(h, ping_packet);
    EXPECT_TRUE(recv(h, 10).second.empty());
    EXPECT_EQ(recv_all(h, 12), ping_packet);

    // Split: the bytes received before the time-out come with LIBUSB_ERROR_TIMEOUT.
    bus::instance().split_replies(sn, 8, 5, 300ms);
    send(h, ping_packet);
    auto [r1, part] = recv(h, 50);
    EXPECT_EQ(r1, LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(part, bytes(ping_packet.begin(), ping_packet.begin() + 5));
    EXPECT_EQ(recv_all(h, 7), bytes(ping_packet.begin() + 5, ping_packet.end()));
    bus::instance().clear_reply_faults(sn, 8);
    send(h, ping_packet);
    EXPECT_EQ(recv_all(h, 12), ping_packet);
    libusb_close(h);
}

TEST_F(sim, link_faults) {
    const std::string sn = kestrel_sim::default_serial;
    auto* h = open_usb(sn);
    ASSERT_NE(h, nullptr);

    bus::instance().fail_bulk_transfers(sn, 2);
    EXPECT_EQ(send(h, ping_packet), LIBUSB_ERROR_IO);
    EXPECT_EQ(recv(h, 10).first, LIBUSB_ERROR_IO);
    EXPECT_EQ(send(h, ping_packet), 12);
    EXPECT_EQ(recv_all(h, 12), ping_packet);

    // Stalled: OUT times out with nothing transferred, IN stays silent; then recovers.
    bus::instance().stall(sn, true);
    int tr = -1;
    bytes p = ping_packet;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x04, p.data(), 12, &tr, 30), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(tr, 0);
    bus::instance().stall(sn, false);
    send(h, ping_packet);
    bus::instance().stall(sn, true);
    EXPECT_TRUE(recv(h, 30).second.empty());
    bus::instance().stall(sn, false);
    EXPECT_EQ(recv_all(h, 12), ping_packet);

    // An unplug wakes a blocked read.
    std::thread t([&] {
        std::this_thread::sleep_for(50ms);
        bus::instance().unplug(sn);
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(recv(h, 10000).first, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    t.join();
    EXPECT_EQ(send(h, ping_packet), LIBUSB_ERROR_NO_DEVICE);
    libusb_close(h);

    // Unplugged as the next read starts; a replugged device is a new one.
    bus::instance().plug(sn);
    h = open_usb(sn);
    ASSERT_NE(h, nullptr);
    bus::instance().unplug_on_next_bulk_in(sn);
    EXPECT_EQ(send(h, ping_packet), 12);
    EXPECT_EQ(recv(h, 100).first, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(list_usb().empty());
    libusb_close(h);
}

TEST_F(sim, bridges) {
    setenv("KESTREL_SIM_DEVICES", "7302103000007", 1);
    bus::instance().reset();
    auto nodes = list_bridges();
    ASSERT_EQ(nodes.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(std::string(nodes[i].sn), "73021010000" + std::to_string(i + 1));
        EXPECT_STREQ(nodes[i].desc, "KESTREL-CORE");
    }
    bus::instance().plug("7302102000001");
    EXPECT_EQ(list_bridges().size(), 5u);
    bus::instance().unplug("7302103000007");
    EXPECT_EQ(list_bridges().size(), 2u);
    bus::instance().unplug_all();
    EXPECT_TRUE(list_bridges().empty());

    bus::instance().plug("7302101000001");
    ASSERT_EQ(list_bridges().size(), 1u);
    bus::instance().fail_bridge_opens(1, 4);
    void* h = nullptr;
    EXPECT_EQ(FT_Create(reinterpret_cast<void*>(uintptr_t{0}), ft_open_by_index, &h), 4u);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(FT_Create(reinterpret_cast<void*>(uintptr_t{1}), ft_open_by_index, &h), 2u);
    ASSERT_EQ(FT_Create(reinterpret_cast<void*>(uintptr_t{0}), ft_open_by_index, &h), 0u);
    void* second = nullptr;
    EXPECT_NE(FT_Create(reinterpret_cast<void*>(uintptr_t{0}), ft_open_by_index, &second), 0u);
    uint32_t v = 0;
    EXPECT_EQ(FT_GetDriverVersion(h, &v), 0u);
    EXPECT_EQ(FT_ReadGPIO(h, &v), 0u);
    EXPECT_EQ(bus::instance().counters().bridge_opens, 1u);

    // A read that times out returns what arrived; a full read returns at once.
    EXPECT_EQ(FT_SetPipeTimeout(h, 0x82, 100), 0u);
    EXPECT_EQ(bus::instance().counters().pipe_timeout_calls, 1u);
    const bytes data{1, 2, 3, 4, 5, 6};
    bus::instance().push_bridge_data("7302101000001", 0, data);
    bytes buf(16);
    uint32_t tr = 99;
    EXPECT_EQ(FT_ReadPipe(h, 0x82, buf.data(), 16, &tr, nullptr), 19u);
    EXPECT_EQ(tr, 6u);
    EXPECT_EQ(bytes(buf.begin(), buf.begin() + 6), data);
    bus::instance().push_bridge_data("7302101000001", 0, data);
    EXPECT_EQ(FT_ReadPipe(h, 0x82, buf.data(), 4, &tr, nullptr), 0u);
    EXPECT_EQ(tr, 4u);
    EXPECT_EQ(FT_ReadPipe(h, 0x82, buf.data(), 2, &tr, nullptr), 0u);
    EXPECT_EQ(buf[1], 6);

    bytes out{9, 8, 7};
    EXPECT_EQ(FT_WritePipe(h, 0x02, out.data(), 3, &tr, nullptr), 0u);
    EXPECT_EQ(tr, 3u);
    EXPECT_EQ(bus::instance().bridge_output("7302101000001", 0), out);

    // Abort wakes a blocked read; unplug does too and the handle then reports it.
    EXPECT_EQ(FT_SetPipeTimeout(h, 0x82, 10000), 0u);
    std::thread t([&] {
        std::this_thread::sleep_for(50ms);
        FT_AbortPipe(h, 0x82);
        std::this_thread::sleep_for(50ms);
        bus::instance().unplug("7302101000001");
    });
    EXPECT_EQ(FT_ReadPipe(h, 0x82, buf.data(), 16, &tr, nullptr), 20u);
    EXPECT_EQ(FT_ReadPipe(h, 0x82, buf.data(), 16, &tr, nullptr), 30u);
    t.join();
    EXPECT_EQ(FT_ReadGPIO(h, &v), 30u);
    EXPECT_EQ(FT_Close(h), 0u);
    EXPECT_EQ(FT_Close(h), 1u);
    EXPECT_EQ(FT_ReadGPIO(h, &v), 1u);
    EXPECT_EQ(FT_ReadGPIO(nullptr, &v), 1u);
}

} // namespace
