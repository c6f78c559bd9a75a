#pragma once
#include <cstddef>
#include <cstdint>

// Sample index or count from the start of a capture.
using isamp = int64_t;

namespace hw {

using ich = std::size_t; // channel index or count
using period = double;   // seconds per sample
using freq = uint32_t;   // Hz
using millivolts = uint16_t;

} // namespace hw
