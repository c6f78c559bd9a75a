// Capture launch, flags and the walk over the stored transitions.
#include <cstring>
#include <limits>

#include "api/api_handles.h"
#include "api/call.h"
#include "api/raw_value.h"
#include "hw/exception.h"
#include "kestrelapi.h"

using api_utils::api_handles;
using api_utils::index;
using api_utils::out;
using api_utils::with_handle;

using api_utils::raw_value;

namespace {

void check_trigger(api_handles& h, const kestrelapi_trigger_description_t& t, const char* slot) {
    const int type = raw_value(t.type);
    if (type != KESTRELAPI_TRG_FALLING && type != KESTRELAPI_TRG_RISING &&
        type != KESTRELAPI_TRG_CHANGE)
        return; // NOTRIG and the external types ignore the channel
    const std::string field = std::string(slot) + ".channel = " + std::to_string(t.channel);
    if (t.channel < -1 || t.channel > 17)
        h.refuse(hw::error::invalid_argument,
                 field + " is outside 0..17 (-1, any channel, for a change trigger)");
    if (t.channel == -1 && type != KESTRELAPI_TRG_CHANGE)
        h.refuse(hw::error::invalid_argument, field + ": an edge trigger needs a channel 0..17");
}

void apply_trigger(kestrel::config::group_t::trig_t& trig, size_t slot,
                   const kestrelapi_trigger_description_t& t) {
    const int type = raw_value(t.type);
    const uint32_t bit = uint32_t{1} << (static_cast<uint32_t>(t.channel) % 32);
    auto& fast = trig.fast[slot];
    switch (type) {
    case KESTRELAPI_TRG_NOTRIG:
        trig.select_fast[slot] = false;
        break;
    case KESTRELAPI_TRG_FALLING:
    case KESTRELAPI_TRG_RISING:
        trig.select_fast[slot] = true;
        fast.mask = ~bit;
        fast.level = type == KESTRELAPI_TRG_RISING ? bit : 0;
        fast.skip_level = false;
        fast.skip_change = false;
        break;
    case KESTRELAPI_TRG_CHANGE:
        trig.select_fast[slot] = true;
        fast.mask = t.channel == -1 ? 0 : ~bit;
        fast.level = 0;
        fast.skip_level = true;
        fast.skip_change = false;
        break;
    case KESTRELAPI_TRG_EXT_FALLING:
    case KESTRELAPI_TRG_EXT_RISING:
        trig.select_fast[slot] = true;
        fast.ext_enable = true;
        fast.ext_in_pol = (type & 16) != 0;
        fast.mask = 0xFFFFFFFF;
        fast.level = 0;
        fast.skip_level = false;
        fast.skip_change = false;
        break;
    default:
        break; // unknown types leave the slot as it was
    }
}

// Refused before anything changes: flags, stored error and trigger position stay.
// `programmed` runs the engines' trigger programs instead of the simple triggers.
void launch(api_handles& h, const kestrel::config& cfg, bool programmed = false) {
    std::string why;
    if (!h.device.is_runnable(cfg, why, programmed)) {
        h.log_fn("Configuration refused: " + why);
        h.refuse(hw::error::invalid_configration, "settings refused: " + why);
    }
    // The stores an export walks are cleared by the launch.
    std::lock_guard l(h.export_m);
    if (h.exports_running > 0) throw hw::exception(hw::error::busy);
    // A capture under way keeps its settings, its stores and its flags: a second one
    // would reset them while the first still streams.
    if (h.device.capture_in_progress())
        h.refuse(hw::error::busy, "a capture is running: abort it or wait until it is done");
    h.trig_pos = 0;
    if (programmed)
        h.device.set_config_programmed(cfg);
    else
        h.device.set_config(cfg);
    h.device.start();
}

// Field by field: the exported record has its own packing.
void copy_out(const trs::tr& t, kestrelapi_trs_t& out) {
    out.value = static_cast<uint8_t>(t.pol);
    out.sampple_index = static_cast<uint64_t>(t.sample);
}

trs::iterator& channel_iterator(api_handles& h, uint8_t channel_index) {
    return index(h.trs_iter, channel_index);
}

// The manager of a bulk read, once its channel is known to exist.
trs::manager& checked_manager(api_handles& h, uint8_t channel_index) {
    auto& man = h.trs_man;
    if (channel_index >= man.channels_count()) throw hw::exception(hw::error::invalid_argument);
    return man;
}

// Samples beyond the signed range lie beyond every channel's end.
constexpr uint64_t max_sample = static_cast<uint64_t>(std::numeric_limits<isamp>::max());
} // namespace

extern "C" ohwapi_err_code_t
kestrelapi_launch_new_capture_programmed(kestrelapi_handle handle, kestrelapi_settings_t settings) {
    return with_handle(handle, [&](api_handles& h) {
        h.explained([&] {
            h.check_ranges(settings);
            // The capture ends once its post-trigger samples are in: without any it would end
            // at the trigger, empty, instead of keeping its depth before it.
            if (settings.post_trig_depth == 0)
                h.refuse(hw::error::invalid_configration,
                         "settings: post_trig_depth = 0 is outside 1.." +
                             std::to_string(settings.sampling_depth) +
                             " samples (a programmed capture keeps samples after its trigger)");
            kestrel::config cfg = h.get_cfg(settings);
            // The order belongs to the master group, whichever entry of the vector it is.
            cfg.master_group().trigger.order =
                static_cast<kestrel::trigger_order>(settings.trig_order);
            launch(h, cfg, true);
        });
    });
}

