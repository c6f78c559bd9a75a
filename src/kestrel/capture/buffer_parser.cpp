#include "kestrel/capture/buffer_parser.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kestrel {

namespace {

static_assert(std::endian::native == std::endian::little,
              "packets are read as little-endian words");
// Records are written as two words: the levels, then the count with the trigger flag above it.
static_assert(sizeof(kestrel_trs) == 16 && offsetof(kestrel_trs, delta_samples) == 8 &&
                  offsetof(kestrel_trs, trigged) == 12,
              "record layout");

// Bit k of a packet is bit k % 8 of byte k / 8: sample i sits at bits 18 i .. 18 i + 17.
// Inline, so that the samples stay in registers in the parser's loop (a call makes them go
// through memory).
[[gnu::always_inline]] inline void load_samples(const uint8_t* p, uint64_t (&s)[7]) {
    uint64_t lo = 0, hi = 0;
    std::memcpy(&lo, p, 8);
    std::memcpy(&hi, p + 8, 8);
    constexpr uint64_t m = buffer_parser::levels_mask;
    s[0] = lo & m;
    s[1] = (lo >> 18) & m;
    s[2] = (lo >> 36) & m;
    s[3] = ((lo >> 54) | (hi << 10)) & m;
    s[4] = (hi >> 8) & m;
    s[5] = (hi >> 26) & m;
    s[6] = (hi >> 44) & m;
}

// Whether the packet at p is a samples packet (its type in the top two bits of its last byte).
inline bool samples_packet(const uint8_t* p) {
    return static_cast<buffer_parser::pkt_t>(p[15] >> 6) == buffer_parser::pkt_t::samples;
}

// The common case of the records, in one loop with its state in registers: samples packets
// without a mark, after the first sample, while the block has room for a whole packet. Every
// sample is written as a record and the output position moves on only where the levels
// changed and at a packet's last sample (so a packet that repeats the last levels gives one
// record), with arithmetic rather than branches: whether a sample changes is data no
// predictor learns. Returns how many of the n packets at p it took.
size_t records_plain(const uint8_t* p, size_t n, kestrel_trs*& out_ref, kestrel_trs* last_room,
                     uint64_t& last_ref, uint64_t flag) {
    kestrel_trs* out = out_ref;
    uint64_t last = last_ref;
    size_t k = 0;
    for (; k < n && out <= last_room; ++k, p += buffer_parser::packet_size) {
        if (!samples_packet(p)) break;
        uint64_t samples[7];
        load_samples(p, samples);
        uint32_t run = 0;
#pragma GCC unroll 7
        for (unsigned i = 0; i < 7; ++i) {
            ++run;
            // Two word stores per sample: the levels, then the count and the flag.
            const uint64_t tail = run | flag;
            std::memcpy(&out->levels, &samples[i], 8);
            std::memcpy(&out->delta_samples, &tail, 8);
            const uint64_t diff = samples[i] ^ last;
            const uint64_t keep = ((diff | (0 - diff)) >> 63) | (i == 6 ? 1u : 0u);
            out += keep;
            run &= static_cast<uint32_t>(keep - 1);
            last = samples[i];
        }
    }
    out_ref = out;
    last_ref = last;
    return k;
}

// Where the direct writer goes: the packets it takes and the records it writes.
struct direct_run {
    const uint8_t* p;
    size_t n; // packets it may take, each a samples packet or the end of the run
    int64_t* times;
    uint32_t* changes;
    const uint32_t* stop; // no packet starts once changes reaches it
    uint64_t mask;
    uint64_t last;
    int64_t total;
};

// The records_plain loop, writing each record's time and changed bits instead of a record.
size_t write_plain(direct_run& r) {
    const uint8_t* p = r.p;
    int64_t* times = r.times;
    uint32_t* changes = r.changes;
    const uint64_t mask = r.mask;
    uint64_t last = r.last;
    int64_t total = r.total;
    size_t k = 0;
    for (; k < r.n && changes < r.stop; ++k, p += buffer_parser::packet_size) {
        if (!samples_packet(p)) break;
        uint64_t samples[7];
        load_samples(p, samples);
#pragma GCC unroll 7
        for (unsigned i = 0; i < 7; ++i) {
            const uint64_t diff = samples[i] ^ last;
            *times = total + i + 1;
            *changes = static_cast<uint32_t>(diff & mask);
            const uint64_t keep = ((diff | (0 - diff)) >> 63) | (i == 6 ? 1u : 0u);
            times += keep;
            changes += keep;
            last = samples[i];
        }
        total += 7;
    }
    r.p = p;
    r.times = times;
    r.changes = changes;
    r.last = last;
    r.total = total;
    return k;
}

#if defined(__x86_64__)
// A packet's seven samples in lanes 0-6 (lane 7 zero).
__attribute__((target("avx512f"))) inline __m512i packet_levels(const uint8_t* p) {
    // (Masked forms throughout: GCC 12 warns of an uninitialised operand in the plain ones.)
    constexpr __mmask8 all = 0xFF;
    // Sample i is bits 18 i .. 18 i + 17: lanes 0-3 from the low word (lane 3 with the high
    // word's low bits), lanes 4-6 from the high word; shifts of 64 give 0.
    const __m512i lo_right = _mm512_set_epi64(64, 64, 64, 64, 54, 36, 18, 0);
    const __m512i hi_left = _mm512_set_epi64(64, 64, 64, 64, 10, 64, 64, 64);
    const __m512i hi_right = _mm512_set_epi64(64, 44, 26, 8, 64, 64, 64, 64);
    const __m512i level_bits =
        _mm512_set1_epi64(static_cast<long long>(buffer_parser::levels_mask));
    long long lo = 0, hi = 0;
    std::memcpy(&lo, p, 8);
    std::memcpy(&hi, p + 8, 8);
    const __m512i vlo = _mm512_set1_epi64(lo);
    const __m512i vhi = _mm512_set1_epi64(hi);
    return _mm512_and_si512(
        _mm512_or_si512(_mm512_or_si512(_mm512_maskz_srlv_epi64(all, vlo, lo_right),
                                        _mm512_maskz_sllv_epi64(all, vhi, hi_left)),
                        _mm512_maskz_srlv_epi64(all, vhi, hi_right)),
        level_bits);
}

// Lane 0 of v (the loops keep the last levels in every lane).
__attribute__((target("avx512f"))) inline uint64_t lane0(__m512i v) {
    return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm512_maskz_extracti32x4_epi32(0xF, v, 0)));
}

