#include "kestrel/core.h"

#include "drivers/d3xx/exception.h"
#include "drivers/libusb/exception.h"
#include "hw/exception.h"
#include "mox/timeout.h"

#include <algorithm>

namespace kestrel {

core::core(capture_tool& ct, trs::manager& tsm, mox::semaphore& n, hw::model_t m,
           const hw::log_fn& l, std::atomic<hw::trigger_mode_t>& tm)
    : ctool(ct), trs_man(tsm), notifier(n), model(m), log(l), status(n),
      data_interface(usb_driver, control_interface, control_ep_out, control_ep_in), device_caps(m),
      com(data_interface, l), device_status(device_caps, {}), device_config(device_caps),
      trig_mod(tm), stat_ctrl(com, l, device_status, n, core_v, mcu_v),
      cfg_loader(com, [this] { return device_status.published(); }), progress(n),
      capt(com, cfg_loader, ct, device_status, status, progress, device_busy, n, l),
      trigger_engines{fxt::core(m), fxt::core(m)}, oci_loader(com, device_caps, status),
      fake_spi_port(fake_spi, fake_cs, 0), fpga_core(fake_spi_port), oci(fake_spi_port),
      oci_cfg(device_caps, device_config, cfg_loader, oci_loader, stat_ctrl, tsm, l),
      updater(make_updater(*this)) {
    com.on_device_left([this](int code) { device_left(code); });
}

core::~core() {
    abort(); // a capture thread ends within its next wait
    capture_runner.stop();
    thrd_tool.join_all();
}

void core::device_left(int code) {
    // Work holding the device ends with its own error (and a restart during an update is
    // expected); an idle link to a device that left the bus is closed here, so that the
    // open flag tells the truth and a re-plugged device opens at the first try. Uses only
    // members built before the link, which outlive its threads.
    std::unique_lock lock(device_busy, std::try_to_lock);
    if (!lock.owns_lock() || !usb_driver.is_open()) return;
    log("Device left the bus: control link closed");
    usb_driver.close();
    if (restart_requested) return;
    try {
        throw libusb::exception(code);
    } catch (...) {
        capture_exception();
    }
    notifier.notify();
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
    restart_requested = false;
    status.set(hw::status::v::preparing);
    std::unique_lock lock(device_busy, std::defer_lock);
    if (!lock.try_lock_for(std::chrono::milliseconds(500))) {
        status.set(hw::status::v::idle);
        throw hw::exception(hw::error::busy);
    }
    status.set(hw::status::v::preparing, "Waiting for device startup");

    // A link whose device left the bus is dead even when its close has not come yet.
    try {
        com.throw_if_device_gone();
    } catch (const libusb::exception&) {
        usb_driver.close();
    }
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
        com.link_opened();
        last_sn = sn;
        // Bridges kept from an earlier session belong to a link that is gone.
        if (!com.usb_interfaces.empty()) com.clear_usb3();
    }
    // A failed open leaves nothing half-open: bridges that did not all open would be taken
    // for open ones by the next open, and a control link without them serves no capture.
    d3xx::err err = d3xx::err::OK;
    try {
        wait_for_startup(last_sn);
        err = open_bridges();
    } catch (...) {
        com.clear_usb3();
        usb_driver.close();
        status.set(hw::status::v::idle);
        throw;
    }
    if (err != d3xx::err::OK) {
        com.clear_usb3();
        usb_driver.close();
    }
    status.set(hw::status::v::preparing, "Device ready");
    lock.unlock();
    communication::throw_usb_err(err);
}

d3xx::err core::open_bridges() {
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
    return err;
}

void core::wait_for_startup(const std::string& sn) {
    stat_ctrl.wait_for_startup(sn, 20000);
}

bool core::is_ready() {
    // A launched capture holds the device from its launch, before its thread takes the
    // lock, until it has ended.
    if (captures_launched > 0) return false;
    if (!device_busy.try_lock()) return false;
    device_busy.unlock();
    return true;
}

bool core::capture_in_progress() const {
    return (captures_launched > 0 || capt.is_running()) && !capt.done;
}

