// Control interface of the virtual USB bus that stands in for KESTREL hardware.
// Tests plug and unplug devices, reach their firmware models and inject faults; the
// library under test sees the devices through the ordinary libusb and D3XX entry points.
#pragma once

#include "kestrel_sim/firmware.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kestrel_sim {

inline constexpr const char* default_serial = "7302101000001";

// How the devices' sample streams meet the host. Taken by each capture when its run starts.
//
// Unpaced (the default): a triggered capture is all in the device's memory at once, so a
// test reads it as fast as the bridge goes. Paced: samples enter the memory at the sampling
// rate by the wall clock, the status reports what the memory holds, and a full memory
// overruns the group. Either way a bridge delivers at most `bridge_bytes_per_s`.
struct stream_model_t {
    bool paced = false;
    uint64_t memory_bytes = 2000000000;      // per group; paced only
    uint64_t bridge_bytes_per_s = 360000000; // 0: no limit
    // Bytes of a stopped run's unread stream left in a bridge's IN FIFO until the host
    // flushes or aborts the pipe (0: none).
    uint32_t fifo_bytes = 0;

    // The default, changed by KESTREL_SIM_PACED (1: paced, with a 16384-byte FIFO),
    // KESTREL_SIM_MEMORY, KESTREL_SIM_BRIDGE_RATE and KESTREL_SIM_FIFO (byte counts, with
    // an optional K, M or G suffix of powers of 1000). A malformed value throws
    // std::invalid_argument naming the variable.
    static stream_model_t from_environment();
};

struct counters_t {
    std::map<uint8_t, uint64_t> packets_received; // per endpoint, over the plugged devices
    uint64_t bulk_out_transfers = 0;
    uint64_t bulk_in_transfers = 0;
    uint64_t pipe_timeout_calls = 0; // FT_SetPipeTimeout
    uint64_t in_pipe_aborts = 0;     // FT_AbortPipe of an IN pipe
    uint64_t bridge_opens = 0;       // successful FT_Create
    uint64_t bridge_open_failures = 0;
    uint64_t dropped_replies = 0;
    // Group streams copied from the last run's, which they repeat (same inputs, settings
    // and trigger sample; unpaced, no outputs driven).
    uint64_t streams_replayed = 0;
};

class bus {
public:
    static bus& instance();

    // Back to the start state: the devices of KESTREL_SIM_DEVICES (or the default
    // device), no faults, counters at zero. Open handles of earlier devices are dead.
    void reset();

    // A serial number already plugged is refused with std::invalid_argument.
    void plug(const std::string& serial);
    bool unplug(const std::string& serial);
    void unplug_all();
    std::vector<std::string> devices() const;
    // Null when no such device is plugged.
    std::shared_ptr<kestrel_sim::firmware> firmware(const std::string& serial) const;

    counters_t counters() const;

    // The stream model of every device, for the captures started from now on; reset()
    // returns to stream_model_t::from_environment().
    void set_stream_model(const stream_model_t& m);
    stream_model_t stream_model() const;

    // Replies on a control-link endpoint: drop the next `count` (negative: all) ...
    void drop_replies(const std::string& serial, uint8_t endpoint, int count = -1);
    // ... or deliver each one after `delay` ...
    void delay_replies(const std::string& serial, uint8_t endpoint,
                       std::chrono::milliseconds delay);
    // ... or deliver its first `first_bytes` at once and the rest after `delay`.
    void split_replies(const std::string& serial, uint8_t endpoint, size_t first_bytes,
                       std::chrono::milliseconds delay);
    // Back to normal replies on the endpoint.
    void clear_reply_faults(const std::string& serial, uint8_t endpoint);
    // The next `count` bulk transfers (either direction) fail with LIBUSB_ERROR_IO.
    void fail_bulk_transfers(const std::string& serial, unsigned count);
    // The device leaves the bus when the next bulk IN transfer starts.
    void unplug_on_next_bulk_in(const std::string& serial);
    // A stalled link answers nothing; bulk OUT times out.
    void stall(const std::string& serial, bool on);
    // The next `count` packets the host sends on the endpoint are lost before the
    // firmware sees them (negative: all). Dropping one gives "answers the second attempt".
    void ignore_packets(const std::string& serial, uint8_t endpoint, int count = 1);
    // The device's bridges are missing from the next `listings` FT_CreateDeviceInfoList
    // calls; negative: until the host resets the bridges (endpoint 3).
    void hide_bridges(const std::string& serial, int listings);
    // The next `count` FT_Create calls fail with `status`.
    void fail_bridge_opens(unsigned count, uint32_t status = 32);

    // Bytes the device streams into a bridge's IN pipe (0x82), and what the host wrote
    // to its OUT pipe (0x02).
    void push_bridge_data(const std::string& serial, unsigned group,
                          std::span<const uint8_t> bytes);
    std::vector<uint8_t> bridge_output(const std::string& serial, unsigned group) const;
    bool bridge_is_open(const std::string& serial, unsigned group) const;

private:
    bus() = default;
};

} // namespace kestrel_sim
