#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace mox {

// One chip-select line of a serial-peripheral bus (active low, idle high).
struct gpio {
    bool level = true;
    void set(bool l) { level = l; }
};

// The serial-peripheral master of this library. The FPGA settings travel in the
// configuration payloads of the control link, so the master has no bus behind it:
// transmission does nothing and succeeds, reception returns idle-bus bytes (0xFF).
class spi_master {
public:
    using bytes = std::vector<uint8_t>;

    int tx(const bytes& data, gpio& cs, uint32_t flags = 0) {
        (void)data;
        (void)cs;
        (void)flags;
        return 0;
    }
    int rx(bytes& data, gpio& cs, size_t count, uint32_t flags = 0) {
        (void)cs;
        (void)flags;
        data.assign(count, 0xFF);
        return 0;
    }
};

} // namespace mox
