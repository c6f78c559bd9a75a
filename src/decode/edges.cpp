#include "decode/edges.h"

namespace decode {

bool edges::refill() {
    pos_ = n_ = 0;
    // Once everything before the horizon was read, only a later horizon can bring more.
    if (dry_at_ == horizon_) return false;
    while (next_from_ < horizon_) {
        const size_t got = src_->read(ch_, next_from_, s_.data(), l_.data(), block);
        if (got == 0) break;
        // Keep the changes before the horizon; the rest is read again under a later one.
        uint8_t prev = level_;
        size_t i = 0;
        if (!started_) {
            // The first item is the level at sample 0, not an edge.
            started_ = true;
            level_ = prev = l_[0];
            i = 1;
            next_from_ = 1;
        }
        size_t out = 0;
        bool beyond = false;
        for (; i < got; ++i) {
            if (static_cast<isamp>(s_[i]) >= horizon_) {
                beyond = true;
                break;
            }
            next_from_ = static_cast<isamp>(s_[i]) + 1;
            if (l_[i] == prev) continue;
            prev = l_[i];
            s_[out] = s_[i];
            l_[out] = l_[i];
            ++out;
        }
        n_ = out;
        if (out > 0) return true;
        if (beyond || got < block) break;
    }
    dry_at_ = horizon_;
    return false;
}

} // namespace decode
