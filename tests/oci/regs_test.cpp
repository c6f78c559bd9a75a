// Register fields over the inert serial-peripheral master.
#include <gtest/gtest.h>

#include "kestrel/regs/fpga.h"
#include "kestrel/regs/oci.h"

namespace {

struct regs : ::testing::Test {
    mox::spi_master spi;
    std::array<mox::gpio, 4> cs{};
    kestrel::spi_port port{spi, cs, 0};
};

TEST_F(regs, field_geometry) {
    kestrel::oci_t oci(port);
    EXPECT_EQ(oci.clk_out[1].div.address, 65u);
    EXPECT_EQ(oci.clk_out[1].div.bytes_width, 4);
    EXPECT_EQ(oci.clk_out[1].div.mask_first, 0xFF);
    EXPECT_EQ(oci.clk_out[1].div.mask_last, 0xFF);
    EXPECT_EQ(oci.idle_state.address, 52u);
    EXPECT_EQ(oci.idle_state.bytes_width, 3);
    EXPECT_EQ(oci.idle_state.mask_last, 0x03);
    EXPECT_EQ(oci.clk_out[1].enable.address, 60u);
    EXPECT_EQ(oci.clk_out[1].enable.mask_first, 0x02);
    EXPECT_EQ(oci.wait_for_trig.mask_first, 0x10);

    kestrel::fpga_t fpga(port);
    EXPECT_EQ(fpga.state_clk_mode.address, 5u);
    EXPECT_EQ(fpga.state_clk_mode.bytes_width, 1);
    EXPECT_EQ(fpga.state_clk_mode.mask_first, 0xC0);
    EXPECT_EQ(fpga.state_clk_mode.mask_last, 0xC0);
    EXPECT_EQ(fpga.sampler_div_factor.address, 11u);
    EXPECT_EQ(fpga.trig_out_buffer_ena.mask_first, 0x20);

    // A field that starts late in its register spills into the next.
    kestrel::reg<uint8_t> spill(port, 20, 6, 4);
    EXPECT_EQ(spill.bytes_width, 2);
    EXPECT_EQ(spill.mask_first, 0xC0);
    EXPECT_EQ(spill.mask_last, 0x03);
}

TEST_F(regs, values_in_the_image) {
    kestrel::fpga_t fpga(port);
    fpga.state_clk_mode.set(kestrel::state_clk_mode_t::falling);
    fpga.run.set(true);
    EXPECT_EQ(port.working_vector[5], 0x81);
    kestrel::oci_t oci(port);
    oci.clk_out[0].div.set(0x12345678);
    EXPECT_EQ(port.working_vector[61], 0x78);
    EXPECT_EQ(port.working_vector[64], 0x12);
    // Reading goes to the bus, which answers idle bytes.
    EXPECT_EQ(oci.idle_state.get(), 0x3FFFFu);
    EXPECT_EQ(fpga.state_clk_mode.get(), kestrel::state_clk_mode_t::dual);
}

TEST_F(regs, register_transfers) {
    std::vector<uint8_t> out{1, 2};
    port.read_reg(10, 3, out);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF}));
    std::vector<uint8_t> one{0x5A};
    port.write_reg(126, one);
}

TEST(regs_death, addresses_past_the_register_space) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    mox::spi_master spi;
    std::array<mox::gpio, 4> cs{};
    kestrel::spi_port port{spi, cs, 0};
    std::vector<uint8_t> one{0x5A}, two{1, 2};
    EXPECT_DEATH(port.write_reg(127, one), "address < 0x7F");
    EXPECT_DEATH(port.write_reg(126, two), "address \\+ data.size\\(\\) <= 0x7F");
    std::vector<uint8_t> out;
    EXPECT_DEATH(port.read_reg(127, 1, out), "address < 0x7F");
    EXPECT_DEATH(kestrel::reg<uint8_t>(port, 0, 0, 9), "bit_width <= \\(sizeof \\(T\\)\\*8\\)");
    EXPECT_DEATH(kestrel::reg<uint8_t>(port, 0, 8, 1), "bit_offset < 8");
}

} // namespace
