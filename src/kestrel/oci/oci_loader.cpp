#include "kestrel/oci/oci_loader.h"

namespace kestrel {

namespace {

constexpr uint8_t no_loop = oci::word::no_loop;
constexpr uint32_t levels_lsb = 10;
constexpr uint32_t hold_mask = 0x1FF;
constexpr uint32_t loop_count_mask = 0x0FFFFFFF;
constexpr uint32_t address_lsb = 14;

} // namespace

oci_loader_t::oci_loader_t(communication& com, capabilities& caps, hw::status& status)
    : com(com), caps(caps), status(status) {}

uint32_t oci_loader_t::device_word(const oci::word& w, uint8_t group) {
    uint32_t dw = static_cast<uint32_t>(w.cmd) << 30 | uint32_t{w.loop_marker & 3u} << 28;
    switch (w.cmd) {
    case oci::command::puthold:
        for (uint32_t k = 0; k < capabilities::ch_per_goup; ++k)
            if (w.bits[group * capabilities::ch_per_goup + k]) dw |= 1u << (levels_lsb + k);
        if (w.long_hold) dw |= 1u << 9;
        dw |= static_cast<uint32_t>(w.hold) & hold_mask;
        break;
    case oci::command::loop:
        dw |= static_cast<uint32_t>(w.loop_count) & loop_count_mask;
        break;
    case oci::command::end:
    case oci::command::rfu_pause:
        break;
    }
    return dw;
}

void oci_loader_t::build_loading_vector(std::vector<oci::word> oci_data, uint8_t group) {
    loading_vector.clear();
    loading_vector.reserve(oci_data.size() * 16);
    // Loop levels are numbered by nesting depth: the first loop opened is 0, one opened
    // inside it 1, and a loop word closes the innermost.
    uint8_t level = no_loop;
    for (size_t i = 0; i < oci_data.size(); ++i) {
        oci::word& w = oci_data[i];
        if (w.cmd == oci::command::puthold && w.loop_marker != no_loop) {
            level = static_cast<uint8_t>((level + 1) % 4);
            w.loop_marker = level;
        } else if (w.cmd == oci::command::loop) {
            level = static_cast<uint8_t>((level + 3) % 4);
        }
        const uint32_t dw = device_word(w, group);
        for (uint32_t b = 0; b < 4; ++b) {
            // The address field is 18 bits wide; the engine takes the bytes in order.
            const uint32_t v =
                ((dw >> (8 * b)) & 0xFF) | static_cast<uint32_t>((4 * i + b) << address_lsb);
            for (uint32_t k = 0; k < 4; ++k)
                loading_vector.push_back(static_cast<uint8_t>(v >> (8 * k)));
        }
    }
}

bool oci_loader_t::send_to_device(const std::vector<oci::word>& oci_data) {
    if (oci_data.size() > oci_chunk_max_size) return false;
    std::lock_guard lk(mutex);
    for (size_t i = 0; i < caps.groups_count; ++i) {
        // Data group i serves configuration entry i, which holds the highest groups first.
        build_loading_vector(oci_data, static_cast<uint8_t>(caps.groups_count - 1 - i));
        if (i >= com.usb_interfaces.size() || !com.usb_interfaces[i]) continue;
        size_t written = 0;
        (void)com.usb_interfaces[i]->driver.write(loading_vector, written, write_timeout_ms);
    }
    return true;
}

} // namespace kestrel
