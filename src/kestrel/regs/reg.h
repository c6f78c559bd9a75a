#pragma once
#include <cstdint>

#include "kestrel/regs/spi_port.h"
#include "mox/regmap.h"

namespace kestrel {

// A register field of the FPGA, read and written through a port.
template <typename T> class reg : public mox::regmap<T> {
public:
    static constexpr uint8_t wr = spi_port::wr;
    static constexpr uint8_t rd = spi_port::rd;

    reg(spi_port& port, uint32_t address, uint8_t bit_offset, uint8_t bit_width)
        : mox::regmap<T>(port.working_vector, port.mutex, address, bit_offset, bit_width),
          my_spi(port) {}

    void write_reg(uint32_t address, typename mox::regmap<T>::bytes& data) override {
        my_spi.write_reg(address, data);
    }
    void read_reg(uint32_t address, size_t count, typename mox::regmap<T>::bytes& out) override {
        my_spi.read_reg(address, count, out);
    }

    spi_port& my_spi;
};

} // namespace kestrel
