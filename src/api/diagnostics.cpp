#include "api/diagnostics.h"

namespace api_utils {

void log_sink::set(callback f, void* u) {
    std::lock_guard l(m);
    fn = f;
    user = u;
}

void log_sink::write(const std::string& line) noexcept {
    try {
        std::lock_guard l(m);
        if (fn == nullptr) {
            standard(line);
            return;
        }
        fn(user, static_cast<int>(hw::level_of(line)), line.c_str());
    } catch (...) {
        // A diagnostic line is never worth a failure of the work that wrote it.
    }
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