ohwapi_err_code_t kestrelapi_launch_new_capture_complex_trigger(kestrelapi_handle handle,
                                                                kestrelapi_settings_t settings) {
    return with_handle(handle, [&](api_handles& h) {
        h.explained([&] {
            h.check_ranges(settings);
            launch(h, h.get_cfg(settings));
        });
    });
}

extern "C" {

ohwapi_err_code_t kestrelapi_launch_new_capture_simple_trigger(
    kestrelapi_handle handle, kestrelapi_trigger_description_t trig_a,
    kestrelapi_trigger_description_t trig_b, kestrelapi_settings_t settings) {
    return with_handle(handle, [&](api_handles& h) {
        h.explained([&] {
            check_trigger(h, trig_a, "trig_a");
            check_trigger(h, trig_b, "trig_b");
            h.check_ranges(settings);
            settings.t_clk[0] = 250000000;
            settings.t_clk[1] = 250000000;
            kestrel::config cfg = h.get_cfg(settings);
            auto& trig = cfg.master_group().trigger;
            apply_trigger(trig, 0, trig_a);
            apply_trigger(trig, 1, trig_b);
            trig.order = trig.select_fast[0] && trig.select_fast[1]
                             ? kestrel::trigger_order::a_and_b
                             : kestrel::trigger_order::a_or_b;
            launch(h, cfg);
        });
    });
}

ohwapi_err_code_t kestrelapi_request_abort(kestrelapi_handle handle) {
    return with_handle(handle, [&](api_handles& h) { h.device.abort(); });
}

ohwapi_err_code_t kestrelapi_get_config_done_flag(kestrelapi_handle handle, bool* f) {
    return with_handle(handle, [&](api_handles& h) { out(f) = h.device.capt.cfg_done; });
}

ohwapi_err_code_t kestrelapi_get_triggered_flag(kestrelapi_handle handle, bool* f) {
    return with_handle(handle, [&](api_handles& h) { out(f) = h.device.capt.trigged; });
}

ohwapi_err_code_t kestrelapi_get_capture_done_flag(kestrelapi_handle handle, bool* f) {
    return with_handle(handle, [&](api_handles& h) { out(f) = h.device.capt.done; });
}

ohwapi_err_code_t kestrelapi_get_available_samples(kestrelapi_handle handle,
                                                   int64_t* total_available_samples,
                                                   int64_t* post_trig_samples) {
    return with_handle(handle, [&](api_handles& h) {
        out(post_trig_samples);
        out(total_available_samples) = h.trs_man.available_samples_count();
        *post_trig_samples = h.capture.captured_post_trig_depth();
    });
}

ohwapi_err_code_t kestrelapi_get_trigger_position(kestrelapi_handle handle, uint64_t* trig_pos) {
    return with_handle(
        handle, [&](api_handles& h) { out(trig_pos) = static_cast<uint64_t>(h.trig_pos.load()); });
}

ohwapi_err_code_t kestrelapi_trs_reset(kestrelapi_handle handle, uint8_t channel_index) {
    return with_handle(
        handle, [&](api_handles& h) { channel_iterator(h, channel_index).restart(0, 10.0, 0); });
}

ohwapi_err_code_t kestrelapi_trs_before(kestrelapi_handle handle, uint8_t channel_index,
                                        uint64_t target_sample) {
    return with_handle(handle, [&](api_handles& h) {
        channel_iterator(h, channel_index).restart(static_cast<isamp>(target_sample), 10.0, 0);
    });
}

ohwapi_err_code_t kestrelapi_trs_get_next(kestrelapi_handle handle, uint8_t channel_index,
                                          kestrelapi_trs_t* transition_data) {
    return with_handle(handle, [&](api_handles& h) {
        out(transition_data);
        copy_out(channel_iterator(h, channel_index).next(), *transition_data);
    });
}

ohwapi_err_code_t kestrelapi_trs_get_previous(kestrelapi_handle handle, uint8_t channel_index,
                                              kestrelapi_trs_t* transition_data) {
    return with_handle(handle, [&](api_handles& h) {
        out(transition_data);
        copy_out(channel_iterator(h, channel_index).prev(), *transition_data);
    });
}

ohwapi_err_code_t kestrelapi_trs_is_not_last(kestrelapi_handle handle, uint8_t channel_index,
                                             bool* is_not_last_trs) {
    return with_handle(handle, [&](api_handles& h) {
        out(is_not_last_trs) = channel_iterator(h, channel_index).current_tr_is_not_last();
    });
}

ohwapi_err_code_t kestrelapi_trs_read(kestrelapi_handle handle, uint8_t channel_index,
                                      uint64_t from_sample, uint64_t* samples, uint8_t* levels,
                                      uint32_t capacity, uint32_t* count) {
    return with_handle(handle, [&](api_handles& h) {
        if (samples == nullptr || levels == nullptr || count == nullptr || capacity == 0)
            throw hw::exception(hw::error::invalid_argument);
        auto& man = checked_manager(h, channel_index);
        *count =
            from_sample > max_sample
                ? 0
                : static_cast<uint32_t>(man.read(channel_index, static_cast<isamp>(from_sample),
                                                 samples, levels, capacity));
    });
}

ohwapi_err_code_t kestrelapi_trs_level_at(kestrelapi_handle handle, uint8_t channel_index,
                                          uint64_t sample, uint8_t* level) {
    return with_handle(handle, [&](api_handles& h) {
        if (level == nullptr) throw hw::exception(hw::error::invalid_argument);
        auto& man = checked_manager(h, channel_index);
        uint8_t l = 0;
        if (sample > max_sample || !man.level_at(channel_index, static_cast<isamp>(sample), l))
            throw hw::exception(hw::error::invalid_argument);
        *level = l;
    });
}

} // extern "C"
