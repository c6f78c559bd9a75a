#include "kestrel/config/config.h"

#include "mox/check.h"
#include "mox/serdes.h"

namespace kestrel {

namespace {

using serdes::push_back;

void put(config::bytes& out, bool b) {
    out.push_back(b ? 1 : 0);
}
template <typename E> void put_enum(config::bytes& out, E e) {
    out.push_back(static_cast<uint8_t>(e));
}

} // namespace

void config::trigger::push_to_vector(bytes& out) const {
    out.push_back(1);
    put(out, ext_in_50r);
    put(out, trig_out_polarity);
    put_enum(out, trig_source);
    push_back(out, ext_in_threshold_mv, 8);
}

void config::group_t::port_990::push_to_vector(bytes& out) const {
    out.push_back(1);
    push_back(out, capture_threshold, 8);
    push_back(out, gen_tvcc, 8);
    for (pull_t p : pull)
        put_enum(out, p);
    for (io_t i : io)
        put_enum(out, i);
}

void config::group_t::oci_params_t::push_to_vector(bytes& out) const {
    out.push_back(2);
    out.push_back(start_latency);
    put(out, wait_for_trig);
    put(out, load_enable);
    push_back(out, idle_state, 8);
    put(out, clk_out_enable[0]);
    put(out, clk_out_enable[1]);
    push_back(out, clk_out_freq[0], 8);
    push_back(out, clk_out_freq[1], 8);
}

void config::group_t::flex_t::push_to_vector(bytes& out) const {
    out.push_back(1);
    push_back(out, clk, 8);
    out.push_back(max_steps);
}

void config::group_t::fast_t::push_to_vector(bytes& out) const {
    out.push_back(1);
    put(out, ext_enable);
    put(out, ext_in_pol);
    put(out, skip_change);
    put(out, skip_level);
    push_back(out, mask, 8);
    push_back(out, level, 8);
}

void config::group_t::trig_t::push_to_vector(bytes& out) const {
    out.push_back(2);
    flex[0].push_to_vector(out);
    flex[1].push_to_vector(out);
    fast[0].push_to_vector(out);
    fast[1].push_to_vector(out);
    put(out, select_fast[0]);
    put(out, select_fast[1]);
    put_enum(out, order);
    put(out, ext_lb_test);
}

void config::group_t::push_to_vector(bytes& out) const {
    out.push_back(2);
    ports[0].push_to_vector(out);
    ports[1].push_to_vector(out);
    put_enum(out, state_clk_source);
    put_enum(out, state_clk_mode);
    put(out, is_master_group);
    trigger.push_to_vector(out);
    oci_parameters.push_to_vector(out);
    put(out, reset_fpga_prog);
}

config::config(const capabilities& caps) : groups(caps.groups_count) {
    set_master_group(group_name_t::grp_ab);
}

size_t config::group_index(group_name_t gn) const {
    MOX_ASSERT(int(gn) < 104);
    return groups.size() - (static_cast<size_t>(gn) - 100) - 1;
}

size_t config::group_index(size_t group_natrual_index) const {
    MOX_ASSERT(group_natrual_index < 4);
    return group_index(static_cast<group_name_t>(100 + group_natrual_index));
}

config::group_name_t config::group_name(size_t grp_idx) const {
    MOX_ASSERT(grp_idx < 4);
    return static_cast<group_name_t>(groups.size() - grp_idx + 99);
}

size_t config::start_channel_from_group(size_t group_index) const {
    MOX_ASSERT(group_index < groups.size());
    return (groups.size() - group_index) * 18 - 18;
}

void config::set_master_group(group_name_t gn) {
    for (group_t& g : groups)
        g.set_master(false, master_guard);
    groups.at(group_index(gn)).set_master(true, master_guard);
}

config::group_name_t config::get_master_group_name() const {
    for (size_t i = 0; i < groups.size(); ++i)
        if (groups[i].is_master()) return group_name(i);
    MOX_ASSERT(false);
    return group_name_t::grp_ab;
}

config::group_t& config::master_group() {
    return get_group(get_master_group_name());
}

config::group_t& config::get_group(group_name_t gn) {
    return groups.at(group_index(gn));
}

config::ch_loc_t config::locate(size_t ch) const {
    const size_t in_group = ch % 18;
    const size_t natural = ch / 18;
    // Channels beyond the fourth group name no group: reported like any channel beyond
    // the configured groups.
    const size_t grp = natural < 4 ? group_index(natural) : groups.size();
    return {static_cast<uint8_t>(grp), static_cast<uint8_t>(in_group / 9),
            static_cast<uint8_t>(in_group), static_cast<uint8_t>(in_group % 9)};
}

config::group_t::port_990& config::get_port(size_t ch) {
    const ch_loc_t l = locate(ch);
    return groups.at(l.grp).ports.at(l.port);
}

config::group_t::port_990::io_t& config::get_io(size_t ch) {
    return get_port(ch).io.at(locate(ch).ch);
}

config::group_t::port_990::pull_t& config::get_pull(size_t ch) {
    return get_port(ch).pull.at(locate(ch).ch);
}

bool config::ch_configured_as_output(size_t ch) {
    return get_io(ch) != group_t::port_990::io_t::in;
}

void config::set_oci_load_enable(bool enable) {
    for (group_t& g : groups)
        g.oci_parameters.load_enable = enable;
}

std::vector<config::oci_clk_out_t> config::get_oci_clk_outs() const {
    std::vector<oci_clk_out_t> outs;
    for (size_t g = 0; g < groups.size(); ++g) {
        for (size_t j = 0; j < 2; ++j) {
            outs.push_back({static_cast<uint8_t>(g * 18 + j * 9 + 8),
                            groups[g].oci_parameters.clk_out_enable[j],
                            static_cast<hw::freq>(groups[g].oci_parameters.clk_out_freq[j])});
        }
    }
    return outs;
}

void config::push_to_vector(bytes& out) const {
    out.push_back(2);
    for (const group_t& g : groups)
        g.push_to_vector(out);
    put_enum(out, timebase);
    push_back(out, sampling_freq, 8);
    push_back(out, sampling_depth, 8);
    push_back(out, post_trig_depth, 8);
    put(out, run_flag);
    put(out, oci_start_flag);
    global_trigger.push_to_vector(out);
    put(out, updating);
    push_back(out, uint32_t{0xAABBCCDD}, 8);
}

void config::push_oci_params_to_vector(bytes& out) const {
    for (const group_t& g : groups) {
        g.oci_parameters.push_to_vector(out);
        g.ports[0].push_to_vector(out);
        g.ports[1].push_to_vector(out);
    }
}

} // namespace kestrel
