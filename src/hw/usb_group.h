#pragma once
#include <cstdint>
#include <vector>

#include "drivers/d3xx/ft245.h"
#include "mox/pingpong.h"

namespace hw {

// The host end of one group's USB3 data path: its bridge and a ping-pong pair of
// buffers, one filled from the bridge while the other is parsed.
class usb_group_t {
public:
    using bytes = std::vector<uint8_t>;

    // Reserves capacity bytes in each buffer; std::bad_alloc when the memory is not there.
    explicit usb_group_t(size_t capacity);
    usb_group_t(const usb_group_t&) = delete;
    usb_group_t& operator=(const usb_group_t&) = delete;

    size_t capacity();
    d3xx::err dump_to_buffer(size_t len, uint32_t timeout_ms);
    d3xx::err dump_to_buffer(d3xx::ft245& other, size_t len, uint32_t timeout_ms);
    void swap_buffers() { pingpong.swap_buffers(); }
    bytes get_read_buffer();
    bytes get_write_buffer();
    void clear_write_buffer();

    d3xx::ft245 driver;

private:
    mox::pingpong_t<bytes> pingpong;
};

} // namespace hw
