#include "kestrel/regs/spi_port.h"

#include "mox/check.h"

namespace kestrel {

spi_port::spi_port(mox::spi_master& spi, std::array<mox::gpio, 4>& cs_array, uint8_t cs_idx)
    : working_vector(register_count, 0), spi(spi), cs_array(cs_array), cs_idx(cs_idx) {
    MOX_ASSERT(cs_idx < 4);
}

void spi_port::write_reg(uint32_t address, const bytes& data) {
    MOX_ASSERT(address < 0x7F);
    // Beyond the last register the address byte would wrap onto register 0.
    MOX_ASSERT(address + data.size() <= 0x7F);
    std::lock_guard lk(mutex);
    cmd.clear();
    for (size_t k = 0; k < data.size(); ++k) {
        cmd.push_back(static_cast<uint8_t>(wr | (address + k)));
        cmd.push_back(data[k]);
    }
    spi.tx(cmd, cs_array[cs_idx]);
}

void spi_port::read_reg(uint32_t address, size_t count, bytes& out) {
    MOX_ASSERT(address < 0x7F);
    MOX_ASSERT(address + count <= 0x7F);
    std::lock_guard lk(mutex);
    out.clear();
    bytes rx;
    for (size_t k = 0; k < count; ++k) {
        cmd.assign(1, static_cast<uint8_t>(rd | (address + k)));
        spi.tx(cmd, cs_array[cs_idx]);
        spi.rx(rx, cs_array[cs_idx], 1);
        out.push_back(rx.empty() ? 0xFF : rx[0]);
    }
}

} // namespace kestrel
