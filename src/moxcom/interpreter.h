#pragma once

#include "mox/check.h"
#include "moxcom/byte_order.h"
#include "moxcom/conf.h"
#include "moxcom/crc.h"
#include "moxcom/except.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace mox_com {

// Byte-at-a-time parser that finds packets in a stream of received chunks, checks their
// CRC and dispatches each good packet to the handler of its endpoint. A packet may span
// any number of chunks and a chunk may carry several packets. Not locked: one thread
// drives append, and handlers run on that thread.
template <mox_utils::crc_type CRC> class interpreter {
public:
    using conf = interpreter_conf;
    using callback_t = std::function<void(acknowledge, std::vector<uint8_t>&)>;
    using common_callback_t = std::function<void(uint8_t, acknowledge, std::vector<uint8_t>&)>;

    enum state : uint8_t {
        Idle = 0,
        HeaderFound = 1,
        GotSize = 2,
        GotId = 3,
        GotParams = 4,
        GotAckField = 5,
        GetEncryptedFrame = 6,
    };

    struct struct_cmd {
        uint8_t id;
        callback_t callback;
        common_callback_t common_callback;
    };

    explicit interpreter(const conf& c)
        : config(c), use_decryption(static_cast<bool>(c.decrypt_callback)),
          crc_len(mox_utils::getCrcParams(CRC).Bits / 8) {
        MOX_ASSERT(!config.header.empty());
        MOX_ASSERT(config.len_bytes == LEN_1_BYTE || config.len_bytes == LEN_2_BYTES);
    }

    // One handler per id: callers unregister before registering again.
    void regist_endpoint(uint8_t id, callback_t callback) {
        MOX_ASSERT(callback);
        MOX_ASSERT(!registered(id));
        cmd_list.push_back({id, std::move(callback), {}});
    }

    // A handler that also receives the endpoint id, for several ids served by one function.
    void regist_common_endpoint(uint8_t id, common_callback_t common_callback) {
        MOX_ASSERT(common_callback);
        MOX_ASSERT(!registered(id));
        cmd_list.push_back({id, {}, std::move(common_callback)});
    }

    void unreg_endpoint(uint8_t id) {
        std::erase_if(cmd_list, [id](const struct_cmd& c) { return c.id == id; });
    }

    // Feeds received bytes, dispatching every completed packet on this thread. Throws
    // except(unknown_endpoint) for a packet nobody handles and passes on a handler's
    // exception; either way the rest of the chunk is dropped and the hunt restarts.
    void append(std::span<const uint8_t> data) {
        state_manager guard(current_state);
        for (const uint8_t b : data)
            consume(b);
        guard.set_safe();
    }

    state get_state() const { return current_state; }

private:
    // Puts the parser back to Idle when append is left by an exception.
    class state_manager {
    public:
        explicit state_manager(state& s) : current_state(s) {}
        ~state_manager() {
            if (!safe) current_state = Idle;
        }
        state_manager(const state_manager&) = delete;
        state_manager& operator=(const state_manager&) = delete;
        void set_safe() { safe = true; }

    private:
        state& current_state;
        bool safe = false;
    };

    bool registered(uint8_t id) const {
        return std::any_of(cmd_list.begin(), cmd_list.end(),
                           [id](const struct_cmd& c) { return c.id == id; });
    }

    // Length of a frame without parameters: id, ack and CRC.
    std::size_t overhead() const { return static_cast<std::size_t>(crc_len) + 2; }

    void consume(uint8_t b) {
        switch (current_state) {
        case Idle:
            lastHeader.push_back(b);
            if (lastHeader.size() < config.header.size()) break;
            if (lastHeader != config.header) {
                lastHeader.erase(lastHeader.begin());
                break;
            }
            frameLen.clear();
            encrypted_frame.clear();
            lastHeader.clear();
            current_state = HeaderFound;
            break;

        case HeaderFound:
            frameLen.push_back(b);
            if (frameLen.size() < config.len_bytes) break;
            dataToCrcCheck.clear();
            frame_len_uint16 = mox_utils::from_big_endian_array_to_uint<uint16_t>(frameLen);
            if (frame_len_uint16 == 0) {
                current_state = Idle;
            } else if (!use_decryption) {
                parameters.clear();
                current_state = GotSize;
            } else {
                current_state = GetEncryptedFrame;
            }
            break;

        case GotSize:
            lastCmdId = b;
            dataToCrcCheck.push_back(b);
            current_state = frame_len_uint16 <= overhead() ? GotParams : GotId;
            break;

        case GotId:
            parameters.push_back(b);
            if (frame_len_uint16 == parameters.size() + overhead()) current_state = GotParams;
            break;

        case GotParams:
            ack = static_cast<acknowledge>(b);
            receivedCrc.clear();
            if (crc_len < 1) {
                current_state = Idle;
                callCmd(ack);
            } else {
                current_state = GotAckField;
            }
            break;

        case GotAckField: {
            receivedCrc.push_back(b);
            if (receivedCrc.size() < static_cast<std::size_t>(crc_len)) break;
            const uint8_t ack_byte = ack;
            const std::vector<uint8_t> crc = mox_utils::crc_template<CRC>(
                {dataToCrcCheck, parameters, std::span<const uint8_t>(&ack_byte, 1)});
            current_state = Idle;
            if (crc == receivedCrc) callCmd(ack);
            break;
        }

        case GetEncryptedFrame: {
            encrypted_frame.push_back(b);
            if (encrypted_frame.size() < frame_len_uint16) break;
            parameters.clear();
            const std::vector<uint8_t> frame = config.decrypt_callback(encrypted_frame);
            // The decrypted frame must hold a whole packet on its own; anything else is
            // dropped rather than letting it swallow the bytes that follow.
            if (frame.empty() || frame.size() > 0xFFFF) {
                current_state = Idle;
                break;
            }
            frame_len_uint16 = static_cast<uint16_t>(frame.size());
            current_state = GotSize;
            append(frame);
            current_state = Idle;
            break;
        }

        default:
            MOX_ASSERT(current_state <= GetEncryptedFrame);
        }
    }

    void callCmd(acknowledge a) {
        for (auto& cmd : cmd_list) {
            if (cmd.id != lastCmdId) continue;
            if (cmd.callback)
                cmd.callback(a, parameters);
            else
                cmd.common_callback(lastCmdId, a, parameters);
            return;
        }
        throw except(unknown_endpoint);
    }

    conf config;
    std::vector<uint8_t> lastHeader;
    std::vector<struct_cmd> cmd_list;
    state current_state = Idle;
    uint8_t lastCmdId = 0;
    std::vector<uint8_t> frameLen;
    std::vector<uint8_t> parameters;
    std::vector<uint8_t> dataToCrcCheck;
    std::vector<uint8_t> receivedCrc;
    acknowledge ack = NO_ACK;
    uint16_t frame_len_uint16 = 1;
    bool use_decryption;
    std::vector<uint8_t> encrypted_frame;
    int crc_len;
};

} // namespace mox_com
