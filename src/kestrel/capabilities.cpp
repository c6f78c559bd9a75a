#include "kestrel/capabilities.h"

#include "mox/check.h"

namespace kestrel {

namespace {

hw::ich channels_of(hw::model_t model) {
    switch (model) {
    case hw::model_t::kestrel_one:
        return 18;
    case hw::model_t::kestrel_two:
        return 36;
    case hw::model_t::kestrel_three:
        return 54;
    default:
        MOX_ASSERT(false);
        return 0;
    }
}

} // namespace

bool is_kestrel_model(hw::model_t model) {
    return model == hw::model_t::kestrel_one || model == hw::model_t::kestrel_two ||
           model == hw::model_t::kestrel_three;
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
