// Runs of toggles encoded several records at a time in vector registers. The build assumes
// only what every x86-64 processor has, so the way is chosen when the program starts.
#include "trs/store.h"

#include <array>
#include <bit>

#if defined(__x86_64__) || defined(__i386__)
#define TRS_WIDE_TOGGLES 1
#include <immintrin.h>
#else
#define TRS_WIDE_TOGGLES 0
#endif

namespace trs {

#if TRS_WIDE_TOGGLES
namespace {

// For each byte of a mask, the byte shuffle that moves the 16-bit words of its set bits to
// the front, lowest first, and zeroes the rest.
struct gather_table {
    alignas(16) uint8_t ctl[256][16];
};
constexpr gather_table make_gather_table() {
    gather_table t{};
    for (unsigned m = 0; m < 256; ++m) {
        unsigned out = 0;
        for (unsigned b = 0; b < 8; ++b)
            if ((m >> b) & 1) {
                t.ctl[m][2 * out] = static_cast<uint8_t>(2 * b);
                t.ctl[m][2 * out + 1] = static_cast<uint8_t>(2 * b + 1);
                ++out;
            }
        for (unsigned k = 2 * out; k < 16; ++k)
            t.ctl[m][k] = 0x80;
    }
    return t;
}
constexpr gather_table gather = make_gather_table();

// A change as one little-endian 16-bit word: the offset's low six bits at bits 2..7 of the
// first slice and its next six at bits 2..7 of the second, the level at bit 1 of both, the
// first slice's extension bit where there is a second one. Changes alternate the level, so
// the words of changes in a row take their level bits from one of two patterns, chosen by
// the level before the first; the eight-record way also sets every extension bit.
alignas(16) constexpr uint16_t two_slice_levels[2][8] = {
    {0x0203, 0x0001, 0x0203, 0x0001, 0x0203, 0x0001, 0x0203, 0x0001},
    {0x0001, 0x0203, 0x0001, 0x0203, 0x0001, 0x0203, 0x0001, 0x0203},
};

} // namespace

// Eight records at a time: the changes of each byte of the mask gathered by a table and
// stored as two slices each, the words after them overwritten by the next eight records'.
// Each eight records' place and first level follow from the changes before them alone, so
// the eight steps do not wait for each other.
__attribute__((target("ssse3,popcnt"))) uint8_t
store::writer::append_eight_records(const isamp* times, const uint16_t* low, uint64_t toggles,
                                    uint8_t level) {
    const auto count = static_cast<int>(__builtin_popcountll(toggles));
    // A run of a few changes goes one change at a time: eight records at a time cost the
    // same for any number of changes.
    if (count < eight_records_min || c.empty) return append_toggles(times, toggles, level);
    const int last = 63 - std::countl_zero(toggles);
    const isamp s0 = times[std::countr_zero(toggles)];
    // Every change takes two slices, and the chunk has room for all of them and for the whole
    // 16-byte store of the last eight records.
    if (s0 < c.n || s0 - c.ref < 64 || times[last] - c.ref >= 4096 || c.end - c.p < 2 * count + 16)
        return append_toggles(times, toggles, level);
    slice* const p = c.p;
    const bool lv = level != 0;
    // Offsets below 4096 follow from the low 16 bits of the times.
    const __m128i ref = _mm_set1_epi16(static_cast<short>(static_cast<uint16_t>(c.ref)));
    const __m128i low_six = _mm_set1_epi16(0x00FC);
    const __m128i high_six = _mm_set1_epi16(static_cast<short>(0xFC00));
#pragma GCC unroll 8
    for (int at = 0; at < 64; at += 8) {
        const auto before =
            static_cast<unsigned>(__builtin_popcountll(toggles & ((uint64_t{1} << at) - 1)));
        const auto byte = static_cast<unsigned>(toggles >> at) & 0xFFu;
        const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(low + at));
        const __m128i d = _mm_sub_epi16(
            _mm_shuffle_epi8(t, _mm_load_si128(reinterpret_cast<const __m128i*>(gather.ctl[byte]))),
            ref);
        const __m128i lvw = _mm_load_si128(reinterpret_cast<const __m128i*>(
            two_slice_levels[static_cast<unsigned>(lv) ^ (before & 1)]));
        const __m128i words =
            _mm_or_si128(_mm_or_si128(_mm_and_si128(_mm_slli_epi16(d, 2), low_six),
                                      _mm_and_si128(_mm_slli_epi16(d, 4), high_six)),
                         lvw);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 2 * before), words);
    }
    c.p = p + 2 * count;
    c.n = times[last];
    c.level = lv != ((count & 1) != 0);
    return static_cast<uint8_t>(c.level);
}

