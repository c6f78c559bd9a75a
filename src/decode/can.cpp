// Classic CAN (11- and 29-bit identifiers): bits sampled at the sample point from the start
// of frame, resynchronised on every recessive-to-dominant edge, stuff bits removed up to
// the end of the CRC, the CRC-15 checked.
#include "decode/decoder.h"

#include <array>
#include <cmath>

namespace decode {

namespace {

class can final : public decoder {
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
        // frame and the intermission: 11 recessive bits (10 with half a bit of slack).
        idle_ = static_cast<uint64_t>(std::floor(10.5 * bit_));
    }

    bool run(isamp horizon, std::vector<frame>& out, size_t enough) override {
        rx_.set_horizon(horizon);
        const auto h = static_cast<uint64_t>(horizon);
        if (!started_ && horizon > 0) {
            // A line dominant at sample 0 has no idle behind it until it rises.
            started_ = true;
            if (rx_.level_at(0) == 0) high_since_ = never_high;
        }
        for (;;) {
            if (!in_frame_) {
                if (out.size() >= enough) return true;
                if (!find_sof()) return false;
            }
            // The next bit's sample point; a dominant edge before it resynchronises.
            uint64_t p = ref_s_ + offset(k_ - ref_k_);
            while (rx_.has() && rx_.sample() <= p) {
                const uint64_t e = rx_.sample();
                const uint8_t lv = rx_.next_level();
                rx_.take();
                if (lv == 0) {
                    ref_s_ = e;
                    ref_k_ = k_;
                    p = ref_s_ + off_[0];
                } else {
                    high_since_ = e;
                }
            }
            if (p >= h) return false;
            ++k_;
            step(rx_.level(), p, out);
        }
    }

private:
    uint64_t point(uint64_t d) const {
        return static_cast<uint64_t>(std::floor((static_cast<double>(d) + sp_) * bit_));
    }
    uint64_t offset(uint64_t d) const { return d < off_.size() ? off_[d] : point(d); }

    bool find_sof() {
        while (rx_.has()) {
            const uint64_t s = rx_.sample();
            const uint8_t lv = rx_.next_level();
            rx_.take();
            if (lv != 0) {
                high_since_ = s;
                continue;
            }
            if (high_since_ == never_high || s - high_since_ < idle_) continue;
            in_frame_ = true;
            ref_s_ = s;
            ref_k_ = k_ = 0;
            i_ = 0;
            // The start of frame is the first bit of the stuffed run.
            stuffing_ = true;
            same_ = 0;
            last_ = 2;
            crc_ = 0;
            ext_ = false;
            field_ = 0;
            sof_ = s;
            return true;
        }
        return false;
    }

    void emit(std::vector<frame>& out, uint64_t a, uint64_t b, uint16_t k, uint64_t v,
              uint16_t flags) {
        frame f;
        f.start_sample = a;
        f.end_sample = b;
        f.kind = k;
        f.value = v;
        f.flags = flags;
        out.push_back(f);
    }

