#include "hw/usb_group.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <utility>

namespace hw {

namespace {

size_t page_size() {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

} // namespace

usb_group_t::mapping::mapping(size_t bytes) : n(std::max<size_t>(bytes, 1)) {
    void* m = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) throw std::bad_alloc();
    p = static_cast<uint8_t*>(m);
}

usb_group_t::mapping::~mapping() {
    if (p != nullptr) munmap(p, n);
}

usb_group_t::mapping::mapping(mapping&& o) noexcept
    : p(std::exchange(o.p, nullptr)), n(std::exchange(o.n, 0)) {}

usb_group_t::mapping& usb_group_t::mapping::operator=(mapping&& o) noexcept {
    if (this != &o) {
        if (p != nullptr) munmap(p, n);
        p = std::exchange(o.p, nullptr);
        n = std::exchange(o.n, 0);
    }
    return *this;
}

usb_group_t::usb_group_t(size_t capacity) : buffer_capacity(capacity), limit(capacity) {
    // Pages are only touched by the reads that fill them.
    auto reserve = [capacity](buffer_t& b) {
        b.data = mapping(capacity);
        b.capacity = capacity;
        b.size = 0;
    };
    pingpong.access_read_buffer(reserve);
    pingpong.access_write_buffer(reserve);
}

void usb_group_t::set_read_limit(size_t bytes) {
    const size_t page = page_size();
    const size_t l = std::clamp(bytes, std::min(page, buffer_capacity), buffer_capacity);
    limit = l;
    // Whole pages past the limit; their contents are never read again (a read replaces a
    // buffer's bytes from its start).
    const size_t from = (l + page - 1) / page * page;
    auto release = [from](buffer_t& b) {
        b.size = std::min(b.size, from);
        if (from < b.data.bytes())
            madvise(b.data.get() + from, b.data.bytes() - from, MADV_DONTNEED);
    };
    pingpong.access_read_buffer(release);
    pingpong.access_write_buffer(release);
}

size_t usb_group_t::resident_bytes() {
    const size_t page = page_size();
    size_t n = 0;
    auto count = [&](buffer_t& b) {
        const size_t bytes = b.data.bytes();
        std::vector<unsigned char> in((bytes + page - 1) / page);
        if (mincore(b.data.get(), bytes, in.data()) != 0) return;
        for (unsigned char c : in)
            n += (c & 1) * page;
    };
    pingpong.access_read_buffer(count);
    pingpong.access_write_buffer(count);
    return n;
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
        e = bridge.read(b.data.get(), std::min({len, b.capacity, limit.load()}), b.size, t);
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
