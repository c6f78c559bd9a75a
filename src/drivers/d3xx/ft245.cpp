#include "drivers/d3xx/ft245.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "mox/check.h"

namespace d3xx {

namespace {

using clock = std::chrono::steady_clock;

// Never destroyed: bridges may still be read while the process exits.
std::mutex& inuse_mutex() {
    static auto& m = *new std::mutex;
    return m;
}

clock::time_point& last_use() {
    static clock::time_point t{};
    return t;
}

std::mutex& listing_mutex() {
    static auto& m = *new std::mutex;
    return m;
}

err status(abi::FT_STATUS s) {
    return static_cast<err>(s);
}

std::string bounded(const char* s, size_t max) {
    return std::string(s, strnlen(s, max));
}

} // namespace

void ft245::set_inuse() {
    std::lock_guard lock(inuse_mutex());
    last_use() = clock::now();
}

bool ft245::get_inuse(uint32_t ms) {
    std::lock_guard lock(inuse_mutex());
    return last_use() != clock::time_point{} &&
           clock::now() - last_use() < std::chrono::milliseconds(ms);
}

ft245::~ft245() {
    if (hm.valid()) close();
}

err ft245::open_scan(core& lib, const std::string& sn, const std::string& desc) {
    abi::DWORD version = 0;
    lib.get_lib_version(&version);
    abi::DWORD count = 0;
    if (err e = status(lib.create_device_info_list(&count)); e != err::OK) return e;
    std::vector<abi::FT_DEVICE_LIST_INFO_NODE> nodes(count);
    if (count > 0) {
        if (err e = status(lib.get_device_info_list(nodes.data(), &count)); e != err::OK) return e;
    }
    if (count == 0) return err::DEVICE_NOT_FOUND;
    nodes.resize(std::min<size_t>(count, nodes.size()));

    // Several devices carry bridges with the same serial numbers: the first match wins,
    // so that no handle is opened and then lost.
    for (size_t i = 0; i < nodes.size(); ++i) {
        const auto& n = nodes[i];
        const bool sn_match = sn.size() <= sizeof n.SerialNumber &&
                              std::strncmp(n.SerialNumber, sn.c_str(), sn.size()) == 0;
        if (!sn_match || bounded(n.Description, sizeof n.Description) != desc) continue;
        abi::FT_HANDLE h = nullptr;
        if (err e = status(lib.create(reinterpret_cast<void*>(i),
                                      static_cast<abi::DWORD>(creat_flags_t::OPEN_BY_INDEX), &h));
            e != err::OK)
            return e;
        hm.set(h);
        break;
    }
    if (!hm.valid()) return err::DEVICE_NOT_FOUND;

    abi::DWORD driver_version = 0;
    const err e = status(lib.get_driver_version(hm.get(), &driver_version));
    if (e == err::OK) core::set_new_version(lib.kind == core::lib_version_t::new_lib);
    return e;
}

err ft245::open(const std::string& sn, const std::string& desc, uint16_t) {
    set_inuse();
    if (hm.valid()) close();
    rx_timeout_ms = 0;
    const err first = open_scan(core::instance(true), sn, desc);
    if (first == err::OK) return first;
    // A handle the first scan created but could not confirm (the device left, its driver
    // did not answer) is closed before the second scan stores its own: overwritten, it
    // would keep the bridge open for the life of the process.
    if (hm.valid()) close();
    return open_scan(core::instance(false), sn, desc);
}

err ft245::close() {
    void* h = hm.get();
    if (h == nullptr) return err::OK;
    const err e = status(core::instance(true).close(h));
    hm.reset();
    return e;
}

err ft245::read(std::vector<uint8_t>& buf, size_t len, uint16_t timeout_ms) {
    buf.resize(len);
    size_t transferred = 0;
    const err e = read(buf.data(), len, transferred, timeout_ms);
    buf.resize(transferred);
    return e;
}

err ft245::read(uint8_t* dst, size_t len, size_t& transferred, uint16_t timeout_ms) {
    transferred = 0;
    set_inuse();
    core& lib = core::instance(true);
    if (timeout_ms != rx_timeout_ms) {
        if (err e = status(lib.set_pipe_timeout(hm.get(), pipe_rx, timeout_ms)); e != err::OK)
            return e;
        rx_timeout_ms = timeout_ms;
    }
    if (len == 0) return err::OK;
    abi::ULONG got = 0;
    const err e = status(lib.read_pipe(hm.get(), pipe_rx, dst,
                                       static_cast<abi::ULONG>(std::min<size_t>(len, UINT32_MAX)),
                                       &got, nullptr));
    transferred = std::min<size_t>(got, len);
    // A time-out only says the device had nothing more for now, and an aborted read was
    // cut on purpose: aborting the pipe then would drop what the bridge holds in flight.
    // Other failures leave the pipe in an unknown state.
    if (e != err::OK && e != err::TIMEOUT && e != err::OPERATION_ABORTED)
        lib.abort_pipe(hm.get(), pipe_rx);
    return e;
}

err ft245::write(const std::vector<uint8_t>& data, size_t& written, uint16_t) {
    set_inuse();
    written = 0;
    core& lib = core::instance(true);
    abi::ULONG transferred = 0;
    const err e =
        status(lib.write_pipe(hm.get(), pipe_tx, const_cast<uint8_t*>(data.data()),
                              static_cast<abi::ULONG>(data.size()), &transferred, nullptr));
    if (e != err::OK) {
        lib.abort_pipe(hm.get(), pipe_tx);
        return e;
    }
    lib.flush_pipe(hm.get(), pipe_tx);
    written = transferred;
    return err::OK;
}

err ft245::flush_rx() {
    return status(core::instance(true).flush_pipe(hm.get(), pipe_rx));
}

err ft245::abort_rx() {
    if (!hm.valid()) return err::INVALID_HANDLE;
    return status(core::instance(true).abort_pipe(hm.get(), pipe_rx));
}

bool ft245::is_open() {
    if (!hm.valid()) return false;
    uint32_t data = 0;
    return status(core::instance(true).read_gpio(hm.get(), &data)) == err::OK;
}

err ft245::read_config() {
    abi::FT_60XCONFIGURATION scratch{};
    return status(core::instance(true).get_chip_configuration(hm.get(), &scratch));
}

err ft245::write_config(abi::FT_60XCONFIGURATION cfg) {
    return status(core::instance(true).set_chip_configuration(hm.get(), &cfg));
}

std::vector<hw::descriptor> ft245::scan(core& lib, const std::string& sn_prefix) {
    std::vector<hw::descriptor> found;
    abi::DWORD count = 0;
    if (status(lib.create_device_info_list(&count)) != err::OK || count == 0) return found;
    std::vector<abi::FT_DEVICE_LIST_INFO_NODE> nodes(count);
    if (status(lib.get_device_info_list(nodes.data(), &count)) != err::OK) return found;
    nodes.resize(std::min<size_t>(count, nodes.size()));
    for (const auto& n : nodes) {
        hw::descriptor d{bounded(n.SerialNumber, sizeof n.SerialNumber),
                         bounded(n.Description, sizeof n.Description)};
        if (d.sn.starts_with(sn_prefix)) found.push_back(d);
    }
    return found;
}

std::vector<hw::descriptor> ft245::list_devices(const std::string& sn_prefix, bool) {
    std::lock_guard lock(listing_mutex());
    set_inuse();
    dev_list = scan(core::instance(true), sn_prefix);
    bool modern = true;
    if (dev_list.empty()) {
        dev_list = scan(core::instance(false), sn_prefix);
        modern = false;
    }
    if (!dev_list.empty()) core::set_new_version(modern);
    return dev_list;
}

gpio::gpio(handle_manager& h, uint8_t gpio_index) : hm(h), index(gpio_index) {
    MOX_ASSERT(gpio_index < 2);
}

err gpio::write(bool value) {
    return status(core::instance(true).write_gpio(hm.get(), 1u << index,
                                                  static_cast<uint32_t>(value) << index));
}

bool gpio::read() {
    uint32_t data = 0;
    if (status(core::instance(true).read_gpio(hm.get(), &data)) != err::OK) return false;
    return (data >> index) & 1u;
}

err gpio::set_direction(bool output, pull p) {
    core& lib = core::instance(true);
    const uint32_t bit = 1u << index;
    if (!output) {
        const uint32_t pull_bits = static_cast<uint32_t>(p) << (2 * index);
        if (err e = status(lib.set_gpio_pull(hm.get(), bit, pull_bits)); e != err::OK) return e;
    }
    const uint32_t en = hm.gpio_en_mask.load() | bit;
    const uint32_t dir =
        output ? (hm.gpio_dir_mask.load() | bit) : (hm.gpio_dir_mask.load() & ~bit);
    const err e = status(lib.enable_gpio(hm.get(), en, dir));
    if (e == err::OK) {
        hm.gpio_en_mask = en;
        hm.gpio_dir_mask = dir;
    }
    return e;
}

err gpio::set_dir_input(pull p) {
    return set_direction(false, p);
}

err gpio::set_dir_output(bool value) {
    const err e = set_direction(true, pull::none);
    return e == err::OK ? write(value) : e;
}

} // namespace d3xx
