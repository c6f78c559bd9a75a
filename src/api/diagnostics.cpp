#include "api/diagnostics.h"

namespace api_utils {

log_sink::~log_sink() {
    try {
        std::lock_guard l(m);
        flush_pending();
    } catch (...) {
        // Lines are never worth a failure.
    }
}

void log_sink::constructed() {
    std::lock_guard l(m);
    holding = false;
}

void log_sink::set(callback f, void* u) {
    std::lock_guard l(m);
    fn = f;
    user = u;
    flush_pending();
}

void log_sink::write(const std::string& line) noexcept {
    try {
        std::lock_guard l(m);
        if (holding) {
            pending.push_back(line);
            return;
        }
        flush_pending();
        deliver(line);
    } catch (...) {
        // A diagnostic line is never worth a failure of the work that wrote it.
    }
}

void log_sink::deliver(const std::string& line) {
    if (fn == nullptr)
        standard(line);
    else
        fn(user, static_cast<int>(hw::level_of(line)), line.c_str());
}

void log_sink::flush_pending() {
    for (const auto& line : pending)
        deliver(line);
    pending.clear();
}

hw::log_fn log_sink::writer() {
    return [this](const std::string& line) { write(line); };
}

void failure_text::set(std::string t) {
    std::lock_guard l(m);
    text = std::move(t);
}

std::string failure_text::get() const {
    std::lock_guard l(m);
    return text;
}

} // namespace api_utils
