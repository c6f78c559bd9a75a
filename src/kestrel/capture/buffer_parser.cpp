#include "kestrel/capture/buffer_parser.h"

#include <algorithm>
#include <cstring>

namespace kestrel {

namespace {

// Bit k of a packet is bit k % 8 of byte k / 8, so the packet reads as one little-endian
// 128-bit number.
unsigned __int128 load_packet(const uint8_t* p) {
    unsigned __int128 v = 0;
    for (int i = 15; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

} // namespace

buffer_parser::buffer_parser(uint8_t grp, append_fn_t append_function)
    : append_fn(std::move(append_function)), grp_idx(grp) {}

buffer_parser::buffer_parser(uint8_t grp, batch_fn_t batch_function, size_t block_len)
    : batch_fn(std::move(batch_function)), grp_idx(grp),
      block_size(std::max<size_t>(block_len, 1)) {
    block.reserve(block_size);
}

void buffer_parser::parse(std::span<const uint8_t> src) {
    size_t pos = 0;
    if (pending_len > 0) {
        const size_t take = std::min(packet_size - pending_len, src.size());
        std::memcpy(pending + pending_len, src.data(), take);
        pending_len += take;
        pos = take;
        if (pending_len == packet_size) {
            packet(pending);
            pending_len = 0;
        }
    }
    for (; pos + packet_size <= src.size(); pos += packet_size)
        packet(src.data() + pos);
    if (pos < src.size()) {
        pending_len = src.size() - pos;
        std::memcpy(pending, src.data() + pos, pending_len);
    }
    flush_block();
}

void buffer_parser::packet(const uint8_t* p) {
    last_packet = pkt;
    pkt = static_cast<pkt_t>(p[15] >> 6);
    switch (pkt) {
    case pkt_t::delta_s:
        // Each idle packet stands for its own 7 x N unchanged samples, also when several
        // follow each other (an idle stretch longer than one count can hold).
        if (!first_packet) {
            const uint32_t n = p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16);
            last_transition.delta_samples = 7 * n;
            if (n > 0) emit(last_transition);
            last_transition.delta_samples = 0;
        }
        break;
    case pkt_t::trig:
        trigger_pos_in_pkt = p[0];
        break;
    case pkt_t::samples:
        unpack(p);
        oci_pos_in_pkt = (oci_pos_in_pkt & 0x40) ? 0xFF : 0;
        break;
    case pkt_t::rfu:
        oci_pos_in_pkt = p[0];
        break;
    }
    first_packet = false;
}

void buffer_parser::unpack(const uint8_t* p) {
    const unsigned __int128 v = load_packet(p);
    for (unsigned i = 0; i < 7; ++i) {
        uint64_t levels = static_cast<uint64_t>(v >> (18 * i)) & levels_mask;
        // The first sample and the trigger sample get records of their own: the capture
        // tool measures the pre-trigger history from record times.
        bool forced = first_sample;
        first_sample = false;
        if (!trig_marker_found && trigger_pos_in_pkt != 0xFF && ((trigger_pos_in_pkt >> i) & 1)) {
            trig_marker_found = true;
            forced = true;
        }
        transition.trigged = trig_marker_found;
        transition.delta_samples += 1;
        if ((oci_pos_in_pkt >> i) & 1) levels |= oci_flag;
        transition.levels = levels;
        if (levels == last_transition.levels && i != 6 && !forced) continue;
        emit(transition);
        transition.delta_samples = 0;
        last_transition = transition;
    }
}

void buffer_parser::emit(kestrel_trs& t) {
    if (!batch_fn) {
        kestrel_trs copy = t;
        append_fn(copy, grp_idx);
        return;
    }
    block.push_back(t);
    if (block.size() >= block_size) flush_block();
}

void buffer_parser::flush_block() {
    if (block.empty()) return;
    batch_fn(std::span<kestrel_trs>(block), grp_idx);
    block.clear();
}

} // namespace kestrel
