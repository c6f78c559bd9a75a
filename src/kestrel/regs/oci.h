#pragma once
#include <array>
#include <cstdint>

#include "kestrel/regs/reg.h"

namespace kestrel {

// Output program engine registers.
struct oci_t {
    static constexpr uint32_t origin = 49;

    struct clkout_t {
        clkout_t(spi_port& port, uint8_t enable_bit, uint32_t div_address)
            : enable(port, origin + 11, enable_bit, 1), div(port, div_address, 0, 32) {}
        reg<bool> enable;
        reg<uint32_t> div;
    };

    explicit oci_t(spi_port& port)
        : start_latency(port, origin, 0, 4), wait_for_trig(port, origin, 4, 1),
          idle_state(port, origin + 3, 0, 18),
          load_enable(port, origin + 6, 0, 1), clk_out{clkout_t(port, 0, origin + 12),
                                                       clkout_t(port, 1, origin + 16)} {}

    reg<uint8_t> start_latency;
    reg<bool> wait_for_trig;
    reg<uint32_t> idle_state;
    reg<bool> load_enable;
    std::array<clkout_t, 2> clk_out;
};

} // namespace kestrel
