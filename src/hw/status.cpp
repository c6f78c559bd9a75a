#include "hw/status.h"

namespace hw {

std::string status::default_text(v value) {
    switch (value) {
    case v::error:
        return "Unknown error";
    case v::idle:
        return "";
    case v::preparing:
        return "Preparing";
    case v::aborting:
        return "Aborting";
    case v::waiting_trig:
        return "Waiting trigger";
    case v::trigged_and_sampling:
        return "Trigg'd, collecting samples";
    case v::downloading:
        return "Downloading";
    case v::uploading:
        return "Uploading";
    case v::streaming:
        return "Streaming";
    case v::generating:
        return "Generating";
    case v::updating_firmware:
        return "Updating firmware";
    }
    return "?";
}

void status::set(v new_value, const std::string& text) {
    const std::string d = text.empty() ? default_text(new_value) : text;
    mox::mutex_lock lock(mutex);
    if (new_value == value && d == description) return;
    value = new_value;
    description = d;
    if (observer) observer(value, description);
    notifier.notify();
}

void status::set_observer(observer_fn fn) {
    mox::mutex_lock lock(mutex);
    observer = std::move(fn);
}

status::v status::get_value() {
    mox::mutex_lock lock(mutex);
    return value;
}

std::string status::get_description() {
    mox::mutex_lock lock(mutex);
    return description;
}

} // namespace hw
