#include "config_decode.h"

#include <stdexcept>

namespace kestrel_sim {

namespace {

struct malformed : std::runtime_error {
    malformed() : std::runtime_error("malformed payload") {}
};

class reader {
public:
    explicit reader(std::span<const uint8_t> b) : b_(b) {}

    uint8_t u8() {
        if (i_ >= b_.size()) throw malformed();
        return b_[i_++];
    }
    bool flag() { return u8() != 0; }
    template <class T> T le() {
        uint64_t v = 0;
        for (size_t k = 0; k < sizeof(T); ++k)
            v |= static_cast<uint64_t>(u8()) << (8 * k);
        return static_cast<T>(v);
    }
    void marker(uint8_t want) {
        if (u8() != want) throw malformed();
    }
    bool done() const { return i_ == b_.size(); }

private:
    std::span<const uint8_t> b_;
    size_t i_ = 0;
};

port_config_t port(reader& r) {
    port_config_t p;
    r.marker(1);
    p.capture_threshold_mv = r.le<uint16_t>();
    p.gen_tvcc_mv = r.le<uint16_t>();
    for (auto& x : p.pull)
        x = r.u8();
    for (auto& x : p.io)
        x = r.u8();
    return p;
}

oci_config_t oci(reader& r) {
    oci_config_t o;
    r.marker(2);
    o.start_latency = r.u8();
    o.wait_for_trig = r.flag();
    o.load_enable = r.flag();
    o.idle_state = r.le<uint32_t>();
    o.clk_out_enable[0] = r.flag();
    o.clk_out_enable[1] = r.flag();
    o.clk_out_freq[0] = r.le<uint64_t>();
    o.clk_out_freq[1] = r.le<uint64_t>();
    return o;
}

trigger_engines_config_t engines(reader& r) {
    trigger_engines_config_t t;
    r.marker(2);
    for (auto& f : t.flex) {
        r.marker(1);
        f.clk = r.le<uint32_t>();
        f.max_steps = r.u8();
    }
    for (auto& f : t.fast) {
        r.marker(1);
        f.ext_enable = r.flag();
        f.ext_in_pol = r.flag();
        f.skip_change = r.flag();
        f.skip_level = r.flag();
        f.mask = r.le<uint32_t>();
        f.level = r.le<uint32_t>();
    }
    t.select_fast[0] = r.flag();
    t.select_fast[1] = r.flag();
    t.order = r.u8();
    t.ext_lb_test = r.flag();
    return t;
}

group_config_t group(reader& r) {
    group_config_t g;
    r.marker(2);
    g.ports[0] = port(r);
    g.ports[1] = port(r);
    g.state_clk_source = r.u8();
    g.state_clk_mode = r.u8();
    g.is_master_group = r.flag();
    g.trigger = engines(r);
    g.oci = oci(r);
    g.reset_fpga_prog = r.flag();
    return g;
}

} // namespace

size_t config_payload_size(unsigned groups) {
    return 35 + 120 * static_cast<size_t>(groups);
}

std::optional<device_config_t> decode_config(std::span<const uint8_t> payload, unsigned groups) {
    if (payload.size() != config_payload_size(groups)) return std::nullopt;
    try {
        reader r(payload);
        device_config_t c;
        r.marker(2);
        for (unsigned i = 0; i < groups; ++i)
            c.groups.push_back(group(r));
        c.timebase = r.u8();
        c.sampling_freq = r.le<uint32_t>();
        c.sampling_depth = r.le<int64_t>();
        c.post_trig_depth = r.le<int64_t>();
        c.run_flag = r.flag();
        c.oci_start_flag = r.flag();
        r.marker(1);
        c.global_trigger.ext_in_50r = r.flag();
        c.global_trigger.trig_out_polarity = r.flag();
        c.global_trigger.trig_source = r.u8();
        c.global_trigger.ext_in_threshold_mv = r.le<uint16_t>();
        c.updating = r.flag();
        if (r.le<uint32_t>() != 0xAABBCCDD || !r.done()) return std::nullopt;
        return c;
    } catch (const malformed&) {
        return std::nullopt;
    }
}

std::optional<std::vector<oci_group_params_t>> decode_oci_params(std::span<const uint8_t> payload,
                                                                 unsigned groups) {
    if (payload.size() != 72 * static_cast<size_t>(groups)) return std::nullopt;
    try {
        reader r(payload);
        std::vector<oci_group_params_t> out(groups);
        for (auto& g : out) {
            g.oci = oci(r);
            g.ports[0] = port(r);
            g.ports[1] = port(r);
        }
        return out;
    } catch (const malformed&) {
        return std::nullopt;
    }
}

} // namespace kestrel_sim
