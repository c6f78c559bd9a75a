#include "hw/usb_group.h"

#include <algorithm>

namespace hw {

usb_group_t::usb_group_t(size_t capacity) {
    pingpong.access_read_buffer([&](bytes& b) { b.reserve(capacity); });
    pingpong.access_write_buffer([&](bytes& b) { b.reserve(capacity); });
}

size_t usb_group_t::capacity() {
    size_t c = 0;
    pingpong.access_read_buffer([&](bytes& b) { c = b.capacity(); });
    return c;
}

d3xx::err usb_group_t::dump_to_buffer(size_t len, uint32_t timeout_ms) {
    return dump_to_buffer(driver, len, timeout_ms);
}

d3xx::err usb_group_t::dump_to_buffer(d3xx::ft245& bridge, size_t len, uint32_t timeout_ms) {
    d3xx::err e = d3xx::err::OK;
    const auto t = static_cast<uint16_t>(std::min<uint32_t>(timeout_ms, UINT16_MAX));
    pingpong.access_write_buffer([&](bytes& b) { e = bridge.read(b, len, t); });
    return e;
}

usb_group_t::bytes usb_group_t::get_read_buffer() {
    bytes copy;
    pingpong.access_read_buffer([&](bytes& b) { copy = b; });
    return copy;
}

usb_group_t::bytes usb_group_t::get_write_buffer() {
    bytes copy;
    pingpong.access_write_buffer([&](bytes& b) { copy = b; });
    return copy;
}

void usb_group_t::clear_write_buffer() {
    pingpong.access_write_buffer([](bytes& b) { b.clear(); });
}

} // namespace hw
