#pragma once
#include <exception>

namespace libusb {

// A failure of the control link: err is always a negative libusb_error value.
class exception : public std::exception {
public:
    explicit exception(int e) : err(e) {}
    int code() const { return err; }
    const char* what() const noexcept override { return "LIBUSB Error"; }

private:
    int err;
};

} // namespace libusb
