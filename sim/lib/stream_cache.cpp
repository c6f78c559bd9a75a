#include "stream_cache.h"

#include "packet_encoder.h"

#include <algorithm>
#include <cstring>

namespace kestrel_sim {

size_t stream_replay::produce(uint8_t* out, size_t len) {
    const auto& b = r_->bytes;
    const size_t n = std::min(len, b.size() - at_);
    std::memcpy(out, b.data() + at_, n);
    at_ += n;
    // The packets handed out, in a loop of its own: most are samples packets of 7 samples.
    size_t end = unit_end_;
    int64_t pos = pos_, from = unit_from_;
    while (end < at_) {
        from = pos;
        size_t p = end;
        while (p + 16 <= b.size()) {
            const uint8_t* q = b.data() + p;
            p += 16;
            const auto type = static_cast<pkt_type>(q[15] >> 6);
            if (type == pkt_samples) {
                pos += 7;
                break;
            }
            if (type == pkt_delta) {
                pos += 7 * static_cast<int64_t>(q[0] | (q[1] << 8) | (q[2] << 16));
                break;
            }
        }
        // A recording ends with a whole packet; this only guards against a cut one.
        end = std::max(p, std::min(b.size(), end + 16));
    }
    unit_end_ = end;
    pos_ = pos;
    unit_from_ = from;
    return n;
}

} // namespace kestrel_sim
