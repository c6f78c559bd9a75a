#pragma once
#include <cstdint>

namespace hw {

// The change masks of a block of 64 records from its planes of changed bits: out[8 p + b]
// gets bit b of planes[p][j] at bit j, for the first `channels` bits (at most 24), and nothing
// past them is written. Done with one affine bit transposition a plane where the processor has
// GFNI and AVX-512 VBMI (unless `affine` is false), else with one AVX-512 test per channel
// where it has AVX-512BW; returns false (and writes nothing) where it has neither, and the
// caller transposes the planes itself.
bool change_masks_wide(const uint8_t (&planes)[3][64], unsigned channels, uint64_t* out,
                       bool affine = true);

} // namespace hw
