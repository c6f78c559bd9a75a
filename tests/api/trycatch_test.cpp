#include <gtest/gtest.h>

#include <stdexcept>

#include "api/trycatch.h"
#include "drivers/d3xx/exception.h"
#include "drivers/libusb/exception.h"
#include "hw/exception.h"
#include "moxcom/except.h"

using api_utils::trycatch;

namespace {

template <typename E> int code_of(E e) {
    return trycatch([&] { throw e; });
}

} // namespace

TEST(TryCatch, EveryExceptionKindMapsToItsRange) {
    EXPECT_EQ(trycatch([] {}), OHWAPI_OK);
    EXPECT_EQ(code_of(hw::exception(hw::error::busy)), 1007);
    EXPECT_EQ(code_of(hw::exception(hw::error::tx_failure)), 1018);
    EXPECT_EQ(code_of(hw::exception(hw::error::hardware_fault)), OHWAPI_HARDWARE_FAULT);
    EXPECT_EQ(code_of(hw::exception(hw::error::unknown_error)), OHWAPI_UNKNOWN_ERROR);
    EXPECT_EQ(code_of(libusb::exception(-7)), 1993);  // LIBUSB_ERROR_TIMEOUT
    EXPECT_EQ(code_of(libusb::exception(-99)), 1901); // LIBUSB_ERROR_OTHER
    EXPECT_EQ(code_of(d3xx::exception(d3xx::err::DEVICE_NOT_FOUND)), 3002);
    EXPECT_EQ(code_of(d3xx::exception(d3xx::err::OTHER_ERROR)), 3032);
    EXPECT_EQ(code_of(mox_com::except(mox_com::error::unknown_endpoint)), 1999);
    EXPECT_EQ(code_of(std::out_of_range("index")), 1999);
    EXPECT_EQ(code_of(42), 1999); // not even a std::exception
}

TEST(TryCatch, ExceptionTextsAndCodes) {
    EXPECT_STREQ(hw::exception(hw::error::busy).what(), "Hardware Error");
    EXPECT_STREQ(libusb::exception(-1).what(), "LIBUSB Error");
    EXPECT_STREQ(d3xx::exception(d3xx::err::IO_ERROR).what(), "FTDI-D3XX Error");
    EXPECT_STREQ(mox_com::except(mox_com::error::crc_error).what(), "MOXCOM Error");

    hw::exception a(hw::error::busy);
    hw::exception b(a);
    b = hw::exception(hw::error::no_data);
    EXPECT_EQ(a.code(), hw::error::busy);
    EXPECT_EQ(b.code(), hw::error::no_data);
}
