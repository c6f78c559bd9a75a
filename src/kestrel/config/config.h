#pragma once
#include <array>
#include <bitset>
#include <cstdint>
#include <vector>

#include "hw/types.h"
#include "kestrel/capabilities.h"

namespace kestrel {

enum class timebase_t : uint8_t { external = 2, internal = 3 };
enum class state_clk_source_t : uint8_t { ch9 = 0, ch18 = 1 };
enum class state_clk_mode_t : uint8_t { disable = 0, rising = 1, falling = 2, dual = 3 };
enum class trigger_order : uint8_t { a_or_b = 0, a_then_b = 1, b_then_a = 2, a_and_b = 3 };
enum class trig_source_t : uint8_t { external = 0, internal = 1 };

// The complete set-up of one capture and of the output engines, in the form the device
// understands. A value type: the capture thread works on its own copy.
//
// Groups are stored highest first: with n groups, entry gi holds natural channels
// (n - 1 - gi) * 18 ... + 17, so grp_ab (channels 0..17) is the last entry.
class config {
public:
    using bytes = std::vector<uint8_t>;

    enum class group_name_t : uint8_t { grp_ab = 100, grp_cd = 101, grp_ef = 102, grp_gh = 103 };

    struct trigger {
        bool ext_in_50r = false;
        bool trig_out_polarity = true;
        trig_source_t trig_source = trig_source_t::internal;
        uint16_t ext_in_threshold_mv = 1000;

        void push_to_vector(bytes& out) const;
    };

    struct group_t {
        struct port_990 {
            enum class pull_t : uint8_t { dn = 0, up = 1 };
            enum class io_t : uint8_t { in = 0, pp = 1, od = 2 };

            hw::millivolts capture_threshold = 1650;
            hw::millivolts gen_tvcc = 3300;
            std::array<pull_t, 9> pull{};
            std::array<io_t, 9> io{};

            void push_to_vector(bytes& out) const;
        };

        struct oci_params_t {
            uint8_t start_latency = 0;
            bool wait_for_trig = true;
            uint16_t loops = 1;
            bool load_enable = true;
            std::bitset<18> idle_state;
            std::array<bool, 2> clk_out_enable{};
            std::array<uint64_t, 2> clk_out_freq{};

            void push_to_vector(bytes& out) const;
        };

        struct flex_t {
            hw::freq clk = 250000000;
            uint8_t max_steps = 0;
            std::vector<uint64_t> tmp_loading_vector;

            void push_to_vector(bytes& out) const;
        };

        struct fast_t {
            bool ext_enable = false;
            bool ext_in_pol = true;
            bool skip_change = false;
            bool skip_level = false;
            uint32_t mask = 0;
            uint32_t level = 0;

            void push_to_vector(bytes& out) const;
        };

        struct trig_t {
            std::array<flex_t, 2> flex{};
            std::array<fast_t, 2> fast{};
            std::array<bool, 2> select_fast{};
            trigger_order order = trigger_order::a_or_b;
            bool ext_lb_test = false;

            void push_to_vector(bytes& out) const;
        };

        std::array<port_990, 2> ports{};
        state_clk_source_t state_clk_source = state_clk_source_t::ch9;
        state_clk_mode_t state_clk_mode = state_clk_mode_t::disable;
        oci_params_t oci_parameters;
        trig_t trigger;
        bool reset_fpga_prog = false;
        uint8_t loopback_word = 0;
        bool is_master_group = false;

        bool is_master() const { return is_master_group; }
        // The guard code documents who selects the master; it does not change the result.
        void set_master(bool master, uint32_t guard) {
            (void)guard;
            is_master_group = master;
        }
        void push_to_vector(bytes& out) const;
    };

    struct ch_loc_t {
        uint8_t grp;
        uint8_t port;
        uint8_t ch_in_group;
        uint8_t ch;
    };

    struct oci_clk_out_t {
        uint8_t natural_channel;
        bool enable;
        hw::freq freq;
    };

    static constexpr uint32_t master_guard = 0x3C5A96;

    explicit config(const capabilities& caps);

    std::vector<group_t> groups;
    timebase_t timebase = timebase_t::internal;
    hw::freq sampling_freq = 250000000;
    isamp sampling_depth = 20000000;
    int64_t post_trig_depth = static_cast<int64_t>(0.9f * 20000000.0f);
    bool run_flag = false;
    bool trig_arm = false;
    bool oci_start_flag = false;
    trigger global_trigger;
    bool updating = false;
    bool ft_rst = false;

    isamp pre_trig_samples() const { return sampling_depth - post_trig_depth; }

    size_t group_index(group_name_t gn) const;
    size_t group_index(size_t group_natrual_index) const;
    group_name_t group_name(size_t grp_idx) const;
    size_t start_channel_from_group(size_t group_index) const;

    void set_master_group(group_name_t gn);
    group_name_t get_master_group_name() const;
    group_t& master_group();
    group_t& get_group(group_name_t gn);

    ch_loc_t locate(size_t ch) const;
    group_t::port_990::io_t& get_io(size_t ch);
    group_t::port_990::pull_t& get_pull(size_t ch);
    group_t::port_990& get_port(size_t ch);
    bool ch_configured_as_output(size_t ch);
    void set_oci_load_enable(bool enable);
    std::vector<oci_clk_out_t> get_oci_clk_outs() const;

    // The configuration payload of the config endpoint.
    void push_to_vector(bytes& out) const;
    // The output parameter payload: per group, its output block and both port blocks.
    void push_oci_params_to_vector(bytes& out) const;
};

} // namespace kestrel
