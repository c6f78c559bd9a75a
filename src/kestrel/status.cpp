#include "kestrel/status.h"

#include <stdexcept>

#include "mox/serdes.h"

namespace kestrel {

namespace {

uint8_t byte_at(std::span<const uint8_t> src, size_t& i) {
    uint8_t b = 0;
    serdes::pull_front(src, i, b, 8);
    return b;
}

bool flag_at(std::span<const uint8_t> src, size_t& i) {
    return byte_at(src, i) != 0;
}

void marker_at(std::span<const uint8_t> src, size_t& i) {
    if (byte_at(src, i) != 1) throw std::invalid_argument("src.at(i++) == 1");
}

} // namespace

void status_t::port_990::pull_from_vector(std::span<const uint8_t> src, size_t& i) {
    marker_at(src, i);
    detected = flag_at(src, i);
    backpower_clamped = flag_at(src, i);
    temperature = byte_at(src, i);
    gen_pgood = flag_at(src, i);
    main_pgood = flag_at(src, i);
    internal_pgood = flag_at(src, i);
}

void status_t::group::pull_from_vector(std::span<const uint8_t> src, size_t& i) {
    const uint8_t revision = byte_at(src, i);
    ft_pll_lock = flag_at(src, i);
    ddr_calib_done = flag_at(src, i);
    oci_ready = flag_at(src, i);
    if (revision > 1) oci_paused = flag_at(src, i);
    overrun = flag_at(src, i);
    underrun = flag_at(src, i);
    trigged = flag_at(src, i);
    version = byte_at(src, i);
    data_abailable = byte_at(src, i);
    loopback_word = byte_at(src, i);
    ports[0].pull_from_vector(src, i);
    ports[1].pull_from_vector(src, i);
    if (revision > 2) {
        in_only_probe = flag_at(src, i);
        in_only_fw = flag_at(src, i);
    }
}

void status_t::record::pull_from_vector(std::span<const uint8_t> src, size_t& i) {
    marker_at(src, i);
    mb_version.maj = byte_at(src, i);
    mb_version.min = byte_at(src, i);
    serdes::pull_front(src, i, mb_version.build, 8);
    mb_temperature = byte_at(src, i);
    main_pll_locked = flag_at(src, i);
    fpga_pll_locked = flag_at(src, i);
    const uint8_t n = byte_at(src, i);
    groups.resize(n);
    for (group& g : groups)
        g.pull_from_vector(src, i);
}

status_t::status_t(const capabilities& caps, ver_t initial) {
    current.mb_version = initial;
    current.groups.resize(caps.groups_count);
}

void status_t::pull_from_vector(std::span<const uint8_t> src, size_t& i) {
    record next = get();
    size_t at = i;
    next.pull_from_vector(src, at);
    mox::mutex_lock lock(m);
    current = std::move(next);
    records.fetch_add(1, std::memory_order_release);
    i = at;
}

void status_t::set_oci_ready(uint32_t mask) {
    mox::mutex_lock lock(m);
    for (size_t g = 0; g < current.groups.size(); ++g)
        current.groups[g].oci_ready = g < 32 && ((mask >> g) & 1u);
}

status_t::record status_t::get() const {
    mox::mutex_lock lock(m);
    return current;
}

status_t::ver_t status_t::mb_version() const {
    mox::mutex_lock lock(m);
    return current.mb_version;
}

std::vector<status_t::group> status_t::groups() const {
    mox::mutex_lock lock(m);
    return current.groups;
}

size_t status_t::groups_count() const {
    mox::mutex_lock lock(m);
    return current.groups.size();
}

} // namespace kestrel
