#include "oci/sync.h"

#include "mox/check.h"

namespace oci {

sync_t::sync_t(uint8_t pos) : oci_flag_trs_pos(pos) {
    MOX_ASSERT(oci_flag_trs_pos < 64);
}

void sync_t::push(uint64_t levels, uint64_t delta_samples) {
    mox::mutex_lock lk(m);
    push_locked(levels, delta_samples);
}

void sync_t::push_locked(uint64_t levels, uint64_t delta_samples) {
    const bool flag = (levels >> oci_flag_trs_pos) & 1u;
    global_time += static_cast<isamp>(delta_samples);
    if (flag != last_level) steps.push_back({global_time, flag});
    last_level = flag;
}

void sync_t::reset() {
    mox::mutex_lock lk(m);
    global_time = 0;
    last_level = false;
    steps.clear();
}

std::vector<sync_step_t> sync_t::get_steps() const {
    mox::mutex_lock lk(m);
    return steps;
}

isamp sync_t::get_global_time() const {
    mox::mutex_lock lk(m);
    return global_time;
}

bool sync_t::get_last_level() const {
    mox::mutex_lock lk(m);
    return last_level;
}

} // namespace oci
