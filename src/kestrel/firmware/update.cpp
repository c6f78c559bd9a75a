#include "kestrel/firmware/update.h"

#include <chrono>

#include "drivers/libusb/exception.h"
#include "hw/exception.h"
#include "hw/keep_alive.h"
#include "kestrel/core.h"
#include "mox/console.h"
#include "mox/tls/hash.h"
#include "moxcom/crc.h"

namespace kestrel {

namespace {

using status_v = hw::status::v;

uint32_t crc32(const std::vector<uint8_t>& data) {
    return static_cast<uint32_t>(mox_utils::crc_value<mox_utils::CRC_32>(data));
}

[[noreturn]] void fail() {
    throw hw::exception(hw::error::invalid_firmware);
}

} // namespace

update::fw_descriptor::fw_descriptor(fw_t t) {
    switch (t) {
    case fw_t::fpga:
        filename = fw_file_fpga;
        description = "Core firmware";
        break;
    case fw_t::mcu:
        filename = fw_file_mcu;
        description = "Controller firmware";
        break;
    case fw_t::recovery_mcu:
        filename = fw_file_recovery_mcu;
        description = "Recovery firmware";
        break;
    }
}

update::update(libusb::driver& drv, communication& c, const hw::log_fn& l, status_getter& sg,
               status_t& ds, mox::timed_mutex& busy, hw::status& st, mox::progress<uint8_t, 100>& p,
               file_loader::timing file_times)
    : usb_driver(drv), com(c), log(l), stat_ctrl(sg), file_system(c, l, file_times),
      device_status(ds), hw_status(st), progress(p), device_busy(busy) {}

update::bytes update::digest(const bytes& fwdata) {
    mox::tls::hash h(MBEDTLS_MD_SHA256, [this](std::string_view s) { log(std::string(s)); });
    bytes out;
    if (!h.do_hash(fwdata, out)) fail();
    return out;
}

bool update::is_needed(const bytes& fwdata, fw_t fw_type) {
    const fw_descriptor d(fw_type);
    progress.set(0);
    hw_status.set(status_v::preparing, "Checking firmware: " + d.description);
    if (fwdata.empty()) return false;
    const uint32_t signature_crc = crc32(digest(fwdata));
    if (!file_system.file_exists(d.signature())) return true;
    return !file_system.check_crc(d.signature(), signature_crc);
}

bool update::is_needed(const bytes& fwdata_mcu, const bytes& fwdata_mcu_recovery,
                       const bytes& fwdata_fpga) {
    if (is_needed(fwdata_mcu_recovery, fw_t::recovery_mcu) || is_needed(fwdata_mcu, fw_t::mcu) ||
        is_needed(fwdata_fpga, fw_t::fpga))
        return true;
    hw_status.set(status_v::idle);
    return false;
}

void update::write_file(const std::string& name, const bytes& data,
                        const std::string* keep_alive_sn) {
    if (!file_system.file_open(name)) fail();
    if (keep_alive_sn) hw::keep_alive::instance().push_unique(*keep_alive_sn);
    if (!file_system.file_write(data, progress)) fail();
    if (!file_system.file_close(name)) fail();
    if (keep_alive_sn) hw::keep_alive::instance().push_unique(*keep_alive_sn);
}

bool update::do_update(const bytes& fwdata, fw_t fw_type, const std::string& last_sn) {
    const fw_descriptor d(fw_type);
    const uint32_t crc = crc32(fwdata);
    progress.set(0);
    hw_status.set(status_v::updating_firmware, "Updating firmware: " + d.description);
    // The signature goes first and comes back last: an interrupted update leaves the
    // image marked as needed.
    if (!file_system.file_remove(d.signature()) || !file_system.file_remove(d.filename)) fail();
    write_file(d.filename, fwdata, nullptr);
    hw_status.set(status_v::updating_firmware, "Verifying firmware integrity..." + d.description);
    if (!file_system.check_crc(d.filename, crc)) fail();

    const bytes sig = digest(fwdata);
    hw_status.set(status_v::updating_firmware, "Writing firmware signature..." + d.description);
    write_file(d.signature(), sig, &last_sn);
    hw_status.set(status_v::updating_firmware,
                  "Veryfing firmware signature integrity..." + d.description);
    if (!file_system.check_crc(d.signature(), crc32(sig))) fail();
    return true;
}

bool update::seen_restarting() {
    // A restarting device leaves the bus: the control link to the old image breaks. One
    // that stays (its request lost, or refused) still runs the old image, and a reopen
    // would find it at once and take it for the new one.
    const auto until = std::chrono::steady_clock::now() + restart_wait;
    for (;;) {
        try {
            com.throw_if_device_gone();
        } catch (const libusb::exception&) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= until) return false;
        mox::wait_ms(mox::timeout(20));
    }
}

