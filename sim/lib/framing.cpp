#include "framing.h"

#include <stdexcept>

namespace kestrel_sim {

uint16_t crc16_ccitt_false(std::span<const uint8_t> bytes, uint16_t crc) {
    for (uint8_t b : bytes) {
        crc ^= static_cast<uint16_t>(b) << 8;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

std::vector<uint8_t> encode_packet(uint8_t endpoint, std::span<const uint8_t> params, uint8_t ack) {
    const size_t len = params.size() + 4;
    if (len > 0xFFFF) throw std::length_error("reply too long for one packet");
    std::vector<uint8_t> out;
    out.reserve(len + 4);
    out.push_back(0x55);
    out.push_back(0xAA);
    out.push_back(static_cast<uint8_t>(len >> 8));
    out.push_back(static_cast<uint8_t>(len & 0xFF));
    out.push_back(endpoint);
    out.insert(out.end(), params.begin(), params.end());
    out.push_back(ack);
    const uint16_t crc = crc16_ccitt_false(std::span(out).subspan(4));
    out.push_back(static_cast<uint8_t>(crc >> 8));
    out.push_back(static_cast<uint8_t>(crc & 0xFF));
    return out;
}

void decoder::reset() {
    st_ = state::hunt;
    frame_.clear();
    len_ = 0;
}

void decoder::feed(std::span<const uint8_t> bytes, const on_packet_t& on_packet) {
    std::deque<uint8_t> pending(bytes.begin(), bytes.end());
    while (!pending.empty()) {
        const uint8_t b = pending.front();
        pending.pop_front();
        feed_byte(b, pending, on_packet);
    }
}

void decoder::reject(std::deque<uint8_t>& pending) {
    ++bad_;
    // A header may start inside the rejected frame: hunt again from its second byte.
    pending.insert(pending.begin(), frame_.begin() + 1, frame_.end());
    reset();
}

void decoder::feed_byte(uint8_t b, std::deque<uint8_t>& pending, const on_packet_t& on_packet) {
    switch (st_) {
    case state::hunt:
        if (b == 0x55) {
            frame_.assign(1, b);
            st_ = state::header2;
        }
        return;
    case state::header2:
        if (b == 0xAA) {
            frame_.push_back(b);
            st_ = state::len_hi;
        } else if (b != 0x55) {
            reset();
        }
        return;
    case state::len_hi:
        frame_.push_back(b);
        len_ = static_cast<size_t>(b) << 8;
        st_ = state::len_lo;
        return;
    case state::len_lo:
        frame_.push_back(b);
        len_ |= b;
        // Endpoint, acknowledge and two CRC bytes are the least a frame holds.
        if (len_ < 4)
            reject(pending);
        else
            st_ = state::body;
        return;
    case state::body: {
        frame_.push_back(b);
        if (frame_.size() < len_ + 4) return;
        const auto covered = std::span<const uint8_t>(frame_).subspan(4, len_ - 2);
        const uint16_t crc = static_cast<uint16_t>(frame_[len_ + 2] << 8 | frame_[len_ + 3]);
        if (crc16_ccitt_false(covered) != crc) {
            reject(pending);
            return;
        }
        packet_t p;
        p.endpoint = covered.front();
        p.params.assign(covered.begin() + 1, covered.end() - 1);
        p.ack = covered.back();
        reset();
        on_packet(p);
        return;
    }
    }
}

} // namespace kestrel_sim
