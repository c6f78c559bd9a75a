// Firmware model of one KESTREL device: it receives the control-link byte stream,
// dispatches every good packet to the handler of its endpoint and queues replies.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace kestrel_sim {

// One decoded control-link packet.
struct packet_t {
    uint8_t endpoint = 0;
    std::vector<uint8_t> params;
    uint8_t ack = 0;
};

// Control-link endpoint numbers the firmware knows.
namespace ep {
inline constexpr uint8_t config = 1;
inline constexpr uint8_t file_loader = 2;
inline constexpr uint8_t ftdi_rst = 3;
inline constexpr uint8_t trigger_loader = 5;
inline constexpr uint8_t status = 7;
inline constexpr uint8_t status_oci = 71;
inline constexpr uint8_t ping = 8;
inline constexpr uint8_t config_run_flag = 10;
inline constexpr uint8_t config_oci_flag = 12;
inline constexpr uint8_t config_oci_params = 13;
} // namespace ep

class decoder;

class firmware {
public:
    // Handlers run on the thread that delivered the bytes, with the firmware lock held;
    // they answer through reply().
    using handler_t = std::function<void(firmware&, const packet_t&)>;
    // Receives every encoded reply packet (the device queues it on the IN endpoint).
    using reply_sink_t = std::function<void(uint8_t endpoint, std::vector<uint8_t> bytes)>;

    firmware(std::string serial, unsigned groups);
    ~firmware();
    firmware(const firmware&) = delete;
    firmware& operator=(const firmware&) = delete;

    const std::string& serial() const { return serial_; }
    unsigned groups() const { return groups_; }

    // Bytes from the bulk OUT endpoint, in any split.
    void input(std::span<const uint8_t> bytes);
    // Forgets a partly received packet (USB reset).
    void reset_input();

    void set_handler(uint8_t endpoint, handler_t h);
    void remove_handler(uint8_t endpoint);
    void reply(uint8_t endpoint, std::span<const uint8_t> params, uint8_t ack = 0);
    void set_reply_sink(reply_sink_t sink);

    uint64_t packets_received(uint8_t endpoint) const;
    std::map<uint8_t, uint64_t> packets_received() const;
    // Packets that arrived for an endpoint without handler (ignored by the device).
    uint64_t unhandled_packets() const;
    // Packets dropped because their CRC or length was wrong.
    uint64_t bad_packets() const;

private:
    void dispatch(const packet_t& p);

    const std::string serial_;
    const unsigned groups_;
    mutable std::recursive_mutex m_;
    std::unique_ptr<decoder> decoder_;
    std::map<uint8_t, handler_t> handlers_;
    std::map<uint8_t, uint64_t> received_;
    uint64_t unhandled_ = 0;
    reply_sink_t sink_;
};

} // namespace kestrel_sim
