#pragma once
#include <cstdint>

namespace hw {

// Library-wide failure codes; the exported interface reports value n as 1000 + n.
enum class error : uint16_t {
    no_error = 0,
    not_supported = 1,
    not_open = 2,
    no_device_found = 3,
    invalid_serial_number = 4,
    invalid_configration = 5,
    invalid_argument = 6,
    busy = 7,
    aborted_by_user = 8,
    power_fail = 9,
    pll_fail = 10,
    startup_flush_timeout = 11,
    not_responding = 12,
    no_data = 13,
    invalid_firmware = 14,
    update_verif_failed = 15,
    data_not_aligned = 16,
    forged = 17,
    tx_failure = 18,
    store_full = 19,
    hardware_fault = 100,
    unknown_error = 999,
};

} // namespace hw
