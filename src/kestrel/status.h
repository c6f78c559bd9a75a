#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "kestrel/capabilities.h"
#include "mox/mutex.h"

namespace kestrel {

// The device's own report of its state, as carried by status records on the control
// link. Records come from the device: a malformed one fails to decode (an exception)
// and changes nothing.
class status_t {
public:
    struct ver_t {
        uint8_t maj = 0;
        uint8_t min = 0;
        uint16_t build = 0;
    };

    struct port_990 {
        bool activity = false;
        bool last_activity = false;
        bool detected = false;
        bool last_detected = false;
        bool backpower_clamped = false;
        uint8_t temperature = 0;
        bool gen_pgood = false;
        bool main_pgood = false;
        bool internal_pgood = false;

        void pull_from_vector(std::span<const uint8_t> src, size_t& i);
    };

    struct group {
        bool ft_pll_lock = false;
        bool main_pll_lock = false;
        bool ddr_calib_done = false;
        bool oci_ready = false;
        bool oci_paused = false;
        bool overrun = false;
        bool underrun = false;
        bool trigged = false;
        bool in_only_probe = false;
        bool in_only_fw = false;
        uint8_t version = 0; // FPGA version code: high nibble major, low nibble minor
        uint8_t s1 = 0;
        uint8_t data_abailable = 0; // buffered sample data, in units of 32 000 000 bytes
        uint8_t loopback_word = 0;
        std::array<port_990, 2> ports{};

        // Bytes the device holds buffered; 64-bit so that no count wraps.
        uint64_t buffered_data_size() const { return uint64_t{data_abailable} * 32000000u; }
        void pull_from_vector(std::span<const uint8_t> src, size_t& i);
    };

    // The decoded record: a plain value that readers receive whole.
    struct record {
        ver_t mb_version;
        uint8_t mb_temperature = 0;
        bool main_pll_locked = false;
        bool fpga_pll_locked = false;
        std::vector<group> groups;

        void pull_from_vector(std::span<const uint8_t> src, size_t& i);
    };

    status_t(const capabilities& caps, ver_t initial);
    status_t(const status_t&) = delete;
    status_t& operator=(const status_t&) = delete;

    // Decodes a status record at i into a copy of the current state (fields the record
    // does not carry keep their values) and publishes it only when the whole record
    // decoded. i advances past what was read.
    void pull_from_vector(std::span<const uint8_t> src, size_t& i);
    // Sets every group's output-engine readiness from a bit mask.
    void set_oci_ready(uint32_t mask);

    record get() const;
    // How many records were published so far: a record counts as news only when it came
    // after a step the device acknowledged (the run flag), not before.
    uint64_t published() const { return records.load(std::memory_order_acquire); }
    ver_t mb_version() const;
    std::vector<group> groups() const;
    size_t groups_count() const;

private:
    mutable mox::mutex m;
    record current;
    std::atomic<uint64_t> records{0};
};

} // namespace kestrel
