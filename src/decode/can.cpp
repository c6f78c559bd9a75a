// Classic CAN (11- and 29-bit identifiers): bits sampled at the sample point from the start
// of frame, resynchronised on every recessive-to-dominant edge, stuff bits removed up to
// the end of the CRC, the CRC-15 checked. The bits between two edges are taken as one run:
// on the bus a run of equal bits is at most five long, so destuffing is one look at the
// run's start (a run after five equal bits begins with the stuff bit) and one at its
// length (a sixth equal bit breaks stuffing). A run's bits go into a shift register at
// once with their sample points; the CRC is folded in a byte at a time and a field read
// out when its last bit arrives, so the work branches per run and per field, not per bit.
// A frame whose edges are all at hand is read faster still, at once (whole_frame()); this
// run-by-run machine takes the frames that cannot be, such as one the horizon cuts.
#include "decode/decoder.h"

#include <array>
#include <cmath>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace decode {

namespace {

// CRC-15 of eight more bits, indexed by the top eight bits of the CRC xor the bits.
constexpr uint32_t crc_poly = 0x4599;
constexpr std::array<uint16_t, 256> crc_table = [] {
    std::array<uint16_t, 256> t{};
    for (uint32_t x = 0; x < 256; ++x) {
        uint32_t c = x << 7;
        for (int k = 0; k < 8; ++k)
            c = ((c << 1) ^ ((c & 0x4000) ? crc_poly : 0)) & 0x7FFF;
        t[x] = static_cast<uint16_t>(c);
    }
    return t;
}();

// The CRC of a byte followed by 8 * p zero bits, for each place p: the CRC of a message is
// the exclusive or of its bytes' shares, counted from its end, so a frame's CRC is lookups
// that do not wait on each other instead of a chain of them. A frame's CRC covers at most
// 103 bits (an extended identifier and eight bytes): 13 places.
constexpr unsigned crc_places = 13;
constexpr std::array<std::array<uint16_t, 256>, crc_places> crc_by_place = [] {
    std::array<std::array<uint16_t, 256>, crc_places> t{};
    for (uint32_t v = 0; v < 256; ++v) {
        uint32_t c = crc_table[v];
        for (unsigned p = 0; p < crc_places; ++p) {
            t[p][v] = static_cast<uint16_t>(c);
            c = ((c << 8) & 0x7FFF) ^ crc_table[(c >> 7) & 0xFF];
        }
    }
    return t;
}();

// The CRC after the low n bits of `bits`, the earliest the highest.
uint32_t crc_add(uint32_t crc, uint64_t bits, unsigned n) {
    for (; n >= 8; n -= 8)
        crc = ((crc << 8) & 0x7FFF) ^ crc_table[((crc >> 7) ^ (bits >> (n - 8))) & 0xFF];
    for (; n > 0; --n) {
        const uint32_t fb = ((crc >> 14) ^ (bits >> (n - 1))) & 1;
        crc = ((crc << 1) ^ (crc_poly & (0u - fb))) & 0x7FFF;
    }
    return crc;
}

class can final : public decoder {
    enum class field : uint8_t { id, ext_id, dlc, data, crc, ack };

