// One plugged KESTREL device: its control link (libusb bulk pair), one USB3 bridge per
// group and the firmware model behind them.
#pragma once

#include "d3xx_types.h"
#include "kestrel_sim/firmware.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace kestrel_sim {

using sim_clock = std::chrono::steady_clock;

unsigned groups_of_serial(const std::string& serial);

struct reply_fault_t {
    int drop = 0; // replies still to drop; negative: every reply
    std::chrono::milliseconds delay{0};
    size_t split_at = 0; // deliver this many bytes at once, the rest after split_delay
    std::chrono::milliseconds split_delay{0};
};

class device {
public:
    device(std::string serial, uint8_t address);
    ~device();
    device(const device&) = delete;
    device& operator=(const device&) = delete;

    // Changes when the device restarts with a serial-number file.
    std::string serial() const {
        std::lock_guard lk(m_);
        return serial_;
    }
    unsigned groups() const { return groups_; }
    uint8_t address() const { return address_; }
    std::string manufacturer() const { return "KESTREL Instruments"; }
    std::string product() const;
    const std::shared_ptr<firmware>& fw() const { return fw_; }

    // Plugged and answering. `generation` changes whenever the device leaves the bus, so
    // handles opened before are dead.
    bool present();
    bool plugged() const;
    uint32_t generation();
    void unplug();
    // Off the bus for `duration` once the pending replies are read (or after a grace
    // period), then back as a new device generation.
    void restart(std::chrono::milliseconds duration);

    // Control link, libusb semantics and error codes.
    int bulk_out(uint32_t gen, const uint8_t* data, int len, int* transferred, unsigned timeout);
    int bulk_in(uint32_t gen, uint8_t* data, int len, int* transferred, unsigned timeout);
    int usb_reset(uint32_t gen);

    // Faults.
    void set_reply_fault(uint8_t endpoint, const reply_fault_t& f);
    void fail_bulk_transfers(unsigned n);
    void unplug_on_next_bulk_in();
    void stall(bool on);
    // Bridges missing from the next `listings` bridge listings; negative: until the
    // host resets the bridges.
    void hide_bridges(int listings);
    // Whether this listing shows the bridges (counts down a hide fault).
    bool list_bridges();

    // Bridges (by group index), D3XX semantics and status codes.
    d3xx::FT_STATUS bridge_open(unsigned group, uint32_t gen);
    void bridge_close(unsigned group);
    bool bridge_is_open(unsigned group) const;
    d3xx::FT_STATUS read_pipe(unsigned group, uint32_t gen, uint8_t pipe, uint8_t* buf,
                              uint32_t len, uint32_t* transferred);
    d3xx::FT_STATUS write_pipe(unsigned group, uint32_t gen, uint8_t pipe, const uint8_t* buf,
                               uint32_t len, uint32_t* transferred);
    d3xx::FT_STATUS set_pipe_timeout(unsigned group, uint32_t gen, uint8_t pipe, uint32_t ms);
    d3xx::FT_STATUS abort_pipe(unsigned group, uint32_t gen, uint8_t pipe);
    d3xx::FT_STATUS flush_pipe(unsigned group, uint32_t gen, uint8_t pipe);
    d3xx::FT_STATUS chip_config(unsigned group, uint32_t gen, d3xx::FT_60XCONFIGURATION* cfg,
                                bool write);
    enum gpio_op { gpio_enable, gpio_write, gpio_read, gpio_pull };
    d3xx::FT_STATUS gpio(unsigned group, uint32_t gen, gpio_op op, uint32_t a, uint32_t b,
                         uint32_t* out);
    void push_bridge_data(unsigned group, std::span<const uint8_t> bytes);
    std::vector<uint8_t> bridge_output(unsigned group) const;

private:
    struct segment_t {
        sim_clock::time_point ready;
        std::vector<uint8_t> bytes;
        size_t off = 0;
        bool ends_transfer = true;
    };
    struct bridge_t {
        bool open = false;
        std::deque<uint8_t> in;
        std::vector<uint8_t> out;
        uint32_t in_timeout_ms = 5000;
        uint64_t aborts = 0;
        uint32_t gpio_enable = 0, gpio_dir = 0, gpio_data = 0, gpio_pull = 0;
        d3xx::FT_60XCONFIGURATION config{};
    };

    void queue_reply(uint8_t endpoint, std::vector<uint8_t> bytes);
    bool present_locked(uint32_t gen);
    void restart_locked();
    d3xx::FT_STATUS bridge_check(unsigned group, uint32_t gen);

    std::string serial_;
    const unsigned groups_;
    const uint8_t address_;
    std::shared_ptr<firmware> fw_;

    mutable std::mutex m_;
    std::condition_variable cv_;
    bool plugged_ = true;
    uint32_t generation_ = 1;
    sim_clock::time_point offline_until_{};
    std::deque<segment_t> replies_;
    size_t queued_bytes_ = 0;
    std::map<uint8_t, reply_fault_t> reply_faults_;
    unsigned io_failures_ = 0;
    bool unplug_on_in_ = false;
    bool stalled_ = false;
    bool restart_pending_ = false;
    sim_clock::time_point restart_deadline_{};
    std::chrono::milliseconds restart_duration_{0};
    int hide_bridges_ = 0;
    std::vector<bridge_t> bridges_;
};

} // namespace kestrel_sim
