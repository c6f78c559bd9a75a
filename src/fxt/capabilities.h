#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fxt/mode.h"
#include "hw/model.h"

namespace fxt {

// Position of one field inside a 64-bit trigger step word.
struct reg {
    uint8_t bit_pos;
    uint8_t width;

    // The field's bits, in place.
    uint64_t mask() const { return (width >= 64 ? ~0ULL : ((1ULL << width) - 1)) << bit_pos; }
};

// Where each field of a trigger step word lies.
struct map {
    reg ignore_tmin;
    reg ignore_tmax;
    reg tmin;
    reg tmax;
    reg check_logic_change_only;
    reg dont_reset_time;
    reg dont_wait_for_change;
    reg static_value;
    reg mask;
};

// Limits of one flexible trigger engine of a model; each trigger core keeps a copy.
struct capabilities {
    // Throws hw::exception(not_supported) for a model without a trigger engine.
    explicit capabilities(hw::model_t model);

    uint8_t delta_time_bits;
    uint8_t clk_div_bits;
    freq max_clk;
    freq min_clk;
    uint8_t n_channels;
    uint8_t n_channels_per_engine;
    uint16_t max_steps;
    std::vector<mode_t> supported_modes;
    map trig_word_map;
    bool use_fast_mode;

    bool supports(mode_t m) const;

    // Longest program one engine can load: the configuration carries the word count in 8
    // bits, so a 256th word would make the count 0 (an engine that is off).
    size_t max_program_words() const { return max_steps < 255 ? max_steps : 255; }
};

} // namespace fxt