    // Everything the bits change, copied into a local while run() reads them so that the
    // compiler keeps it in registers (the frames written out could alias members).
    struct state {
        uint64_t acc = 0;        // the last bits after destuffing, the latest lowest
        unsigned i = 0;          // bits after destuffing, from the start of frame
        unsigned next = 0;       // i where the field under way ends
        unsigned start = 1;      // i of the field's first bit
        uint64_t start_pt = 0;   // its sample point, once it arrived
        int same = 0;            // equal bits in a row on the bus
        uint8_t last = 2;        // the level of those
        bool stuffing = false;   // stuff bits are still expected
        bool in_frame = false;   // a frame is under way
        field at = field::id;    // the field under way
        uint64_t ref_s = 0;      // sample of the last resynchronising edge
        uint64_t ref_k = 0;      // the bit that edge began
        uint64_t k = 0;          // the next bit on the bus, from the start of frame
        uint64_t sof = 0;        // sample of the start of frame
        uint64_t high_since = 0; // sample where the line last went recessive
        uint32_t crc = 0;        // CRC-15 of the bits up to crc_done
        unsigned crc_done = 0;   // bits folded into crc
        unsigned crc_end = ~0u;  // i where the CRC sequence begins
        uint64_t base = 0;       // the 11-bit identifier
        uint16_t id_flags = 0;   // EXTENDED, REMOTE
    };

public:
    can(const source& src, description_reader& s) : rx_(src, s.channel(src, "rx")) {
        const uint64_t rate = s.number("bitrate", 1, 1000000000, std::nullopt, " bit/s");
        const auto sp = s.number("sample_point", 1, 99, 70, " %");
        s.finish("rx, bitrate, sample_point");
        bit_ = samples_per_unit(src, s, "bitrate", rate);
        sp_ = static_cast<double>(sp) / 100;
        for (size_t d = 0; d < off_.size(); ++d)
            off_[d] = point(d);
        // A start of frame follows at least the acknowledgement delimiter, the end of
        // frame and the intermission: 11 recessive bits (10.5 for some slack).
        idle_ = static_cast<uint64_t>(std::floor(10.5 * bit_));
        counts_.resize(std::min<uint64_t>(off_.back(), 1 << 16));
        for (size_t d = 0, c = 0; d < counts_.size(); ++d) {
            while (off_[c] < d)
                ++c;
            counts_[d] = static_cast<uint16_t>(c);
        }
    }

    bool run(isamp horizon, std::vector<frame>& out, size_t enough) override {
        rx_.set_horizon(horizon);
        const auto h = static_cast<uint64_t>(horizon);
        if (!started_ && horizon > 0) {
            // A line dominant at sample 0 has no idle behind it until it rises.
            started_ = true;
            if (rx_.level_at(0) == 0) st_.high_since = never_high;
        }
        // The view and the state in locals (registers), written back however this ends.
        auto v = rx_.get();
        state st = st_;
        try {
            const bool left = decode(v, st, h, out, enough);
            rx_.put(v);
            st_ = st;
            return left;
        } catch (...) {
            rx_.put(v);
            st_ = st;
            throw;
        }
    }

private:
    bool decode(edges::view& v, state& st, uint64_t h, std::vector<frame>& out, size_t enough) {
        for (;;) {
            if (!st.in_frame) {
                if (out.size() >= enough) return true;
                if (!find_sof(v, st)) return false;
                if (whole_frame(v, st, out)) continue;
                begin_frame(st);
            }
            // The bits whose sample points come before the next edge (or the horizon) hold
            // the level there; a dominant edge then resynchronises the bit grid.
            const bool edge = rx_.has(v);
            const uint64_t until = edge ? v.s[v.pos] : h;
            const uint64_t end_k = st.ref_k + count(until - st.ref_s);
            if (end_k > st.k) {
                const uint64_t m = end_k - st.k;
                const uint64_t d = st.k - st.ref_k;
                st.k = end_k;
                take(st, v.level, d, m, out);
                if (!st.in_frame) continue;
            }
            if (!edge) return false;
            v.level = v.l[v.pos++];
            if (v.level == 0) {
                st.ref_s = until;
                st.ref_k = st.k;
            } else {
                st.high_since = until;
            }
        }
    }

    // ---- A whole frame at once, when its edges are all at hand.
    //
    // The frame's raw bits are sampled first, a run of equal bits per edge: per edge one
    // store of the run's level into a byte per bit and one of the resynchronising edge it
    // counts from, no branch on the data. Sampling stops at the first run of six equal
    // bits (where stuffing ends: a stuffing error, or the recessive end of the
    // frame). On the bus a run of equal bits is at most five long, so the stuff bits are
    // simply the bits after five equal ones and a stuffing error is the sixth of six:
    // both are found a 64-bit word of bits at a time, without following the stuffing bit
    // by bit. The destuffed bits are then the raw ones between the stuff bits, the fields
    // are read from them and the CRC folded a byte at a time, and the frames written at
    // once. A frame this cannot settle (its edges run past the horizon or the buffer, its
    // bits past the ones sampled) goes back to the edge after its start of frame and bit
    // by bit through take(), which gives the same frames.

