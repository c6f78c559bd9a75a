#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "oci/word.h"

namespace oci {

// What the fields of a device word carry.
inline constexpr isamp max_hold = 0x1FF;             // 9 bits, in periods or long-hold units
inline constexpr size_t max_loop_count = 0x0FFFFFFF; // 28 bits

// Empty when the engines run the program as written; otherwise why it is refused: a hold
// or a loop count beyond its field, an unknown command, loops nested deeper than
// max_levels, a loop opened and never closed, or a loop word with no loop open that is
// not the program's last (one closing the whole program repeats it from the start). Words
// after the first end are checked for their fields only: they are loaded, never run.
std::string malformed(const std::vector<word>& words, size_t max_levels);

} // namespace oci
