#include "api/api_handles.h"

namespace api_utils {

api_handles::api_handles(hw::model_t model) : log_fn(hw::stdout_log()), caps(model) {}

} // namespace api_utils