    static constexpr unsigned max_bits = 184; // raw bits sampled at most (a frame has < 160)
    static constexpr unsigned words = (max_bits + 8 + 63) / 64 + 1;
    // The raw bits' level bytes: every word's and the 8 bytes written at raw bit 191 at most.
    static constexpr unsigned raw_bytes = 64 * (words - 1) + 16;

    // The sample point of raw bit k.
    uint64_t point_of(uint64_t k) const {
        const unsigned r = ref_of_[k];
        return ref_s_[r] + offset(k - ref_k_[r]);
    }
    // Destuffed bits [i, i + n), 1 <= n <= 57, the first the highest.
    static uint64_t take_bits(const uint64_t* w, uint64_t i, unsigned n) {
        const uint64_t o = i & 63;
        const uint64_t hi = (w[i >> 6] << o) | ((w[(i >> 6) + 1] >> 1) >> (63 - o));
        return hi >> (64 - n);
    }
    uint64_t bits(unsigned i, unsigned n) const { return n == 0 ? 0 : take_bits(ds_, i, n); }

    // Where sampling a frame's raw bits stands: the raw bits sampled, the resynchronising
    // edge the grid counts from (its sample and raw bit) and the edges of that kind so far.
    struct grid {
        uint64_t k, ref_s, ref_k;
        unsigned nref;
    };

    // Samples raw bits from edges [pos, n) on, `level` the level before edge `pos`: returns
    // the edge where it stopped (n when it did not), `stop` set when it did. The levels
    // alternate (each edge is a change), so which edges fall is known without reading their
    // levels; the loop takes a rising and a falling edge a turn, and only the falling one
    // moves the grid. Its own function, so that its few values stay in registers.
    [[gnu::noinline]] size_t sample(const uint64_t* es, size_t pos, size_t n, uint8_t& level,
                                    grid& g, bool& stop) {
        constexpr uint64_t ones = 0x0101010101010101;
        uint64_t k = g.k, ref_s = g.ref_s, ref_k = g.ref_k;
        unsigned nref = g.nref;
        uint64_t rb = ones * (nref - 1); // the resynchronising edge's index in every byte
        // The arrays written are members, reached from `this` (one register, not four).
        const uint16_t* const counts = counts_.data();
        const uint64_t n_counts = counts_.size();
        const uint64_t* p = es + pos;
        const uint64_t* const end = es + n;
        // One edge, true when sampling stops at it. The run of bits before it has the level
        // it leaves; only the run that stops sampling can be longer than five bits.
        const auto edge = [&](auto falls) __attribute__((always_inline)) {
            constexpr bool falling = decltype(falls)::value;
            const uint64_t s = *p;
            const uint64_t d = s - ref_s;
            const uint64_t end_k = ref_k + (d < n_counts ? counts[d] : count_far(d));
            const uint64_t lv = falling ? ~uint64_t{0} : 0;
            std::memcpy(&raw_[raw_bytes - 8 - k], &lv, 8);
            std::memcpy(&ref_of_[k], &rb, 8);
            if (end_k > std::min<uint64_t>(k + 5, max_bits - 1)) {
                k += std::min<uint64_t>(end_k - k, 8);
                return true;
            }
            k = end_k;
            ++p;
            if constexpr (falling) {
                ref_s_[nref] = s;
                ref_k_[nref] = k;
                ref_s = s;
                ref_k = k;
                rb += ones;
                if (++nref >= max_bits) return true;
            }
            return false;
        };
        using rising = std::false_type;
        using falling = std::true_type;
        bool stopped = false;
        uint8_t lv = level;
        if (lv == 1 && p < end) {
            stopped = edge(falling{});
            lv = stopped ? 1 : 0;
        }
        if (!stopped) {
            for (; end - p > 1;) {
                if (edge(rising{})) {
                    stopped = true;
                    break;
                }
                if (edge(falling{})) {
                    lv = 1;
                    stopped = true;
                    break;
                }
            }
            if (!stopped && p < end) {
                stopped = edge(rising{});
                lv = stopped ? 0 : 1;
            }
        }
        pos = static_cast<size_t>(p - es);
        g = {k, ref_s, ref_k, nref};
        level = lv;
        stop = stopped;
        return pos;
    }