void core::close_links() {
    // A capture is stopped first and given the time to leave the device, so that it never
    // streams from a closed link; other work holding the device delays closing by a second.
    const bool capturing = capt.is_running();
    abort();
    std::unique_lock lock(device_busy, std::defer_lock);
    const bool held = lock.try_lock_for(std::chrono::milliseconds(capturing ? 10000 : 1000));
    usb_driver.close();
    // The bridges belong to whoever holds the device: a capture that has still not let go
    // keeps reading their buffers, other work still uses them. They are then freed by the
    // next open or with the core, after every thread has been joined.
    if (!held) {
        log(capt.is_running() ? "Capture still running: USB3 interfaces kept until it ends"
                              : "Device still busy: USB3 interfaces kept until it is free");
        return;
    }
    com.clear_usb3();
}

void core::close() {
    launch([this] { close_links(); });
}

void core::abort() {
    if (capt.is_running() || captures_launched > 0) {
        capt.abort.notify();
        notifier.notify(); // the capture's waits are on the notifier
    }
}

bool core::is_runnable(const config& cfg, std::string& why, bool programmed) {
    auto refuse = [&why](const char* reason) {
        why = reason;
        return false;
    };
    if (cfg.groups.size() != device_caps.groups_count)
        return refuse("group count of another model");
    if (cfg.sampling_freq == 0 || cfg.sampling_freq > capabilities::max_sampling_freq)
        return refuse("sampling frequency out of range");
    if (cfg.sampling_depth <= 0) return refuse("sampling depth not positive");
    if (cfg.post_trig_depth < 0 || cfg.post_trig_depth > cfg.sampling_depth)
        return refuse("post-trigger depth outside the depth");
    // The history keeps every record before the trigger: one per sample at worst. A launch
    // without programs whose engines have no trigger keeps at most 10000 samples before it
    // (prepare_triggers).
    const bool engines_off = trigger_engines[0].get_mode() == fxt::mode_t::NOTRIG &&
                             trigger_engines[1].get_mode() == fxt::mode_t::NOTRIG;
    if ((programmed || !engines_off) &&
        cfg.pre_trig_samples() > capture_tool::max_history_samples) {
        why = "pre-trigger depth of " + std::to_string(cfg.pre_trig_samples()) +
              " samples is beyond the " + std::to_string(capture_tool::max_history_samples) +
              " the pre-trigger history holds";
        return false;
    }
    const auto master = std::find_if(cfg.groups.begin(), cfg.groups.end(),
                                     [](const auto& g) { return g.is_master(); });
    if (master == cfg.groups.end()) return refuse("no master group");
    const auto& t = master->trigger;
    if (t.select_fast[0] && t.fast[0].ext_enable) {
        if (t.select_fast[1] || t.fast[1].ext_enable)
            return refuse("external trigger on slot A with a fast trigger on slot B");
        if (cfg.global_trigger.trig_out_polarity != t.fast[0].ext_in_pol)
            return refuse("external trigger polarity differs from the trigger output");
    }
    // A slot runs either its fast trigger or its engine's program, never both.
    for (size_t i = 0; i < 2; ++i) {
        const fxt::mode_t m = trigger_engines[i].get_mode();
        const bool edge = m == fxt::mode_t::RISING || m == fxt::mode_t::FALLING ||
                          m == fxt::mode_t::CHANGE || m == fxt::mode_t::NOTRIG;
        if (edge || trigger_engines[i].steps.count() == 0) continue;
        for (const auto& g : cfg.groups)
            if (g.trigger.select_fast[i]) return refuse("fast trigger on a slot with a program");
    }
    return true;
}

void core::set_config(const config& cfg) {
    store_config(cfg, false);
}

void core::set_config_programmed(const config& cfg) {
    store_config(cfg, true);
}

void core::set_trigger_program(size_t engine, fxt::program p) {
    std::lock_guard lock(launch_m);
    programs.at(engine) = std::move(p);
}

fxt::program core::trigger_program(size_t engine) {
    std::lock_guard lock(launch_m);
    return programs.at(engine);
}

void core::store_config(const config& cfg, bool programmed) {
    std::string why;
    if (!is_runnable(cfg, why, programmed)) {
        log("Configuration refused: " + why);
        throw hw::exception(hw::error::invalid_configration);
    }
    std::lock_guard lock(launch_m);
    if (programmed)
        launch_programs = programs;
    else
        launch_programs.reset();
    device_config = cfg;
    auto& m = device_config.master_group();
    device_config.global_trigger.trig_source =
        m.trigger.select_fast[0] && m.trigger.fast[0].ext_enable ? trig_source_t::external
                                                                 : trig_source_t::internal;
    device_config.run_flag = false;
    device_config.oci_start_flag = false;
    for (auto& g : device_config.groups)
        if (!g.is_master()) g.state_clk_mode = state_clk_mode_t::disable;
}

