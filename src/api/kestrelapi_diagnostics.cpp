// The library's diagnostics: where its log lines go, the reason of a failed call, its
// version.
#include <algorithm>
#include <cstring>

#include "api/call.h"
#include "kestrelapi.h"

using api_utils::api_handles;
using api_utils::with_handle;

extern "C" {

ohwapi_err_code_t kestrelapi_set_log_callback(kestrelapi_handle handle,
                                              void (*fn)(void* user, int level, const char* line),
                                              void* user) {
    return with_handle(handle, [&](api_handles& h) { h.log_target.set(fn, user); });
}

ohwapi_err_code_t kestrelapi_get_last_error_text(kestrelapi_handle handle, char* text,
                                                 uint32_t size) {
    return with_handle(handle, [&](api_handles& h) {
        if (text == nullptr || size == 0) throw hw::exception(hw::error::invalid_argument);
        std::string t = h.last_failure.get();
        // A capture that ended on a full store file: why, until the next capture.
        if (t.empty() && h.trs_man.store_budget().full())
            t = h.trs_man.store_budget().full_reason();
        const size_t n = std::min<size_t>(t.size(), size - 1);
        std::memcpy(text, t.data(), n);
        text[n] = '\0';
    });
}

ohwapi_err_code_t kestrelapi_get_library_version(uint32_t* major, uint32_t* minor,
                                                 uint32_t* patch) {
    if (major == nullptr || minor == nullptr || patch == nullptr) return OHWAPI_INVALID_ARGUMENT;
    *major = KESTREL_VERSION_MAJOR;
    *minor = KESTREL_VERSION_MINOR;
    *patch = KESTREL_VERSION_PATCH;
    return OHWAPI_OK;
}

} // extern "C"
