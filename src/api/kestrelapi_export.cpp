// Export of a capture to files, channel names and error names.
#include <mutex>
#include <string>
#include <vector>

#include "api/api_handles.h"
#include "api/call.h"
#include "export/error_names.h"
#include "export/output_file.h"
#include "export/writers.h"
#include "hw/exception.h"
#include "kestrelapi.h"

using api_utils::api_handles;
using api_utils::with_handle;

namespace {

constexpr size_t max_name_length = 255;

std::string channel_name(api_handles& h, hw::ich ch) {
    std::lock_guard l(h.names_m);
    const auto n = h.channel_names.find(ch);
    return n != h.channel_names.end() ? n->second : xport::default_name(ch);
}

std::vector<hw::ich> selected(api_handles& h, uint64_t lo, uint64_t hi, hw::ich channels) {
    std::vector<hw::ich> out;
    const bool all = lo == 0 && hi == 0;
    for (hw::ich ch = 0; ch < 128; ++ch) {
        const bool bit = ch < 64 ? (lo >> ch) & 1 : (hi >> (ch - 64)) & 1;
        if (!all && !bit) continue;
        if (ch >= channels) {
            if (all) break;
            h.refuse(hw::error::invalid_argument, "channel mask: channel " + std::to_string(ch) +
                                                      " is outside 0.." +
                                                      std::to_string(channels - 1));
        }
        out.push_back(ch);
    }
    return out;
}

enum class format { vcd, sr, csv, csv_columns };

void export_capture(api_handles& h, const char* path, uint64_t lo, uint64_t hi, format fmt) {
    if (!path || !*path) h.refuse(hw::error::invalid_argument, "path: no file name");
    xport::capture_t cap;
    cap.channels = selected(h, lo, hi, h.caps.channels);
    // A running capture still appends: only a finished (or aborted) one is exported; and
    // no launch clears the stores until this export is done.
    {
        std::lock_guard l(h.export_m);
        if (h.device.capture_in_progress())
            h.refuse(hw::error::busy, "a capture is running: export it once done or aborted");
        ++h.exports_running;
    }
    struct done {
        api_handles& h;
        ~done() {
            std::lock_guard l(h.export_m);
            --h.exports_running;
        }
    } running{h};
    cap.man = &h.trs_man;
    cap.length = h.trs_man.available_samples_count();
    if (cap.length <= 0) h.refuse(hw::error::no_data, "no samples stored");
    cap.period = h.trs_man.get_sampling_period();
    cap.trigger = h.device.capt.trigged ? static_cast<isamp>(h.trig_pos) : -1;
    for (hw::ich ch : cap.channels)
        cap.names.push_back(channel_name(h, ch));
    try {
        switch (fmt) {
        case format::vcd:
            xport::write_vcd(cap, path);
            break;
        case format::sr:
            xport::write_sr(cap, path);
            break;
        case format::csv:
            xport::write_csv(cap, path);
            break;
        case format::csv_columns:
            xport::write_csv_columns(cap, path);
            break;
        }
    } catch (const xport::file_error& e) {
        h.log_fn(std::string("Export failed: ") + e.what());
        h.refuse(hw::error::invalid_argument, e.what());
    }
}

ohwapi_err_code_t export_as(kestrelapi_handle handle, const char* path, uint64_t lo, uint64_t hi,
                            format fmt) {
    return with_handle(handle, [&](api_handles& h) {
        h.explained([&] { export_capture(h, path, lo, hi, fmt); });
    });
}

} // namespace

extern "C" {

ohwapi_err_code_t kestrelapi_export_vcd(kestrelapi_handle handle, const char* path,
                                        uint64_t channel_mask_lo, uint64_t channel_mask_hi) {
    return export_as(handle, path, channel_mask_lo, channel_mask_hi, format::vcd);
}

ohwapi_err_code_t kestrelapi_export_sr(kestrelapi_handle handle, const char* path,
                                       uint64_t channel_mask_lo, uint64_t channel_mask_hi) {
    return export_as(handle, path, channel_mask_lo, channel_mask_hi, format::sr);
}

ohwapi_err_code_t kestrelapi_export_csv(kestrelapi_handle handle, const char* path,
                                        uint64_t channel_mask_lo, uint64_t channel_mask_hi) {
    return export_as(handle, path, channel_mask_lo, channel_mask_hi, format::csv);
}

ohwapi_err_code_t kestrelapi_export_csv_columns(kestrelapi_handle handle, const char* path,
                                                uint64_t channel_mask_lo,
                                                uint64_t channel_mask_hi) {
    return export_as(handle, path, channel_mask_lo, channel_mask_hi, format::csv_columns);
}

ohwapi_err_code_t kestrelapi_set_channel_name(kestrelapi_handle handle, uint8_t channel,
                                              const char* name) {
    return with_handle(handle, [&](api_handles& h) {
        if (channel >= h.caps.channels) throw hw::exception(hw::error::invalid_argument);
        std::string n = name ? name : "";
        // One line of text: names go into line-based headers.
        if (n.size() > max_name_length) throw hw::exception(hw::error::invalid_argument);
        for (char c : n)
            if (static_cast<unsigned char>(c) < ' ' || c == 127)
                throw hw::exception(hw::error::invalid_argument);
        std::lock_guard l(h.names_m);
        if (n.empty())
            h.channel_names.erase(channel);
        else
            h.channel_names[channel] = std::move(n);
    });
}

const char* kestrelapi_error_name(int code) {
    return xport::error_name(code);
}

} // extern "C"
