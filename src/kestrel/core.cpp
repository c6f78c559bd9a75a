#include "kestrel/core.h"

#include "drivers/d3xx/exception.h"
#include "hw/exception.h"
#include "mox/timeout.h"

namespace kestrel {

core::core(capture_tool& ct, trs::manager& tsm, mox::semaphore& n, hw::model_t m,
           const hw::log_fn& l, std::atomic<hw::trigger_mode_t>& tm)
    : ctool(ct), trs_man(tsm), notifier(n), model(m), log(l), status(n),
      data_interface(usb_driver, control_interface, control_ep_out, control_ep_in), device_caps(m),
      com(data_interface, l), device_status(device_caps, {}), device_config(device_caps),
      trig_mod(tm), stat_ctrl(com, l, device_status, n, core_v, mcu_v), cfg_loader(com),
      progress(n), capt(com, cfg_loader, ct, device_status, status, progress, device_busy, n, l),
      updater(make_updater(*this)) {}

core::~core() {
    thrd_tool.join_all();
}

void core::launch(std::function<void()> work) {
    thrd_tool.launch([this, work = std::move(work)] {
        try {
            work();
        } catch (...) {
            capture_exception();
            notifier.notify();
        }
    });
}

void core::open(const std::string& sn) {
    // A device of another model cannot be served by this handle's stores and loaders.
    if (hw::get_model(sn) != model.load()) throw hw::exception(hw::error::invalid_serial_number);
    reset_exception();
    status.set(hw::status::v::preparing);
    std::unique_lock lock(device_busy, std::defer_lock);
    if (!lock.try_lock_for(std::chrono::milliseconds(500))) {
        status.set(hw::status::v::idle);
        throw hw::exception(hw::error::busy);
    }
    status.set(hw::status::v::preparing, "Waiting for device startup");

    if (!usb_driver.is_open()) {
        libusb::device d;
        d.sn = sn;
        d.vid = usb_vid;
        d.pid = usb_pid;
        if (!usb_driver.open(d)) {
            // Nothing to wait for: the device is not on the bus.
            status.set(hw::status::v::idle);
            throw hw::exception(hw::error::no_device_found);
        }
        last_sn = sn;
    }
    wait_for_startup(last_sn);

    int trial = 1;
    d3xx::err err = com.create_usb3(device_caps.groups_count);
    while (err != d3xx::err::OK && trial <= 3) {
        status.set(hw::status::v::preparing,
                   "Recovering USB3 connection - trial " + std::to_string(trial));
        com.clear_usb3();
        mox::wait_ms(mox::timeout(100));
        cfg_loader.reset_ftdi(false);
        mox::wait_ms(mox::timeout(1000));
        cfg_loader.reset_ftdi(true);
        mox::wait_ms(mox::timeout(3500));
        err = com.create_usb3(device_caps.groups_count);
        ++trial;
    }
    status.set(hw::status::v::preparing, "Device ready");
    lock.unlock();
    communication::throw_usb_err(err);
}

void core::wait_for_startup(const std::string& sn) {
    stat_ctrl.wait_for_startup(sn, 20000);
}

bool core::is_ready() {
    if (!device_busy.try_lock()) return false;
    device_busy.unlock();
    return true;
}

void core::close_links() {
    std::unique_lock lock(device_busy, std::defer_lock);
    // The links close after a second even when other work still holds the device.
    (void)lock.try_lock_for(std::chrono::milliseconds(1000));
    usb_driver.close();
    com.clear_usb3();
}

void core::close() {
    launch([this] { close_links(); });
}

void core::abort() {
    if (capt.is_running) capt.abort.notify();
}

void core::reboot_and_close() {
    stat_ctrl.request_bootloader();
    close();
}

} // namespace kestrel
