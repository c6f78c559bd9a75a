#pragma once
#include <functional>
#include <string>

#include "mox/mutex.h"
#include "mox/semaphore.h"

namespace hw {

// What the device is doing, as shown to the user. Setting it signals the notifier only
// when the value or the text changes.
class status {
public:
    enum class v : uint8_t {
        error = 0,
        idle = 1,
        preparing = 2,
        aborting = 3,
        waiting_trig = 4,
        trigged_and_sampling = 5,
        downloading = 6,
        uploading = 7,
        streaming = 8,
        generating = 9,
        updating_firmware = 10,
    };

    explicit status(mox::semaphore& notifier) : notifier(notifier) {}
    status(const status&) = delete;
    status& operator=(const status&) = delete;

    // An empty description stands for the value's default text.
    void set(v value, const std::string& description = "");
    v get_value();
    std::string get_description();

    static std::string default_text(v value);

    // Told of every change, in order, on the thread that made it (progress displays).
    using observer_fn = std::function<void(v, const std::string&)>;
    void set_observer(observer_fn fn);

private:
    mox::mutex mutex;
    mox::semaphore& notifier;
    v value = v::idle;
    std::string description;
    observer_fn observer;
};

} // namespace hw