    bool whole_frame(edges::view& v, state& st, std::vector<frame>& out) {
        size_t first = v.pos; // the edge after the start of frame
        const auto back = [&] {
            v.pos = first;
            v.level = 0;
            return false;
        };
        ref_s_[0] = st.sof;
        ref_k_[0] = 0;
        grid g{0, st.sof, 0, 1};
        for (bool stop = false; !stop;) {
            if (v.pos == v.n) {
                const bool more = rx_.refill_keep(v, first);
                first = 0;
                if (!more) return back();
            }
            v.pos = sample(v.s, v.pos, v.n, v.level, g, stop);
        }
        const uint64_t k = g.k;
        const uint8_t* const raw = raw_.data();
        const size_t stop_pos = v.pos;

        // The raw bits as words, the first the highest: the level bytes lie last bit first,
        // so the bytes' top bits in memory order (SSE2's movemask, 16 at a time; elsewhere
        // eight by a multiply) are the bits in the words' order. The bits past k are never
        // used.
        // Always all the words (k < 192; the bytes past k are 0 or 0xFF too): loops of a fixed
        // length, no exit to mispredict.
        constexpr unsigned nw = (max_bits + 8 + 63) / 64;
        uint64_t w[words], eq[words], five[words], stuff[words];
        for (unsigned t = 0; t < nw; ++t) {
            // The bytes of raw bits 64t + 63 down to 64t, in that order: byte j gives bit j.
            const uint8_t* const b = raw + raw_bytes - 64 * (t + 1);
            uint64_t x = 0;
#if defined(__SSE2__)
            for (unsigned j = 0; j < 4; ++j) {
                const __m128i q = _mm_load_si128(reinterpret_cast<const __m128i*>(b + 16 * j));
                x |= static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(q))) << (16 * j);
            }
#else
            for (unsigned j = 0; j < 8; ++j) { // little-endian: byte j the low one
                uint64_t q;
                std::memcpy(&q, b + 8 * j, 8);
                x |= (((q & 0x0101010101010101) * uint64_t{0x0102040810204080}) >> 56) << (8 * j);
            }
#endif
            w[t] = x;
        }
        w[nw] = 0;
        // Per raw bit: equal to the one before (the start of frame has none), the fifth of
        // equal bits in a row, a stuff bit (the bit after five), the sixth of six.
        for (unsigned t = 0; t < nw; ++t) {
            const uint64_t before =
                t ? (w[t] >> 1) | (w[t - 1] << 63) : (w[0] >> 1) | (~w[0] & (uint64_t{1} << 63));
            eq[t] = ~(w[t] ^ before);
        }
        const auto later = [&](const uint64_t* x, unsigned t, unsigned by) {
            return (x[t] >> by) | (t ? x[t - 1] << (64 - by) : 0);
        };
        uint64_t k_err = ~uint64_t{0}; // the first sixth equal bit among those sampled
        for (unsigned t = 0; t < nw; ++t) {
            five[t] = eq[t] & later(eq, t, 1) & later(eq, t, 2) & later(eq, t, 3);
            stuff[t] = later(five, t, 1);
            const uint64_t six = five[t] & later(eq, t, 4);
            if (six != 0 && k_err == ~uint64_t{0})
                k_err = 64 * t + static_cast<unsigned>(std::countl_zero(six));
        }
        if (k_err >= k) k_err = ~uint64_t{0};
        // The stuff bits before it, in order, and the destuffed bits between them.
        unsigned np = 0;
        const uint64_t upto = std::min(k, k_err);
        for (unsigned t = 0; t < nw; ++t)
            for (uint64_t x = stuff[t]; x != 0; x &= ~(uint64_t{1} << 63 >> std::countl_zero(x))) {
                const uint64_t p = 64 * t + static_cast<unsigned>(std::countl_zero(x));
                if (p >= upto) break;
                stuffs_[np++] = static_cast<uint16_t>(p);
            }
        for (auto& x : ds_)
            x = 0;
        uint64_t have = 0; // destuffed bits
        for (unsigned j = 0, from = 0; j <= np; ++j) {
            const uint64_t to = j < np ? stuffs_[j] : upto;
            for (uint64_t a = from; a < to;) {
                const auto c = static_cast<unsigned>(std::min<uint64_t>(to - a, 56));
                const uint64_t x = take_bits(w, a, c) << (64 - c);
                ds_[have >> 6] |= x >> (have & 63);
                ds_[(have >> 6) + 1] |= (x << 1) << (63 - (have & 63));
                have += c;
                a += c;
            }
            from = static_cast<unsigned>(to + 1);
        }
        // Raw bit of destuffed bit i: i plus the stuff bits before it.
        // The j-th stuff bit comes before destuffed bit stuffs_[j] - j: a count without a
        // branch on the data.
        for (unsigned j = 0; j < np; ++j)
            stuffs_[j] = static_cast<uint16_t>(stuffs_[j] - j);
        const auto raw_of = [&](uint64_t i) {
            uint64_t c = 0;
            for (unsigned j = 0; j < np; ++j)
                c += stuffs_[j] <= i;
            return i + c;
        };
        // Where stuffing broke, as a destuffed position (the bits before it).
        const uint64_t i_err = k_err == ~uint64_t{0} ? ~uint64_t{0} : k_err - np;

