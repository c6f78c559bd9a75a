// The sample packets of one group's capture window, in stream order.
//
// Most inputs of a usual set-up repeat within a short period (counter bits, square waves);
// those channels are laid out once as samples packets over their common period (a tile),
// so that a stretch in which the other channels hold still is the tile's packets with the
// others' levels ORed in. The other channels are evaluated only where they change.
#pragma once

#include "trigger_search.h"
#include "waves.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace kestrel_sim {

enum pkt_type : uint8_t { pkt_samples = 0, pkt_delta = 1, pkt_trig = 2, pkt_rfu = 3 };

struct packet_bits {
    uint64_t lo = 0, hi = 0;
};

// The tiled channels of a group, aligned to the packets of one capture window.
struct packet_tile {
    uint32_t channels = 0;            // bit j: channel j of the group is in the tile
    std::vector<packet_bits> packets; // the tiled channels' levels, one samples packet each
    // Per packet: whole packets from it on whose tiled levels all equal those of the sample
    // before it (`always` when the tiled levels never change) ...
    std::vector<uint32_t> idle;
    // ... and packets from it on that cannot be part of such a stretch.
    std::vector<uint32_t> busy;
    static constexpr uint32_t always = UINT32_MAX;

    // Channels outside the tile that still repeat within max_samples but change every few
    // samples (counter bits at a fractional sample period): their levels over their own
    // period, looked up sample by sample.
    struct stripe {
        unsigned channel = 0;
        std::vector<uint8_t> levels; // level of device sample n at n % size
    };
    std::vector<stripe> stripes;

    // The longest period (in samples, with the packets' seven) a tile may span.
    static constexpr int64_t max_samples = int64_t{1} << 20;
};

std::shared_ptr<const packet_tile> make_packet_tile(const setup_t& s, unsigned group,
                                                    int64_t first_abs);

class packet_encoder {
public:
    // Capture sample 0 is device sample `first_abs`; the trigger is capture sample `trig_cap`.
    packet_encoder(const setup_t& s, unsigned group, int64_t first_abs, int64_t trig_cap);

    // Appends up to `len` bytes of the stream without starting a packet at or after capture
    // sample `limit` (a multiple of 7, or the end of the window). A packet may be cut
    // between calls. Returns the bytes written; fewer than `len` only at the limit.
    size_t produce(uint8_t* out, size_t len, int64_t limit);

    int64_t pos() const { return pos_; } // capture samples encoded
    // Capture samples in the packets handed out whole (a cut packet's are not).
    int64_t whole_pos() const { return stage_off_ == stage_len_ ? pos_ : staged_from_; }
    size_t staged() const { return stage_len_ - stage_off_; } // bytes of a cut packet to come

private:
    void catch_up(int64_t abs);
    void changes_within(int64_t abs, packet_bits& bits, uint8_t& sync_bits);
    void settle(int64_t from);
    void next_packets(int64_t limit);
    size_t bulk(uint8_t* out, size_t room, int64_t limit);
    void put(pkt_type type, const uint8_t* payload, size_t n);
    void put_samples(const packet_bits& p);
    void advance_tile(int64_t packets);
    void add_stripes(packet_bits& bits);

    const setup_t* s_;
    unsigned group_;
    int64_t first_abs_;
    int64_t trig_cap_;
    std::shared_ptr<const packet_tile> tile_; // built on first use
    size_t np_ = 1;                           // packets in the tile
    size_t k_ = 0;                            // tile packet of pos_

    std::array<cursor, 18> cur_;
    cursor sync_;
    std::vector<unsigned> slow_;    // channels outside the tile, evaluated where they change
    std::vector<size_t> stripe_at_; // per stripe: the index of pos_

    // The untiled channels and the output-sync flag hold these levels on [from, until).
    int64_t slow_from_ = -1, slow_until_ = -1;
    uint32_t slow_levels_ = 0;
    bool slow_sync_ = false;
    packet_bits slow_bits_;
    // Per untiled channel (as slow_), and for the flag: the first sample whose level may
    // differ from the one held. Only those reached are evaluated again: one channel's change
    // leaves the others' levels as they are.
    std::vector<int64_t> slow_next_;
    int64_t sync_next_ = -1;

    int64_t pos_ = 0;
    int64_t staged_from_ = 0; // pos_ before the staged packets
    bool last_delta_ = false;
    bool trig_sent_ = false;
    bool sync_on_ = false;
    std::array<uint8_t, 48> stage_{};
    size_t stage_off_ = 0, stage_len_ = 0;
};

} // namespace kestrel_sim
