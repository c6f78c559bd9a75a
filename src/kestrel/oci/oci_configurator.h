#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "hw/log.h"
#include "kestrel/capabilities.h"
#include "kestrel/config/config.h"
#include "kestrel/config/config_loader.h"
#include "kestrel/link/status_getter.h"
#include "kestrel/oci/oci_loader.h"
#include "oci/callbacks.h"
#include "trs/manager.h"

namespace kestrel {

// Host side of the groups' output engines: drive types, supply voltages, idle levels and
// clock outputs in the shared configuration, program loading and start, and a preview
// that renders a program into the transition stores as a capture would show it.
class oci_configurator {
public:
    // The engines' clock: one output period is 8 ns.
    static constexpr double gen_period = 8e-9;
    // Longest wait for the engines to leave the ready state once loading is enabled.
    static constexpr uint32_t load_enter_timeout_ms = 5000;

    oci_configurator(capabilities& my_caps, config& device_cfg, config_loader& cfg_loader,
                     oci_loader_t& oci_loader, status_getter& stat_ctrl, trs::manager& trs_man,
                     const hw::log_fn& log);
    oci_configurator(const oci_configurator&) = delete;
    oci_configurator& operator=(const oci_configurator&) = delete;

    void enable_clkout(size_t clock_index, bool enable);
    // Refuses (and logs) frequency 0 on an enabled output.
    void set_clkout_freq(size_t clock_index, uint64_t hz);
    void set_idle_state(size_t channel, bool level);
    bool set_io_type(size_t channel, oci::io_t type);
    bool set_out_voltage(size_t channel, uint16_t millivolts);
    uint32_t get_sample_rate() const { return capabilities::oci_sampling_rate; }
    // Stops the engines, loads the program into every group and starts them. False, before
    // anything is sent, for a malformed program (oci::malformed), and when the program is
    // too long (loading is then left enabled). Throws hw::exception
    // (not_responding) when the engines do not acknowledge or never leave the ready state.
    bool start_oci_chunk(const std::vector<oci::word>& words);
    // Renders the program into the stores; false for a malformed program.
    bool preview_oci_chunk(const std::vector<oci::word>& words, isamp max_samples,
                           hw::period sampling_period);
    bool wait_oci_ready(uint32_t timeout_ms);

    // First capture sample at or after `periods` output periods from the program start.
    static isamp sample_of(uint64_t periods, hw::period sampling_period);
    // Natural channel of a clock output (the last channel of its port).
    size_t clock_channel(size_t clock_index) const;

    oci::callbacks callbacks;
    std::atomic<uint64_t> repeats{0};
    std::vector<oci::io_t> io_type;
    std::vector<bool> clk_out_enable;
    std::vector<uint64_t> clk_out_div;
    std::vector<bool> idle_state;

private:
    // Logs why a program is malformed.
    bool refused(const std::vector<oci::word>& words) const;
    config::group_t::oci_params_t& clock_group(size_t clock_index);
    void check_channel(size_t channel) const;

    std::mutex mutex;
    capabilities& my_caps;
    config& device_cfg;
    config_loader& cfg_loader;
    oci_loader_t& oci_loader;
    status_getter& stat_ctrl;
    trs::manager& trs_man;
    const hw::log_fn& log;
};

} // namespace kestrel
