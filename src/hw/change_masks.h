#pragma once
#include <cstdint>

namespace hw {

// The change masks of a block of 64 records from its planes of changed bits: out[8 p + b]
// gets bit b of planes[p][j] at bit j, for the first `channels` bits (at most 24). Done with
// one AVX-512 test per channel where the processor has AVX-512BW; returns false (and writes
// nothing) where it has not, and the caller transposes the planes itself.
bool change_masks_wide(const uint8_t (&planes)[3][64], unsigned channels, uint64_t* out);

} // namespace hw
