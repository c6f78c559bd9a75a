#pragma once
#include <atomic>

#include "hw/log.h"
#include "hw/model.h"
#include "hw/trigger_mode.h"
#include "kestrel/capabilities.h"
#include "mox/semaphore.h"
#include "mox/thread_exception.h"

namespace api_utils {

// Everything one exported handle owns, for one device model. Members are built in
// declaration order and destroyed in reverse.
class api_handles {
public:
    explicit api_handles(hw::model_t model);
    api_handles(const api_handles&) = delete;
    api_handles& operator=(const api_handles&) = delete;

    hw::log_fn log_fn;
    std::atomic<hw::trigger_mode_t> trg_mode{hw::trigger_mode_t::single};
    kestrel::capabilities caps;
    mox::semaphore notifier{1, 0};
    mox::semaphore new_samples_notifier{1, 0};
    // Failure of the last background operation, read back by kestrelapi_get_last_error.
    mox::thread_exception failure;
};

} // namespace api_utils
