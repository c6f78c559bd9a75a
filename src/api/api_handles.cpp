#include "api/api_handles.h"

namespace api_utils {

api_handles::api_handles(hw::model_t model)
    : log_fn(hw::stdout_log()), caps(model), trs_man(caps.channels, new_samples_notifier),
      trs_iter(trs_man.create_iterators()),
      capture(
          caps.channels, trs_man, capture_watermark, [this](int64_t at) { trig_pos = at; }, log_fn),
      device(capture, trs_man, notifier, model, log_fn, trg_mode) {}

std::vector<libusb::device> api_handles::list_devices() {
    return device.usb_driver.list_devices(kestrel::core::usb_vid, kestrel::core::usb_pid,
                                          std::string(hw::sn_kestrel_root));
}

} // namespace api_utils
