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
    uart(const source& src, description_reader& s) : rx_(src, s.channel(src, "rx")) {
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
        counts_.resize(std::min<uint64_t>(off_[points_ - 1] + 1, 1 << 16));
        for (size_t d = 0, c = 0; d < counts_.size(); ++d) {
            while (c < static_cast<size_t>(points_) && off_[c] < d)
                ++c;
            counts_[d] = static_cast<uint8_t>(c);
        }
    }

    bool run(isamp horizon, std::vector<frame>& out, size_t enough) override {
        rx_.set_horizon(horizon);
        const auto h = static_cast<uint64_t>(horizon);
        auto v = rx_.get();
        struct put_back {
            edges& e;
            edges::view& v;
            ~put_back() { e.put(v); }
        } keep{rx_, v};
        const uint64_t full = (uint64_t{1} << points_) - 1;
        for (;;) {
            if (!pending_) {
                if (out.size() >= enough) return true;
                if (!find_start(v)) return false;
                pending_ = true;
            }
            // A frame is read once the edges up to its last sample point are all there.
            const uint64_t last = s0_ + off_[points_ - 1];
            if (last >= h) return false;
            pending_ = false;
            if (((rx_.level_at(v, s0_ + off_[0]) ^ invert_) & 1) != 0) {
                // A glitch, not a start bit: the line went back to idle.
                if (v.pos > 0) high_since_ = v.s[v.pos - 1];
                continue;
            }
            // Every point from the start bit's on holds the level there, until an edge
            // changes the points after it: no branch on the data.
            uint64_t word = 0, rise = s0_;
            for (;;) {
                while (v.pos < v.n && v.s[v.pos] <= last) {
                    const uint64_t after = full & (~uint64_t{0} << count(v.s[v.pos] - s0_));
                    const uint64_t at = v.s[v.pos];
                    v.level = v.l[v.pos++];
                    const uint64_t bit = (v.level ^ invert_) & 1;
                    word = (word & ~after) | (after & (uint64_t{0} - bit));
                    rise = bit ? at : rise;
                }
                if (v.pos < v.n || !rx_.refill(v)) break;
            }
            // The idle before the next start bit counts from the frame's last rise.
            high_since_ = rise;
            finish(word >> 1, out);
        }
    }

private:
    enum class par { none, even, odd, mark, space };

    // The sample points before an edge d samples after the start edge (off_[j] < d).
    unsigned count(uint64_t d) const {
        if (d < counts_.size()) return counts_[d];
        unsigned c = 0;
        while (c < static_cast<unsigned>(points_) && off_[c] < d)
            ++c;
        return c;
    }

    bool find_start(edges::view& v) {
        while (rx_.has(v)) {
            const uint64_t s = v.s[v.pos];
            const bool to_space = ((v.l[v.pos] ^ invert_) & 1) == 0;
            v.level = v.l[v.pos++];
            if (!to_space) {
                high_since_ = s;
                continue;
            }
            // After a long enough idle the edge is a start bit for certain.
            if (!synced_ && s - high_since_ >= resync_) {
                synced_ = true;
            }
            s0_ = s;
            return true;
        }
        return false;
    }

    void finish(uint64_t word, std::vector<frame>& out) {
        // word: data bits from bit 0, then parity, then the stop bit.
        const uint64_t mask = (uint64_t{1} << bits_) - 1;
        uint64_t data = word & mask;
        const bool has_parity = parity_ != par::none;
        const uint64_t parity_bit = (word >> bits_) & 1;
        const uint64_t stop_bit = (word >> (bits_ + (has_parity ? 1 : 0))) & 1;
        frame f;
        f.start_sample = s0_;
        f.end_sample = s0_ + length_ - 1;
        if (word == 0) {
            // Low through the stop bit: a break, not a word.
            f.kind = kind::brk;
            report(f, out);
            return;
        }
        if (msb_) data = reverse_bits(data, bits_);
        f.kind = kind::data;
        f.value = data;
        if (has_parity) {
            const uint64_t ones = static_cast<uint64_t>(std::popcount(word & mask));
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
        report(f, out);
    }

    // Without an idle line to start from, the first start bit is a guess, and a wrong one
    // can read as whole frames for a while before the true start bits pull the reading
    // into line: the first `confirm` frames read whole (stop bit high, parity right) in a
    // row are skipped, a flawed one starts the count again.
    void report(const frame& f, std::vector<frame>& out) {
        if (synced_) {
            out.push_back(f);
            return;
        }
        if (f.kind != kind::data || f.flags != 0)
            whole_ = 0;
        else if (++whole_ == confirm)
            synced_ = true;
    }

    edges rx_;
    int bits_ = 8;
    par parity_ = par::none;
    uint8_t invert_ = 0;
    bool msb_ = false;
    int points_ = 0;
    std::array<uint64_t, 12> off_{};
    uint64_t length_ = 0, resync_ = 0;
    std::vector<uint8_t> counts_; // count() for the offsets within a frame
    // The frame under way: its start edge, waiting for its last sample point.
    uint64_t s0_ = 0;
    bool pending_ = false;
    static constexpr size_t confirm = 8;
    bool synced_ = false;
    size_t whole_ = 0; // frames read whole in a row before the first start bit is sure
    uint64_t high_since_ = 0;
};

} // namespace

std::unique_ptr<decoder> make_uart(const source& src, description_reader& s) {
    return std::make_unique<uart>(src, s);
}

} // namespace decode
