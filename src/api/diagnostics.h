#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "hw/log.h"

namespace api_utils {

// Where a handle's diagnostic lines go: standard output, or a function of the caller
// (kestrelapi_set_log_callback) that receives each line with its level.
class log_sink {
public:
    using callback = void (*)(void* user, int level, const char* line);

    // Lines written before constructed() (while the handle is built, before its creator
    // can set a function) wait for the first target they can go to: the function set
    // next, else standard output with the next line, the removal of a function or the end
    // of the handle.
    log_sink() = default;
    ~log_sink();
    log_sink(const log_sink&) = delete;
    log_sink& operator=(const log_sink&) = delete;
    void constructed();

    // A null function restores standard output. Once set returns, the previous function
    // is not called again: lines are delivered under the sink's lock. Refused (busy) from
    // inside the function.
    void set(callback fn, void* user);
    // This thread runs the function now. Lines written meanwhile on this thread (the
    // function called into the library) are delivered after it returns.
    bool in_callback() const;
    void write(const std::string& line) noexcept;
    // A log_fn writing here, for the handle's components; the sink outlives them.
    hw::log_fn writer();

private:
    void deliver(const std::string& line);
    void flush_pending();

    std::mutex m;
    callback fn = nullptr;
    void* user = nullptr;
    bool holding = true;
    std::vector<std::string> pending;
    std::vector<std::string> nested; // written by the function's own calls
    const hw::log_fn standard = hw::stdout_log();
};

// The reason of a handle's last failed call, read with kestrelapi_get_last_error_text.
class failure_text {
public:
    void set(std::string text);
    std::string get() const;

private:
    mutable std::mutex m;
    std::string text;
};

} // namespace api_utils
