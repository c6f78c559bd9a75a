#pragma once
#include <cstdint>
#include <string>

namespace libusb {

enum class speed : uint8_t { unknown = 0, low = 1, full = 2, high = 3, super = 4, super_plus = 5 };

// One USB device as discovery sees it. The link speed is carried, not compared.
struct device {
    speed s = speed::unknown;
    std::string man;
    std::string desc;
    std::string sn;
    uint16_t pid = 0;
    uint16_t vid = 0;

    bool operator==(const device& o) const {
        return man == o.man && desc == o.desc && sn == o.sn && pid == o.pid && vid == o.vid;
    }
};

} // namespace libusb
