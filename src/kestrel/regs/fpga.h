#pragma once
#include <cstdint>

#include "kestrel/config/config.h"
#include "kestrel/regs/reg.h"

namespace kestrel {

// Acquisition control registers.
struct fpga_t {
    static constexpr uint32_t origin = 5;

    explicit fpga_t(spi_port& port)
        : run(port, origin, 0, 1), simulation(port, origin, 1, 1), test_modes(port, origin, 2, 3),
          state_clk_source(port, origin, 5, 1), state_clk_mode(port, origin, 6, 2),
          pre_trig_ratio(port, origin + 1, 0, 8), loopback_word(port, origin + 2, 0, 8),
          slave_address(port, origin + 3, 0, 3), lvl_shft_dir(port, origin + 4, 0, 4),
          leddrv_enable(port, origin + 5, 0, 1), ft_rst(port, origin + 5, 1, 1),
          master(port, origin + 5, 2, 1), reset_fpga_prog(port, origin + 5, 3, 1),
          trig_out_buffer_ena(port, origin + 5, 5, 1), sampler_div_factor(port, origin + 6, 0, 8) {}

    reg<bool> run;
    reg<bool> simulation;
    reg<uint8_t> test_modes;
    reg<state_clk_source_t> state_clk_source;
    reg<state_clk_mode_t> state_clk_mode;
    reg<uint8_t> pre_trig_ratio;
    reg<uint8_t> loopback_word;
    reg<uint8_t> slave_address;
    reg<uint8_t> lvl_shft_dir;
    reg<bool> leddrv_enable;
    reg<bool> ft_rst;
    reg<bool> master;
    reg<bool> reset_fpga_prog;
    reg<bool> trig_out_buffer_ena;
    reg<uint8_t> sampler_div_factor;
};

} // namespace kestrel
