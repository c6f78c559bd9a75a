#include "api/diagnostics.h"

#include "hw/exception.h"

namespace api_utils {

namespace {
// The sink whose function this thread is running, if any.
thread_local const log_sink* delivering = nullptr;
} // namespace

bool log_sink::in_callback() const {
    return delivering == this;
}

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
    // The function runs under the lock: from inside it, waiting for the lock never ends.
    if (in_callback()) throw hw::exception(hw::error::busy);
    std::lock_guard l(m);
    fn = f;
    user = u;
    flush_pending();
}

void log_sink::write(const std::string& line) noexcept {
    try {
        // A call the function makes into the library logs on this thread, under the lock
        // it already holds: its lines follow once the function returns.
        if (in_callback()) {
            nested.push_back(line);
            return;
        }
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
    if (fn == nullptr) return standard(line);
    struct running {
        const log_sink* outer = delivering;
        explicit running(const log_sink* s) { delivering = s; }
        ~running() { delivering = outer; }
    } in_fn(this);
    fn(user, static_cast<int>(hw::level_of(line)), line.c_str());
    // One line at a time, in order: the lines the function's own calls wrote come next.
    for (size_t i = 0; i < nested.size(); ++i) {
        const std::string next = std::move(nested[i]);
        fn(user, static_cast<int>(hw::level_of(next)), next.c_str());
    }
    nested.clear();
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