bool update::reboot(bool goto_bootloader, const std::string& last_sn) {
    bool acknowledged = false;
    if (goto_bootloader) {
        log("Rebooting in bootloader mode...\n");
        acknowledged = stat_ctrl.request_bootloader();
    } else {
        log("Rebooting...\n");
        acknowledged = stat_ctrl.request_reboot();
    }
    hw_status.set(status_v::updating_firmware, "Rebooting to apply firmware update");
    if (!seen_restarting()) {
        log(acknowledged ? "Device did not restart" : "Restart request not acknowledged");
        return false;
    }
    usb_driver.close();
    mox::wait_ms(mox::timeout(200));

    libusb::device dev;
    dev.sn = last_sn;
    dev.vid = core::usb_vid;
    dev.pid = core::usb_pid;
    log("Reopen\n");
    bool found = false;
    uint32_t elapsed = 0;
    do {
        hw::keep_alive::instance().push_unique(last_sn);
        try {
            found = usb_driver.open(dev);
        } catch (...) {
            found = false;
        }
        if (found) break;
        log("Waiting for device..." + std::to_string(elapsed));
        hw_status.set(status_v::updating_firmware, "Waiting for device startup");
        mox::wait_ms(mox::timeout(250));
        elapsed += 250;
    } while (elapsed < 9001);
    if (!found) {
        log("Unable to reopen deivice");
        return false;
    }
    if (!stat_ctrl.wait_for_startup(last_sn, 60000)) return false;
    // The restarted device came back with new bridges: the old handles are dead.
    const auto groups = static_cast<uint8_t>(com.usb_interfaces.size());
    if (groups > 0) {
        com.clear_usb3();
        communication::throw_usb_err(com.create_usb3(groups));
    }
    return true;
}

void update::do_update_if_needed(bool force, const bytes& fwdata_mcu,
                                 const bytes& fwdata_mcu_recovery, const bytes& fwdata_fpga,
                                 const std::string& device_sn) {
    std::unique_lock lock(device_busy, std::defer_lock);
    if (!lock.try_lock_for(std::chrono::milliseconds(5000))) {
        hw_status.set(status_v::idle);
        throw hw::exception(hw::error::busy);
    }
    // An empty image is absent, forced or not: there is nothing to install.
    auto wanted = [&](const bytes& fwdata, fw_t t) {
        return force ? !fwdata.empty() : is_needed(fwdata, t);
    };
    bool reboot_needed = false;
    bool goto_bootloader = false;
    if (wanted(fwdata_fpga, fw_t::fpga)) {
        do_update(fwdata_fpga, fw_t::fpga, device_sn);
        reboot_needed = true;
    }
    if (wanted(fwdata_mcu_recovery, fw_t::recovery_mcu)) {
        do_update(fwdata_mcu_recovery, fw_t::recovery_mcu, device_sn);
        reboot_needed = goto_bootloader = true;
    }
    if (wanted(fwdata_mcu, fw_t::mcu)) {
        do_update(fwdata_mcu, fw_t::mcu, device_sn);
        reboot_needed = goto_bootloader = true;
    }
    // A device that does not come back has not taken the update.
    if (reboot_needed && !reboot(goto_bootloader, device_sn)) {
        hw_status.set(status_v::idle);
        throw hw::exception(hw::error::not_responding);
    }
    mox::console con([this](std::string_view s) { log(std::string(s)); }, "KESTREL",
                     mox::console::colors::none, mox::console::all, "", ": ");
    con.log("update done, setting done = true");
    hw_status.set(status_v::idle);
    done = true;
}

void update::change_sn(const bytes& newsn) {
    const uint32_t crc = crc32(newsn);
    if (!file_system.file_remove(sn_file)) fail();
    write_file(sn_file, newsn, nullptr);
    if (!file_system.check_crc(sn_file, crc)) fail();
    done = true;
}

} // namespace kestrel