// A packet's samples in lanes 0-6, each against the one before (lane 0 against lane 7 of
// `prev`, the levels before the packet), and the samples kept: the changes and the last.
struct packet_lanes {
    __m512i levels, diff;
    __mmask8 keep;
    unsigned kept;
};
__attribute__((target("avx512f"))) inline packet_lanes read_packet(const uint8_t* p, __m512i prev) {
    packet_lanes l;
    l.levels = packet_levels(p);
    l.diff = _mm512_xor_si512(l.levels, _mm512_maskz_alignr_epi64(0xFF, l.levels, prev, 7));
    l.keep = static_cast<__mmask8>((_mm512_test_epi64_mask(l.diff, l.diff) | 0x40) & 0x7F);
    l.kept = static_cast<unsigned>(__builtin_popcount(l.keep));
    return l;
}

// For each set of samples of a packet kept (sample 6 always), the samples' places after the
// packet's start, packed to the front.
alignas(64) constexpr auto kept_places = [] {
    std::array<std::array<int64_t, 8>, 64> t{};
    for (unsigned keep = 0; keep < 64; ++keep) {
        unsigned m = 0;
        for (unsigned i = 0; i < 7; ++i)
            if (((keep | 64) >> i) & 1) t[keep][m++] = i + 1;
    }
    return t;
}();

