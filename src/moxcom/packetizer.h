#pragma once

#include "mox/check.h"
#include "moxcom/byte_order.h"
#include "moxcom/conf.h"
#include "moxcom/crc.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace mox_com {

// Frames a payload: header, big-endian length, then id, params, ack and CRC (MSB first).
// Stateless after construction, so packetize may run on any thread.
template <mox_utils::crc_type CRC> class packetizer {
public:
    using conf = packetizer_conf;

    explicit packetizer(const conf& c)
        : config(c), use_encryption(static_cast<bool>(c.encrypt_callback)) {
        MOX_ASSERT(config.len_bytes == LEN_1_BYTE || config.len_bytes == LEN_2_BYTES);
    }

    std::vector<uint8_t> packetize(uint8_t id, acknowledge ack,
                                   std::span<const uint8_t> params) const {
        std::vector<uint8_t> frame;
        frame.reserve(params.size() + 6);
        frame.push_back(id);
        frame.insert(frame.end(), params.begin(), params.end());
        frame.push_back(ack);
        const std::vector<uint8_t> crc =
            mox_utils::crc_template<CRC>(std::span<const uint8_t>(frame));
        frame.insert(frame.end(), crc.begin(), crc.end());
        if (use_encryption) frame = config.encrypt_callback(frame);

        const std::size_t max_len = (std::size_t{1} << (8 * config.len_bytes)) - 1;
        if (frame.size() > max_len) throw std::length_error("too long message data");

        std::vector<uint8_t> out;
        out.reserve(config.header.size() + config.len_bytes + frame.size());
        out.insert(out.end(), config.header.begin(), config.header.end());
        switch (config.len_bytes) {
        case LEN_1_BYTE:
            out.push_back(static_cast<uint8_t>(frame.size()));
            break;
        case LEN_2_BYTES: {
            const auto len =
                mox_utils::from_uint_to_big_endian_array(static_cast<uint16_t>(frame.size()));
            out.insert(out.end(), len.begin(), len.end());
            break;
        }
        default:
            MOX_ASSERT(config.len_bytes == LEN_1_BYTE || config.len_bytes == LEN_2_BYTES);
        }
        out.insert(out.end(), frame.begin(), frame.end());
        return out;
    }

private:
    conf config;
    bool use_encryption;
};

} // namespace mox_com
