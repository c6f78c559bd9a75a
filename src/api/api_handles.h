#pragma once
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "api/diagnostics.h"
#include "drivers/libusb/device.h"
#include "hw/error.h"
#include "hw/log.h"
#include "hw/model.h"
#include "hw/trigger_mode.h"
#include "kestrel/capabilities.h"
#include "kestrel/capture/capture_tool.h"
#include "kestrel/core.h"
#include "kestrelapi.h"
#include "mox/semaphore.h"
#include "trs/iterator.h"
#include "trs/manager.h"

namespace api_utils {

// Everything one exported handle owns, for one device model. Members are built in
// declaration order and destroyed in reverse.
class api_handles {
public:
    static constexpr size_t capture_watermark = 10000000;

    explicit api_handles(hw::model_t model);
    api_handles(const api_handles&) = delete;
    api_handles& operator=(const api_handles&) = delete;

    // Declared first: every component's log writes through it.
    log_sink log_target;
    failure_text last_failure;
    hw::log_fn log_fn;
    std::atomic<hw::trigger_mode_t> trg_mode{hw::trigger_mode_t::single};
    kestrel::capabilities caps;
    std::vector<libusb::device> device_list;
    mox::semaphore notifier{1, 0};
    mox::semaphore new_samples_notifier{1, 0};
    trs::manager trs_man;
    std::vector<trs::iterator> trs_iter;
    std::atomic<isamp> trig_pos{0};
    kestrel::capture_tool capture;
    kestrel::core device;
    // Caller names of channels in exported files.
    std::mutex names_m;
    std::map<hw::ich, std::string> channel_names;
    // Exports walking the stores: a launch, which clears them, is refused while one runs.
    std::mutex export_m;
    int exports_running = 0; // guarded by export_m

    // Runs the body of a launch, an export or an open and passes on what it throws; the
    // reason of a failure stays readable with kestrelapi_get_last_error_text: what the body
    // gave to refuse, else the name of the failure's code.
    void explained(const std::function<void()>& body);
    // Fails the running call with code, keeping why as its reason.
    [[noreturn]] void refuse(hw::error code, const std::string& why);

    // The device configuration a settings record asks for. Values outside their
    // enumerations are refused with invalid_argument.
    kestrel::config get_cfg(const kestrelapi_settings_t& settings);

    // Refuses the first field of a settings record outside what the device takes with
    // invalid_configration and a reason that names the field and its range.
    void check_ranges(const kestrelapi_settings_t& settings);

    // Refuses (not_supported, with the reason) to open device sn when a USB3 bridge it
    // needs is on the bus more than once: the bridges' serial numbers are the same on every
    // device, so its data could come from another one. Only for a device of this model
    // that is on the bus; other refusals stay with the open itself.
    void check_bridges_unambiguous(const std::string& sn);

    // The control links of the family on the bus, including those open in this process.
    std::vector<libusb::device> list_devices();
};

} // namespace api_utils
