#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "drivers/libusb/driver.h"
#include "fxt/core.h"
#include "fxt/program.h"
#include "hw/descriptor.h"
#include "hw/log.h"
#include "hw/model.h"
#include "hw/status.h"
#include "hw/trigger_mode.h"
#include "kestrel/capabilities.h"
#include "kestrel/capture/capture.h"
#include "kestrel/capture/capture_tool.h"
#include "kestrel/config/config.h"
#include "kestrel/config/config_loader.h"
#include "kestrel/link/communication.h"
#include "kestrel/link/status_getter.h"
#include "kestrel/oci/oci_configurator.h"
#include "kestrel/oci/oci_loader.h"
#include "kestrel/regs/fpga.h"
#include "kestrel/regs/oci.h"
#include "kestrel/status.h"
#include "mox/job_thread.h"
#include "mox/progress.h"
#include "mox/semaphore.h"
#include "mox/spi_master.h"
#include "mox/thread_exception.h"
#include "mox/thread_tools.h"
#include "mox/timed_mutex.h"
#include "mox/version.h"
#include "oci/callbacks.h"
#include "trs/manager.h"

namespace kestrel {

class update;
struct updater_deleter {
    void operator()(update* u) const;
};

// The one object that stands for one physical device: it owns the control link and
// everything that speaks over it, serialises device work through device_busy, and runs
// long operations on background threads that report failure through its stored
// exception.
class core : public mox::thread_exception {
public:
    static constexpr uint16_t usb_vid = 0x1FC9;
    static constexpr uint16_t usb_pid = 0x82A5;
    static constexpr uint8_t control_interface = 2;
    static constexpr uint8_t control_ep_out = 0x04;
    static constexpr uint8_t control_ep_in = 0x84;

    core(capture_tool& ctool, trs::manager& trs_man, mox::semaphore& notifier, hw::model_t model,
         const hw::log_fn& log, std::atomic<hw::trigger_mode_t>& trig_mod);
    ~core();
    core(const core&) = delete;
    core& operator=(const core&) = delete;

    // Opens the device with this serial number, waits for it to start and opens its USB3
    // bridges, recovering them up to three times. Throws on failure.
    void open(const std::string& sn);
    void open(const hw::descriptor& d) { open(d.sn); }
    void wait_for_startup(const std::string& sn);
    // No open, capture or update holds the device, and no capture is launched.
    bool is_ready();
    // A capture launched and not yet done: its stores still change. A done capture whose
    // thread is still leaving the device does not count.
    bool capture_in_progress() const;
    // Closes the links on a background thread and returns at once.
    void close();
    void reboot_and_close();
    // A running capture notices within 100 ms; without one this does nothing.
    void abort();

    // Stores the caller's configuration with its trigger routing normalised. Throws
    // hw::exception(invalid_configration), changing nothing, for a configuration the device
    // cannot run.
    void set_config(const config& cfg);
    // Like set_config, for a capture whose engines run the trigger programs kept with
    // set_trigger_program: the configuration's trigger order and post-trigger depth are
    // kept as given.
    void set_config_programmed(const config& cfg);
    // Clears the last capture's flags and stored failure, then captures on a background
    // thread.
    void start();
    // The program engine (0 A, 1 B) runs in the next programmed capture; an empty one
    // leaves the engine off.
    void set_trigger_program(size_t engine, fxt::program p);
    fxt::program trigger_program(size_t engine);
    // Restarts the output engines on a background thread.
    void resume_oci();
    oci::callbacks& get_oci_callbacks() { return oci_cfg.callbacks; }
    // Whether a configuration breaks a condition of set_config or of the capture thread;
    // the reason in `why`.
    bool is_runnable(const config& cfg, std::string& why, bool programmed = false);

    // Firmware images and serial number (kestrel/firmware/core_firmware.cpp).
    bool update_is_needed(const std::vector<uint8_t>& mcu, const std::vector<uint8_t>& recovery,
                          const std::vector<uint8_t>& fpga);
    void launch_fw_update(bool force, std::vector<uint8_t> mcu, std::vector<uint8_t> recovery,
                          std::vector<uint8_t> fpga);
    void update_sn(std::string newsn);

    bool is_open() const { return usb_driver.is_open(); }
    const std::string& serial_number() const { return last_sn; }

    capture_tool& ctool;
    trs::manager& trs_man;
    mox::semaphore& notifier;
    const std::atomic<hw::model_t> model;
    const hw::log_fn& log;
    hw::status status;
    libusb::driver usb_driver;
    libusb::interface_bulk data_interface;
    mox::timed_mutex device_busy;
    capabilities device_caps;
    // A restart was asked for: the device leaving the bus is no failure. Before com: its
    // threads read it until they are joined.
    std::atomic<bool> restart_requested{false};
    communication com;
    status_t device_status;
    config device_config;
    // The sampling rate of the last launch, read under the launch lock: the capture thread
    // rewrites the configuration as it starts.
    hw::freq launched_rate();
    std::atomic<hw::trigger_mode_t>& trig_mod;
    status_getter stat_ctrl;
    config_loader cfg_loader;
    mox::progress<uint8_t, 100> progress;
    capture<capture_tool> capt;
    std::array<fxt::core, 2> trigger_engines;
    oci_loader_t oci_loader;
    // Register maps over an SPI master that reaches nothing on this hardware.
    mox::spi_master fake_spi;
    std::array<mox::gpio, 4> fake_cs{};
    spi_port fake_spi_port;
    fpga_t fpga_core;
    oci_t oci;
    oci_configurator oci_cfg;
    std::unique_ptr<update, updater_deleter> updater;
    mox::version<uint16_t> core_v;
    mox::version<uint16_t> mcu_v;

private:
    static std::unique_ptr<update, updater_deleter> make_updater(core& c);
    void close_links();
    // The link found the device gone from the bus.
    void device_left(int code);
    // Opens the USB3 bridges, resetting them up to three times.
    d3xx::err open_bridges();
    void capture_thread();
    // The trigger words and clocks of every group, and the order and depth the engines
    // imply; on a copy that the capture then uses.
    void prepare_triggers(config& cfg);
    void prepare_programs(config& cfg);
    // set_config with the programs kept (programmed) or none.
    void store_config(const config& cfg, bool programmed);
    // Background work: the first exception ends it and is stored for the caller.
    void launch(std::function<void()> work);
    // An update or a serial-number change; refused with busy while one runs.
    void launch_firmware_work(std::function<void()> work);

    std::string last_sn;
    std::mutex launch_m; // a launch against a capture thread still preparing
    // Guarded by launch_m: the programs kept for the next programmed launch, and those the
    // launched capture runs (none for the other launches).
    std::array<fxt::program, 2> programs;
    std::optional<std::array<fxt::program, 2>> launch_programs;
    // Capture threads launched and not yet ended: an abort before one has reached the
    // device must still stop it.
    std::atomic<int> captures_launched{0};
    // An update or a serial-number change is launched and has not ended.
    std::atomic<bool> firmware_work{false};
    // Runs every capture, one after the other: a capture starts on a thread already there.
    mox::job_thread capture_runner;
    // Declared last: destroyed first, so every background thread is joined while the
    // objects it works on still exist.
    mox::thread_tools thrd_tool;
};

} // namespace kestrel
