// Classic CAN (11- and 29-bit identifiers): bits sampled at the sample point from the start
// of frame, resynchronised on every recessive-to-dominant edge, stuff bits removed up to
// the end of the CRC, the CRC-15 checked. Bits go into a shift register with their sample
// points; a field is read out of it at once when its last bit arrived.
#include "decode/decoder.h"

#include <array>
#include <cmath>

namespace decode {

namespace {

class can final : public decoder {
    // What every bit changes, kept in locals while bits are read.
    struct bits_t {
        uint64_t acc = 0;       // the last bits after destuffing, the latest lowest
        uint32_t crc = 0;       // CRC-15 of the bits up to crc_end
        unsigned i = 0;         // bits after destuffing, from the start of frame
        unsigned next = 0;      // i where the field under way ends
        unsigned crc_end = ~0u; // i where the CRC sequence begins
        int same = 0;           // equal bits in a row on the bus
        uint8_t last = 2;       // the level of those
        bool stuffing = false;
    };

public:
    can(const source& src, spec& s) : rx_(src, s.channel(src, "rx")) {
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
            if (rx_.level_at(0) == 0) high_since_ = never_high;
        }
        auto v = rx_.get();
        bits_t b = b_;
        struct put_back {
            can& self;
            edges::view& v;
            bits_t& b;
            ~put_back() {
                self.rx_.put(v);
                self.b_ = b;
            }
        } keep{*this, v, b};
        for (;;) {
            if (!in_frame_) {
                if (out.size() >= enough) return true;
                if (!find_sof(v)) return false;
                b = b_;
            }
            // The bits whose sample points come before the next edge (or the horizon) hold
            // the level there; a dominant edge then resynchronises the bit grid.
            const bool edge = rx_.has(v);
            const uint64_t until = edge ? v.s[v.pos] : h;
            const uint64_t end_k = ref_k_ + count(until - ref_s_);
            // The grid in locals: step() changes in_frame_ only at a field's end.
            const uint64_t base = ref_s_, first = ref_k_;
            const uint8_t level = v.level;
            uint64_t k = k_;
            while (k < end_k) {
                const uint64_t d = k - first;
                ++k;
                step(b, level, base + (d < off_.size() ? off_[d] : point(d)), out);
                if (!in_frame_) break;
            }
            k_ = k;
            if (!in_frame_) continue;
            if (!edge) return false;
            v.level = v.l[v.pos++];
            if (v.level == 0) {
                ref_s_ = until;
                ref_k_ = k_;
            } else {
                high_since_ = until;
            }
        }
    }

private:
    enum class field { id, ext_id, dlc, data, crc, ack };

    uint64_t point(uint64_t d) const {
        return static_cast<uint64_t>(std::floor((static_cast<double>(d) + sp_) * bit_));
    }
    uint64_t offset(uint64_t d) const { return d < off_.size() ? off_[d] : point(d); }
    // The sample points of the grid before d samples from its edge (offset(j) < d).
    uint64_t count(uint64_t d) const {
        if (d < counts_.size()) return counts_[d];
        auto j = static_cast<uint64_t>(std::max(0.0, static_cast<double>(d) / bit_ - sp_ - 1));
        while (point(j) < d)
            ++j;
        return j;
    }

    bool find_sof(edges::view& v) {
        while (rx_.has(v)) {
            const uint64_t s = v.s[v.pos];
            v.level = v.l[v.pos++];
            if (v.level != 0) {
                high_since_ = s;
                continue;
            }
            if (high_since_ == never_high || s - high_since_ < idle_) continue;
            in_frame_ = true;
            ref_s_ = ref_sof_ = s;
            ref_k_ = k_ = 0;
            b_.i = 0;
            // The start of frame is the first bit of the stuffed run.
            b_.stuffing = true;
            b_.same = 0;
            b_.last = 2;
            b_.crc = 0;
            b_.crc_end = ~0u;
            b_.acc = 0;
            field_ = field::id;
            field_start_ = 1;
            b_.next = 14; // SOF, identifier, RTR or SRR, IDE
            id_flags_ = 0;
            return true;
        }
        return false;
    }

    // One bit as sampled at p, into the local copy b of b_.
    void step(bits_t& b, uint8_t bit, uint64_t p, std::vector<frame>& out) {
        if (b.stuffing) {
            if (b.same == 5) {
                if (bit == b.last) {
                    b_ = b;
                    stuff_error(p, out);
                    return;
                }
                b.last = bit;
                b.same = 1;
                // Stuffing covers the CRC's last bits too; then it ends.
                if (field_ == field::ack) b.stuffing = false;
                return;
            }
            b.same = bit == b.last ? b.same + 1 : 1;
            b.last = bit;
        }
        const uint32_t fb = ((b.crc >> 14) ^ bit) & 1;
        const uint32_t next_crc = ((b.crc << 1) ^ (0x4599u & (0u - fb))) & 0x7FFF;
        b.crc = b.i < b.crc_end ? next_crc : b.crc;
        b.acc = (b.acc << 1) | bit;
        pts_[b.i] = p;
        if (++b.i == b.next) {
            b_ = b;
            field_done(out);
            b = b_;
        }
    }

