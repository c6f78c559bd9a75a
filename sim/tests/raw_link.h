// Test side of the raw control link and the bridges: the test's own packet framing and
// thin helpers over the libusb and FT_* calls.
#pragma once

#include "kestrel_sim/bus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
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
uint32_t FT_FlushPipe(void* h, uint8_t pipe);
uint32_t FT_GetDriverVersion(void* h, uint32_t* v);
uint32_t FT_ReadGPIO(void* h, uint32_t* data);
}

namespace sim_test {

using namespace std::chrono_literals;
using bytes = std::vector<uint8_t>;
using kestrel_sim::bus;

inline constexpr uint32_t ft_open_by_index = 16;

struct node_t {
    uint32_t flags, type, id, loc;
    char sn[16];
    char desc[32];
    void* handle;
};
static_assert(sizeof(node_t) == 72);

// The test's own framing, written apart from the device's.
inline uint16_t crc16(const bytes& b) {
    uint16_t crc = 0xFFFF;
    for (uint8_t x : b)
        for (int i = 7; i >= 0; --i) {
            const bool top = ((crc >> 15) & 1) != ((x >> i) & 1);
            crc = static_cast<uint16_t>(crc << 1);
            if (top) crc ^= 0x1021;
        }
    return crc;
}

inline bytes frame(uint8_t ep, const bytes& params, uint8_t ack = 0) {
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

inline const bytes ping_packet{0x55, 0xAA, 0x00, 0x08, 0x08, 0xAA,
                               0xBB, 0xCC, 0xDD, 0x00, 0xB0, 0xBB};

struct usb_dev {
    std::string sn;
    uint16_t vid = 0, pid = 0;
    std::string man, product;
};

inline std::vector<usb_dev> list_usb() {
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

inline libusb_device_handle* open_usb(const std::string& sn) {
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

inline int send(libusb_device_handle* h, bytes b, unsigned timeout = 100) {
    int tr = -1;
    const int r = libusb_bulk_transfer(h, 0x04, b.data(), static_cast<int>(b.size()), &tr, timeout);
    return r == 0 ? tr : r;
}

// One bulk IN: result code and the bytes delivered.
inline std::pair<int, bytes> recv(libusb_device_handle* h, unsigned timeout = 200, int max = 512) {
    bytes b(static_cast<size_t>(max));
    int tr = -1;
    const int r = libusb_bulk_transfer(h, 0x84, b.data(), max, &tr, timeout);
    b.resize(static_cast<size_t>(std::max(tr, 0)));
    return {r, b};
}

// Reads until `want` bytes arrived or a generous bound passed.
inline bytes recv_all(libusb_device_handle* h, size_t want) {
    bytes all;
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (all.size() < want && std::chrono::steady_clock::now() < end) {
        auto [r, b] = recv(h, 100);
        all.insert(all.end(), b.begin(), b.end());
        if (r != 0 && r != LIBUSB_ERROR_TIMEOUT) break;
    }
    return all;
}

inline std::vector<node_t> list_bridges() {
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

} // namespace sim_test
