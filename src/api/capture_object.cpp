#include "api/capture_object.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "api/api_handles.h"
#include "export/output_file.h"
#include "export/writers.h"
#include "hw/exception.h"

namespace api_utils {

namespace {

// Samples beyond the signed range lie beyond every channel's end.
constexpr uint64_t max_sample = static_cast<uint64_t>(std::numeric_limits<isamp>::max());

[[noreturn]] void invalid() {
    throw hw::exception(hw::error::invalid_argument);
}

} // namespace

capture_object::capture_object(std::vector<std::unique_ptr<trs::store>> stores, info_t info)
    : stores_(std::move(stores)), info_(std::move(info)) {
    if (stores_.empty() || stores_.size() > 255)
        throw std::invalid_argument("a capture holds 1..255 channels");
    for (const auto& s : stores_)
        if (!s) throw std::invalid_argument("a capture's channel has no store");
    if (!(info_.period > 0) || !std::isfinite(info_.period))
        throw std::invalid_argument("invalid sampling period");
    info_.names.resize(stores_.size());
    for (size_t ch = 0; ch < stores_.size(); ++ch)
        if (info_.names[ch].empty())
            info_.names[ch] = xport::default_name(static_cast<hw::ich>(ch));
}

std::unique_ptr<capture_object> capture_object::take(api_handles& h) {
    // Under the launch's lock: no capture starts, and no export walks the stores, while
    // they move.
    std::lock_guard l(h.export_m);
    if (h.device.capture_in_progress() || h.exports_running > 0)
        throw hw::exception(hw::error::busy);
    info_t info;
    info.samples = h.trs_man.available_samples_count();
    if (info.samples <= 0) throw hw::exception(hw::error::no_data);
    info.trigger_position = h.trig_pos;
    info.triggered = h.device.capt.trigged;
    info.period = h.trs_man.get_sampling_period();
    {
        std::lock_guard n(h.names_m);
        for (hw::ich ch = 0; ch < h.trs_man.channels_count(); ++ch) {
            const auto it = h.channel_names.find(ch);
            info.names.push_back(it != h.channel_names.end() ? it->second : std::string());
        }
    }
    // The manager's period and channel count always pass the constructor's checks.
    auto c = std::make_unique<capture_object>(h.trs_man.take_stores(), std::move(info));
    h.trig_pos = 0;
    return c;
}

uint64_t capture_object::sampling_freq_hz() const {
    return xport::rate_hz(info_.period);
}

trs::store& capture_object::channel_store(hw::ich ch) const {
    if (ch >= stores_.size()) invalid();
    return *stores_[ch];
}

size_t capture_object::read(hw::ich ch, uint64_t from, uint64_t* samples, uint8_t* levels,
                            size_t capacity) const {
    if (samples == nullptr || levels == nullptr || capacity == 0) invalid();
    trs::store& s = channel_store(ch);
    return from > max_sample ? 0 : s.read(static_cast<isamp>(from), samples, levels, capacity);
}

bool capture_object::level_at(hw::ich ch, uint64_t sample, uint8_t& level) const {
    trs::store& s = channel_store(ch);
    return sample <= max_sample && s.level_at(static_cast<isamp>(sample), level);
}

void capture_object::export_to(const std::string& path, uint64_t lo, uint64_t hi, bool csv_columns,
                               int* system_error) const {
    if (path.empty()) invalid();
    xport::capture_t cap;
    const bool all = lo == 0 && hi == 0;
    for (unsigned ch = 0; ch < 128; ++ch) {
        const bool bit = ch < 64 ? (lo >> ch) & 1 : (hi >> (ch - 64)) & 1;
        if (!all && !bit) continue;
        if (ch >= stores_.size()) {
            if (all) break;
            invalid();
        }
        cap.channels.push_back(static_cast<hw::ich>(ch));
        cap.names.push_back(info_.names[ch]);
    }
    for (const auto& s : stores_)
        cap.stores.push_back(s.get());
    cap.length = info_.samples;
    if (cap.length <= 0) throw hw::exception(hw::error::no_data);
    cap.trigger = info_.triggered ? info_.trigger_position : -1;
    cap.period = info_.period;
    try {
        if (csv_columns)
            xport::write_csv_columns(cap, path);
        else if (!xport::write_by_extension(cap, path))
            invalid();
    } catch (const xport::file_error& e) {
        // The reason ends with the system's text of the error: its number, for the caller.
        const std::string why = e.what();
        for (int n = 1; n < 256 && system_error != nullptr; ++n) {
            const std::string text = std::string(": ") + std::strerror(n);
            if (why.size() >= text.size() &&
                why.compare(why.size() - text.size(), text.size(), text) == 0) {
                *system_error = n;
                break;
            }
        }
        invalid();
    }
}

live_captures& live_captures::instance() {
    // Never destroyed: captures may still be read by threads while the process exits.
    static live_captures* const t = new live_captures;
    return *t;
}

live_captures::lease::~lease() {
    if (c != nullptr) live_captures::instance().release(c);
}

kestrelapi_capture live_captures::add(std::unique_ptr<capture_object> c) {
    const void* key = c.get();
    std::lock_guard l(m);
    live[key].obj = std::move(c);
    return static_cast<kestrelapi_capture>(const_cast<void*>(key));
}

live_captures::lease live_captures::acquire(const void* p) {
    if (p == nullptr) return lease();
    std::lock_guard l(m);
    const auto it = live.find(p);
    if (it == live.end() || it->second.freeing) return lease();
    ++it->second.users;
    return lease(it->second.obj.get());
}

void live_captures::release(const capture_object* c) {
    std::lock_guard l(m);
    const auto it = live.find(c);
    if (it != live.end() && --it->second.users == 0 && it->second.freeing) released.notify_all();
}

bool live_captures::free(const void* p) {
    std::unique_ptr<capture_object> doomed;
    {
        std::unique_lock l(m);
        const auto it = live.find(p);
        if (p == nullptr || it == live.end() || it->second.freeing) return false;
        it->second.freeing = true;
        // The calls in progress hold leases taken before the free; new ones are refused.
        released.wait(l, [&] { return it->second.users == 0; });
        doomed = std::move(it->second.obj);
        live.erase(it);
    }
    return true; // deleted here, outside the lock
}

} // namespace api_utils
