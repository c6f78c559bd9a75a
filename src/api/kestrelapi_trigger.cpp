// Trigger programs: compiling them for the engines, describing them, and the launch that
// runs them.
#include <algorithm>
#include <cstring>
#include <string>

#include "api/api_handles.h"
#include "api/call.h"
#include "fxt/program.h"
#include "hw/exception.h"
#include "kestrelapi.h"

using api_utils::api_handles;
using api_utils::with_handle;

namespace {

// NUL-terminated and cut to size; nothing when there is no room at all.
void copy_text(const std::string& text, char* out, uint32_t size) {
    if (out == nullptr || size == 0) return;
    const size_t n = std::min<size_t>(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

size_t engine_index(uint8_t engine) {
    if (engine > 1) throw hw::exception(hw::error::invalid_argument);
    return engine;
}

} // namespace

extern "C" {

ohwapi_err_code_t kestrelapi_set_trigger_program(kestrelapi_handle handle, uint8_t engine,
                                                 const char* program, char* message,
                                                 uint32_t message_size) {
    std::string why;
    const ohwapi_err_code_t rc = with_handle(handle, [&](api_handles& h) {
        if (engine > 1) {
            why = "engine " + std::to_string(engine) + " does not exist: 0 is A, 1 is B";
            throw hw::exception(hw::error::invalid_argument);
        }
        try {
            fxt::program p = fxt::program::compile(program ? program : "",
                                                   h.device.trigger_engines[engine].my_caps);
            h.device.set_trigger_program(engine, std::move(p));
        } catch (const fxt::program_error& e) {
            why = e.what();
            throw hw::exception(hw::error::invalid_argument);
        }
    });
    copy_text(why, message, message_size);
    return rc;
}

ohwapi_err_code_t kestrelapi_describe_trigger_program(kestrelapi_handle handle, uint8_t engine,
                                                      char* text, uint32_t text_size) {
    return with_handle(handle, [&](api_handles& h) {
        const size_t e = engine_index(engine);
        if (text == nullptr || text_size == 0) throw hw::exception(hw::error::invalid_argument);
        copy_text(h.device.trigger_program(e).describe(), text, text_size);
    });
}

} // extern "C"
