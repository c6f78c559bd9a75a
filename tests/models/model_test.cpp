#include <gtest/gtest.h>

#include "hw/descriptor.h"
#include "hw/exception.h"
#include "hw/keep_alive.h"
#include "hw/model.h"

using hw::device_t;
using hw::model_t;

namespace {

hw::error model_error(const std::string& sn) {
    try {
        hw::get_model(sn);
    } catch (const hw::exception& e) {
        return e.code();
    }
    return hw::error::no_error;
}

hw::error device_error(const std::string& sn) {
    try {
        hw::get_device(sn);
    } catch (const hw::exception& e) {
        return e.code();
    }
    return hw::error::no_error;
}

} // namespace

TEST(Models, PrefixesNameModelAndFamily) {
    EXPECT_EQ(hw::get_model("7302101000001"), model_t::kestrel_one);
    EXPECT_EQ(hw::get_model("7302102"), model_t::kestrel_two);
    EXPECT_EQ(hw::get_model("73021029999999999"), model_t::kestrel_two);
    EXPECT_EQ(hw::get_model("7302103000007"), model_t::kestrel_three);
    EXPECT_EQ(hw::get_device("7302102123"), device_t::kestrel);
    // Family prefix without a model prefix: a device of the family, but no model.
    EXPECT_EQ(hw::get_device("7302104000001"), device_t::kestrel);
    EXPECT_EQ(model_error("7302104000001"), hw::error::invalid_serial_number);
}

TEST(Models, SerialNumbersWithoutPrefixAreInvalid) {
    for (const char* sn : {"", "7", "730", "17302101000001", "x7302101", "6302101000001"}) {
        EXPECT_EQ(model_error(sn), hw::error::invalid_serial_number) << sn;
    }
    for (const char* sn : {"", "7", "730", "17302101000001"}) {
        EXPECT_EQ(device_error(sn), hw::error::invalid_serial_number) << sn;
    }
}

TEST(Models, DescriptorsCompareBySerialNumber) {
    EXPECT_EQ((hw::descriptor{"730210100001", "A"}), (hw::descriptor{"730210100001", "B"}));
    EXPECT_NE((hw::descriptor{"730210100001", "A"}), (hw::descriptor{"730210100002", "A"}));
    EXPECT_EQ(hw::sn_kestrel_core[2], "730210100003");
    EXPECT_EQ(hw::desc_kestrel_core, "KESTREL-CORE");
}

TEST(Models, KeepAliveListIsProcessWideAndUnique) {
    auto& k = hw::keep_alive::instance();
    EXPECT_EQ(&k, &hw::keep_alive::instance());
    const bool first = k.push_unique("7302101999999");
    EXPECT_FALSE(k.push_unique("7302101999999"));
    EXPECT_TRUE(first);
    EXPECT_TRUE(k.list.exists("7302101999999"));
}