    // One bit as sampled at p.
    void step(uint8_t b, uint64_t p, std::vector<frame>& out) {
        if (stuffing_) {
            if (same_ == 5) {
                if (b == last_) {
                    // Six equal bits: stuffing broke inside the field under way.
                    emit(out, field_start_, p, field_kind_, field_, flag::stuff_error | id_flags_);
                    in_frame_ = false;
                    return;
                }
                last_ = b;
                same_ = 1;
                return;
            }
            same_ = b == last_ ? same_ + 1 : 1;
            last_ = b;
        }
        const unsigned i = i_++;
        if (i < crc_at_) crc_ = ((crc_ << 1) ^ (((crc_ >> 14) ^ b) & 1 ? 0x4599u : 0u)) & 0x7FFF;
        if (i == 0) {
            // Start of frame: the identifier field begins.
            begin(p, kind::can_id);
            dlc_at_ = 15;
            crc_at_ = ~0u;
            id_flags_ = 0;
            return;
        }
        if (i < dlc_at_) {
            // Identifier, RTR or SRR, IDE, extension, RTR, reserved bits.
            if (i <= 11) {
                field_ = (field_ << 1) | b;
            } else if (i == 12) {
                rtr_ = b;
            } else if (i == 13) {
                if (b) {
                    ext_ = true;
                    id_flags_ = flag::extended;
                    dlc_at_ = 35;
                } else {
                    id_flags_ = rtr_ ? flag::remote : 0;
                    emit(out, sof_, p, kind::can_id, field_, id_flags_);
                }
            } else if (ext_ && i <= 31) {
                field_ = (field_ << 1) | b;
            } else if (ext_ && i == 32) {
                if (b) id_flags_ |= flag::remote;
                emit(out, sof_, p, kind::can_id, field_, id_flags_);
            }
            if (i + 1 == dlc_at_) begin(p, kind::can_dlc);
            return;
        }
        if (i < dlc_at_ + 4) {
            if (i == dlc_at_) field_start_ = p;
            field_ = (field_ << 1) | b;
            if (i + 1 == dlc_at_ + 4) {
                emit(out, field_start_, p, kind::can_dlc, field_, 0);
                const uint64_t bytes =
                    (id_flags_ & flag::remote) ? 0 : std::min<uint64_t>(field_, 8);
                data_end_ = dlc_at_ + 4 + 8 * static_cast<unsigned>(bytes);
                crc_at_ = data_end_;
                field_ = 0;
                field_kind_ = bytes ? kind::data : kind::can_crc;
            }
            return;
        }
        if (i < data_end_) {
            if ((i - dlc_at_ - 4) % 8 == 0) begin(p, kind::data);
            field_ = (field_ << 1) | b;
            if ((i - dlc_at_ - 4) % 8 == 7) {
                emit(out, field_start_, p, kind::data, field_, 0);
                field_kind_ = kind::can_crc;
            }
            return;
        }
        if (i < data_end_ + 15) {
            if (i == data_end_) {
                begin(p, kind::can_crc);
                crc_calc_ = crc_;
            }
            field_ = (field_ << 1) | b;
            if (i + 1 == data_end_ + 15) {
                emit(out, field_start_, p, kind::can_crc, field_,
                     field_ == crc_calc_ ? 0 : flag::crc_error);
                stuffing_ = false;
            }
            return;
        }
        if (i == data_end_ + 15) return; // CRC delimiter
        // The acknowledgement slot: a receiver drives it dominant. The frame is complete.
        emit(out, p, p, b == 0 ? kind::ack : kind::nack, 0, 0);
        in_frame_ = false;
        stuffing_ = false;
    }

    void begin(uint64_t p, uint16_t k) {
        field_start_ = p;
        field_kind_ = k;
        field_ = 0;
    }

    edges rx_;
    double bit_ = 8, sp_ = 0.7;
    std::array<uint64_t, 64> off_{};
    uint64_t idle_ = 0;
    uint64_t high_since_ = 0;
    static constexpr uint64_t never_high = ~uint64_t{0};
    bool started_ = false;
    // The frame under way.
    bool in_frame_ = false;
    uint64_t ref_s_ = 0, ref_k_ = 0, k_ = 0; // resynchronisation edge, its bit, next raw bit
    unsigned i_ = 0;                         // bits after destuffing, from the start of frame
    int same_ = 0;
    uint8_t last_ = 2, rtr_ = 0;
    bool stuffing_ = false, ext_ = false;
    uint32_t crc_ = 0, crc_calc_ = 0;
    unsigned dlc_at_ = 15, data_end_ = 0, crc_at_ = ~0u;
    uint64_t field_ = 0, field_start_ = 0, sof_ = 0;
    uint16_t field_kind_ = kind::can_id, id_flags_ = 0;
};

} // namespace

std::unique_ptr<decoder> make_can(const source& src, spec& s) {
    return std::make_unique<can>(src, s);
}

} // namespace decode
