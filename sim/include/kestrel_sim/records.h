// Records of the firmware model that tests inspect: the device status it reports and the
// configuration payloads it decoded.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

namespace kestrel_sim {

// What the device reports in its status record.
struct port_status_t {
    bool detected = true;
    bool backpower_clamped = false;
    uint8_t temperature = 30;
    bool gen_pgood = true;
    bool main_pgood = true;
    bool internal_pgood = true;
};

struct group_status_t {
    bool ft_pll_lock = true;
    bool ddr_calib_done = true;
    bool oci_ready = false;
    bool oci_paused = false;
    bool overrun = false;
    bool underrun = false;
    bool trigged = false;
    uint8_t data_available = 0; // units of 32 000 000 bytes
    uint8_t loopback_word = 0;
    std::array<port_status_t, 2> ports{};
    bool in_only_probe = false;
    bool in_only_fw = false;
};

struct status_model_t {
    uint8_t mcu_major = 1;
    uint8_t mcu_minor = 4;
    uint16_t mcu_build = 210;
    uint8_t mcu_temperature = 35;
    bool main_pll_locked = true;
    bool fpga_pll_locked = true;
    uint8_t fpga_version = 0x23;        // high nibble major, low nibble minor; 0 while starting
    std::vector<group_status_t> groups; // one per group of the model
    // Start-up after power-on or a restart: the first status requests go unanswered,
    // the next ones report FPGA version code 0.
    unsigned startup_silent_requests = 0;
    unsigned startup_zero_replies = 0;
    // Time off the bus after a reboot or bootloader command.
    std::chrono::milliseconds restart_time{50};
};

// Configuration as decoded from the config endpoint (1).
struct port_config_t {
    uint16_t capture_threshold_mv = 0;
    uint16_t gen_tvcc_mv = 0;
    std::array<uint8_t, 9> pull{};
    std::array<uint8_t, 9> io{};
};

struct flex_config_t {
    uint32_t clk = 0;
    uint8_t max_steps = 0;
};

struct fast_config_t {
    bool ext_enable = false;
    bool ext_in_pol = false;
    bool skip_change = false;
    bool skip_level = false;
    uint32_t mask = 0;
    uint32_t level = 0;
};

struct trigger_engines_config_t {
    std::array<flex_config_t, 2> flex{};
    std::array<fast_config_t, 2> fast{};
    std::array<bool, 2> select_fast{};
    uint8_t order = 0;
    bool ext_lb_test = false;
};

struct oci_config_t {
    uint8_t start_latency = 0;
    bool wait_for_trig = false;
    bool load_enable = false;
    uint32_t idle_state = 0;
    std::array<bool, 2> clk_out_enable{};
    std::array<uint64_t, 2> clk_out_freq{};
};

struct group_config_t {
    std::array<port_config_t, 2> ports{};
    uint8_t state_clk_source = 0;
    uint8_t state_clk_mode = 0;
    bool is_master_group = false;
    trigger_engines_config_t trigger;
    oci_config_t oci;
    bool reset_fpga_prog = false;
};

struct global_trigger_config_t {
    bool ext_in_50r = false;
    bool trig_out_polarity = false;
    uint8_t trig_source = 0;
    uint16_t ext_in_threshold_mv = 0;
};

struct device_config_t {
    std::vector<group_config_t> groups; // wire order: highest group first
    uint8_t timebase = 0;
    uint32_t sampling_freq = 0;
    int64_t sampling_depth = 0;
    int64_t post_trig_depth = 0;
    bool run_flag = false;
    bool oci_start_flag = false;
    global_trigger_config_t global_trigger;
    bool updating = false;
};

// Output parameters of one group, from the oci parameter endpoint (13).
struct oci_group_params_t {
    oci_config_t oci;
    std::array<port_config_t, 2> ports{};
};

struct firmware_counters_t {
    uint64_t configs = 0;
    uint64_t malformed_configs = 0;
    uint64_t oci_params = 0;
    uint64_t malformed_oci_params = 0;
    uint64_t run_flags = 0;
    uint64_t oci_flags = 0;
    uint64_t bridge_resets = 0;
    uint64_t status_requests = 0;
    uint64_t reboots = 0;
    uint64_t bootloader_requests = 0;
    uint64_t malformed_commands = 0;
    uint64_t trigger_words = 0;
    uint64_t malformed_trigger_words = 0;
};

} // namespace kestrel_sim
