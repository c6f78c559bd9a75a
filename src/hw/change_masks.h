#pragma once
#include <cstddef>
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

// The batch's pass over 16-byte records (the levels, then the 32-bit count) eight at a time,
// where the processor has AVX-512: for each record, its time (`total` plus the counts up to
// and including it) into times[j] and the bits of `mask` that changed from the record before
// (`last` before the first) into planes[j], planes[64 + j] and planes[128 + j], one byte each.
// Stops before the first eight records that would reach `depth` or, with `follow_oci`, that
// change bit `oci_pos` from `oci`: the plain pass takes those. Returns how many records it took
// (a multiple of 8, at most n) and leaves `total` and `last` after them; takes none where the
// processor lacks AVX-512.
size_t take_records_wide(const void* records, size_t n, uint64_t mask, int64_t depth,
                         bool follow_oci, unsigned oci_pos, bool oci, int64_t* times,
                         uint8_t* planes, int64_t& total, uint64_t& last);

} // namespace hw
