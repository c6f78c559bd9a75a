#include "api/live_handles.h"

#include "api/api_handles.h"

namespace api_utils {

live_handles& live_handles::instance() {
    // Never destroyed: the exit guard below and late kestrelapi_free calls still use it.
    static auto& l = *new live_handles;
    return l;
}

void live_handles::add(api_handles* h) {
    std::lock_guard lk(m);
    handles.insert(h);
}

bool live_handles::remove(api_handles* h) {
    std::lock_guard lk(m);
    return handles.erase(h) == 1;
}

void live_handles::free_all() noexcept {
    std::set<api_handles*> all;
    {
        std::lock_guard lk(m);
        all.swap(handles);
    }
    for (api_handles* h : all)
        delete h; // aborts its capture and joins its threads, each wait bounded
}

namespace {

// Built when the library is loaded, so destroyed as the process exits before the data
// that libraries loaded earlier (the USB stacks) and the library itself built at load.
struct exit_guard {
    ~exit_guard() { live_handles::instance().free_all(); }
} guard;

} // namespace

} // namespace api_utils
