#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "drivers/libusb/driver.h"
#include "hw/log.h"
#include "hw/status.h"
#include "kestrel/firmware/file_loader.h"
#include "kestrel/link/communication.h"
#include "kestrel/link/status_getter.h"
#include "kestrel/status.h"
#include "mox/progress.h"
#include "mox/timed_mutex.h"

namespace kestrel {

enum class fw_t : uint8_t { fpga = 0, mcu = 1, recovery_mcu = 2 };

inline constexpr const char* fw_file_fpga = "fpga.bin";
inline constexpr const char* fw_file_mcu = "mcu.bin";
inline constexpr const char* fw_file_recovery_mcu = "recovery_mcu.bin";
inline constexpr const char* sn_file = "sn.txt";

// Decides which firmware images the device lacks, installs them with their signatures,
// reboots and reopens the device, and changes its serial number. An image is needed
// exactly when the device holds no signature for it, or one that differs from the SHA-256
// digest of the host's image.
class update {
public:
    using bytes = std::vector<uint8_t>;

    struct fw_descriptor {
        explicit fw_descriptor(fw_t t);
        std::string filename;
        std::string description;
        std::string signature() const { return filename + ".hash"; }
    };

    update(libusb::driver& usb_driver, communication& com, const hw::log_fn& log,
           status_getter& stat_ctrl, status_t& device_status, mox::timed_mutex& device_busy,
           hw::status& hw_status, mox::progress<uint8_t, 100>& progress,
           file_loader::timing file_times = {});
    update(const update&) = delete;
    update& operator=(const update&) = delete;

    // An empty image is never needed.
    bool is_needed(const bytes& fwdata, fw_t fw_type);
    // Recovery, controller, FPGA; true at the first needed.
    bool is_needed(const bytes& fwdata_mcu, const bytes& fwdata_mcu_recovery,
                   const bytes& fwdata_fpga);
    // Throws invalid_firmware when a file step or a verification fails.
    bool do_update(const bytes& fwdata, fw_t fw_type, const std::string& last_sn);
    // False when the device was not seen restarting (its link to the old image did not
    // break within restart_wait) or did not come back within the reopen window.
    bool reboot(bool goto_bootloader, const std::string& last_sn);
    // Installs FPGA, recovery, controller (each when forced or needed), then reboots;
    // done is set only when the device is back.
    void do_update_if_needed(bool force, const bytes& fwdata_mcu, const bytes& fwdata_mcu_recovery,
                             const bytes& fwdata_fpga, const std::string& device_sn);
    void change_sn(const bytes& newsn);

    file_loader& files() { return file_system; }

    std::atomic<bool> done{false};

    // How long a device that was asked to restart may take to leave the bus.
    static constexpr std::chrono::milliseconds restart_wait{3000};

private:
    bool seen_restarting();
    // SHA-256 of the image; invalid_firmware when mbedTLS fails.
    bytes digest(const bytes& fwdata);
    // Removes nothing: opens, writes and closes, invalid_firmware on any refusal.
    void write_file(const std::string& name, const bytes& data, const std::string* keep_alive_sn);

    libusb::driver& usb_driver;
    communication& com;
    const hw::log_fn& log;
    status_getter& stat_ctrl;
    file_loader file_system;
    status_t& device_status;
    hw::status& hw_status;
    mox::progress<uint8_t, 100>& progress;
    mox::timed_mutex& device_busy;
};

} // namespace kestrel
