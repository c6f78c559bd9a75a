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

const bool wide = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}();

} // namespace

bool change_masks_wide(const uint8_t (&planes)[3][64], unsigned channels, uint64_t* out) {
    if (!wide) return false;
    masks_avx512(planes, channels, out);
    return true;
}

} // namespace hw

#else

namespace hw {
bool change_masks_wide(const uint8_t (&)[3][64], unsigned, uint64_t*) {
    return false;
}
} // namespace hw

#endif
