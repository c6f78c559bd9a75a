#pragma once

// What a protocol decoder yields: frames with their span in samples, a value, a kind and
// flags. The layout is that of the exported kestrelapi_frame_t.

#include <cstdint>
#include <string>
#include <string_view>

namespace decode {

namespace kind {
enum : uint16_t {
    data = 1,
    data_miso = 2,
    start = 3,
    repeated_start = 4,
    stop = 5,
    address = 6,
    ack = 7,
    nack = 8,
    brk = 9,
    can_id = 10,
    can_dlc = 11,
    can_crc = 12,
};
} // namespace kind

namespace flag {
enum : uint16_t {
    parity_error = 1,
    framing_error = 2,
    read = 4,
    crc_error = 8,
    stuff_error = 16,
    extended = 32,
    remote = 64,
};
} // namespace flag

struct frame {
    uint64_t start_sample = 0; // first sample of the frame
    uint64_t end_sample = 0;   // last sample of the frame
    uint64_t value = 0;
    uint16_t kind = 0;
    uint16_t flags = 0;
    uint32_t reserved = 0;
};
static_assert(sizeof(frame) == 32);

// "DATA", "CAN_ID", ... ("?" for a kind that does not exist).
std::string_view kind_name(uint16_t k);
// The flags' names joined by '|' ("PARITY_ERROR|FRAMING_ERROR"), "" for none.
std::string flag_names(uint16_t flags);

} // namespace decode
