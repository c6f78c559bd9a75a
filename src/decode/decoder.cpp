#include "decode/decoder.h"

#include <algorithm>
#include <cstring>

namespace decode {

std::string_view kind_name(uint16_t k) {
    static constexpr std::string_view names[] = {
        "?",   "DATA", "DATA_MISO", "START",  "REPEATED_START", "STOP",   "ADDRESS",
        "ACK", "NACK", "BREAK",     "CAN_ID", "CAN_DLC",        "CAN_CRC"};
    return k < std::size(names) ? names[k] : names[0];
}

std::string flag_names(uint16_t flags) {
    static constexpr const char* names[] = {"PARITY_ERROR", "FRAMING_ERROR", "READ",  "CRC_ERROR",
                                            "STUFF_ERROR",  "EXTENDED",      "REMOTE"};
    std::string out;
    for (size_t b = 0; b < std::size(names); ++b)
        if (flags & (1u << b)) out += (out.empty() ? "" : "|") + std::string(names[b]);
    return out;
}

std::unique_ptr<decoder> make_decoder(const source& src, const std::string& text) {
    description_reader s(text);
    const std::string& p = s.protocol();
    if (p == "uart") return make_uart(src, s);
    if (p == "spi") return make_spi(src, s);
    if (p == "i2c") return make_i2c(src, s);
    if (p == "can") return make_can(src, s);
    s.fail_protocol("unknown protocol (uart, spi, i2c or can)");
}

double samples_per_unit(const source& src, description_reader& s, const char* key, uint64_t rate) {
    if (!(src.period() > 0)) s.refuse(key, "the capture gives no sampling rate");
    const double per = 1.0 / (src.period() * static_cast<double>(rate));
    if (!(per >= 2)) {
        const auto hz = static_cast<uint64_t>(1.0 / src.period() + 0.5);
        s.refuse(key, "needs a sampling rate of at least twice that (the capture's is " +
                          std::to_string(hz) + " Hz)");
    }
    return per;
}

session::session(std::shared_ptr<const source> src, const std::string& text)
    : src_(std::move(src)), dec_(make_decoder(*src_, text)) {}

size_t session::read(frame* out, size_t capacity, bool& more) {
    std::lock_guard l(m_);
    struct held {
        const source& s;
        explicit held(const source& src) : s(src) { s.hold(); }
        ~held() { s.release(); }
    } h(*src_);
    // Frames are decoded a piece at a time into a queue that stays in the cache, and
    // copied out until the caller's buffer is full or the decoder reached the horizon.
    constexpr size_t piece = 8192;
    size_t n = 0;
    bool ran_dry = false;
    while (n < capacity) {
        if (queue_pos_ == queue_.size()) {
            if (ran_dry) break;
            queue_.clear();
            queue_pos_ = 0;
            // Whether it grows first: once it does not, the covered length is final.
            const bool growing = src_->growing();
            const bool left = dec_->run(src_->covered(), queue_, piece);
            work_left_ = left || growing;
            ran_dry = !left;
            if (queue_.empty()) break;
        }
        const size_t k = std::min(capacity - n, queue_.size() - queue_pos_);
        std::memcpy(out + n, queue_.data() + queue_pos_, k * sizeof(frame));
        queue_pos_ += k;
        n += k;
    }
    more = queue_pos_ < queue_.size() || work_left_;
    return n;
}

} // namespace decode
