// Drives the virtual device the way the library does: through the plain libusb C calls
// and the FT_* entry points.
#include "kestrel_sim/bus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <libusb-1.0/libusb.h>
#include <string>
#include <thread>
#include <vector>

extern "C" {
uint32_t FT_CreateDeviceInfoList(uint32_t* n);
uint32_t FT_GetDeviceInfoList(void* nodes, uint32_t* n);
uint32_t FT_Create(void* arg, uint32_t flags, void** h);
uint32_t FT_Close(void* h);
uint32_t FT_ReadPipe(void* h, uint8_t pipe, uint8_t* buf, uint32_t len, uint32_t* tr, void* ov);
uint32_t FT_WritePipe(void* h, uint8_t pipe, uint8_t* buf, uint32_t len, uint32_t* tr, void* ov);
uint32_t FT_SetPipeTimeout(void* h, uint8_t pipe, uint32_t ms);
uint32_t FT_AbortPipe(void* h, uint8_t pipe);
uint32_t FT_GetDriverVersion(void* h, uint32_t* v);
uint32_t FT_ReadGPIO(void* h, uint32_t* data);
}

namespace {

using namespace std::chrono_literals;
using bytes = std::vector<uint8_t>;
using kestrel_sim::bus;

constexpr uint32_t ft_open_by_index = 16;

struct node_t {
    uint32_t flags, type, id, loc;
    char sn[16];
    char desc[32];
    void* handle;
};
static_assert(sizeof(node_t) == 72);

// The test's own framing, written apart from the device's.
uint16_t crc16(const bytes& b) {
    uint16_t crc = 0xFFFF;
    for (uint8_t x : b)
        for (int i = 7; i >= 0; --i) {
            const bool top = ((crc >> 15) & 1) != ((x >> i) & 1);
            crc = static_cast<uint16_t>(crc << 1);
            if (top) crc ^= 0x1021;
        }
    return crc;
}

bytes frame(uint8_t ep, const bytes& params, uint8_t ack = 0) {
    bytes body{ep};
    body.insert(body.end(), params.begin(), params.end());
    body.push_back(ack);
    const uint16_t crc = crc16(body);
    const size_t len = body.size() + 2;
    bytes out{0x55, 0xAA, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)};
    out.insert(out.end(), body.begin(), body.end());
    out.push_back(static_cast<uint8_t>(crc >> 8));
    out.push_back(static_cast<uint8_t>(crc));
    return out;
}

const bytes ping_packet{0x55, 0xAA, 0x00, 0x08, 0x08, 0xAA, 0xBB, 0xCC, 0xDD, 0x00, 0xB0, 0xBB};

struct usb_dev {
    std::string sn;
    uint16_t vid = 0, pid = 0;
    std::string man, product;
};

std::vector<usb_dev> list_usb() {
    std::vector<usb_dev> out;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(nullptr, &list);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != 0) continue;
        usb_dev u{"", d.idVendor, d.idProduct, "", ""};
        libusb_device_handle* h = nullptr;
        if (libusb_open(list[i], &h) == 0) {
            unsigned char buf[256];
            auto str = [&](uint8_t idx) {
                const int r = libusb_get_string_descriptor_ascii(h, idx, buf, sizeof buf);
                return r > 0 ? std::string(reinterpret_cast<char*>(buf), r) : std::string();
            };
            u.sn = str(d.iSerialNumber);
            u.man = str(d.iManufacturer);
            u.product = str(d.iProduct);
            libusb_close(h);
        }
        out.push_back(u);
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    return out;
}

libusb_device_handle* open_usb(const std::string& sn) {
    libusb_device** list = nullptr;
    libusb_device_handle* found = nullptr;
    const ssize_t n = libusb_get_device_list(nullptr, &list);
    for (ssize_t i = 0; i < n && found == nullptr; ++i) {
        libusb_device_handle* h = nullptr;
        if (libusb_open(list[i], &h) != 0) continue;
        unsigned char buf[64];
        const int r = libusb_get_string_descriptor_ascii(h, 3, buf, sizeof buf);
        if (r > 0 && std::string(reinterpret_cast<char*>(buf), r) == sn)
            found = h;
        else
            libusb_close(h);
    }
    libusb_free_device_list(list, 1);
    return found;
}

int send(libusb_device_handle* h, bytes b, unsigned timeout = 100) {
    int tr = -1;
    const int r = libusb_bulk_transfer(h, 0x04, b.data(), static_cast<int>(b.size()), &tr, timeout);
    return r == 0 ? tr : r;
}

// One bulk IN: result code and the bytes delivered.
std::pair<int, bytes> recv(libusb_device_handle* h, unsigned timeout = 200, int max = 512) {
    bytes b(static_cast<size_t>(max));
    int tr = -1;
    const int r = libusb_bulk_transfer(h, 0x84, b.data(), max, &tr, timeout);
    b.resize(static_cast<size_t>(std::max(tr, 0)));
    return {r, b};
}

// Reads until `want` bytes arrived or a generous bound passed.
bytes recv_all(libusb_device_handle* h, size_t want) {
    bytes all;
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (all.size() < want && std::chrono::steady_clock::now() < end) {
        auto [r, b] = recv(h, 100);
        all.insert(all.end(), b.begin(), b.end());
        if (r != 0 && r != LIBUSB_ERROR_TIMEOUT) break;
    }
    return all;
}

std::vector<node_t> list_bridges() {
    uint32_t n = 0;
    EXPECT_EQ(FT_CreateDeviceInfoList(&n), 0u);
    std::vector<node_t> nodes(n);
    if (n > 0) {
        EXPECT_EQ(FT_GetDeviceInfoList(nodes.data(), &n), 0u);
    }
    nodes.resize(n);
    return nodes;
}

class sim : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("KESTREL_SIM_DEVICES");
        bus::instance().reset();
        ASSERT_EQ(libusb_init(nullptr), 0);
    }
    void TearDown() override {
        libusb_exit(nullptr);
        unsetenv("KESTREL_SIM_DEVICES");
        bus::instance().reset();
    }
};

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
