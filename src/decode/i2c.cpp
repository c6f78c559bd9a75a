// I2C: start and stop conditions (SDA changing while SCL is high), bits sampled where SCL
// rises, eight to a byte and a ninth for the acknowledgement. The first byte after a start
// is the address; 11110xx begins a 10-bit address, reported as one ADDRESS frame.
#include "decode/decoder.h"

#include <limits>

namespace decode {

namespace {

class i2c final : public decoder {
public:
    i2c(const source& src, description_reader& s)
        : scl_(src, s.channel(src, "scl")), sda_(src, s.channel(src, "sda")) {
        s.finish("scl, sda");
    }

    bool run(isamp horizon, std::vector<frame>& out, size_t enough) override {
        scl_.set_horizon(horizon);
        sda_.set_horizon(horizon);
        constexpr uint64_t none = std::numeric_limits<uint64_t>::max();
        for (;;) {
            if (out.size() >= enough) return true;
            const uint64_t tc = scl_.has() ? scl_.sample() : none;
            const uint64_t td = sda_.has() ? sda_.sample() : none;
            if (tc == none && td == none) return false;
            // At one sample SDA goes first: SCL then samples the new level, as a logic
            // analyser's samples show it.
            if (td <= tc) {
                const uint8_t lv = sda_.next_level();
                sda_.take();
                if (scl_.level() == 0) continue;
                if (lv == 0) {
                    start(out, td);
                } else if (active_) {
                    if (pending_) flush_pending(out);
                    emit(out, td, td, kind::stop, 0, 0);
                    active_ = false;
                }
                continue;
            }
            const uint8_t lv = scl_.next_level();
            scl_.take();
            if (lv == 1 && active_) bit(out, tc, sda_.level());
        }
    }

private:
    void start(std::vector<frame>& out, uint64_t t) {
        if (pending_) flush_pending(out);
        emit(out, t, t, active_ ? kind::repeated_start : kind::start, 0, 0);
        active_ = true;
        n_ = 0;
        byte_ = 0;
        index_ = 0;
    }

    void flush_pending(std::vector<frame>& out) {
        // A 10-bit address whose second byte never came: its first byte as it stands.
        emit(out, first_, addr_end_, kind::address, (addr_hi_ << 8), read_ ? flag::read : 0);
        out.push_back(pending_ack_);
        pending_ = false;
    }

    void bit(std::vector<frame>& out, uint64_t t, uint8_t sda) {
        if (n_ == 0) first_bit_ = t;
        if (n_ < 8) {
            byte_ = static_cast<uint8_t>((byte_ << 1) | sda);
            if (++n_ == 8) byte_end_ = t;
            return;
        }
        // The acknowledgement of the byte just read.
        frame a;
        a.start_sample = a.end_sample = t;
        a.kind = sda == 0 ? kind::ack : kind::nack;
        n_ = 0;
        const uint8_t b = byte_;
        byte_ = 0;
        if (index_++ == 0) {
            read_ = (b & 1) != 0;
            if ((b & 0xF8) == 0xF0) {
                addr_hi_ = (b >> 1) & 3;
                if (read_ && has_addr10_ && (addr10_ >> 8) == addr_hi_) {
                    // A read after a 10-bit write: the address already sent in full.
                    emit(out, first_bit_, byte_end_, kind::address, addr10_, flag::read);
                    out.push_back(a);
                    return;
                }
                if (!read_) {
                    // The low eight bits follow in the next byte.
                    pending_ = true;
                    first_ = first_bit_;
                    addr_end_ = byte_end_;
                    pending_ack_ = a;
                    return;
                }
            }
            emit(out, first_bit_, byte_end_, kind::address, b >> 1, read_ ? flag::read : 0);
            out.push_back(a);
            return;
        }
        if (pending_) {
            addr10_ = (addr_hi_ << 8) | b;
            has_addr10_ = true;
            emit(out, first_, byte_end_, kind::address, addr10_, 0);
            out.push_back(pending_ack_);
            out.push_back(a);
            pending_ = false;
            return;
        }
        emit(out, first_bit_, byte_end_, kind::data, b, read_ ? flag::read : 0);
        out.push_back(a);
    }

    edges scl_, sda_;
    bool active_ = false; // between a start and a stop
    int n_ = 0;           // bits of the byte under way (8: the acknowledgement is next)
    uint8_t byte_ = 0;
    unsigned index_ = 0; // bytes since the start
    bool read_ = false;
    uint64_t first_bit_ = 0, byte_end_ = 0;
    // A 10-bit address: its high bits, the whole of the last one written.
    uint64_t addr_hi_ = 0, addr10_ = 0;
    bool has_addr10_ = false;
    bool pending_ = false;
    uint64_t first_ = 0, addr_end_ = 0;
    frame pending_ack_;
};

} // namespace

std::unique_ptr<decoder> make_i2c(const source& src, description_reader& s) {
    return std::make_unique<i2c>(src, s);
}

} // namespace decode
