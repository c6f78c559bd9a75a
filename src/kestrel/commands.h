#pragma once
#include <cstdint>

namespace kestrel::commands {

// Endpoint numbers of the control link, one byte on the wire.
enum class endpoints : uint8_t {
    config = 1,
    file_loader = 2,
    ftdi_rst = 3,
    trigger_loader = 5,
    status = 7,
    status_oci = 71,
    ping = 8,
    config_run_flag = 10,
    config_oci_flag = 12,
    config_oci_params = 13,
};

} // namespace kestrel::commands

namespace kestrel::commands {

// One-byte commands on the status endpoint; the device answers each with a record.
enum class status_cmds : uint8_t {
    request_update = 1,
    request_reboot = 2,
    request_bootloader = 3,
};

} // namespace kestrel::commands
