// Control-link framing as the device firmware sees it:
// 55 AA, length (big-endian, bytes after the length field), endpoint, parameters,
// acknowledge, CRC-16/CCITT-FALSE over endpoint..acknowledge, high byte first.
#pragma once

#include "kestrel_sim/firmware.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

namespace kestrel_sim {

uint16_t crc16_ccitt_false(std::span<const uint8_t> bytes, uint16_t crc = 0xFFFF);

std::vector<uint8_t> encode_packet(uint8_t endpoint, std::span<const uint8_t> params,
                                   uint8_t ack = 0);

// Stream decoder: finds packets in arbitrary chunks, skips garbage and resynchronises
// after a bad packet by hunting for the next header inside the rejected bytes.
class decoder {
public:
    using on_packet_t = std::function<void(const packet_t&)>;

    void feed(std::span<const uint8_t> bytes, const on_packet_t& on_packet);
    void reset();
    uint64_t bad_packets() const { return bad_; }

private:
    void feed_byte(uint8_t b, std::deque<uint8_t>& pending, const on_packet_t& on_packet);
    void reject(std::deque<uint8_t>& pending);

    enum class state { hunt, header2, len_hi, len_lo, body };
    state st_ = state::hunt;
    std::vector<uint8_t> frame_; // bytes since the header's first byte
    size_t len_ = 0;
    uint64_t bad_ = 0;
};

} // namespace kestrel_sim
