// The device core's firmware and serial-number work.
#include "hw/exception.h"
#include "kestrel/core.h"
#include "kestrel/firmware/update.h"

namespace kestrel {

std::unique_ptr<update, updater_deleter> core::make_updater(core& c) {
    return std::unique_ptr<update, updater_deleter>(
        new update(c.usb_driver, c.com, c.log, c.stat_ctrl, c.device_status, c.device_busy,
                   c.status, c.progress));
}

void updater_deleter::operator()(update* u) const {
    delete u;
}

namespace {

// Without a control link every file operation would only run into its time-outs.
void require_open(const libusb::driver& d) {
    if (!d.is_open()) throw hw::exception(hw::error::not_open);
}

} // namespace

bool core::update_is_needed(const std::vector<uint8_t>& mcu, const std::vector<uint8_t>& recovery,
                            const std::vector<uint8_t>& fpga) {
    require_open(usb_driver);
    return updater->is_needed(mcu, recovery, fpga);
}

void core::launch_firmware_work(std::function<void()> work) {
    // An update and a serial-number change share the done flag and the stored error: one
    // runs at a time, the other is refused.
    if (firmware_work.exchange(true)) throw hw::exception(hw::error::busy);
    try {
        reset_exception();
        updater->done = false;
        launch([this, work = std::move(work)] {
            // Its failure is stored before the next task may start (and clear it).
            try {
                work();
            } catch (...) {
                capture_exception();
                notifier.notify();
            }
            firmware_work = false;
        });
    } catch (...) {
        firmware_work = false;
        throw;
    }
}

void core::launch_fw_update(bool force, std::vector<uint8_t> mcu, std::vector<uint8_t> recovery,
                            std::vector<uint8_t> fpga) {
    require_open(usb_driver);
    launch_firmware_work(
        [this, force, mcu = std::move(mcu), recovery = std::move(recovery), fpga = std::move(fpga),
         sn = last_sn] { updater->do_update_if_needed(force, mcu, recovery, fpga, sn); });
}

void core::update_sn(std::string newsn) {
    require_open(usb_driver);
    launch_firmware_work(
        [this, sn = std::vector<uint8_t>(newsn.begin(), newsn.end())] { updater->change_sn(sn); });
}

} // namespace kestrel
