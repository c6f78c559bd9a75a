#pragma once
#include <cstdint>

namespace fxt {

using freq = uint32_t; // Hz
using period = double; // seconds

// Trigger mode of one flexible trigger engine.
enum class mode_t : uint8_t {
    FALLING = 0,
    RISING = 1,
    CHANGE = 2,
    HI_PULSE = 3,
    LO_PULSE = 4,
    MLTI_STEP = 5,
    BUS = 6,
    DECODER = 7,
    TRGBOX = 8,
    EXT_RISING = 9,
    EXT_FALLING = 10,
    NOTRIG = 99,
};

} // namespace fxt
