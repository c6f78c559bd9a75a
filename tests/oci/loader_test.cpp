// Device words, loop markers and the loading form of output programs.
#include <gtest/gtest.h>

#include "drivers/libusb/driver.h"
#include "kestrel/link/communication.h"
#include "kestrel/oci/oci_loader.h"
#include "oci_helpers.h"

namespace {

using namespace oci_test;
using kestrel::oci_loader_t;

uint32_t value_at(const std::vector<uint8_t>& v, size_t k) {
    return v.at(4 * k) | uint32_t{v.at(4 * k + 1)} << 8 | uint32_t{v.at(4 * k + 2)} << 16 |
           uint32_t{v.at(4 * k + 3)} << 24;
}

// The device words back out of a loading vector.
std::vector<uint32_t> words_of(const std::vector<uint8_t>& v) {
    std::vector<uint32_t> out(v.size() / 16, 0);
    for (size_t k = 0; k < v.size() / 4; ++k)
        out[k / 4] |= (value_at(v, k) & 0xFF) << (8 * (k % 4));
    return out;
}

class loader : public ::testing::Test {
protected:
    explicit loader(hw::model_t m = hw::model_t::kestrel_one) : caps(m) {}

    hw::log_fn log = [](const std::string&) {};
    mox::semaphore notifier;
    hw::status status{notifier};
    libusb::driver drv;
    libusb::interface_bulk bulk{drv, 2, 0x04, 0x84};
    kestrel::communication com{bulk, log};
    kestrel::capabilities caps;
    oci_loader_t ld{com, caps, status};
};

class loader_three : public loader {
protected:
    loader_three() : loader(hw::model_t::kestrel_three) {}
};

TEST_F(loader, one_hold_word_and_its_loading_bytes) {
    ld.build_loading_vector({hold(5, {0})}, 0);
    const std::vector<uint8_t> expected{0x05, 0x00, 0x00, 0x00, 0x04, 0x40, 0x00, 0x00,
                                        0x00, 0x80, 0x00, 0x00, 0x30, 0xC0, 0x00, 0x00};
    EXPECT_EQ(ld.loading_vector, expected);
    EXPECT_EQ(words_of(ld.loading_vector), std::vector<uint32_t>{0x30000405});
}

TEST_F(loader, fields_of_every_command) {
    auto h = hold(0x3FF, {17});
    h.long_hold = true;
    auto l = loop(0x1234567 | 0x70000000); // bits above the field's 28 are dropped
    l.loop_marker = 2;
    auto e = end();
    oci::word p;
    p.cmd = oci::command::rfu_pause;
    ld.build_loading_vector({h, l, e, p}, 0);
    const auto w = words_of(ld.loading_vector);
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[0], 0x30000000u | 1u << 27 | 1u << 9 | 0x1FF);
    EXPECT_EQ(w[1], 0x40000000u | 2u << 28 | 0x1234567);
    EXPECT_EQ(w[2], 0x80000000u | 3u << 28);
    EXPECT_EQ(w[3], 0xC0000000u | 3u << 28);
    // Address of value k is k, in bits 14..31.
    for (size_t k = 0; k < 16; ++k)
        EXPECT_EQ(value_at(ld.loading_vector, k) >> 14, k);
}

TEST_F(loader, loop_markers_follow_the_nesting) {
    // Openers carry any marker but 3; the encoder numbers them by depth.
    auto outer = hold(1, {}, true);
    outer.loop_marker = 2;
    auto inner = hold(1, {}, true);
    auto l_inner = loop(10);
    l_inner.loop_marker = 1;
    auto l_outer = loop(4);
    l_outer.loop_marker = 0;
    auto after = hold(1, {}, true); // a second loop at the outer level again
    ld.build_loading_vector({outer, inner, hold(1), l_inner, l_outer, after, loop(2)}, 0);
    const auto w = words_of(ld.loading_vector);
    auto marker = [&](size_t i) { return (w.at(i) >> 28) & 3; };
    EXPECT_EQ(marker(0), 0u);
    EXPECT_EQ(marker(1), 1u);
    EXPECT_EQ(marker(2), 3u);
    EXPECT_EQ(marker(3), 1u); // loop words keep their own marker
    EXPECT_EQ(marker(4), 0u);
    EXPECT_EQ(marker(5), 0u);
    EXPECT_EQ(w.at(3) & 0x0FFFFFFF, 10u);

    ld.build_loading_vector({hold(1, {}, true), loop(10)}, 0);
    EXPECT_EQ((words_of(ld.loading_vector)[0] >> 28) & 3, 0u);
}

TEST_F(loader, oversize_program_is_refused) {
    std::vector<oci::word> big(oci_loader_t::oci_chunk_max_size + 1, hold(1));
    ld.loading_vector.assign(3, 0xAA);
    EXPECT_FALSE(ld.send_to_device(big));
    EXPECT_EQ(ld.loading_vector.size(), 3u);
    // Without data groups nothing is written, but the program is accepted.
    big.pop_back();
    EXPECT_TRUE(ld.send_to_device(big));
    EXPECT_EQ(ld.loading_vector.size(), 16 * oci_loader_t::oci_chunk_max_size);
}

TEST_F(loader_three, each_group_takes_its_own_channels) {
    const std::vector<oci::word> prog{hold(1, {0, 18, 35, 36, 53})};
    ld.build_loading_vector(prog, 2);
    EXPECT_EQ(words_of(ld.loading_vector)[0], 0x30000001u | 1u << 10 | 1u << 27);
    ld.build_loading_vector(prog, 1);
    EXPECT_EQ(words_of(ld.loading_vector)[0], 0x30000001u | 1u << 10 | 1u << 27);
    ld.build_loading_vector(prog, 0);
    EXPECT_EQ(words_of(ld.loading_vector)[0], 0x30000001u | 1u << 10);
    // send_to_device leaves the form of the last data group: configuration entry 2, the
    // lowest channels.
    EXPECT_TRUE(ld.send_to_device({hold(1, {1, 40})}));
    EXPECT_EQ(words_of(ld.loading_vector)[0], 0x30000001u | 1u << 11);
}

} // namespace
