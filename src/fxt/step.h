#pragma once
#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fxt/bytes.h"
#include "fxt/mode.h"

namespace fxt {

// Condition of one channel in a trigger step.
enum class event_t : uint8_t {
    DONT_CARE = 0,
    LVL_1 = 1,
    LVL_0 = 2,
    CHNG = 3,
    RIZE = 4,
    FALL = 5,
    PULSE_1 = 6,
    PULSE_0 = 7,
};

constexpr bool is_evt(event_t e) {
    return static_cast<uint8_t>(e) >= 3 && static_cast<uint8_t>(e) <= 7;
}
constexpr bool is_level(event_t e) {
    return e == event_t::LVL_1 || e == event_t::LVL_0;
}

// Conditions a step carries, one per channel index, whatever the model's channel count.
inline constexpr size_t n_conditions = 128;

using evt_mask = std::bitset<n_conditions>;

// One step of a user-level trigger program.
struct step_t {
    std::array<event_t, n_conditions> bit_event_type{};
    period t_max = 0;
    period t_min = 0;
    bool ignore_tmin = true;
    bool ignore_tmax = true;
    bool delay_only_element = false;
    bool dont_wait_for_change = false;
    bool dont_reset_time = false;
    bool logic_change_only = false;
    std::string str_description; // never sent to the device

    bool has_level() const;
    // Lowest channel holding an event, or -1.
    int get_evt_channel() const;
    bool has_event() const { return get_evt_channel() >= 0; }
    evt_mask get_evt_mask() const;
    void invert_level();

    // Time bounds cleared, no timer or change flags.
    void clear_timing();

    // Record form: marker, conditions, t_max, t_min, six flag bytes.
    static constexpr uint8_t record_marker = 2;
    static constexpr size_t record_size = 151;
    void push_to_vector(bytes& dest) const;
    // Reads one record at index. A truncated or malformed record throws
    // hw::exception(invalid_argument) and leaves the step and index unchanged.
    void pull_from_vector(const bytes& src, size_t& index);
};

} // namespace fxt
