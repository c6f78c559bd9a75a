// Asynchronous serial: start bit, 5..9 data bits, optional parity, 1, 1.5 or 2 stop bits,
// every bit sampled in its middle from the start bit's edge.
#include "decode/decoder.h"

#include <array>
#include <bit>
#include <cmath>

namespace decode {

namespace {

class uart final : public decoder {
public:
    uart(const source& src, spec& s) : rx_(src, s.channel(src, "rx")) {
        const uint64_t baud = s.number("baud", 1, 1000000000, std::nullopt, " baud");
        bits_ = static_cast<int>(s.number("bits", 5, 9, 8));
        parity_ = static_cast<par>(s.choice("parity", {"none", "even", "odd", "mark", "space"}, 0));
        const size_t stop = s.choice("stop", {"1", "1.5", "2"}, 0);
        invert_ = s.word("invert") ? 1 : 0;
        msb_ = s.word("msb");
        s.finish("rx, baud, bits, parity, stop, invert, msb");
        const double bit = samples_per_unit(src, s, "baud", baud);
        // Sample points from the start edge: start bit, data bits, parity, first stop bit.
        points_ = 1 + bits_ + (parity_ != par::none ? 1 : 0) + 1;
        for (int j = 0; j < points_; ++j)
            off_[j] = static_cast<uint64_t>(std::floor((j + 0.5) * bit));
        const double stop_bits = stop == 0 ? 1 : stop == 1 ? 1.5 : 2;
        length_ = static_cast<uint64_t>(std::llround((points_ - 1 + stop_bits) * bit));
        // A falling edge after the line was high this long cannot lie inside a frame: the
        // longest high run within one ends at its last data or parity bit.
        resync_ = static_cast<uint64_t>(std::ceil((points_ - 2) * bit));
    }

    bool run(isamp horizon, std::vector<frame>& out, size_t enough) override {
        rx_.set_horizon(horizon);
        const auto h = static_cast<uint64_t>(horizon);
        for (;;) {
            if (j_ < 0) {
                if (out.size() >= enough) return true;
                if (!find_start()) return false;
            }
            // The sample points of the frame under way.
            for (; j_ < points_; ++j_) {
                const uint64_t p = s0_ + off_[j_];
                if (p >= h) return false;
                const uint64_t b = (rx_.level_at(p) ^ invert_) & 1;
                if (j_ == 0) {
                    if (b != 0) break; // a glitch, not a start bit
                    continue;
                }
                word_ |= b << (j_ - 1);
            }
            if (j_ < points_) {
                j_ = -1;
                continue;
            }
            finish(out);
        }
    }

private:
    enum class par { none, even, odd, mark, space };

    bool find_start() {
        while (rx_.has()) {
            const uint64_t s = rx_.sample();
            const bool to_space = ((rx_.next_level() ^ invert_) & 1) == 0;
            rx_.take();
            if (!to_space) {
                high_since_ = s;
                continue;
            }
            if (!synced_ && s - high_since_ < resync_) continue;
            s0_ = s;
            j_ = 0;
            word_ = 0;
            return true;
        }
        return false;
    }

    void finish(std::vector<frame>& out) {
        // word_: data bits from bit 0, then parity, then the stop bit.
        const uint64_t mask = (uint64_t{1} << bits_) - 1;
        uint64_t data = word_ & mask;
        const bool has_parity = parity_ != par::none;
        const uint64_t parity_bit = (word_ >> bits_) & 1;
        const uint64_t stop_bit = (word_ >> (bits_ + (has_parity ? 1 : 0))) & 1;
        frame f;
        f.start_sample = s0_;
        f.end_sample = s0_ + length_ - 1;
        j_ = -1;
        synced_ = true;
        if (word_ == 0) {
            // Low through the stop bit: a break, not a word.
            f.kind = kind::brk;
            out.push_back(f);
            return;
        }
        if (msb_) data = reverse_bits(data, bits_);
        f.kind = kind::data;
        f.value = data;
        if (has_parity) {
            const uint64_t ones = static_cast<uint64_t>(std::popcount(word_ & mask));
            bool ok = true;
            switch (parity_) {
            case par::even:
                ok = ((ones + parity_bit) & 1) == 0;
                break;
            case par::odd:
                ok = ((ones + parity_bit) & 1) == 1;
                break;
            case par::mark:
                ok = parity_bit == 1;
                break;
            case par::space:
                ok = parity_bit == 0;
                break;
            case par::none:
                break;
            }
            if (!ok) f.flags |= flag::parity_error;
        }
        if (stop_bit == 0) f.flags |= flag::framing_error;
        out.push_back(f);
    }

    edges rx_;
    int bits_ = 8;
    par parity_ = par::none;
    uint8_t invert_ = 0;
    bool msb_ = false;
    int points_ = 0;
    std::array<uint64_t, 12> off_{};
    uint64_t length_ = 0, resync_ = 0;
    // The frame under way: its start edge, the next sample point (-1: none), the bits.
    uint64_t s0_ = 0;
    int j_ = -1;
    uint64_t word_ = 0;
    bool synced_ = false;
    uint64_t high_since_ = 0;
};

} // namespace

std::unique_ptr<decoder> make_uart(const source& src, spec& s) {
    return std::make_unique<uart>(src, s);
}

} // namespace decode
