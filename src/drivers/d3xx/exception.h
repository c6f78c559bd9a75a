#pragma once
#include <exception>

#include "drivers/d3xx/err.h"

namespace d3xx {

// A failure of a USB3 data bridge, carrying the driver's status.
class exception : public std::exception {
public:
    explicit exception(err e) : e_(e) {}
    err code() const { return e_; }
    const char* what() const noexcept override { return "FTDI-D3XX Error"; }

private:
    err e_;
};

} // namespace d3xx
