#include "hw/change_masks.h"

#include "hw/direct_batch.h"

#include <array>

namespace hw {
namespace {
// The byte planes of a block's changed-bit words, a byte at a time: where no vector way is.
void planes_plain(const uint32_t* changes, uint8_t (&planes)[3][64]) {
    for (unsigned j = 0; j < 64; ++j) {
        planes[0][j] = static_cast<uint8_t>(changes[j]);
        planes[1][j] = static_cast<uint8_t>(changes[j] >> 8);
        planes[2][j] = static_cast<uint8_t>(changes[j] >> 16);
    }
}
} // namespace
} // namespace hw

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace hw {

namespace {

__attribute__((target("avx512f,avx512bw"))) void masks_avx512(const uint8_t (&planes)[3][64],
                                                              unsigned channels, uint64_t* out) {
    for (unsigned p = 0; p * 8 < channels; ++p) {
        const __m512i v = _mm512_loadu_si512(planes[p]);
        const unsigned bits = channels - 8 * p < 8 ? channels - 8 * p : 8;
        // A plane of quiet channels (most of them on serial lines) costs one test.
        const bool quiet = _mm512_test_epi8_mask(v, v) == 0;
        for (unsigned b = 0; b < bits; ++b)
            out[8 * p + b] =
                quiet ? 0 : _mm512_test_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(1 << b)));
    }
}

// A plane at a time as 8 x 8 bit matrices: each 8-byte word of the plane (8 records, 8
// channels) is transposed by one affine step, which leaves channel b's bits of those 8 records
// in byte b of the word; one byte permutation then gathers channel b's 8 bytes into its mask.
// About four instructions a plane instead of one test and one store per channel.
__attribute__((target("avx512f,avx512bw,avx512vbmi,gfni"))) void
masks_gfni(const uint8_t (&planes)[3][64], unsigned channels, uint64_t* out) {
    // The affine step computes bit j of byte i as the parity of (matrix byte 7 - j) AND
    // (source byte i): with the records as the matrix in reverse order within each word (a byte
    // shuffle within 16-byte lanes, the words being inside them) and
    // byte i of the source 1 << i, that is bit i of record j.
    alignas(64) static constexpr uint8_t reverse[64] = {
        7,  6,  5,  4,  3,  2,  1,  0,  15, 14, 13, 12, 11, 10, 9,  8,  7,  6,  5,  4,  3,  2,
        1,  0,  15, 14, 13, 12, 11, 10, 9,  8,  7,  6,  5,  4,  3,  2,  1,  0,  15, 14, 13, 12,
        11, 10, 9,  8,  7,  6,  5,  4,  3,  2,  1,  0,  15, 14, 13, 12, 11, 10, 9,  8};
    // Byte 8 b + q of the result is byte 8 q + b of the transposed words (the masked form: GCC
    // 12 warns of an uninitialised operand in the unmasked one).
    alignas(64) static constexpr uint8_t gather[64] = {
        0,  8,  16, 24, 32, 40, 48, 56, 1,  9,  17, 25, 33, 41, 49, 57, 2,  10, 18, 26, 34, 42,
        50, 58, 3,  11, 19, 27, 35, 43, 51, 59, 4,  12, 20, 28, 36, 44, 52, 60, 5,  13, 21, 29,
        37, 45, 53, 61, 6,  14, 22, 30, 38, 46, 54, 62, 7,  15, 23, 31, 39, 47, 55, 63};
    const __m512i rev = _mm512_load_si512(reverse);
    const __m512i gat = _mm512_load_si512(gather);
    const __m512i unit = _mm512_set1_epi64(static_cast<long long>(0x8040201008040201ull));
    for (unsigned p = 0; p * 8 < channels; ++p) {
        const __m512i v = _mm512_shuffle_epi8(_mm512_loadu_si512(planes[p]), rev);
        const __m512i t = _mm512_gf2p8affine_epi64_epi8(unit, v, 0);
        const unsigned bits = channels - 8 * p < 8 ? channels - 8 * p : 8;
        // Nothing is written past the group's channels: the next block's masks follow.
        _mm512_mask_storeu_epi64(out + 8 * p, static_cast<__mmask8>((1u << bits) - 1),
                                 _mm512_maskz_permutexvar_epi8(~__mmask64{0}, gat, t));
    }
}

