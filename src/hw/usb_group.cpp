#include "hw/usb_group.h"

#include <algorithm>

namespace hw {

usb_group_t::usb_group_t(size_t capacity) : buffer_capacity(capacity) {
    // Default-initialised: the pages are only touched by the reads that fill them.
    auto reserve = [capacity](buffer_t& b) {
        b.data.reset(new uint8_t[capacity]);
        b.capacity = capacity;
        b.size = 0;
    };
    pingpong.access_read_buffer(reserve);
    pingpong.access_write_buffer(reserve);
}

d3xx::err usb_group_t::dump_to_buffer(size_t len, uint32_t timeout_ms, size_t* received) {
    return dump_to_buffer(driver, len, timeout_ms, received);
}

d3xx::err usb_group_t::dump_to_buffer(d3xx::ft245& bridge, size_t len, uint32_t timeout_ms,
                                      size_t* received) {
    d3xx::err e = d3xx::err::OK;
    const auto t = static_cast<uint16_t>(std::min<uint32_t>(timeout_ms, UINT16_MAX));
    pingpong.access_write_buffer([&](buffer_t& b) {
        b.size = 0;
        e = bridge.read(b.data.get(), std::min(len, b.capacity), b.size, t);
        if (received) *received = b.size;
    });
    return e;
}

usb_group_t::bytes usb_group_t::get_read_buffer() {
    bytes copy;
    pingpong.access_read_buffer(
        [&](buffer_t& b) { copy.assign(b.data.get(), b.data.get() + b.size); });
    return copy;
}

usb_group_t::bytes usb_group_t::get_write_buffer() {
    bytes copy;
    pingpong.access_write_buffer(
        [&](buffer_t& b) { copy.assign(b.data.get(), b.data.get() + b.size); });
    return copy;
}

void usb_group_t::clear_write_buffer() {
    pingpong.access_write_buffer([](buffer_t& b) { b.size = 0; });
}

void usb_group_t::clear_buffers() {
    pingpong.access_write_buffer([](buffer_t& b) { b.size = 0; });
    pingpong.access_read_buffer([](buffer_t& b) { b.size = 0; });
}

} // namespace hw