void core::start() {
    std::lock_guard lock(launch_m);
    capt.reset();
    reset_exception();
    ++captures_launched;
    const bool posted = capture_runner.post([this] {
        struct ended {
            std::atomic<int>& n;
            ~ended() { --n; }
        } in_flight{captures_launched};
        try {
            capture_thread();
        } catch (...) {
            capture_exception();
            if (capt.done_once_stored) capt.done = true;
            notifier.notify();
        }
    });
    if (!posted) { // the core is going away
        --captures_launched;
        throw hw::exception(hw::error::busy);
    }
}

void core::prepare_programs(config& cfg) {
    const auto& progs = *launch_programs;
    for (size_t gi = 0; gi < cfg.groups.size(); ++gi) {
        auto& trig = cfg.groups[gi].trigger;
        for (size_t i = 0; i < 2; ++i) {
            auto& flex = trig.flex[i];
            // The programs watch the master group's channels, natural channels 0..17.
            flex.tmp_loading_vector =
                progs[i].words(trigger_engines[i].my_caps, cfg.start_channel_from_group(gi));
            flex.max_steps = static_cast<uint8_t>(flex.tmp_loading_vector.size());
            flex.clk =
                progs[i].empty() ? trigger_engines[i].my_caps.max_clk : progs[i].trigger_clock();
            trig.select_fast[i] = false;
        }
    }
    // An engine without a program does not take part: the other decides alone.
    if (progs[0].empty() || progs[1].empty())
        cfg.master_group().trigger.order = trigger_order::a_and_b;
}

void core::prepare_triggers(config& cfg) {
    if (launch_programs) return prepare_programs(cfg);
    for (size_t gi = 0; gi < cfg.groups.size(); ++gi) {
        auto& trig = cfg.groups[gi].trigger;
        for (size_t i = 0; i < 2; ++i) {
            fxt::core& engine = trigger_engines[i];
            auto& flex = trig.flex[i];
            flex.tmp_loading_vector.clear();
            const fxt::mode_t m = engine.get_mode();
            if (m != fxt::mode_t::RISING && m != fxt::mode_t::FALLING && m != fxt::mode_t::CHANGE)
                flex.tmp_loading_vector =
                    engine.build_device_data(cfg.start_channel_from_group(gi));
            else
                engine.my_clk.set(engine.my_caps.max_clk);
            flex.max_steps = static_cast<uint8_t>(flex.tmp_loading_vector.size());
            flex.clk = engine.get_clock();
        }
        for (size_t i = 0; i < 2; ++i)
            if (!trig.flex[i].tmp_loading_vector.empty() && trig.select_fast[i])
                throw hw::exception(hw::error::invalid_configration);
        if (trig.flex[0].clk == 0 || trig.flex[1].clk == 0)
            throw hw::exception(hw::error::invalid_configration);
    }
    const bool a_off = trigger_engines[0].get_mode() == fxt::mode_t::NOTRIG;
    const bool b_off = trigger_engines[1].get_mode() == fxt::mode_t::NOTRIG;
    if (a_off || b_off) cfg.master_group().trigger.order = trigger_order::a_and_b;
    if (a_off && b_off)
        cfg.post_trig_depth =
            std::max<isamp>(static_cast<isamp>(0.95 * static_cast<double>(cfg.sampling_depth)),
                            cfg.sampling_depth - 10000);
}

hw::freq core::launched_rate() {
    std::lock_guard lock(launch_m);
    return device_config.sampling_freq;
}

void core::capture_thread() {
    config cfg(device_caps);
    std::string sn;
    {
        std::lock_guard lock(launch_m);
        cfg = device_config;
        sn = last_sn;
        prepare_triggers(cfg);
        device_config = cfg;
    }
    capt.do_capture(cfg, sn, trig_mod.load());
}

void core::resume_oci() {
    reset_exception();
    launch([this] { cfg_loader.resume_oci(); });
}

void core::reboot_and_close() {
    // Without a control link the request would only run into its time-out.
    if (!usb_driver.is_open()) throw hw::exception(hw::error::not_open);
    restart_requested = true;
    stat_ctrl.request_bootloader();
    close();
}

} // namespace kestrel
