#include "decode/edges.h"

#include <cstring>

namespace decode {

bool edges::refill() {
    pos_ = n_ = 0;
    return fill(0);
}

bool edges::keep_and_fill(size_t keep) {
    const size_t m = n_ - keep;
    std::memmove(s_.data(), s_.data() + keep, m * sizeof(uint64_t));
    std::memmove(l_.data(), l_.data() + keep, m);
    pos_ = n_ = m;
    return m < block && fill(m);
}

bool edges::fill(size_t at) {
    n_ = at;
    // Once everything before the horizon was read, only a later horizon can bring more.
    if (dry_at_ == horizon_) return false;
    if (started_ && changes_) {
        // Once the level at sample 0 is known, the source drops the repeats and stops at
        // the horizon itself: the items go into the buffer as they are.
        if (next_from_ < horizon_) {
            const uint8_t prev = at > 0 ? l_[at - 1] : level_;
            const size_t got = src_->read_changes(ch_, next_from_, horizon_, prev, s_.data() + at,
                                                  l_.data() + at, block - at, cur_);
            next_from_ = cur_.from;
            n_ = at + got;
            if (got > 0) return true;
        }
        dry_at_ = horizon_;
        return false;
    }
    while (next_from_ < horizon_) {
        const size_t room = block - at;
        const size_t got = src_->read(ch_, next_from_, s_.data() + at, l_.data() + at, room);
        if (got == 0) break;
        // Keep the changes before the horizon; the rest is read again under a later one.
        uint8_t prev = at > 0 ? l_[at - 1] : level_;
        size_t i = at;
        if (!started_) {
            // The first item is the level at sample 0, not an edge.
            started_ = true;
            level_ = prev = l_[at];
            i = at + 1;
            next_from_ = 1;
        }
        size_t out = at;
        bool beyond = false;
        for (; i < at + got; ++i) {
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
        if (out > at) return true;
        if (beyond || got < room) break;
    }
    dry_at_ = horizon_;
    return false;
}

} // namespace decode
