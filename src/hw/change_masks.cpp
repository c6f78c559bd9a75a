#include "hw/change_masks.h"

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

} // namespace hw

#else

namespace hw {
bool change_masks_wide(const uint8_t (&)[3][64], unsigned, uint64_t*, bool) {
    return false;
}
} // namespace hw

#endif