__attribute__((target("avx512f"))) size_t take_avx512(const uint8_t* rec, size_t n, uint64_t mask,
                                                      int64_t depth, bool follow_oci,
                                                      unsigned oci_pos, bool oci, int64_t* times,
                                                      uint8_t* planes, int64_t& total,
                                                      uint64_t& last) {
    const __m512i even = _mm512_set_epi64(14, 12, 10, 8, 6, 4, 2, 0);
    const __m512i odd = _mm512_set_epi64(15, 13, 11, 9, 7, 5, 3, 1);
    const __m512i vmask = _mm512_set1_epi64(static_cast<long long>(mask));
    const __m512i count_bits = _mm512_set1_epi64(0xFFFFFFFF);
    const __m512i oci_bit =
        _mm512_set1_epi64(static_cast<long long>(follow_oci ? uint64_t{1} << oci_pos : 0));
    const __m512i zero = _mm512_setzero_si512();
    const __mmask8 oci_now = oci ? 0xFF : 0;
    // (Masked forms throughout: GCC 12 warns of an uninitialised operand in the plain ones.)
    // Lane 7 of `prev` is the levels before the next eight records.
    __m512i prev = _mm512_set1_epi64(static_cast<long long>(last));
    int64_t t = total;
    size_t k = 0;
    for (; k + 8 <= n; k += 8, rec += 128) {
        const __m512i a = _mm512_loadu_si512(rec);
        const __m512i b = _mm512_loadu_si512(rec + 64);
        const __m512i levels = _mm512_permutex2var_epi64(a, even, b);
        // The counts' running sums in three steps of lanes shifted in from zero.
        __m512i x = _mm512_and_si512(_mm512_permutex2var_epi64(a, odd, b), count_bits);
        x = _mm512_add_epi64(x, _mm512_maskz_alignr_epi64(0xFF, x, zero, 7));
        x = _mm512_add_epi64(x, _mm512_maskz_alignr_epi64(0xFF, x, zero, 6));
        x = _mm512_add_epi64(x, _mm512_maskz_alignr_epi64(0xFF, x, zero, 4));
        const int64_t sum = _mm_extract_epi64(_mm512_maskz_extracti32x4_epi32(0xF, x, 3), 1);
        if (t + sum >= depth) break;
        if (follow_oci && _mm512_test_epi64_mask(levels, oci_bit) != oci_now) break;
        _mm512_storeu_si512(times + k, _mm512_add_epi64(x, _mm512_set1_epi64(t)));
        t += sum;
        const __m512i cur = _mm512_and_si512(levels, vmask);
        // Each record against the one before: lane 0 against lane 7 of the last eight.
        const __m512i d = _mm512_xor_si512(cur, _mm512_maskz_alignr_epi64(0xFF, cur, prev, 7));
        prev = cur;
        _mm512_mask_cvtepi64_storeu_epi8(planes + k, 0xFF, d);
        _mm512_mask_cvtepi64_storeu_epi8(planes + 64 + k, 0xFF,
                                         _mm512_maskz_srli_epi64(0xFF, d, 8));
        _mm512_mask_cvtepi64_storeu_epi8(planes + 128 + k, 0xFF,
                                         _mm512_maskz_srli_epi64(0xFF, d, 16));
    }
    total = t;
    last =
        static_cast<uint64_t>(_mm_extract_epi64(_mm512_maskz_extracti32x4_epi32(0xF, prev, 3), 1));
    return k;
}

