#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "hw/direct_batch.h"
#include "hw/logic_trs.h"

namespace kestrel {

using kestrel_trs = hw::logic_trs<uint64_t, uint32_t>;

// Turns one group's USB3 stream of 16-byte packets into run-length records: one at every
// change of the group's 18 levels or of the output-sync flag (bit 18), one at the last
// sample of every samples packet, one per idle stretch, and one at the first and at the
// trigger sample. The
// buffers of one capture form one continuous stream: a packet cut by the end of a buffer is
// completed by the next one.
class buffer_parser final : private hw::batch_writer {
public:
    enum class pkt_t : uint8_t { samples = 0, delta_s = 1, trig = 2, rfu = 3 };

    static constexpr size_t packet_size = 16;
    static constexpr uint64_t levels_mask = 0x3FFFF;
    static constexpr uint64_t oci_flag = uint64_t{1} << 18;

    using append_fn_t = std::function<void(kestrel_trs&, uint8_t)>;
    // Receives the records in order, in blocks (the capture path takes one lock per block).
    using batch_fn_t = std::function<void(std::span<kestrel_trs>, uint8_t)>;

    buffer_parser(uint8_t grp_idx, append_fn_t append_function);
    buffer_parser(uint8_t grp_idx, batch_fn_t batch_function, size_t block_size = 8192);
    buffer_parser(const buffer_parser&) = delete;
    buffer_parser& operator=(const buffer_parser&) = delete;

    // Every record of src reaches the sink before parse returns.
    void parse(const std::vector<uint8_t>& src) { parse(std::span<const uint8_t>(src)); }
    void parse(std::span<const uint8_t> src);

    bool trigger_found() const { return trig_marker_found; }

    // After the trigger, long runs of plain samples packets go straight into the group's
    // batch (times and changed bits) instead of through records; the batch is the one the
    // records go to. Null: every record goes to the batch function.
    void write_batches_to(hw::batch_sink* sink) { direct = sink; }
    // The records and the direct writer a packet at a time in vector lanes where the
    // processor allows (the default), or sample by sample (for tests to compare the two).
    void use_wide_writer(bool on) { wide = on; }

private:
    size_t plain_samples(const uint8_t* p, size_t n);
    size_t direct_samples(const uint8_t* p, size_t n);
    // The state a run of `packets` samples packets leaves, its last levels `levels`, taken
    // either way.
    void after_samples(uint64_t levels, size_t packets);
    bool write(hw::batch_window& w) override;
    void packet(const uint8_t* p);
    void unpack(const uint8_t* p);
    void emit(const kestrel_trs& t);
    void flush_block();

    append_fn_t append_fn;
    batch_fn_t batch_fn;
    const uint8_t grp_idx;
    pkt_t last_packet = pkt_t::rfu;
    pkt_t pkt = pkt_t::rfu;
    bool first_packet = true;
    bool first_sample = true;
    kestrel_trs last_transition{};
    bool trig_marker_found = false;
    uint8_t trigger_pos_in_pkt = 0xFF;
    uint8_t oci_pos_in_pkt = 0;
    kestrel_trs transition{};

    uint8_t pending[packet_size] = {};
    size_t pending_len = 0;
    std::vector<kestrel_trs> block;
    size_t block_used = 0;
    size_t block_size = 0;

    hw::batch_sink* direct = nullptr;
    const uint8_t* direct_at = nullptr; // the packets the direct writer has left
    size_t direct_left = 0;
    uint64_t direct_last = 0; // the levels after the last packet it wrote
    bool wide = true;
};

} // namespace kestrel
