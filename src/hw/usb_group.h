#pragma once
#include <atomic>
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

    // Reserves capacity bytes of address space for each buffer; std::bad_alloc when it is
    // not there. A page becomes resident only once a read fills it.
    explicit usb_group_t(size_t capacity);
    usb_group_t(const usb_group_t&) = delete;
    usb_group_t& operator=(const usb_group_t&) = delete;

    // Fixed at construction; read without the buffers' locks, which a parse may hold.
    size_t capacity() const { return buffer_capacity; }
    // The most one read asks for from now on (at most the capacity, at least a page). The
    // pages of both buffers beyond it go back to the system, so that the buffers hold at
    // most twice this much memory. Not while a read or a parse of the buffers runs.
    void set_read_limit(size_t bytes);
    size_t read_limit() const { return limit; }
    // Bytes of both buffers in memory now (pages a read has filled and not given back).
    size_t resident_bytes();
    // Reads up to len bytes (at most the read limit) into the write buffer, replacing it;
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
    // Anonymous pages of their own, so that those beyond a read limit can be given back.
    class mapping {
    public:
        mapping() = default;
        explicit mapping(size_t bytes); // std::bad_alloc when the system refuses
        ~mapping();
        mapping(mapping&& o) noexcept;
        mapping& operator=(mapping&& o) noexcept;
        uint8_t* get() const { return p; }
        size_t bytes() const { return n; }

    private:
        uint8_t* p = nullptr;
        size_t n = 0;
    };
    struct buffer_t {
        mapping data;
        size_t size = 0;
        size_t capacity = 0;
    };
    const size_t buffer_capacity;
    std::atomic<size_t> limit;
    mox::pingpong_t<buffer_t> pingpong;
};

} // namespace hw