        frame* const fr = frames_.data();
        unsigned nf = 0;
        const auto put = [&](uint64_t a, uint64_t e, uint16_t kd, uint64_t value, uint16_t flags) {
            frame& f = fr[nf++];
            f.start_sample = a;
            f.end_sample = e;
            f.value = value;
            f.kind = kd;
            f.flags = flags;
            f.reserved = 0;
        };
        uint16_t id_flags = 0;
        uint64_t end_k = 0; // the frame's last raw bit
        // The field under way ends before destuffed bit `to`, its reported bits from
        // `start`: true when stuffing broke in it (the flagged frame written, the frame over).
        const auto broke = [&](uint64_t to, unsigned start, uint16_t kd) {
            if (i_err >= to) return false;
            const unsigned n = i_err > start ? static_cast<unsigned>(i_err - start) : 0;
            const uint64_t p = point_of(k_err);
            put(n ? point_of(raw_of(start)) : p, p, kd, bits(start, n),
                flag::stuff_error | id_flags);
            end_k = k_err;
            return true;
        };
        const auto emit_all = [&] {
            // The search for the next start of frame goes on at the first edge after the
            // frame's last bit's sample point; the last rising edge before it began the idle.
            const uint64_t p = point_of(end_k);
            size_t e = stop_pos;
            while (e > first && v.s[e - 1] > p)
                --e;
            v.pos = e;
            v.level = e > first ? v.l[e - 1] : 0;
            for (; e > first; --e)
                if (v.l[e - 1] != 0) {
                    st.high_since = v.s[e - 1];
                    break;
                }
            st.in_frame = false;
            out.insert(out.end(), fr, fr + nf);
            return true;
        };
        const auto need = [&](uint64_t to) { return to <= have || i_err < to; };

