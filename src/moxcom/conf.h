#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace mox_com {

enum acknowledge : uint8_t { NO_ACK = 0, ACK_REQUEST = 1, ACK_CONFIRMATION = 2 };

// Width of the big-endian length field.
enum len_bytes : uint8_t { LEN_1_BYTE = 1, LEN_2_BYTES = 2 };

using frame_transform = std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)>;

struct packetizer_conf {
    std::vector<uint8_t> header;
    mox_com::len_bytes len_bytes = LEN_2_BYTES;
    frame_transform encrypt_callback; // optional: replaces the frame (id ... CRC)
};

struct interpreter_conf {
    std::vector<uint8_t> header;
    mox_com::len_bytes len_bytes = LEN_2_BYTES;
    frame_transform decrypt_callback; // optional: restores the frame (id ... CRC)
};

} // namespace mox_com
