#pragma once
#include <functional>

#include "kestrelapi.h"

namespace api_utils {

// Runs one exported function's body and turns whatever it throws into an error code:
// hw::exception 1000 + code, libusb::exception 2000 + code (a negative libusb error),
// d3xx::exception 3000 + code, anything else 1999. Nothing is logged or stored.
ohwapi_err_code_t trycatch(const std::function<void()>& fn) noexcept;

} // namespace api_utils
