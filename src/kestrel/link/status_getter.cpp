#include "kestrel/link/status_getter.h"

#include <algorithm>
#include <stdexcept>

#include "hw/keep_alive.h"
#include "mox/elapsed_timer.h"
#include "mox/timeout.h"

namespace kestrel {

status_getter::status_getter(communication& c, const hw::log_fn& l, status_t& s, mox::semaphore& n,
                             mox::version<uint16_t>& core, mox::version<uint16_t>& mcu)
    : com(c), log(l), device_status(s), notifier(n), core_v(core), mcu_v(mcu) {
    com.register_ep(commands::endpoints::status, [this](mox_com::acknowledge, const auto& params) {
        size_t i = 0;
        device_status.pull_from_vector(params, i);
        notifier.notify();
        sem.give();
    });
    com.register_ep(commands::endpoints::status_oci,
                    [this](mox_com::acknowledge, const auto& params) {
                        if (params.empty()) throw std::out_of_range("empty readiness packet");
                        device_status.set_oci_ready(params[0]);
                        oci_ready_sem.give();
                    });
}

status_getter::~status_getter() {
    com.unregister_ep(commands::endpoints::status);
    com.unregister_ep(commands::endpoints::status_oci);
}

bool status_getter::command(commands::status_cmds cmd, uint32_t timeout_ms) {
    sem.reset(0);
    com.tx(commands::endpoints::status, {static_cast<uint8_t>(cmd)});
    return sem.take(mox::timeout(timeout_ms));
}

bool status_getter::request_update(uint32_t timeout_ms) {
    return command(commands::status_cmds::request_update, timeout_ms);
}

bool status_getter::wait_for_startup(const std::string& sn, uint32_t timeout_ms) {
    uint32_t elapsed = 0;
    uint8_t version = 0;
    unsigned gone = 0;
    for (;;) {
        hw::keep_alive::instance().push_unique(sn);
        if (!request_update(100)) {
            log("No response while waiting for device startup");
            // A device that left the bus will not start: no point waiting the time out.
            // Seen on three requests in a row, so that the failure of a link closed just
            // before this open (cleared by the next transfer) does not count.
            try {
                com.throw_if_device_gone();
                gone = 0;
            } catch (const std::exception&) {
                if (++gone >= 3) throw;
            }
        } else {
            const auto groups = device_status.groups();
            version = groups.empty() ? 0 : groups[0].version;
            log("Waiting for device, FPGA version code = " + std::to_string(version));
        }
        if (version != 0) break;
        if (elapsed >= timeout_ms) return false;
        elapsed += 500;
        mox::wait_ms(mox::timeout(500));
    }
    const status_t::ver_t mb = device_status.mb_version();
    mcu_v.set(mb.maj, mb.min, mb.build);
    core_v.set(version >> 4, version & 0x0F, 0);
    return true;
}

bool status_getter::oci_ready() {
    const auto groups = device_status.groups();
    return std::all_of(groups.begin(), groups.end(), [](const auto& g) { return g.oci_ready; });
}

bool status_getter::wait_oci_ready(bool state, uint32_t timeout_ms) {
    const bool unlimited = timeout_ms == 0xFFFFFFFF;
    uint32_t remaining = timeout_ms;
    while (oci_ready() != state && (unlimited || remaining > 0)) {
        mox::elapsed_timer t;
        oci_ready_sem.take(unlimited ? mox::timeout() : mox::timeout(remaining));
        if (!unlimited) remaining -= std::min(remaining, t.elapsed_ms());
    }
    return oci_ready();
}

} // namespace kestrel