// The same from a block's changed-bit words (record j's in word j) without the planes going
// through memory, where the stores of the words or planes just made would stall their loads:
// each plane's bytes gathered from the four vectors of words by two byte permutations, in the
// order within each 8-byte word the affine step wants.
__attribute__((target("avx512f,avx512bw,avx512vbmi,gfni"))) void
words_gfni(const uint32_t* changes, unsigned channels, uint64_t* out) {
    // Byte j of plane p's permuted form is byte p of word r(j) of two vectors of words (the
    // first 32 records, or the last 32 for j of 32 and on), r reversing j within its 8 bytes.
    alignas(64) static constexpr auto pick = [] {
        std::array<std::array<uint8_t, 64>, 3> t{};
        for (unsigned p = 0; p < 3; ++p)
            for (unsigned j = 0; j < 64; ++j)
                t[p][j] = static_cast<uint8_t>(4 * (((j & ~7u) | (7 - (j & 7))) & 31) + p);
        return t;
    }();
    alignas(64) static constexpr uint8_t gather[64] = {
        0,  8,  16, 24, 32, 40, 48, 56, 1,  9,  17, 25, 33, 41, 49, 57, 2,  10, 18, 26, 34, 42,
        50, 58, 3,  11, 19, 27, 35, 43, 51, 59, 4,  12, 20, 28, 36, 44, 52, 60, 5,  13, 21, 29,
        37, 45, 53, 61, 6,  14, 22, 30, 38, 46, 54, 62, 7,  15, 23, 31, 39, 47, 55, 63};
    const __m512i gat = _mm512_load_si512(gather);
    const __m512i unit = _mm512_set1_epi64(static_cast<long long>(0x8040201008040201ull));
    const __m512i c0 = _mm512_loadu_si512(changes);
    const __m512i c1 = _mm512_loadu_si512(changes + 16);
    const __m512i c2 = _mm512_loadu_si512(changes + 32);
    const __m512i c3 = _mm512_loadu_si512(changes + 48);
    for (unsigned p = 0; p * 8 < channels; ++p) {
        const __m512i idx = _mm512_load_si512(pick[p].data());
        const __m512i v =
            _mm512_mask_blend_epi8(0xFFFFFFFF00000000ull, _mm512_permutex2var_epi8(c0, idx, c1),
                                   _mm512_permutex2var_epi8(c2, idx, c3));
        const __m512i t = _mm512_gf2p8affine_epi64_epi8(unit, v, 0);
        const unsigned bits = channels - 8 * p < 8 ? channels - 8 * p : 8;
        _mm512_mask_storeu_epi64(out + 8 * p, static_cast<__mmask8>((1u << bits) - 1),
                                 _mm512_maskz_permutexvar_epi8(~__mmask64{0}, gat, t));
    }
}

__attribute__((target("avx512f"))) void planes_avx512(const uint32_t* changes,
                                                      uint8_t (&planes)[3][64]) {
    // (Masked forms: GCC 12 warns of an uninitialised operand in the plain ones.)
    for (unsigned q = 0; q < 4; ++q) {
        const __m512i c = _mm512_loadu_si512(changes + 16 * q);
        _mm512_mask_cvtepi32_storeu_epi8(planes[0] + 16 * q, 0xFFFF, c);
        _mm512_mask_cvtepi32_storeu_epi8(planes[1] + 16 * q, 0xFFFF,
                                         _mm512_maskz_srli_epi32(0xFFFF, c, 8));
        _mm512_mask_cvtepi32_storeu_epi8(planes[2] + 16 * q, 0xFFFF,
                                         _mm512_maskz_srli_epi32(0xFFFF, c, 16));
    }
}

enum class way { plain, tests, affine };

const way wide = [] {
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx512f") || !__builtin_cpu_supports("avx512bw"))
        return way::plain;
    if (__builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("gfni")) return way::affine;
    return way::tests;
}();

} // namespace

bool change_masks_wide(const uint8_t (&planes)[3][64], unsigned channels, uint64_t* out,
                       bool affine) {
    switch (affine || wide != way::affine ? wide : way::tests) {
    case way::plain:
        return false;
    case way::tests:
        masks_avx512(planes, channels, out);
        return true;
    case way::affine:
        masks_gfni(planes, channels, out);
        return true;
    }
    return false;
}

size_t take_records_wide(const void* records, size_t n, uint64_t mask, int64_t depth,
                         bool follow_oci, unsigned oci_pos, bool oci, int64_t* times,
                         uint8_t* planes, int64_t& total, uint64_t& last) {
    if (wide == way::plain || n < 8) return 0;
    return take_avx512(static_cast<const uint8_t*>(records), n, mask, depth,
                       follow_oci && oci_pos < 64, oci_pos, oci, times, planes, total, last);
}

bool change_masks_of_words(const uint32_t* changes, unsigned channels, uint64_t* out) {
    if (wide != way::affine) return false;
    words_gfni(changes, channels, out);
    return true;
}

void planes_of_changes(const uint32_t* changes, uint8_t (&planes)[3][64]) {
    if (wide == way::plain) return planes_plain(changes, planes);
    planes_avx512(changes, planes);
}

} // namespace hw

#else

namespace hw {
bool change_masks_wide(const uint8_t (&)[3][64], unsigned, uint64_t*, bool) {
    return false;
}
size_t take_records_wide(const void*, size_t, uint64_t, int64_t, bool, unsigned, bool, int64_t*,
                         uint8_t*, int64_t&, uint64_t&) {
    return 0;
}
bool change_masks_of_words(const uint32_t*, unsigned, uint64_t*) {
    return false;
}
void planes_of_changes(const uint32_t* changes, uint8_t (&planes)[3][64]) {
    planes_plain(changes, planes);
}
} // namespace hw

#endif
