#include "kestrel/capabilities.h"

#include "mox/check.h"

namespace kestrel {

namespace {

hw::ich channels_of(hw::model_t model) {
    const hw::ich n = hw::channel_count(model);
    if (n == 0) MOX_ASSERT(false);
    return n;
}

} // namespace

bool is_kestrel_model(hw::model_t model) {
    return hw::channel_count(model) != 0;
}

capabilities::capabilities(hw::model_t m)
    : ch_factory(channels_of), model(m), channels(ch_factory(m)),
      groups_count(static_cast<uint8_t>(channels / ch_per_goup)),
      clk_out_count(static_cast<uint8_t>(groups_count * clk_outs_per_group)) {
    MOX_ASSERT(is_kestrel_model(m));
    supported_io_types.push_unique(oci::io_t::push_pull);
    supported_io_types.push_unique(oci::io_t::open_drain_pull_up);
    supported_io_types.push_unique(oci::io_t::floating);
}

} // namespace kestrel
