#pragma once
#include <cstdint>
#include <string>

#include "hw/log.h"
#include "kestrel/commands.h"
#include "kestrel/link/communication.h"
#include "kestrel/status.h"
#include "mox/semaphore.h"
#include "mox/version.h"

namespace kestrel {

// Keeps the device's status record current from the status endpoints, sends the status
// commands and waits for the device to start.
class status_getter {
public:
    status_getter(communication& com, const hw::log_fn& log, status_t& device_status,
                  mox::semaphore& notifier, mox::version<uint16_t>& core_v,
                  mox::version<uint16_t>& mcu_v);
    ~status_getter();
    status_getter(const status_getter&) = delete;
    status_getter& operator=(const status_getter&) = delete;

    // Each returns whether a status record answered within the time-out.
    bool request_update(uint32_t timeout_ms);
    bool request_reboot() { return command(commands::status_cmds::request_reboot, 5000); }
    bool request_bootloader() { return command(commands::status_cmds::request_bootloader, 5000); }

    // Polls every 500 ms until the device reports a non-zero FPGA version code; fills the
    // version objects on success.
    bool wait_for_startup(const std::string& sn, uint32_t timeout_ms);

    bool oci_ready();
    // 0xFFFFFFFF waits without limit; 0 only samples.
    bool wait_oci_ready(bool state, uint32_t timeout_ms);

private:
    bool command(commands::status_cmds cmd, uint32_t timeout_ms);

    communication& com;
    const hw::log_fn& log;
    status_t& device_status;
    mox::semaphore& notifier;
    mox::semaphore sem{1, 0};
    mox::semaphore oci_ready_sem{1, 0};
    mox::version<uint16_t>& core_v;
    mox::version<uint16_t>& mcu_v;
};

} // namespace kestrel
