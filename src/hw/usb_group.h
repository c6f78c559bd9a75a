#pragma once
#include <cstdint>
#include <memory>
#include <span>
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
    // The memory is not touched until data arrives.
    explicit usb_group_t(size_t capacity);
    usb_group_t(const usb_group_t&) = delete;
    usb_group_t& operator=(const usb_group_t&) = delete;

    // Fixed at construction; read without the buffers' locks, which a parse may hold.
    size_t capacity() const { return buffer_capacity; }
    // Reads up to len bytes (at most the capacity) into the write buffer, replacing it;
    // received, when given, tells how many came.
    d3xx::err dump_to_buffer(size_t len, uint32_t timeout_ms, size_t* received = nullptr);
    d3xx::err dump_to_buffer(d3xx::ft245& other, size_t len, uint32_t timeout_ms,
                             size_t* received = nullptr);
    void swap_buffers() { pingpong.swap_buffers(); }
    // Copies, for inspection; the capture path reads in place with with_read_buffer.
    bytes get_read_buffer();
    bytes get_write_buffer();
    void clear_write_buffer();
    // Forgets the bytes of both buffers (a new capture must not parse the last one's).
    void clear_buffers();

    // Runs f on the bytes of the read buffer, under its lock.
    template <typename F> void with_read_buffer(F&& f) {
        pingpong.access_read_buffer(
            [&](buffer_t& b) { f(std::span<const uint8_t>(b.data.get(), b.size)); });
    }

    d3xx::ft245 driver;

private:
    struct buffer_t {
        std::unique_ptr<uint8_t[]> data;
        size_t size = 0;
        size_t capacity = 0;
    };
    const size_t buffer_capacity;
    mox::pingpong_t<buffer_t> pingpong;
};

} // namespace hw