namespace {

// The words of two-slice changes in a row, bit 1 of both slices of every other word from the
// first and the first slice's extension bit in all: from level 0 (the first change goes to 1)
// and from level 1.
struct two_slice_rows {
    alignas(64) uint16_t w[2][32];
};
constexpr two_slice_rows make_two_slice_rows() {
    two_slice_rows r{};
    for (unsigned from = 0; from < 2; ++from)
        for (unsigned i = 0; i < 32; ++i)
            r.w[from][i] = static_cast<uint16_t>((i & 1) == from ? 0x0203 : 0x0001);
    return r;
}
constexpr two_slice_rows two_slice_row = make_two_slice_rows();

// The words of offsets d (below 4096) from `from`: the low six bits at bits 2..7, the next six
// at 10..15.
__attribute__((target("avx512f,avx512bw"))) inline __m512i two_slice_words(__m512i d,
                                                                           unsigned from) {
    const __m512i spread =
        _mm512_ternarylogic_epi64(_mm512_slli_epi16(d, 2), _mm512_slli_epi16(d, 4),
                                  _mm512_set1_epi16(0x00FC), 0xE4); // c ? a : b
    return _mm512_ternarylogic_epi64(spread, _mm512_set1_epi16(static_cast<short>(0xFCFC)),
                                     _mm512_load_si512(two_slice_row.w[from]),
                                     0xEA); // a & b | c
}

} // namespace

// A whole block whose changes all take two slices (offsets 64 to 4095 from the chunk's start,
// as every change of a busy channel but the first few of a chunk): the slice count follows from
// the popcount, so each half's words go straight to their place, with no packing of bytes and
// no branch on the changes. Every other block goes half a block at a time (below), and the
// changes beyond the chunk's room go on in the next chunk, both by tail calls, so that the
// common case keeps few registers to save.
__attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi2,popcnt"))) uint8_t
store::writer::append_half_blocks(const isamp* times, const uint16_t* low, uint64_t toggles,
                                  uint8_t level) {
    if (toggles == 0) return level;
    const isamp first = times[std::countr_zero(toggles)];
    const isamp last = times[63 - std::countl_zero(toggles)];
    if (c.empty || first < c.n || first - c.ref < 64 || last - c.ref >= 4096)
        return append_mixed_half_blocks(times, low, toggles, level);
    const auto n = static_cast<unsigned>(__builtin_popcountll(toggles));
    if (static_cast<size_t>(c.end - c.p) < 2 * n)
        return append_at_chunk_end(times, low, toggles, level);
    const bool lv = level != 0;
    const auto m0 = static_cast<uint32_t>(toggles), m1 = static_cast<uint32_t>(toggles >> 32);
    const auto n0 = static_cast<unsigned>(__builtin_popcount(m0));
    const __m512i ref = _mm512_set1_epi16(static_cast<short>(static_cast<uint16_t>(c.ref)));
    const __m512i d0 =
        _mm512_sub_epi16(_mm512_maskz_compress_epi16(m0, _mm512_loadu_si512(low)), ref);
    const __m512i d1 =
        _mm512_sub_epi16(_mm512_maskz_compress_epi16(m1, _mm512_loadu_si512(low + 32)), ref);
    slice* const p = c.p;
    _mm512_mask_storeu_epi8(p, _bzhi_u64(~uint64_t{0}, 2 * n0), two_slice_words(d0, lv));
    _mm512_mask_storeu_epi8(p + 2 * n0, _bzhi_u64(~uint64_t{0}, 2 * (n - n0)),
                            two_slice_words(d1, static_cast<unsigned>(lv) ^ (n0 & 1)));
    c.p = p + 2 * n;
    c.n = last;
    c.level = lv != ((n & 1) != 0);
    return c.level;
}