        // Identifier.
        if (!need(14)) return back();
        if (broke(14, 1, kind::can_id)) return emit_all();
        const uint64_t base = bits(1, 11);
        unsigned dlc_at = 15;
        if (bits(13, 1)) {
            id_flags = flag::extended;
            if (!need(33)) return back();
            if (broke(33, 14, kind::can_id)) return emit_all();
            if (bits(32, 1)) id_flags |= flag::remote;
            put(st.sof, point_of(raw_of(32)), kind::can_id, (base << 18) | bits(14, 18), id_flags);
            dlc_at = 35;
        } else {
            if (bits(12, 1)) id_flags = flag::remote;
            put(st.sof, point_of(raw_of(13)), kind::can_id, base, id_flags);
        }
        // Length.
        if (!need(dlc_at + 4)) return back();
        if (broke(dlc_at + 4, dlc_at, kind::can_dlc)) return emit_all();
        const uint64_t dlc = bits(dlc_at, 4);
        put(point_of(raw_of(dlc_at)), point_of(raw_of(dlc_at + 3)), kind::can_dlc, dlc, 0);
        const unsigned bytes =
            (id_flags & flag::remote) ? 0 : static_cast<unsigned>(std::min<uint64_t>(dlc, 8));
        const unsigned crc_end = dlc_at + 4 + 8 * bytes;
        if (!need(crc_end + 15)) return back();
        // Data.
        for (unsigned at = dlc_at + 4; at < crc_end; at += 8) {
            if (broke(at + 8, at, kind::data)) return emit_all();
            put(point_of(raw_of(at)), point_of(raw_of(at + 7)), kind::data, bits(at, 8), 0);
        }
        // CRC.
        if (broke(crc_end + 15, crc_end, kind::can_crc)) return emit_all();
        // The bits the CRC covers end 104 bits from the top of 128, zeros before them (which
        // leave the CRC as it is) and none after: byte j's share is crc_by_place[12 - j].
        const unsigned __int128 all = (static_cast<unsigned __int128>(ds_[0]) << 64) | ds_[1];
        const unsigned __int128 msg =
            (all >> (crc_places * 8 - crc_end)) >> (128 - crc_places * 8) << (128 - crc_places * 8);
        uint32_t crc = 0;
        for (unsigned j = 0; j < crc_places; ++j)
            crc ^= crc_by_place[crc_places - 1 - j][static_cast<uint8_t>(msg >> (120 - 8 * j))];
        const uint64_t sent = bits(crc_end, 15);
        const uint64_t crc_first = point_of(raw_of(crc_end));
        const uint64_t crc_last = raw_of(crc_end + 14);
        put(crc_first, point_of(crc_last), kind::can_crc, sent, sent == crc ? 0 : flag::crc_error);
        // After five equal bits at the CRC's end one more stuff bit; then the delimiter
        // and the acknowledgement slot, as they are on the bus.
        uint64_t r = crc_last + 1;
        if (r + 2 >= k) return back();
        const auto bit_at = [&](uint64_t q) { return (w[q >> 6] >> (63 - (q & 63))) & 1; };
        if ((five[crc_last >> 6] >> (63 - (crc_last & 63))) & 1) {
            if (bit_at(r) == bit_at(crc_last)) {
                // Reported as the acknowledgement with the CRC's bits, as take() does.
                put(crc_first, point_of(r), kind::ack, sent, flag::stuff_error | id_flags);
                end_k = r;
                return emit_all();
            }
            ++r;
        }
        end_k = r + 1;
        const uint64_t p = point_of(end_k);
        put(p, p, bit_at(end_k) == 0 ? kind::ack : kind::nack, 0, 0);
        return emit_all();
    }

    uint64_t point(uint64_t d) const {
        return static_cast<uint64_t>(std::floor((static_cast<double>(d) + sp_) * bit_));
    }
    uint64_t offset(uint64_t d) const {
        return d < off_.size() ? off_[d] : point(d);
    }
    // The sample points of the grid before d samples from its edge (offset(j) < d).
    uint64_t count(uint64_t d) const {
        return d < counts_.size() ? counts_[d] : count_far(d);
    }
    // Beyond the table (at low bit rates, or a long run that ends a frame).
    [[gnu::noinline, gnu::cold]] uint64_t count_far(uint64_t d) const {
        auto j = static_cast<uint64_t>(std::max(0.0, static_cast<double>(d) / bit_ - sp_ - 1));
        while (point(j) < d)
            ++j;
        return j;
    }

    bool find_sof(edges::view& v, state& st) {
        while (rx_.has(v)) {
            const uint64_t s = v.s[v.pos];
            v.level = v.l[v.pos++];
            if (v.level != 0) {
                st.high_since = s;
                continue;
            }
            if (st.high_since == never_high || s - st.high_since < idle_) continue;
            // The start of frame is the first bit of the stuffed run. whole_frame() needs only
            // its sample; the rest of the state is set up for take() when it is needed.
            st.in_frame = true;
            st.sof = s;
            return true;
        }
        return false;
    }

    // The state at the start of frame, for the frame read bit by bit.
    static void begin_frame(state& st) {
        const uint64_t high_since = st.high_since, sof = st.sof;
        st = state{};
        st.high_since = high_since;
        st.stuffing = true;
        st.in_frame = true;
        st.ref_s = st.sof = sof;
        st.next = 14; // SOF, identifier, RTR or SRR, IDE
    }

    // m bits of level `level` on the bus, the first d bits after the last resynchronising
    // edge. A loop turn per field boundary, stuff bit or stuffing break, else one for the
    // whole run.
    void take(state& st, uint8_t level, uint64_t d, uint64_t m, std::vector<frame>& out) {
        while (m > 0) {
            uint64_t t = st.next - st.i;
            if (st.stuffing) {
                if (level != st.last) {
                    if (st.same == 5) {
                        // The stuff bit: dropped, the first of the new run. Stuffing covers
                        // the CRC's last bits too; then it ends.
                        st.same = 1;
                        st.last = level;
                        ++d;
                        --m;
                        if (st.at == field::ack) st.stuffing = false;
                        continue;
                    }
                    st.same = 0;
                    st.last = level;
                } else if (st.same == 5) {
                    stuff_error(st, st.ref_s + offset(d), out);
                    return;
                }
                t = std::min<uint64_t>(t, static_cast<uint64_t>(5 - st.same));
            }
            t = std::min(t, m);
            if (st.stuffing) st.same += static_cast<int>(t);
            // t is at most a field's length (19 bits).
            st.acc = (st.acc << t) | (level ? (uint64_t{1} << t) - 1 : 0);
            // The field's first bit among these: its sample point (no branch on the data).
            const uint64_t j = st.start - st.i; // wraps for a start before i
            const uint64_t first = st.ref_s + offset(d + std::min<uint64_t>(j, t - 1));
            st.start_pt = j < t ? first : st.start_pt;
            st.i += static_cast<unsigned>(t);
            d += t;
            m -= t;
            if (st.i == st.next) {
                field_done(st, st.ref_s + offset(d - 1), out);
                if (!st.in_frame) return;
            }
        }
    }

    // The field whose last bit (at sample `last`) just arrived.
    void field_done(state& st, uint64_t last, std::vector<frame>& out) {
        const unsigned i = st.i;
        // The CRC covers the bits up to the end of the data; the bits since the last field
        // are the lowest of acc (fields are shorter than 64 bits).
        const unsigned upto = std::min(i, st.crc_end);
        if (upto > st.crc_done) {
            st.crc = crc_add(st.crc, st.acc >> (i - upto), upto - st.crc_done);
            st.crc_done = upto;
        }
        // One frame for every field but an extended identifier's first part, written in one
        // place (one inlined append).
        uint64_t from = st.start_pt, value = 0;
        uint16_t k = 0, flags = 0;
        switch (st.at) {
        case field::id: {
            const bool ide = st.acc & 1;
            st.base = (st.acc >> 2) & 0x7FF;
            if (ide) {
                st.id_flags = flag::extended;
                st.at = field::ext_id;
                st.start = 14;
                st.next = 33; // 18 identifier bits, RTR
                return;
            }
            st.id_flags = (st.acc >> 1) & 1 ? flag::remote : 0;
            from = st.sof;
            k = kind::can_id;
            value = st.base;
            flags = st.id_flags;
            begin_dlc(st, 15);
            break;
        }
        case field::ext_id:
            if (st.acc & 1) st.id_flags |= flag::remote;
            from = st.sof;
            k = kind::can_id;
            value = (st.base << 18) | ((st.acc >> 1) & 0x3FFFF);
            flags = st.id_flags;
            begin_dlc(st, 35);
            break;
        case field::dlc: {
            value = st.acc & 0xF;
            k = kind::can_dlc;
            const unsigned bytes = (st.id_flags & flag::remote)
                                       ? 0
                                       : static_cast<unsigned>(std::min<uint64_t>(value, 8));
            st.crc_end = i + 8 * bytes;
            st.start = i;
            if (bytes) {
                st.at = field::data;
                st.next = i + 8;
            } else {
                st.at = field::crc;
                st.next = st.crc_end + 15;
            }
            break;
        }
        case field::data:
            value = st.acc & 0xFF;
            k = kind::data;
            st.start = i;
            if (i == st.crc_end) {
                st.at = field::crc;
                st.next = i + 15;
            } else {
                st.next = i + 8;
            }
            break;
        case field::crc:
            value = st.acc & 0x7FFF;
            k = kind::can_crc;
            flags = value == st.crc ? 0 : flag::crc_error;
            // Five equal bits at the end of the CRC are followed by one more stuff bit.
            st.stuffing = st.same == 5;
            st.at = field::ack;
            st.next = i + 2; // the CRC delimiter, the acknowledgement slot
            break;
        case field::ack:
            // A receiver drives the slot dominant. The frame is complete.
            from = last;
            k = (st.acc & 1) == 0 ? kind::ack : kind::nack;
            st.in_frame = false;
            break;
        }
        emit(out, from, last, k, value, flags);
    }

    static void begin_dlc(state& st, unsigned at) {
        st.at = field::dlc;
        st.start = at;
        st.next = at + 4;
    }

    // Six equal bits: stuffing broke inside the field under way, whose bits so far are
    // reported flagged; the CAN frame ends there.
    static void stuff_error(state& st, uint64_t p, std::vector<frame>& out) {
        static constexpr uint16_t kinds[] = {kind::can_id, kind::can_id,  kind::can_dlc,
                                             kind::data,   kind::can_crc, kind::ack};
        const unsigned n = st.i > st.start ? st.i - st.start : 0;
        const uint64_t value = n == 0 ? 0 : n >= 64 ? st.acc : st.acc & ((uint64_t{1} << n) - 1);
        const uint64_t a = st.i > st.start ? st.start_pt : p;
        emit(out, a, p, kinds[static_cast<int>(st.at)], value, flag::stuff_error | st.id_flags);
        st.in_frame = false;
    }

    edges rx_;
    double bit_ = 8, sp_ = 0.7;
    std::array<uint64_t, 64> off_{};
    std::vector<uint16_t> counts_;
    uint64_t idle_ = 0;
    static constexpr uint64_t never_high = ~uint64_t{0};
    bool started_ = false;
    state st_;
    // The frame under way in whole_frame().
    // The level of each raw bit (0 or 0xFF), the first last: raw bit k at raw_bytes - 1 - k.
    alignas(16) std::array<uint8_t, raw_bytes> raw_{};
    std::array<uint8_t, max_bits + 16> ref_of_; // the resynchronising edge of each raw bit
    std::array<uint64_t, max_bits + 1> ref_s_;  // those edges' samples
    std::array<uint64_t, max_bits + 1> ref_k_;  // the raw bit each began
    std::array<uint16_t, max_bits + 8> stuffs_; // the stuff bits' raw positions
    uint64_t ds_[words] = {};                   // the destuffed bits, the first the highest
    std::array<frame, 16> frames_;              // a frame's, written out at once
};

} // namespace

std::unique_ptr<decoder> make_can(const source& src, description_reader& s) {
    return std::make_unique<can>(src, s);
}

} // namespace decode
