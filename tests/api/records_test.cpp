#include <gtest/gtest.h>

#include <cstring>

#include "kestrelapi.h"

// The exported enumerations carry the values callers compile against.
TEST(Records, EnumerationValues) {
    EXPECT_EQ(KESTRELAPI_TRG_EXT_RISING & 16, 16);
    EXPECT_EQ(KESTRELAPI_TRG_EXT_FALLING & 16, 0);
    EXPECT_EQ(TIMEBASE_INTERNAL, 3);
    EXPECT_EQ(TIMEBASE_EXTERNAL, 2);
    EXPECT_EQ(OHWAPI_HARDWARE_FAULT, 1100);
    EXPECT_EQ(OHWAPI_DEVICE_FORGED, 1017);
    EXPECT_EQ(sizeof(kestrelapi_io_type_t), 4u);
}

// A record filled through its fields lands at the byte offsets of the interface.
TEST(Records, SettingsBytesAtInterfaceOffsets) {
    kestrelapi_settings_t s;
    std::memset(&s, 0, sizeof s);
    s.oci_clk_out_freq[2][1] = 0x1122334455667788ULL;
    s.io_pull[53] = KESTRELAPI_PULL_UP;
    s.trig_order = 3;
    const auto* b = reinterpret_cast<const uint8_t*>(&s);
    EXPECT_EQ(b[548], 0x88);
    EXPECT_EQ(b[555], 0x11);
    EXPECT_EQ(b[268 + 53 * 4], 1);
    EXPECT_EQ(b[501], 3);
}
