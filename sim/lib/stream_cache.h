// The bytes of a group's stream kept from one run for the next. A test bench relaunches
// the same short capture again and again; each run of the same signals, settings and
// trigger sample produces the same bytes, and encoding them cost the process about as much
// CPU as the host's parse of them. A run whose stream matches the last one's copies it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kestrel_sim {

// Everything a group's stream depends on, unpaced and without outputs driven.
struct stream_key {
    uint64_t signals = 0; // the inputs' generation: any change of a signal changes it
    uint64_t freq = 0;
    unsigned groups = 0, master = 0, group = 0;
    int64_t pre = 0, post = 0, total = 0;
    int64_t first_abs = 0; // device sample of capture sample 0
    int64_t end = 0;       // capture sample the stream ends at (an injected overrun moves it)
    bool operator==(const stream_key&) const = default;
};

struct stream_recording {
    explicit stream_recording(const stream_key& k) : key(k) {}
    // A stream estimated larger than this is not kept: the cache is for short captures
    // and must not weigh on the memory of long ones.
    static constexpr size_t max_bytes = size_t{8} << 20;
    // Packets of 16 bytes per 7 samples, and a little for the trigger's.
    static size_t estimate(int64_t samples) {
        return static_cast<size_t>((samples + 6) / 7) * 16 + 1024;
    }

    const stream_key key;
    std::vector<uint8_t> bytes;
    bool complete = false; // the whole stream, up to its end
};

// A recorded stream handed out as `packet_encoder::produce` would, with the same positions:
// they follow from the packets themselves (a trigger or output-sync packet goes with the
// samples packet after it, as the encoder stages them together).
class stream_replay {
public:
    explicit stream_replay(std::shared_ptr<const stream_recording> r) : r_(std::move(r)) {}

    size_t produce(uint8_t* out, size_t len);
    int64_t pos() const { return pos_; }
    int64_t whole_pos() const { return staged() == 0 ? pos_ : unit_from_; }
    size_t staged() const { return unit_end_ - at_; }

private:
    std::shared_ptr<const stream_recording> r_;
    size_t at_ = 0;       // bytes handed out
    size_t unit_end_ = 0; // end of the packets staged together that hold byte at_ - 1
    int64_t pos_ = 0;     // capture samples up to unit_end_
    int64_t unit_from_ = 0;
};

} // namespace kestrel_sim
