#pragma once
#include <functional>
#include <string>

namespace hw {

// Diagnostics sink handed to every component of a handle.
using log_fn = std::function<void(const std::string&)>;

// Writes each message and an end of line to standard output, one line at a time.
log_fn stdout_log();

} // namespace hw
