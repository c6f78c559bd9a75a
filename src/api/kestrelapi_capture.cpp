// Capture launch, flags and the walk over the stored transitions.
#include <cstring>

#include "api/api_handles.h"
#include "api/raw_value.h"
#include "api/trycatch.h"
#include "hw/exception.h"
#include "kestrelapi.h"

using api_utils::api_handles;
using api_utils::trycatch;

using api_utils::raw_value;

namespace {

api_handles& handle_of(kestrelapi_handle h) {
    return *static_cast<api_handles*>(h);
}

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
void launch(api_handles& h, const kestrel::config& cfg) {
    std::string why;
    if (!h.device.is_runnable(cfg, why)) {
        h.log_fn("Configuration refused: " + why);
        h.refuse(hw::error::invalid_configration, "settings refused: " + why);
    }
    h.trig_pos = 0;
    h.device.set_config(cfg);
    h.device.start();
}

// Field by field: the exported record has its own packing.
void copy_out(const trs::tr& t, kestrelapi_trs_t& out) {
    out.value = static_cast<uint8_t>(t.pol);
    out.sampple_index = static_cast<uint64_t>(t.sample);
}

trs::iterator& channel_iterator(kestrelapi_handle handle, uint8_t channel_index) {
    return handle_of(handle).trs_iter.at(channel_index);
}
} // namespace

ohwapi_err_code_t kestrelapi_launch_new_capture_complex_trigger(kestrelapi_handle handle,
                                                                kestrelapi_settings_t settings) {
    auto& h = handle_of(handle);
    return h.explained([&] {
        h.check_ranges(settings);
        launch(h, h.get_cfg(settings));
    });
}

extern "C" {

ohwapi_err_code_t kestrelapi_launch_new_capture_simple_trigger(
    kestrelapi_handle handle, kestrelapi_trigger_description_t trig_a,
    kestrelapi_trigger_description_t trig_b, kestrelapi_settings_t settings) {
    auto& h = handle_of(handle);
    return h.explained([&] {
        check_trigger(h, trig_a, "trig_a");
        check_trigger(h, trig_b, "trig_b");
        h.check_ranges(settings);
        settings.t_clk[0] = 250000000;
        settings.t_clk[1] = 250000000;
        kestrel::config cfg = h.get_cfg(settings);
        auto& trig = cfg.master_group().trigger;
        apply_trigger(trig, 0, trig_a);
        apply_trigger(trig, 1, trig_b);
        trig.order = trig.select_fast[0] && trig.select_fast[1] ? kestrel::trigger_order::a_and_b
                                                                : kestrel::trigger_order::a_or_b;
        launch(h, cfg);
    });
}

ohwapi_err_code_t kestrelapi_request_abort(kestrelapi_handle handle) {
    return trycatch([&] { handle_of(handle).device.abort(); });
}

ohwapi_err_code_t kestrelapi_get_config_done_flag(kestrelapi_handle handle, bool* f) {
    return trycatch([&] { *f = handle_of(handle).device.capt.cfg_done; });
}

ohwapi_err_code_t kestrelapi_get_triggered_flag(kestrelapi_handle handle, bool* f) {
    return trycatch([&] { *f = handle_of(handle).device.capt.trigged; });
}

ohwapi_err_code_t kestrelapi_get_capture_done_flag(kestrelapi_handle handle, bool* f) {
    return trycatch([&] { *f = handle_of(handle).device.capt.done; });
}

ohwapi_err_code_t kestrelapi_get_available_samples(kestrelapi_handle handle,
                                                   int64_t* total_available_samples,
                                                   int64_t* post_trig_samples) {
    return trycatch([&] {
        auto& h = handle_of(handle);
        *total_available_samples = h.trs_man.available_samples_count();
        *post_trig_samples = h.capture.captured_post_trig_depth();
    });
}

ohwapi_err_code_t kestrelapi_get_trigger_position(kestrelapi_handle handle, uint64_t* trig_pos) {
    return trycatch([&] { *trig_pos = static_cast<uint64_t>(handle_of(handle).trig_pos.load()); });
}

ohwapi_err_code_t kestrelapi_trs_reset(kestrelapi_handle handle, uint8_t channel_index) {
    return trycatch([&] { channel_iterator(handle, channel_index).restart(0, 10.0, 0); });
}

ohwapi_err_code_t kestrelapi_trs_before(kestrelapi_handle handle, uint8_t channel_index,
                                        uint64_t target_sample) {
    return trycatch([&] {
        channel_iterator(handle, channel_index).restart(static_cast<isamp>(target_sample), 10.0, 0);
    });
}

ohwapi_err_code_t kestrelapi_trs_get_next(kestrelapi_handle handle, uint8_t channel_index,
                                          kestrelapi_trs_t* transition_data) {
    return trycatch(
        [&] { copy_out(channel_iterator(handle, channel_index).next(), *transition_data); });
}

ohwapi_err_code_t kestrelapi_trs_get_previous(kestrelapi_handle handle, uint8_t channel_index,
                                              kestrelapi_trs_t* transition_data) {
    return trycatch(
        [&] { copy_out(channel_iterator(handle, channel_index).prev(), *transition_data); });
}

ohwapi_err_code_t kestrelapi_trs_is_not_last(kestrelapi_handle handle, uint8_t channel_index,
                                             bool* is_not_last_trs) {
    return trycatch([&] {
        *is_not_last_trs = channel_iterator(handle, channel_index).current_tr_is_not_last();
    });
}

} // extern "C"
