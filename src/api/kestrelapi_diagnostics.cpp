// The library's diagnostics: where its log lines go, the reason of a failed call, its
// version.
#include <algorithm>
#include <cstring>

#include "api/api_handles.h"
#include "api/trycatch.h"
#include "hw/exception.h"
#include "kestrelapi.h"

using api_utils::api_handles;
using api_utils::trycatch;

namespace {

api_handles& handle_of(kestrelapi_handle h) {
    return *static_cast<api_handles*>(h);
}

} // namespace

extern "C" {

ohwapi_err_code_t kestrelapi_set_log_callback(kestrelapi_handle handle,
                                              void (*fn)(void* user, int level, const char* line),
                                              void* user) {
    return trycatch([&] { handle_of(handle).log_target.set(fn, user); });
}

ohwapi_err_code_t kestrelapi_get_last_error_text(kestrelapi_handle handle, char* text,
                                                 uint32_t size) {
    if (text == nullptr || size == 0) return OHWAPI_INVALID_ARGUMENT;
    return trycatch([&] {
        const std::string t = handle_of(handle).last_failure.get();
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
