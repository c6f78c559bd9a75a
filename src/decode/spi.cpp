// SPI: a word of 1..64 bits sampled on the clock edge the mode gives, framed by chip select
// when there is one. A word that chip select cuts short is reported flagged.
#include "decode/decoder.h"

#include <limits>
#include <optional>

namespace decode {

namespace {

class spi final : public decoder {
public:
    spi(const source& src, description_reader& s) : clk_(src, s.channel(src, "clk")) {
        if (auto ch = s.optional_channel(src, "mosi")) mosi_.emplace(src, *ch);
        if (auto ch = s.optional_channel(src, "miso")) miso_.emplace(src, *ch);
        if (auto ch = s.optional_channel(src, "cs")) cs_.emplace(src, *ch);
        const auto mode = s.number("mode", 0, 3, 0);
        bits_ = static_cast<int>(s.number("bits", 1, 64, 8));
        lsb_ = s.word("lsb");
        cs_active_ = s.word("cs_high") ? 1 : 0;
        s.finish("clk, mosi, miso, cs, mode, bits, lsb, cs_high");
        if (!mosi_ && !miso_) s.refuse("clk", "mosi= or miso= is missing");
        // Modes 0 and 3 sample on the rising edge, 1 and 2 on the falling one.
        sample_level_ = ((mode >> 1) ^ (mode & 1)) == 0 ? 1 : 0;
    }

    bool run(isamp horizon, std::vector<frame>& out, size_t enough) override {
        clk_.set_horizon(horizon);
        if (mosi_) mosi_->set_horizon(horizon);
        if (miso_) miso_->set_horizon(horizon);
        if (cs_) {
            cs_->set_horizon(horizon);
            if (!started_ && horizon > 0) {
                // A capture that begins with chip select active begins inside a frame whose
                // first bits are lost: its words are skipped until chip select lets go.
                started_ = true;
                selected_ = cs_->level_at(0) == cs_active_;
                valid_ = !selected_;
            }
        }
        constexpr uint64_t none = std::numeric_limits<uint64_t>::max();
        for (;;) {
            if (out.size() >= enough) return true;
            const uint64_t t = clk_.has() ? clk_.sample() : none;
            if (cs_) {
                // Chip select changes at or before the clock edge come first.
                while (cs_->has() && cs_->sample() <= t)
                    select(out);
            }
            if (t == none) return false;
            const uint8_t lv = clk_.next_level();
            clk_.take();
            if (lv != sample_level_ || (cs_ && !(selected_ && valid_))) continue;
            if (n_ == 0) first_ = t;
            const uint64_t bit = lsb_ ? uint64_t{1} << n_ : 1;
            if (mosi_)
                w_mosi_ = lsb_ ? w_mosi_ | (mosi_->level_at(t) ? bit : 0)
                               : (w_mosi_ << 1) | mosi_->level_at(t);
            if (miso_)
                w_miso_ = lsb_ ? w_miso_ | (miso_->level_at(t) ? bit : 0)
                               : (w_miso_ << 1) | miso_->level_at(t);
            if (++n_ == bits_) emit(out, t, 0);
        }
    }

private:
    void select(std::vector<frame>& out) {
        const uint64_t s = cs_->sample();
        const bool active = cs_->next_level() == cs_active_;
        cs_->take();
        if (active == selected_) return;
        selected_ = active;
        if (!active) {
            if (n_ > 0 && valid_) emit(out, s, flag::framing_error);
            valid_ = true;
        }
        n_ = 0;
        w_mosi_ = w_miso_ = 0;
    }

    void emit(std::vector<frame>& out, uint64_t end, uint16_t flags) {
        frame f;
        f.start_sample = first_;
        f.end_sample = end;
        f.flags = flags;
        if (mosi_) {
            f.kind = kind::data;
            f.value = w_mosi_;
            out.push_back(f);
        }
        if (miso_) {
            f.kind = kind::data_miso;
            f.value = w_miso_;
            out.push_back(f);
        }
        n_ = 0;
        w_mosi_ = w_miso_ = 0;
    }

    edges clk_;
    std::optional<edges> mosi_, miso_, cs_;
    int bits_ = 8;
    bool lsb_ = false;
    uint8_t cs_active_ = 0;
    uint8_t sample_level_ = 1;
    bool started_ = false;
    bool selected_ = false, valid_ = true;
    int n_ = 0;
    uint64_t first_ = 0;
    uint64_t w_mosi_ = 0, w_miso_ = 0;
};

} // namespace

std::unique_ptr<decoder> make_spi(const source& src, description_reader& s) {
    return std::make_unique<spi>(src, s);
}

} // namespace decode
