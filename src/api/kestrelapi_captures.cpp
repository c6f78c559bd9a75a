// Captures taken out of their handle: reads, exports and their lifetime.
#include <cerrno>
#include <limits>
#include <stdexcept>
#include <string>

#include "api/api_handles.h"
#include "api/call.h"
#include "api/capture_object.h"
#include "hw/exception.h"
#include "kestrelapi.h"

using api_utils::api_handles;
using api_utils::capture_object;
using api_utils::live_captures;
using api_utils::out;
using api_utils::with_handle;

namespace {

// Runs the body on a live capture, which cannot be freed meanwhile; a capture that is not
// live gives OHWAPI_INVALID_ARGUMENT before anything is read through it.
template <typename Fn> ohwapi_err_code_t with_capture(kestrelapi_capture capture, Fn&& body) {
    const live_captures::lease c = live_captures::instance().acquire(capture);
    if (!c) return OHWAPI_INVALID_ARGUMENT;
    return api_utils::trycatch([&] { body(*c); });
}

// A file the system refuses: OHWAPI_INVALID_ARGUMENT with the system's error in errno.
ohwapi_err_code_t export_capture(kestrelapi_capture capture, const char* path, uint64_t lo,
                                 uint64_t hi, bool csv_columns) {
    int system_error = 0;
    const ohwapi_err_code_t rc = with_capture(capture, [&](const capture_object& c) {
        if (path == nullptr) throw hw::exception(hw::error::invalid_argument);
        c.export_to(path, lo, hi, csv_columns, &system_error);
    });
    if (system_error != 0) errno = system_error;
    return rc;
}

} // namespace

extern "C" {

ohwapi_err_code_t kestrelapi_set_store_budget(kestrelapi_handle handle, uint64_t memory_bytes,
                                              const char* directory) {
    return with_handle(handle, [&](api_handles& h) {
        h.explained([&] {
            const std::string dir =
                directory != nullptr ? directory : trs::budget::default_directory();
            // Under the launch's lock: a capture never sees its budget change.
            std::lock_guard l(h.export_m);
            if (h.device.capture_in_progress())
                h.refuse(hw::error::busy,
                         "a capture is running: set the budget before or after it");
            try {
                h.trs_man.set_budget(memory_bytes, dir);
            } catch (const std::runtime_error& e) {
                h.refuse(hw::error::invalid_argument, e.what());
            }
        });
    });
}

ohwapi_err_code_t kestrelapi_take_capture(kestrelapi_handle handle, kestrelapi_capture* capture) {
    return with_handle(handle, [&](api_handles& h) {
        out(capture);
        *capture = live_captures::instance().add(capture_object::take(h));
    });
}

ohwapi_err_code_t kestrelapi_capture_free(kestrelapi_capture capture) {
    return api_utils::trycatch([&] {
        if (!live_captures::instance().free(capture))
            throw hw::exception(hw::error::invalid_argument);
    });
}

ohwapi_err_code_t kestrelapi_capture_info(kestrelapi_capture capture, uint64_t* samples,
                                          uint64_t* trigger_position, uint64_t* sampling_freq_hz,
                                          uint8_t* channels) {
    return with_capture(capture, [&](const capture_object& c) {
        out(samples);
        out(trigger_position);
        out(sampling_freq_hz);
        out(channels);
        *samples = static_cast<uint64_t>(c.info().samples);
        *trigger_position = static_cast<uint64_t>(c.info().trigger_position);
        *sampling_freq_hz = c.sampling_freq_hz();
        *channels = static_cast<uint8_t>(c.channels());
    });
}

ohwapi_err_code_t kestrelapi_capture_read(kestrelapi_capture capture, uint8_t channel,
                                          uint64_t from_sample, uint64_t* samples, uint8_t* levels,
                                          uint32_t capacity, uint32_t* count) {
    return with_capture(capture, [&](const capture_object& c) {
        out(count) = static_cast<uint32_t>(c.read(channel, from_sample, samples, levels, capacity));
    });
}

ohwapi_err_code_t kestrelapi_capture_level_at(kestrelapi_capture capture, uint8_t channel,
                                              uint64_t sample, uint8_t* level) {
    return with_capture(capture, [&](const capture_object& c) {
        out(level);
        uint8_t l = 0;
        if (!c.level_at(channel, sample, l)) throw hw::exception(hw::error::invalid_argument);
        *level = l;
    });
}

ohwapi_err_code_t kestrelapi_capture_export(kestrelapi_capture capture, const char* path,
                                            uint64_t channel_mask_lo, uint64_t channel_mask_hi) {
    return export_capture(capture, path, channel_mask_lo, channel_mask_hi, false);
}

ohwapi_err_code_t kestrelapi_capture_export_csv_columns(kestrelapi_capture capture,
                                                        const char* path, uint64_t channel_mask_lo,
                                                        uint64_t channel_mask_hi) {
    return export_capture(capture, path, channel_mask_lo, channel_mask_hi, true);
}

} // extern "C"