// The changes that fit in the chunk's room the way above, then the others from the next chunk.
__attribute__((target("bmi2"))) uint8_t store::writer::append_at_chunk_end(const isamp* times,
                                                                           const uint16_t* low,
                                                                           uint64_t toggles,
                                                                           uint8_t level) {
    const auto room = static_cast<unsigned>(c.end - c.p) / 2;
    // All but the changes from the room-th on.
    const uint64_t now = toggles & (_pdep_u64(uint64_t{1} << room, toggles) - 1);
    if (now != 0) level = append_half_blocks(times, low, now, level);
    return append_past_chunk(times, low, toggles & ~now, level);
}

// The first change of `rest` opens the next chunk (its first slice in the last byte of this
// one where a byte is left) the general way, and the others go half a block at a time from it.
uint8_t store::writer::append_past_chunk(const isamp* times, const uint16_t* low, uint64_t rest,
                                         uint8_t level) {
    const auto lv = static_cast<uint8_t>(level == 0);
    append(times[std::countr_zero(rest)], lv);
    rest &= rest - 1;
    return rest == 0 ? lv : append_mixed_half_blocks(times, low, rest, lv);
}

// Half a block at a time: the changes of 32 records compressed into the front of a register,
// encoded as words, and the words' slices compressed into bytes (one slice for offsets below
// 64, two up to 4095), stored with a mask so that nothing past them is written.
__attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi2,popcnt"))) uint8_t
store::writer::append_mixed_half_blocks(const isamp* times, const uint16_t* low, uint64_t toggles,
                                        uint8_t level) {
    bool lv = level != 0;
    const __m512i low_six = _mm512_set1_epi16(0x00FC);
    const __m512i high_six = _mm512_set1_epi16(static_cast<short>(0xFC00));
    const __m512i ext = _mm512_set1_epi16(1);
    const __m512i two_slices = _mm512_set1_epi16(64);
    // Bit 1 of both slices of every other word, from the first: the levels of changes in a
    // row from level 0.
    const __m512i levels_from_0 = _mm512_set1_epi32(0x00000202);
    const __m512i both = _mm512_set1_epi16(0x0202);
    for (int half = 0; half < 64; half += 32) {
        const auto m = static_cast<uint32_t>(toggles >> half);
        if (m == 0) continue;
        const auto n = static_cast<unsigned>(__builtin_popcount(m));
        const int first = half + std::countr_zero(m);
        const int last = half + 31 - std::countl_zero(m);
        if (c.empty || times[first] < c.n || times[last] - c.ref >= 4096 ||
            c.end - c.p < 2 * static_cast<int>(n)) {
            lv = append_toggles(times, uint64_t{m} << half, lv) != 0;
            continue;
        }
        const __m512i t = _mm512_loadu_si512(low + half);
        const __m512i d =
            _mm512_sub_epi16(_mm512_maskz_compress_epi16(m, t),
                             _mm512_set1_epi16(static_cast<short>(static_cast<uint16_t>(c.ref))));
        const __mmask32 valid = n == 32 ? ~__mmask32{0} : (__mmask32{1} << n) - 1;
        const __mmask32 longer = _mm512_mask_cmpge_epu16_mask(valid, d, two_slices);
        __m512i words = _mm512_or_si512(_mm512_and_si512(_mm512_slli_epi16(d, 2), low_six),
                                        _mm512_and_si512(_mm512_slli_epi16(d, 4), high_six));
        // Without a branch on the level: it is as likely one as the other.
        words = _mm512_or_si512(
            words, _mm512_xor_si512(levels_from_0,
                                    _mm512_maskz_mov_epi16(static_cast<__mmask32>(0u - lv), both)));
        words = _mm512_mask_add_epi16(words, longer, words, ext); // bit 0 is clear
        // Byte 2 i of the words is always a slice, byte 2 i + 1 where change i is longer.
        const uint64_t keep =
            _pdep_u64(valid, 0x5555555555555555ull) | _pdep_u64(longer, 0xAAAAAAAAAAAAAAAAull);
        const auto bytes = static_cast<unsigned>(__builtin_popcountll(keep));
        const __m512i packed = _mm512_maskz_compress_epi8(keep, words);
        _mm512_mask_storeu_epi8(c.p, bytes == 64 ? ~__mmask64{0} : (__mmask64{1} << bytes) - 1,
                                packed);
        c.p += bytes;
        c.n = times[last];
        lv = lv != ((n & 1) != 0);
        c.level = lv;
    }
    return static_cast<uint8_t>(lv);
}

