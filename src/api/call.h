#pragma once
#include <cstddef>

#include "api/api_handles.h"
#include "api/live_handles.h"
#include "api/trycatch.h"
#include "hw/exception.h"
#include "kestrelapi.h"

namespace api_utils {

// The checks every exported function makes at the C boundary. A function that takes a
// handle runs its body through with_handle:
//
//     ohwapi_err_code_t kestrelapi_get_x(kestrelapi_handle handle, uint8_t ch, T* out_p) {
//         return api_utils::with_handle(handle, [&](api_handles& h) {
//             out(out_p) = index(h.some_vector, ch).value();
//         });
//     }
//
// A handle that is not live (null, never created, freed) gives OHWAPI_INVALID_ARGUMENT
// before anything is read through it; out() and index() turn a null pointer and an index
// beyond its range into OHWAPI_INVALID_ARGUMENT; anything thrown is turned into its code
// by trycatch. The handle cannot be freed while the body runs.

// *p, refused when p is null.
template <typename T> T& out(T* p) {
    if (p == nullptr) throw hw::exception(hw::error::invalid_argument);
    return *p;
}

// v[i], refused when i is beyond v.
template <typename V> auto& index(V& v, size_t i) {
    if (i >= v.size()) throw hw::exception(hw::error::invalid_argument);
    return v[i];
}

template <typename Fn> ohwapi_err_code_t with_handle(kestrelapi_handle handle, Fn&& body) noexcept {
    const live_handles::lease h = live_handles::instance().acquire(handle);
    if (!h) return OHWAPI_INVALID_ARGUMENT;
    return trycatch([&] { body(*h); });
}

} // namespace api_utils
