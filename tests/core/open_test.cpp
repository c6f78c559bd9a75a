// Listing, open, close, flags and versions through the exported interface.
#include "api_fixture.h"

#include <algorithm>
#include <cstring>

namespace {

using namespace core_test;

class open_close : public on_bus {};

TEST_F(open_close, every_model_opens_reports_versions_and_closes) {
    for (const model_case& c : family) {
        SCOPED_TRACE(c.sn);
        bus::instance().unplug_all();
        bus::instance().plug(c.sn);
        auto st = bus::instance().firmware(c.sn)->status();
        st.mcu_major = 2;
        st.mcu_minor = 7;
        st.fpga_version = 0x5C;
        bus::instance().firmware(c.sn)->set_status(st);

        api_handle h(c.model);
        uint8_t v = 99;
        // Before the first status report the versions read 0.
        EXPECT_EQ(kestrelapi_get_fpga_version_major(h.get(), &v), OHWAPI_OK);
        EXPECT_EQ(v, 0);
        EXPECT_FALSE(h.open_flag());
        EXPECT_TRUE(h.ready_flag());

        EXPECT_EQ(kestrelapi_device_open_first(h.get()), OHWAPI_OK);
        EXPECT_TRUE(h.open_flag());
        EXPECT_TRUE(h.ready_flag());
        EXPECT_EQ(kestrelapi_get_last_error(h.get()), OHWAPI_OK);
        for (unsigned g = 0; g < 3; ++g)
            EXPECT_EQ(bus::instance().bridge_is_open(c.sn, g), g < c.groups);

        EXPECT_EQ(kestrelapi_get_mcu_version_major(h.get(), &v), OHWAPI_OK);
        EXPECT_EQ(v, 2);
        EXPECT_EQ(kestrelapi_get_mcu_version_minor(h.get(), &v), OHWAPI_OK);
        EXPECT_EQ(v, 7);
        EXPECT_EQ(kestrelapi_get_fpga_version_major(h.get(), &v), OHWAPI_OK);
        EXPECT_EQ(v, 5);
        EXPECT_EQ(kestrelapi_get_fpga_version_minor(h.get(), &v), OHWAPI_OK);
        EXPECT_EQ(v, 0xC);

        const auto texts = h.status_texts();
        ASSERT_FALSE(texts.empty());
        EXPECT_NE(std::find(texts.begin(), texts.end(), "Waiting for device startup"), texts.end());
        EXPECT_EQ(texts.back(), "Device ready");

        h.close();
        EXPECT_EQ(kestrelapi_get_last_error(h.get()), OHWAPI_OK);
        EXPECT_TRUE(eventually([&] { return !bus::instance().bridge_is_open(c.sn, 0); }));

        // The same handle opens the device again, this time by descriptor.
        EXPECT_EQ(h.open(c.sn), OHWAPI_OK);
        EXPECT_TRUE(h.open_flag());
        h.close();
    }
}

TEST_F(open_close, device_list_and_descriptors) {
    api_handle h(kestrel_one);
    uint16_t count = 99;
    EXPECT_EQ(kestrelapi_create_device_list(h.get()), OHWAPI_OK);
    EXPECT_EQ(kestrelapi_get_devices_count(h.get(), &count), OHWAPI_OK);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(kestrelapi_device_open_first(h.get()), OHWAPI_DEVICE_NOT_FOUND);

    bus::instance().plug("7302101000001");
    bus::instance().plug("7302103000007");
    EXPECT_EQ(kestrelapi_create_device_list(h.get()), OHWAPI_OK);
    EXPECT_EQ(kestrelapi_get_devices_count(h.get(), &count), OHWAPI_OK);
    ASSERT_EQ(count, 2);
    device_descriptor_t d;
    d.sn = nullptr;
    d.desc = nullptr;
    EXPECT_EQ(kestrelapi_get_device_descriptor(h.get(), 2, &d), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(d.sn, nullptr);
    std::vector<std::string> sns;
    for (uint8_t i = 0; i < count; ++i) {
        ASSERT_EQ(kestrelapi_get_device_descriptor(h.get(), i, &d), OHWAPI_OK);
        ASSERT_NE(d.desc, nullptr);
        EXPECT_GT(std::strlen(d.desc), 0u);
        sns.push_back(d.sn);
        EXPECT_EQ(kestrelapi_free_device_descriptor(&d), OHWAPI_OK);
        EXPECT_EQ(d.sn, nullptr);
    }
    std::sort(sns.begin(), sns.end());
    EXPECT_EQ(sns, (std::vector<std::string>{"7302101000001", "7302103000007"}));

    // An open device stays listed, once. (It is opened alone: with another device on the
    // bus its bridges could not be told apart.)
    bus::instance().unplug("7302103000007");
    ASSERT_EQ(h.open("7302101000001"), OHWAPI_OK);
    bus::instance().plug("7302103000007");
    EXPECT_EQ(kestrelapi_create_device_list(h.get()), OHWAPI_OK);
    EXPECT_EQ(kestrelapi_get_devices_count(h.get(), &count), OHWAPI_OK);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(kestrelapi_free_device_list(h.get()), OHWAPI_OK);
    EXPECT_EQ(kestrelapi_get_devices_count(h.get(), &count), OHWAPI_OK);
    EXPECT_EQ(count, 0);
    h.close();
}

TEST_F(open_close, a_device_whose_bridges_another_device_repeats_is_refused_at_once) {
    bus::instance().plug("7302101000001");
    bus::instance().plug("7302103000007");
    for (const auto& [model, sn] :
         {std::pair{kestrel_one, "7302101000001"}, std::pair{kestrel_three, "7302103000007"}}) {
        api_handle h(model);
        const auto start = steady::now();
        EXPECT_EQ(h.open(sn), OHWAPI_NOT_SUPPORTED);
        EXPECT_LT(steady::now() - start, 2s);
        char text[300];
        ASSERT_EQ(kestrelapi_get_last_error_text(h.get(), text, sizeof text), OHWAPI_OK);
        EXPECT_EQ(std::string(text),
                  "device " + std::string(sn) +
                      ": 2 USB3 bridges 730210100001 on the bus (every KESTREL device's "
                      "bridges carry the same serial numbers), so its data cannot be told "
                      "apart from another device's: keep one KESTREL device plugged");
        EXPECT_FALSE(h.open_flag());
    }
    EXPECT_EQ(bus::instance().counters().packets_received[8], 0u);
    // Alone on the bus, the same device opens.
    bus::instance().unplug("7302103000007");
    api_handle h(kestrel_one);
    EXPECT_EQ(h.open("7302101000001"), OHWAPI_OK);
    h.close();
}

TEST_F(open_close, refused_opens_change_nothing) {
    bus::instance().plug("7302101000001");
    bus::instance().plug("7302102000042");
    api_handle h(kestrel_one);

    std::string sn = "7302101000001";
    device_descriptor_t half;
    half.sn = sn.data();
    half.desc = nullptr;
    EXPECT_EQ(kestrelapi_device_open(h.get(), half), OHWAPI_INVALID_ARGUMENT);
    half.sn = nullptr;
    half.desc = sn.data();
    EXPECT_EQ(kestrelapi_device_open(h.get(), half), OHWAPI_INVALID_ARGUMENT);
    // Another model's device, or no model at all: the reason says which.
    auto reason = [&] {
        char text[300] = "";
        EXPECT_EQ(kestrelapi_get_last_error_text(h.get(), text, sizeof text), OHWAPI_OK);
        return std::string(text);
    };
    EXPECT_EQ(h.open("7302102000042"), OHWAPI_INVALID_SERIAL);
    EXPECT_EQ(reason(), "device 7302102000042 is a KESTREL TWO (36 channels), this handle is "
                        "for a KESTREL ONE (18 channels): open it with a handle of its model");
    EXPECT_EQ(h.open("1234567"), OHWAPI_INVALID_SERIAL);
    EXPECT_EQ(reason(), "serial number 1234567 is not a KESTREL device's (7302101..., "
                        "7302102... or 7302103...)");
    // Not on the bus: refused at once, without the start-up polling.
    const auto start = steady::now();
    EXPECT_EQ(h.open("7302101000099"), OHWAPI_DEVICE_NOT_FOUND);
    EXPECT_LT(steady::now() - start, 5s);
    EXPECT_FALSE(h.open_flag());
    EXPECT_EQ(bus::instance().counters().packets_received[8], 0u);
    EXPECT_EQ(kestrelapi_device_close(h.get()), OHWAPI_OK); // nothing open: still 0
    EXPECT_TRUE(eventually([&] { return h.ready_flag(); }));

    // Alone on the bus from here: with the other device its bridges would be ambiguous.
    bus::instance().unplug("7302102000042");
    // Work that holds the device makes open give up after half a second.
    {
        std::unique_lock busy(h.internals().device.device_busy);
        EXPECT_FALSE(h.ready_flag());
        const auto t0 = steady::now();
        EXPECT_EQ(h.open(sn), OHWAPI_BUSY);
        EXPECT_GE(steady::now() - t0, 450ms);
    }
    EXPECT_FALSE(h.open_flag());
    EXPECT_EQ(h.open(sn), OHWAPI_OK);
    h.close();
}

TEST_F(open_close, startup_wait_and_unanswered_status) {
    const std::string sn = "7302102000042";
    bus::instance().plug(sn);
    auto fw = bus::instance().firmware(sn);
    auto st = fw->status();
    st.startup_silent_requests = 1;
    st.startup_zero_replies = 2;
    fw->set_status(st);
    fw->power_on();

    api_handle h(kestrel_two);
    EXPECT_EQ(h.open(sn), OHWAPI_OK);
    // One silent request, two answers with code 0, then the started device.
    EXPECT_GE(fw->counters().status_requests, 4u);
    uint8_t v = 0;
    EXPECT_EQ(kestrelapi_get_fpga_version_major(h.get(), &v), OHWAPI_OK);
    EXPECT_EQ(v, 2);
    h.close();
}

TEST_F(open_close, usb3_recovery_succeeds_after_a_bridge_reset) {
    const std::string sn = "7302101000001";
    bus::instance().plug(sn);
    bus::instance().hide_bridges(sn, -1); // until the host resets the bridges
    api_handle h(kestrel_one);
    EXPECT_EQ(h.open(sn), OHWAPI_OK);
    EXPECT_EQ(bus::instance().firmware(sn)->counters().bridge_resets, 2u);
    const auto texts = h.status_texts();
    const std::vector<std::string> tail(texts.end() - 2, texts.end());
    EXPECT_EQ(tail,
              (std::vector<std::string>{"Recovering USB3 connection - trial 1", "Device ready"}));
    EXPECT_TRUE(bus::instance().bridge_is_open(sn, 0));
    h.close();
}

TEST_F(open_close, usb3_failure_after_three_recoveries) {
    const std::string sn = "7302101000001";
    bus::instance().plug(sn);
    bus::instance().fail_bridge_opens(1000, 4); // FT_IO_ERROR
    api_handle h(kestrel_one);
    EXPECT_EQ(h.open(sn), OHWAPI_USB3_ERRORS + 4);
    EXPECT_EQ(h.status_texts(),
              (std::vector<std::string>{"Preparing", "Waiting for device startup",
                                        "Recovering USB3 connection - trial 1",
                                        "Recovering USB3 connection - trial 2",
                                        "Recovering USB3 connection - trial 3", "Device ready"}));
    EXPECT_EQ(bus::instance().firmware(sn)->counters().bridge_resets, 6u);
    // Nothing stays half-open: the control link is closed too; the device is free again.
    EXPECT_FALSE(h.open_flag());
    EXPECT_TRUE(h.ready_flag());
    EXPECT_FALSE(bus::instance().bridge_is_open(sn, 0));
    // The next open opens the bridges again (it took the half-open ones for open before).
    bus::instance().fail_bridge_opens(0);
    EXPECT_EQ(h.open(sn), OHWAPI_OK);
    EXPECT_TRUE(h.open_flag());
    EXPECT_TRUE(bus::instance().bridge_is_open(sn, 0));
    h.close();
}

} // namespace
