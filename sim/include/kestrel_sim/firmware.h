// Firmware model of one KESTREL device: it receives the control-link byte stream,
// dispatches every good packet to the handler of its endpoint and queues replies.
#pragma once

#include "kestrel_sim/acquisition.h"
#include "kestrel_sim/files.h"
#include "kestrel_sim/records.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
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
    // Takes the device off the bus for the given time (reboot, bootloader).
    using restart_hook_t = std::function<void(std::chrono::milliseconds)>;

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
    void set_restart_hook(restart_hook_t hook);
    // Told of every bridge reset request (the flag byte).
    void set_bridge_reset_hook(std::function<void(bool)> hook);
    // The device has just come up (power-on or after a restart): start-up delays apply.
    void power_on();

    // The next `count` packets on the endpoint are lost before the firmware sees them
    // (negative: all of them).
    void ignore_packets(uint8_t endpoint, int count);

    // Status the device reports; set_status keeps one group record per group.
    status_model_t status() const;
    void set_status(status_model_t s);
    // Sends the output-engine readiness bits on endpoint 71.
    void send_oci_ready(uint8_t mask);
    // Sends what the output engines report: bit g for group g (bridge index) whose engine
    // holds a program, is not loading and has its start flag. The device sends it whenever a
    // start flag, output parameter or configuration payload changes it.
    void send_oci_readiness();

    std::optional<device_config_t> last_config() const;
    std::optional<std::vector<oci_group_params_t>> last_oci_params() const;
    bool run_flag() const;
    bool oci_start_flag() const;
    // Trigger program words as loaded on endpoint 5, per (group, engine), by word index.
    std::map<unsigned, uint64_t> trigger_words(unsigned group, unsigned engine) const;

    // The file system of the file_loader endpoint; it keeps its files over restarts.
    kestrel_sim::file_system& files() { return files_; }

    // Signals, stream faults and ground truth of the sampling engine.
    kestrel_sim::acquisition& acq() { return *acq_; }
    firmware_counters_t counters() const;

    uint64_t packets_received(uint8_t endpoint) const;
    std::map<uint8_t, uint64_t> packets_received() const;
    // Packets that arrived for an endpoint without handler (ignored by the device).
    uint64_t unhandled_packets() const;
    // Packets dropped because their CRC or length was wrong.
    uint64_t bad_packets() const;

private:
    void dispatch(const packet_t& p);
    void install_handlers();
    void on_status(const packet_t& p);
    std::vector<uint8_t> status_record(bool starting) const;

    const std::string serial_;
    const unsigned groups_;
    mutable std::recursive_mutex m_;
    std::unique_ptr<decoder> decoder_;
    std::map<uint8_t, handler_t> handlers_;
    std::map<uint8_t, uint64_t> received_;
    uint64_t unhandled_ = 0;
    reply_sink_t sink_;
    restart_hook_t restart_;
    std::function<void(bool)> bridge_reset_;
    std::map<uint8_t, int> ignore_;
    status_model_t status_;
    unsigned silent_left_ = 0;
    unsigned zero_left_ = 0;
    std::optional<device_config_t> config_;
    std::optional<std::vector<oci_group_params_t>> oci_params_;
    bool run_flag_ = false;
    bool oci_start_flag_ = false;
    firmware_counters_t counters_;
    std::map<std::pair<unsigned, unsigned>, std::map<unsigned, uint64_t>> words_;
    kestrel_sim::file_system files_;
    // Last: its thread pushes status through the members above.
    std::unique_ptr<kestrel_sim::acquisition> acq_;
};

} // namespace kestrel_sim
