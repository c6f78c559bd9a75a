#pragma once
#include <functional>
#include <string>
#include <string_view>

namespace hw {

// Diagnostics sink handed to every component of a handle.
using log_fn = std::function<void(const std::string&)>;

// Writes each message and an end of line to standard output, one line at a time.
log_fn stdout_log();

// Severity of a diagnostic line, in the order of the exported KESTRELAPI_LOG_* values.
enum class log_level : int { debug = 0, info = 1, warning = 2, error = 3 };

// The severity of one of the library's lines. Components log plain text; the level follows
// from how the line starts (a table in log.cpp), so that their texts stay as they are.
// Lines the table does not know are debug.
log_level level_of(std::string_view line);

} // namespace hw