    // The field whose last bit just arrived.
    void field_done(std::vector<frame>& out) {
        const unsigned i = b_.i;
        switch (field_) {
        case field::id: {
            const bool ide = b_.acc & 1;
            base_ = (b_.acc >> 2) & 0x7FF;
            if (ide) {
                id_flags_ = flag::extended;
                field_ = field::ext_id;
                field_start_ = 14;
                b_.next = 33; // 18 identifier bits, RTR
                return;
            }
            id_flags_ = (b_.acc >> 1) & 1 ? flag::remote : 0;
            emit(out, sof(), pts_[13], kind::can_id, base_, id_flags_);
            begin_dlc(15);
            return;
        }
        case field::ext_id:
            if (b_.acc & 1) id_flags_ |= flag::remote;
            emit(out, sof(), pts_[32], kind::can_id, (base_ << 18) | ((b_.acc >> 1) & 0x3FFFF),
                 id_flags_);
            begin_dlc(35);
            return;
        case field::dlc: {
            const uint64_t dlc = b_.acc & 0xF;
            emit(out, pts_[dlc_at_], pts_[i - 1], kind::can_dlc, dlc, 0);
            const unsigned bytes =
                (id_flags_ & flag::remote) ? 0 : static_cast<unsigned>(std::min<uint64_t>(dlc, 8));
            b_.crc_end = i + 8 * bytes;
            field_start_ = i;
            if (bytes) {
                field_ = field::data;
                b_.next = i + 8;
            } else {
                field_ = field::crc;
                b_.next = b_.crc_end + 15;
            }
            return;
        }
        case field::data:
            emit(out, pts_[i - 8], pts_[i - 1], kind::data, b_.acc & 0xFF, 0);
            field_start_ = i;
            if (i == b_.crc_end) {
                field_ = field::crc;
                b_.next = i + 15;
            } else {
                b_.next = i + 8;
            }
            return;
        case field::crc: {
            const uint64_t crc = b_.acc & 0x7FFF;
            emit(out, pts_[i - 15], pts_[i - 1], kind::can_crc, crc,
                 crc == b_.crc ? 0 : flag::crc_error);
            // Five equal bits at the end of the CRC are followed by one more stuff bit.
            b_.stuffing = b_.same == 5;
            field_ = field::ack;
            b_.next = i + 2; // the CRC delimiter, the acknowledgement slot
            return;
        }
        case field::ack:
            // A receiver drives the slot dominant. The frame is complete.
            emit(out, pts_[i - 1], pts_[i - 1], (b_.acc & 1) == 0 ? kind::ack : kind::nack, 0, 0);
            in_frame_ = false;
            return;
        }
    }

    void begin_dlc(unsigned at) {
        dlc_at_ = at;
        field_ = field::dlc;
        field_start_ = at;
        b_.next = at + 4;
    }

    uint64_t sof() const { return ref_sof_; }

    // Six equal bits: stuffing broke inside the field under way, whose bits so far are
    // reported flagged; the CAN frame ends there.
    void stuff_error(uint64_t p, std::vector<frame>& out) {
        static constexpr uint16_t kinds[] = {kind::can_id, kind::can_id,  kind::can_dlc,
                                             kind::data,   kind::can_crc, kind::ack};
        const unsigned n = b_.i > field_start_ ? b_.i - field_start_ : 0;
        const uint64_t value = n == 0 ? 0 : n >= 64 ? b_.acc : b_.acc & ((uint64_t{1} << n) - 1);
        const uint64_t a = b_.i > field_start_ ? pts_[field_start_] : p;
        emit(out, a, p, kinds[static_cast<int>(field_)], value, flag::stuff_error | id_flags_);
        in_frame_ = false;
    }

    edges rx_;
    double bit_ = 8, sp_ = 0.7;
    std::array<uint64_t, 64> off_{};
    std::vector<uint16_t> counts_;
    uint64_t idle_ = 0;
    static constexpr uint64_t never_high = ~uint64_t{0};
    uint64_t high_since_ = 0;
    bool started_ = false;
    // The frame under way.
    bool in_frame_ = false;
    uint64_t ref_s_ = 0, ref_k_ = 0, k_ = 0; // resynchronisation edge, its bit, next raw bit
    uint64_t ref_sof_ = 0;
    bits_t b_;
    unsigned field_start_ = 0, dlc_at_ = 15;
    field field_ = field::id;
    uint64_t base_ = 0;
    uint16_t id_flags_ = 0;
    std::array<uint64_t, 128> pts_{};
};

} // namespace

std::unique_ptr<decoder> make_can(const source& src, spec& s) {
    return std::make_unique<can>(src, s);
}

} // namespace decode