// The records_plain loop a packet at a time in vector lanes: the kept samples' levels and
// counts (the distance of their places) packed to the front, interleaved into records and
// stored under masks. Returns how many packets it took.
__attribute__((target("avx512f"))) size_t records_avx512(const uint8_t* p, size_t n,
                                                         kestrel_trs*& out_ref,
                                                         kestrel_trs* last_room, uint64_t& last,
                                                         uint64_t flag) {
    constexpr __mmask8 all = 0xFF;
    const __m512i first_half = _mm512_set_epi64(11, 3, 10, 2, 9, 1, 8, 0);
    const __m512i second_half = _mm512_set_epi64(15, 7, 14, 6, 13, 5, 12, 4);
    const __m512i lane6 = _mm512_set1_epi64(6);
    const __m512i vflag = _mm512_set1_epi64(static_cast<long long>(flag));
    __m512i prev = _mm512_set1_epi64(static_cast<long long>(last));
    kestrel_trs* out = out_ref;
    size_t k = 0;
    for (; k < n && out <= last_room; ++k, p += buffer_parser::packet_size) {
        if (!samples_packet(p)) break;
        const auto [levels, diff, keep, kept] = read_packet(p, prev);
        const __m512i places = _mm512_load_si512(kept_places[keep & 63].data());
        // Each record counts the samples since the one before it, the first those since the
        // packet's start.
        const __m512i counts = _mm512_sub_epi64(
            places, _mm512_maskz_alignr_epi64(all, places, _mm512_setzero_si512(), 7));
        const __m512i tails = _mm512_or_si512(counts, vflag);
        const __m512i kept_levels = _mm512_maskz_compress_epi64(keep, levels);
        const unsigned low = kept < 4 ? kept : 4;
        auto* const words = reinterpret_cast<long long*>(out);
        _mm512_mask_storeu_epi64(words, static_cast<__mmask8>((1u << (2 * low)) - 1),
                                 _mm512_permutex2var_epi64(kept_levels, first_half, tails));
        _mm512_mask_storeu_epi64(words + 8, static_cast<__mmask8>((1u << (2 * (kept - low))) - 1),
                                 _mm512_permutex2var_epi64(kept_levels, second_half, tails));
        out += kept;
        prev = _mm512_maskz_permutexvar_epi64(all, lane6, levels);
    }
    out_ref = out;
    last = lane0(prev);
    return k;
}

// A packet at a time in vector lanes: its seven samples in lanes 0-6, each against the one
// before (lane 0 against the last levels), the records kept (a change, or the packet's end)
// packed to the front and stored under a mask. Two vector stores a packet instead of two word
// stores a sample, which bound the plain loop. Returns how many packets it took.
__attribute__((target("avx512f"))) size_t write_avx512(direct_run& r) {
    constexpr __mmask8 all = 0xFF;
    const __m512i vmask = _mm512_set1_epi64(static_cast<long long>(r.mask));
    const __m512i seven = _mm512_set1_epi64(7);
    const __m512i lane6 = _mm512_set1_epi64(6);
    const uint8_t* p = r.p;
    int64_t* times = r.times;
    uint32_t* changes = r.changes;
    __m512i prev = _mm512_set1_epi64(static_cast<long long>(r.last)); // lane 7 is what counts
    __m512i total = _mm512_set1_epi64(r.total);
    size_t k = 0;
    for (; k < r.n && changes < r.stop; ++k, p += buffer_parser::packet_size) {
        if (!samples_packet(p)) break;
        const auto [levels, diff, keep, kept] = read_packet(p, prev);
        const __mmask8 front = static_cast<__mmask8>((1u << kept) - 1);
        _mm512_mask_storeu_epi64(
            times, front,
            _mm512_add_epi64(_mm512_load_si512(kept_places[keep & 63].data()), total));
        _mm512_mask_cvtepi64_storeu_epi32(
            changes, front, _mm512_maskz_compress_epi64(keep, _mm512_and_si512(diff, vmask)));
        times += kept;
        changes += kept;
        total = _mm512_add_epi64(total, seven);
        prev = _mm512_maskz_permutexvar_epi64(all, lane6, levels);
    }
    r.p = p;
    r.times = times;
    r.changes = changes;
    r.total += 7 * static_cast<int64_t>(k);
    r.last = lane0(prev);
    return k;
}

