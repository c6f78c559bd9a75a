#pragma once
#include <bitset>
#include <cstddef>
#include <cstdint>

#include "hw/types.h"

namespace oci {

// Two bits of a device word.
enum class command : uint8_t { puthold = 0, loop = 1, end = 2, rfu_pause = 3 };

// One step of an output program, as an application composes it: levels of every natural
// channel held for a number of output clock periods, or a loop closing, or the end.
struct word {
    static constexpr uint8_t no_loop = 3;

    command cmd = command::puthold;
    isamp hold = 0;
    // `hold` counts in units of 2^lsb_count periods (the engine's long-hold form).
    bool long_hold = false;
    std::bitset<128> bits;
    // no_loop, or the loop level that opens at this word.
    uint8_t loop_marker = no_loop;
    // Repetitions of a loop word; 0 repeats for ever.
    size_t loop_count = 0;

    isamp get_hold(uint8_t lsb_count) const { return long_hold ? hold << lsb_count : hold; }
};

} // namespace oci
