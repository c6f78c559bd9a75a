#include "api/api_handles.h"
#include "api/raw_value.h"
#include "api/trycatch.h"

#include <algorithm>
#include <cstring>

#include "drivers/d3xx/ft245.h"
#include "export/error_names.h"
#include "hw/exception.h"

namespace api_utils {

api_handles::api_handles(hw::model_t model)
    : log_fn(log_target.writer()), caps(model), trs_man(caps.channels, new_samples_notifier),
      trs_iter(trs_man.create_iterators()),
      capture(
          caps.channels, trs_man, capture_watermark, [this](int64_t at) { trig_pos = at; }, log_fn),
      device(capture, trs_man, notifier, model, log_fn, trg_mode) {
    log_target.constructed();
}

using api_utils::raw_value;

namespace {

// A C caller may store any byte in a bool field: read the byte, never load it as a bool.
bool flag_of(const bool& b) {
    uint8_t raw = 0;
    static_assert(sizeof raw == sizeof b);
    std::memcpy(&raw, &b, sizeof raw);
    return raw != 0;
}

template <typename T> T checked(int raw, int low, int high) {
    if (raw < low || raw > high) throw hw::exception(hw::error::invalid_argument);
    return static_cast<T>(raw);
}

std::string range_text(const char* field, int64_t value, int64_t low, int64_t high,
                       const char* unit) {
    return std::string("settings: ") + field + " = " + std::to_string(value) + " is outside " +
           std::to_string(low) + ".." + std::to_string(high) + unit;
}

} // namespace

void api_handles::explained(const std::function<void()>& body) {
    last_failure.set("");
    try {
        body();
    } catch (...) {
        // The code the failure will be reported with: the same mapping, on a rethrow.
        if (last_failure.get().empty())
            last_failure.set(xport::error_name(trycatch([] { throw; })));
        throw;
    }
}

void api_handles::refuse(hw::error code, const std::string& why) {
    last_failure.set(why);
    throw hw::exception(code);
}

void api_handles::check_ranges(const kestrelapi_settings_t& s) {
    auto in = [this](const char* field, int64_t v, int64_t low, int64_t high, const char* unit) {
        if (v < low || v > high)
            refuse(hw::error::invalid_configration, range_text(field, v, low, high, unit));
    };
    using kestrel::capabilities;
    in("sampling_depth", s.sampling_depth, capabilities::min_sampling_depth,
       capabilities::max_sampling_depth, " samples");
    in("post_trig_depth", s.post_trig_depth, 0, s.sampling_depth, " samples (the depth)");
    in("s_clk", s.s_clk, 1, capabilities::max_sampling_freq, " Hz");
    in("ext_in_threshold_mv", s.ext_in_threshold_mv, caps.trg_in_threshold_min,
       caps.trg_in_threshold_max, " mV");
    // Entries 2 g + p of the groups the model has (a zero falls back to entry p).
    for (size_t e = 0; e < 2u * caps.groups_count; ++e) {
        // Appended, not `"[" + ...`: GCC 12 at -O3 takes that operator for an overlapping copy.
        std::string i(1, '[');
        i += std::to_string(e);
        i += ']';
        in(("thresh_capture_mv" + i).c_str(), s.thresh_capture_mv[e], caps.cap_threshold_min,
           caps.cap_threshold_max, " mV");
        // 0 leaves the supply off.
        if (s.vcc_gen_mv[e] != 0)
            in(("vcc_gen_mv" + i).c_str(), s.vcc_gen_mv[e], caps.gen_tvcc_min, caps.gen_tvcc_max,
               " mV (or 0, off)");
    }
}

kestrel::config api_handles::get_cfg(const kestrelapi_settings_t& s) {
    using kestrel::config;
    using port_t = config::group_t::port_990;
    config cfg(caps);
    cfg.sampling_depth = s.sampling_depth;
    cfg.post_trig_depth = s.post_trig_depth;
    cfg.sampling_freq = s.s_clk;
    const auto sclk_mode =
        checked<kestrel::state_clk_mode_t>(raw_value(s.state_clk_mode), SCLK_DISABLE, SCLK_DUAL);
    const auto sclk_src =
        checked<kestrel::state_clk_source_t>(raw_value(s.state_clk_src), SCLK_CH9, SCLK_CH18);
    for (auto& g : cfg.groups) {
        g.set_master(false, 0);
        for (size_t i = 0; i < 2; ++i)
            g.trigger.flex[i].clk = s.t_clk[i];
        g.state_clk_mode = sclk_mode;
        g.state_clk_source = sclk_src;
    }
    // Entry 2 g + p is port p of natural group g; callers that fill only the first two
    // entries configure every group with them.
    for (size_t g = 0; g < cfg.groups.size(); ++g) {
        auto& grp = cfg.groups[cfg.group_index(g)];
        for (size_t p = 0; p < 2; ++p) {
            const size_t e = 2 * g + p;
            grp.ports[p].capture_threshold =
                s.thresh_capture_mv[e] != 0 ? s.thresh_capture_mv[e] : s.thresh_capture_mv[p];
            grp.ports[p].gen_tvcc = s.vcc_gen_mv[e] != 0 ? s.vcc_gen_mv[e] : s.vcc_gen_mv[p];
        }
    }
    cfg.set_master_group(config::group_name_t::grp_ab);
    cfg.timebase = checked<kestrel::timebase_t>(raw_value(s.timebase_src), TIMEBASE_EXTERNAL,
                                                TIMEBASE_INTERNAL);
    cfg.global_trigger.trig_source = kestrel::trig_source_t::external;
    cfg.global_trigger.ext_in_50r = flag_of(s.ext_trig_50r);
    cfg.global_trigger.ext_in_threshold_mv = s.ext_in_threshold_mv;
    cfg.global_trigger.trig_out_polarity = flag_of(s.ext_trig_out_polarity);
    for (size_t gi = 0; gi < cfg.groups.size(); ++gi)
        for (size_t i = 0; i < 2; ++i) {
            cfg.groups[gi].oci_parameters.clk_out_enable[i] = flag_of(s.oci_clk_out_enable[gi][i]);
            cfg.groups[gi].oci_parameters.clk_out_freq[i] = s.oci_clk_out_freq[gi][i];
        }
    // Entry ch configures natural channel ch.
    for (size_t ch = 0; ch < caps.channels; ++ch) {
        cfg.get_io(ch) =
            checked<port_t::io_t>(raw_value(s.io_type[ch]), KESTRELAPI_IO_IN, KESTRELAPI_IO_OD);
        cfg.get_pull(ch) = checked<port_t::pull_t>(raw_value(s.io_pull[ch]), KESTRELAPI_PULL_DOWN,
                                                   KESTRELAPI_PULL_UP);
    }
    cfg.groups.front().trigger.order = checked<kestrel::trigger_order>(s.trig_order, 0, 3);
    return cfg;
}

void api_handles::check_bridges_unambiguous(const std::string& sn) {
    if (device.is_open() || hw::get_model(sn) != caps.model) return;
    const auto on_bus = list_devices();
    if (std::none_of(on_bus.begin(), on_bus.end(), [&](const auto& d) { return d.sn == sn; }))
        return;
    std::vector<hw::descriptor> bridges;
    try {
        d3xx::ft245 lister;
        bridges = lister.list_devices(std::string(hw::sn_kestrel_core[0].substr(0, 7)), true);
    } catch (const std::exception&) {
        return; // no bridge driver: the open reports that itself
    }
    for (size_t g = 0; g < caps.groups_count; ++g) {
        const auto count = std::count_if(bridges.begin(), bridges.end(), [&](const auto& b) {
            return b.sn == hw::sn_kestrel_core[g] && b.description == hw::desc_kestrel_core;
        });
        if (count < 2) continue;
        const std::string why =
            "device " + sn + ": " + std::to_string(count) + " USB3 bridges " +
            std::string(hw::sn_kestrel_core[g]) +
            " on the bus (every KESTREL device's bridges carry the same serial numbers), so "
            "its data cannot be told apart from another device's: keep one KESTREL device "
            "plugged";
        log_fn("Open refused: " + why);
        refuse(hw::error::not_supported, why);
    }
}

std::vector<libusb::device> api_handles::list_devices() {
    return device.usb_driver.list_devices(kestrel::core::usb_vid, kestrel::core::usb_pid,
                                          std::string(hw::sn_kestrel_root));
}

} // namespace api_utils