const bool wide_writer = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f");
}();
#else
size_t write_avx512(direct_run&) {
    return 0;
}
size_t records_avx512(const uint8_t*, size_t, kestrel_trs*&, kestrel_trs*, uint64_t&, uint64_t) {
    return 0;
}
const bool wide_writer = false;
#endif

} // namespace

buffer_parser::buffer_parser(uint8_t grp, append_fn_t append_function)
    : append_fn(std::move(append_function)), grp_idx(grp) {}

buffer_parser::buffer_parser(uint8_t grp, batch_fn_t batch_function, size_t block_len)
    : batch_fn(std::move(batch_function)), grp_idx(grp),
      block_size(std::max<size_t>(block_len, 1)) {
    block.resize(block_size);
}

void buffer_parser::parse(std::span<const uint8_t> src) {
    size_t pos = 0;
    if (pending_len > 0) {
        const size_t take = std::min(packet_size - pending_len, src.size());
        std::memcpy(pending + pending_len, src.data(), take);
        pending_len += take;
        pos = take;
        if (pending_len == packet_size) {
            packet(pending);
            pending_len = 0;
        }
    }
    while (pos + packet_size <= src.size()) {
        const size_t left = (src.size() - pos) / packet_size;
        size_t plain = direct_samples(src.data() + pos, left);
        if (plain == 0) plain = plain_samples(src.data() + pos, left);
        pos += plain * packet_size;
        if (plain == 0) {
            packet(src.data() + pos);
            pos += packet_size;
        }
    }
    if (pos < src.size()) {
        pending_len = src.size() - pos;
        std::memcpy(pending, src.data() + pos, pending_len);
    }
    flush_block();
}

void buffer_parser::packet(const uint8_t* p) {
    last_packet = pkt;
    pkt = static_cast<pkt_t>(p[15] >> 6);
    switch (pkt) {
    case pkt_t::delta_s:
        // Each idle packet stands for its own 7 x N unchanged samples, also when several
        // follow each other (an idle stretch longer than one count can hold).
        if (!first_packet) {
            const uint32_t n = p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16);
            last_transition.delta_samples = 7 * n;
            if (n > 0) emit(last_transition);
            last_transition.delta_samples = 0;
        }
        break;
    case pkt_t::trig:
        trigger_pos_in_pkt = p[0];
        break;
    case pkt_t::samples:
        unpack(p);
        oci_pos_in_pkt = (oci_pos_in_pkt & 0x40) ? 0xFF : 0;
        break;
    case pkt_t::rfu:
        oci_pos_in_pkt = p[0];
        break;
    }
    first_packet = false;
}

// Runs of samples packets without a mark, after the first sample, as records (records_plain,
// or a packet at a time in vector lanes where the processor allows). Returns how many of the
// n packets at p it took.
size_t buffer_parser::plain_samples(const uint8_t* p, size_t n) {
    if (!batch_fn || first_sample || oci_pos_in_pkt != 0 ||
        (!trig_marker_found && trigger_pos_in_pkt != 0xFF))
        return 0;
    kestrel_trs* const begin = block.data();
    kestrel_trs* out = begin + block_used;
    kestrel_trs* const last_room = begin + block_size - 7;
    const uint64_t flag = trig_marker_found ? uint64_t{1} << 32 : 0;
    uint64_t last = last_transition.levels;
    const size_t k = wide && wide_writer ? records_avx512(p, n, out, last_room, last, flag)
                                         : records_plain(p, n, out, last_room, last, flag);
    if (k == 0) return 0;
    block_used = static_cast<size_t>(out - begin);
    after_samples(last, k);
    if (block_used == block_size) flush_block();
    return k;
}

// The runs worth the sink's set-up: this many samples packets in a row at least.
constexpr size_t direct_min_run = 16;

