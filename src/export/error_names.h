#pragma once

namespace xport {

// Name of an exported error code as a static string; "UNKNOWN" for a value no code has.
// 1999 is OHWAPI_UNKNOWN_ERROR, although LIBUSB_ERROR_IO (-1) also lands there.
const char* error_name(int code);

} // namespace xport
