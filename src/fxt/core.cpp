#include "fxt/core.h"

#include "hw/exception.h"

namespace fxt {

namespace {

constexpr uint8_t description_marker = 2;

} // namespace

core::core(hw::model_t model) : my_caps(model), my_clk(my_caps), steps(my_caps, mode, my_clk) {}

capabilities core::get_caps() {
    mox::mutex_lock lock(mutex);
    return my_caps;
}

void core::set_mode(mode_t m) {
    if (!my_caps.supports(m)) throw hw::exception(hw::error::not_supported);
    mode.store(m);
}

void core::push_to_vector(bytes& dest) {
    mox::mutex_lock lock(mutex);
    dest.push_back(description_marker);
    steps.push_to_vector(dest);
    dest.push_back(static_cast<uint8_t>(mode.load()));
}

void core::pull_from_vector(const bytes& src, size_t& index) {
    size_t i = index;
    if (detail::pull<uint8_t>(src, i) != description_marker) detail::malformed();
    std::vector<step_t> read = steps_manager::read_list(src, i);
    const mode_t m = static_cast<mode_t>(detail::pull<uint8_t>(src, i));
    if (!my_caps.supports(m)) throw hw::exception(hw::error::not_supported);

    mox::mutex_lock lock(mutex);
    steps.load(read);
    mode.store(m);
    index = i;
}

} // namespace fxt
