#pragma once

#include <exception>

namespace mox_com {

enum error : int {
    crc_error = 0,
    unknown_endpoint = 1,
    unrelated_bytes = 2,
    no_data_available = 3
};

class except : public std::exception {
public:
    explicit except(int err) : err(err) {}
    int code() const noexcept { return err; }
    const char* what() const noexcept override { return "MOXCOM Error"; }

private:
    int err;
};

} // namespace mox_com