size_t buffer_parser::direct_samples(const uint8_t* p, size_t n) {
    // The sink takes nothing before the group's trigger is placed, which follows the
    // trigger record: asked before, it declines.
    if (!direct || !batch_fn || first_sample || oci_pos_in_pkt != 0 ||
        (!trig_marker_found && trigger_pos_in_pkt != 0xFF) || n < direct_min_run)
        return 0;
    for (size_t j = 0; j < direct_min_run; ++j)
        if (!samples_packet(p + j * packet_size)) return 0;
    // The sink takes the records in order: those before go first.
    flush_block();
    direct_at = p;
    direct_left = n;
    direct_last = last_transition.levels;
    direct->fill(*this, direct_last);
    // Nothing taken before the group's trigger is placed, at the depth or with the
    // output-sync flag to clear: the plain way takes the run (a refusal costs less than
    // the records of the 16 packets the run has at least).
    const size_t k = n - direct_left;
    if (k == 0) return 0;
    after_samples(direct_last, k);
    return k;
}

void buffer_parser::after_samples(uint64_t levels, size_t packets) {
    kestrel_trs t{};
    t.levels = levels;
    t.trigged = trig_marker_found;
    transition = t;
    last_transition = t;
    last_packet = packets > 1 ? pkt_t::samples : pkt;
    pkt = pkt_t::samples;
    first_packet = false;
}

// The loop of plain_samples, writing each record's time and changed bits into the batch's
// window instead of a record; whole packets only, each ending at or below the window's limit.
bool buffer_parser::write(hw::batch_window& w) {
    const int64_t room = w.limit - w.total;
    if (room < 7) return false;
    const size_t n = std::min(direct_left, static_cast<size_t>(room / 7));
    direct_run r{direct_at, n,      w.times + w.slot, w.changes + w.slot, w.changes + w.slot_end,
                 w.mask,    w.last, w.total};
    const size_t k = wide && wide_writer ? write_avx512(r) : write_plain(r);
    w.slot = static_cast<size_t>(r.changes - w.changes);
    w.total = r.total;
    w.last = r.last;
    direct_at = r.p;
    direct_left -= k;
    direct_last = r.last;
    return r.changes >= r.stop && k < n;
}

void buffer_parser::unpack(const uint8_t* p) {
    uint64_t samples[7];
    load_samples(p, samples);
    // Work on locals: the records go out through memory the compiler cannot see through.
    kestrel_trs t = transition;
    uint64_t last = last_transition.levels;
    const bool marks = oci_pos_in_pkt != 0 || (!trig_marker_found && trigger_pos_in_pkt != 0xFF);
    // Most packets of a quiet signal repeat the last levels: one record for all seven.
    if (!marks && !first_sample && samples[0] == last && samples[1] == last && samples[2] == last &&
        samples[3] == last && samples[4] == last && samples[5] == last && samples[6] == last) {
        t.levels = last;
        t.trigged = trig_marker_found;
        t.delta_samples += 7;
        emit(t);
    } else {
        bool found = trig_marker_found;
        const uint8_t trig_bits = found ? 0 : (trigger_pos_in_pkt == 0xFF ? 0 : trigger_pos_in_pkt);
        const uint8_t oci_bits = oci_pos_in_pkt;
        for (unsigned i = 0; i < 7; ++i) {
            uint64_t levels = samples[i];
            // The first sample and the trigger sample get records of their own: the
            // capture tool measures the pre-trigger history from record times.
            bool forced = first_sample;
            first_sample = false;
            if (!found && ((trig_bits >> i) & 1)) {
                found = true;
                forced = true;
            }
            t.trigged = found;
            t.delta_samples += 1;
            if ((oci_bits >> i) & 1) levels |= oci_flag;
            t.levels = levels;
            if (levels == last && i != 6 && !forced) continue;
            emit(t);
            t.delta_samples = 0;
            last = levels;
        }
        trig_marker_found = found;
    }
    // Sample 6 always ends in a record: the record last emitted is the packet's end.
    t.delta_samples = 0;
    transition = t;
    last_transition = t;
}

void buffer_parser::emit(const kestrel_trs& t) {
    if (!batch_fn) {
        kestrel_trs copy = t;
        append_fn(copy, grp_idx);
        return;
    }
    block[block_used++] = t;
    if (block_used == block_size) flush_block();
}

void buffer_parser::flush_block() {
    if (block_used == 0) return;
    batch_fn(std::span<kestrel_trs>(block.data(), block_used), grp_idx);
    block_used = 0;
}

} // namespace kestrel
