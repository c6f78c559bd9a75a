// The exported functions: each runs its body inside the one exception guard.
#include "kestrelapi.h"

#include "api/api_handles.h"
#include "api/trycatch.h"

using api_utils::api_handles;
using api_utils::trycatch;

namespace {

api_handles& handle_of(kestrelapi_handle h) {
    return *static_cast<api_handles*>(h);
}

} // namespace

extern "C" {

ohwapi_err_code_t kestrelapi_create_new_handle(kestrelapi_handle* h, kestrelapi_model_t model) {
    // The capabilities of an unknown model cannot be built: refuse it here. The raw value
    // is compared before any narrowing, so that no out-of-range number aliases a model.
    if (h == nullptr || (model != kestrel_one && model != kestrel_two && model != kestrel_three))
        return OHWAPI_INVALID_ARGUMENT;
    return trycatch([&] { *h = new api_handles(static_cast<hw::model_t>(model)); });
}

ohwapi_err_code_t kestrelapi_free(kestrelapi_handle handle) {
    return trycatch([&] { delete static_cast<api_handles*>(handle); });
}

ohwapi_err_code_t kestrelapi_get_last_error(kestrelapi_handle handle) {
    return trycatch([&] { handle_of(handle).failure.raise_exception(); });
}

} // extern "C"