__attribute__((target("avx512f"))) static void low_bits_avx512(const isamp* times, uint16_t* low,
                                                               size_t n) {
    size_t j = 0;
    for (; j + 8 <= n; j += 8)
        _mm512_mask_cvtepi64_storeu_epi16(low + j, 0xFF, _mm512_loadu_si512(times + j));
    for (; j < n; ++j)
        low[j] = static_cast<uint16_t>(times[j]);
}

namespace {
store::writer::toggles_way detect_widest() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2") &&
        __builtin_cpu_supports("popcnt"))
        return store::writer::toggles_way::half_blocks;
    if (__builtin_cpu_supports("ssse3") && __builtin_cpu_supports("popcnt"))
        return store::writer::toggles_way::eight_records;
    return store::writer::toggles_way::one_at_a_time;
}
} // namespace

const store::writer::toggles_way store::writer::widest = detect_widest();

void store::writer::low_bits(const isamp* times, uint16_t* low, size_t n) {
    if (widest == toggles_way::half_blocks) return low_bits_avx512(times, low, n);
    for (size_t j = 0; j < n; ++j)
        low[j] = static_cast<uint16_t>(times[j]);
}

uint8_t store::writer::append_toggles(toggles_way way, const isamp* times, const uint16_t* low,
                                      uint64_t toggles, uint8_t level) {
    if (way > widest) way = widest;
    switch (way) {
    case toggles_way::half_blocks:
        return append_half_blocks(times, low, toggles, level);
    case toggles_way::eight_records:
        return append_eight_records(times, low, toggles, level);
    case toggles_way::one_at_a_time:
        break;
    }
    return append_toggles(times, toggles, level);
}

#else

const store::writer::toggles_way store::writer::widest = toggles_way::one_at_a_time;

uint8_t store::writer::append_eight_records(const isamp* times, const uint16_t*, uint64_t toggles,
                                            uint8_t level) {
    return append_toggles(times, toggles, level);
}

uint8_t store::writer::append_half_blocks(const isamp* times, const uint16_t*, uint64_t toggles,
                                          uint8_t level) {
    return append_toggles(times, toggles, level);
}

uint8_t store::writer::append_mixed_half_blocks(const isamp* times, const uint16_t*,
                                                uint64_t toggles, uint8_t level) {
    return append_toggles(times, toggles, level);
}

uint8_t store::writer::append_past_chunk(const isamp* times, const uint16_t*, uint64_t rest,
                                         uint8_t level) {
    return append_toggles(times, rest, level);
}

uint8_t store::writer::append_at_chunk_end(const isamp* times, const uint16_t*, uint64_t toggles,
                                           uint8_t level) {
    return append_toggles(times, toggles, level);
}

uint8_t store::writer::append_toggles(toggles_way, const isamp* times, const uint16_t*,
                                      uint64_t toggles, uint8_t level) {
    return append_toggles(times, toggles, level);
}

void store::writer::low_bits(const isamp* times, uint16_t* low, size_t n) {
    for (size_t j = 0; j < n; ++j)
        low[j] = static_cast<uint16_t>(times[j]);
}

#endif

store::writer::toggles_way store::writer::widest_toggles_way() {
    return widest;
}

} // namespace trs
