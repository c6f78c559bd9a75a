#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "mox/spi_master.h"

namespace kestrel {

// The FPGA's register space behind one chip select: a byte image and the register
// transfers (an address byte with the write flag, then the data).
class spi_port {
public:
    using bytes = std::vector<uint8_t>;
    static constexpr uint32_t register_count = 0x7F;
    static constexpr uint8_t wr = 0x80;
    static constexpr uint8_t rd = 0x00;

    spi_port(mox::spi_master& spi, std::array<mox::gpio, 4>& cs_array, uint8_t cs_idx);
    spi_port(const spi_port&) = delete;
    spi_port& operator=(const spi_port&) = delete;

    // One transfer of (address, byte) pairs for consecutive registers.
    void write_reg(uint32_t address, const bytes& data);
    // One single-byte transfer and one received byte per register.
    void read_reg(uint32_t address, size_t count, bytes& out);

    std::recursive_mutex mutex;
    bytes working_vector;

private:
    mox::spi_master& spi;
    std::array<mox::gpio, 4>& cs_array;
    const uint8_t cs_idx;
    bytes cmd;
};

} // namespace kestrel
