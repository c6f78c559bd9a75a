#include "kestrel/config/config_loader.h"

#include "hw/exception.h"
#include "kestrel/link/acknowledged.h"

namespace kestrel {

using commands::endpoints;

config_loader::config_loader(communication& c, std::function<uint64_t()> m)
    : com(c), mark(std::move(m)) {
    auto notify = [](mox::semaphore& s) {
        return [&s](mox_com::acknowledge, const communication::bytes&) { s.notify(); };
    };
    com.register_ep(endpoints::config, notify(sem));
    com.register_ep(endpoints::config_run_flag,
                    [this](mox_com::acknowledge, const communication::bytes&) {
                        if (mark) run_mark = mark();
                        run_sem.notify();
                    });
    com.register_ep(endpoints::config_oci_flag, notify(oci_sem));
    com.register_ep(endpoints::config_oci_params, notify(ociparams_sem));
}

config_loader::~config_loader() {
    // All four handlers point into this object: none may run once it is gone.
    for (endpoints ep : {endpoints::config, endpoints::config_run_flag, endpoints::config_oci_flag,
                         endpoints::config_oci_params}) {
        try {
            com.unregister_ep(ep);
        } catch (...) {
        }
    }
}

void config_loader::exchange(endpoints ep, const communication::bytes& payload, mox::semaphore& s,
                             uint32_t wait_ms, bool reset_first) {
    send_acknowledged(com, ep, payload, s, wait_ms, reset_first);
}

void config_loader::send_to_device(const config& cfg) {
    std::lock_guard lock(mutex);
    communication::bytes payload;
    cfg.push_to_vector(payload);
    exchange(endpoints::config, payload, sem, 200);
}

void config_loader::config_oci(const config& cfg) {
    std::lock_guard lock(oci_mutex);
    communication::bytes payload;
    cfg.push_oci_params_to_vector(payload);
    exchange(endpoints::config_oci_params, payload, ociparams_sem, 200);
}

void config_loader::set_run_flag(bool run) {
    exchange(endpoints::config_run_flag, {static_cast<uint8_t>(run ? 1 : 0)}, run_sem, 500);
}

void config_loader::start_oci(bool flag) {
    exchange(endpoints::config_oci_flag, {static_cast<uint8_t>(flag ? 1 : 0)}, oci_sem, 200);
}

void config_loader::resume_oci() {
    start_oci(false);
    start_oci(true);
}

void config_loader::reset_ftdi(bool flag) {
    std::lock_guard lock(mutex);
    exchange(endpoints::ftdi_rst, {static_cast<uint8_t>(flag ? 1 : 0)}, sem, 200, false);
}

} // namespace kestrel
