#include "kestrel_sim/bus.h"

#include "bus_core.h"
#include "stats.h"
#include "stream_model.h"
#include "waves.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace kestrel_sim {

stats_t& stats() {
    static stats_t* s = new stats_t;
    return *s;
}

namespace {

std::vector<std::string> start_devices() {
    const char* env = std::getenv("KESTREL_SIM_DEVICES");
    if (env == nullptr) return {default_serial};
    std::vector<std::string> out;
    std::stringstream ss(env);
    std::string item;
    while (std::getline(ss, item, ',')) {
        const auto b = item.find_first_not_of(" \t");
        const auto e = item.find_last_not_of(" \t");
        if (b == std::string::npos) continue;
        item = item.substr(b, e - b + 1);
        bool dup = false;
        for (const auto& s : out)
            dup = dup || s == item;
        if (!dup) out.push_back(item);
    }
    return out;
}

// A byte count with an optional K, M or G suffix (powers of 1000).
uint64_t byte_count(const char* name, const std::string& text) {
    size_t used = 0;
    unsigned long long v = 0;
    try {
        v = std::stoull(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    uint64_t scale = 1;
    if (used > 0 && used + 1 == text.size()) {
        switch (text.back()) {
        case 'K':
        case 'k':
            scale = 1000;
            break;
        case 'M':
        case 'm':
            scale = 1000000;
            break;
        case 'G':
        case 'g':
            scale = 1000000000;
            break;
        default:
            used = 0;
        }
        if (used > 0) ++used;
    }
    if (used == 0 || used != text.size() || text.front() == '-' || v > UINT64_MAX / scale)
        throw std::invalid_argument(std::string(name) + "=" + text +
                                    ": expected a byte count such as 64M");
    return v * scale;
}

struct stream_model_slot {
    std::mutex m;
    stream_model_t model;
    bool loaded = false;
};

stream_model_slot& model_slot() {
    static auto* slot = new stream_model_slot;
    return *slot;
}

// A mistake in the environment leaves the defaults here: the bus refuses to be listed
// with the reason (bus_core::environment_mistake), the process goes on.
stream_model_t model_from_environment_or_default() {
    try {
        return stream_model_t::from_environment();
    } catch (const std::invalid_argument&) {
        return stream_model_t{};
    }
}

std::shared_ptr<device> need(const std::string& serial) {
    auto d = bus_core::get().find(serial);
    if (!d) throw std::invalid_argument("no plugged device " + serial);
    return d;
}

} // namespace

stream_model_t stream_model_t::from_environment() {
    stream_model_t m;
    auto get = [](const char* name) -> const char* {
        const char* v = std::getenv(name);
        return v != nullptr && *v != 0 ? v : nullptr;
    };
    if (const char* v = get("KESTREL_SIM_PACED")) {
        const std::string t(v);
        if (t != "0" && t != "1")
            throw std::invalid_argument("KESTREL_SIM_PACED=" + t + ": expected 0 or 1");
        m.paced = t == "1";
        if (m.paced) m.fifo_bytes = 16384;
    }
    if (const char* v = get("KESTREL_SIM_MEMORY")) {
        m.memory_bytes = byte_count("KESTREL_SIM_MEMORY", v);
        if (m.memory_bytes == 0)
            throw std::invalid_argument("KESTREL_SIM_MEMORY=0: the memory holds at least a byte");
    }
    if (const char* v = get("KESTREL_SIM_BRIDGE_RATE"))
        m.bridge_bytes_per_s = byte_count("KESTREL_SIM_BRIDGE_RATE", v);
    if (const char* v = get("KESTREL_SIM_FIFO")) {
        const uint64_t n = byte_count("KESTREL_SIM_FIFO", v);
        if (n > (1u << 30)) throw std::invalid_argument("KESTREL_SIM_FIFO: at most 1G");
        m.fifo_bytes = static_cast<uint32_t>(n);
    }
    return m;
}

stream_model_t current_stream_model() {
    auto& s = model_slot();
    std::lock_guard lk(s.m);
    if (!s.loaded) {
        s.model = model_from_environment_or_default();
        s.loaded = true;
    }
    return s.model;
}

void set_current_stream_model(const stream_model_t& m) {
    auto& s = model_slot();
    std::lock_guard lk(s.m);
    s.model = m;
    s.loaded = true;
}

std::string bus_core::environment_mistake() const {
    try {
        stream_model_t::from_environment();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    const auto env = read_environment_signals();
    if (!env.mistake.empty()) return env.mistake;
    constexpr unsigned channels_per_group = 18;
    unsigned channels = 0;
    for (const auto& d : plugged())
        channels = std::max(channels, d->groups() * channels_per_group);
    for (const auto& c : env.signals)
        for (unsigned ch : c.channels)
            if (channels > 0 && ch >= channels)
                return "KESTREL_SIM_SIGNALS: channel " + std::to_string(ch) +
                       ": the plugged devices have channels 0.." + std::to_string(channels - 1);
    return "";
}

// Never destroyed: entry points may still run from other threads at process exit.
bus_core& bus_core::get() {
    static bus_core* core = new bus_core;
    return *core;
}

bus_core::bus_core() {
    for (const auto& s : start_devices())
        plug_locked(s);
}

void bus_core::reset() {
    std::vector<std::shared_ptr<device>> old;
    {
        std::lock_guard lk(m_);
        old.swap(devices_);
        snapshot_.clear();
        snapshot_taken_ = false;
        bridge_open_failures_ = 0;
        next_address_ = 1;
        for (const auto& s : start_devices())
            plug_locked(s);
    }
    for (auto& d : old)
        d->unplug();
    stats().clear();
    set_current_stream_model(model_from_environment_or_default());
}

void bus_core::plug_locked(const std::string& serial) {
    if (serial.empty()) throw std::invalid_argument("empty serial number");
    for (const auto& d : devices_)
        if (d->plugged() && d->serial() == serial)
            throw std::invalid_argument("device " + serial + " is already plugged");
    std::erase_if(devices_, [](const auto& d) { return !d->plugged(); });
    devices_.push_back(std::make_shared<device>(serial, next_address_));
    next_address_ = static_cast<uint8_t>(next_address_ == 127 ? 1 : next_address_ + 1);
}

void bus_core::plug(const std::string& serial) {
    std::lock_guard lk(m_);
    plug_locked(serial);
}

bool bus_core::unplug(const std::string& serial) {
    std::shared_ptr<device> d;
    {
        std::lock_guard lk(m_);
        for (auto it = devices_.begin(); it != devices_.end(); ++it)
            if ((*it)->serial() == serial && (*it)->plugged()) {
                d = *it;
                devices_.erase(it);
                break;
            }
    }
    if (d) d->unplug();
    return d != nullptr;
}

void bus_core::unplug_all() {
    std::vector<std::shared_ptr<device>> old;
    {
        std::lock_guard lk(m_);
        old.swap(devices_);
    }
    for (auto& d : old)
        d->unplug();
}

std::shared_ptr<device> bus_core::find(const std::string& serial) const {
    std::lock_guard lk(m_);
    for (const auto& d : devices_)
        if (d->serial() == serial && d->plugged()) return d;
    return nullptr;
}

std::vector<std::shared_ptr<device>> bus_core::select(bool present_only) const {
    std::lock_guard lk(m_);
    std::vector<std::shared_ptr<device>> out;
    for (const auto& d : devices_)
        if (present_only ? d->present() : d->plugged()) out.push_back(d);
    return out;
}

std::vector<std::shared_ptr<device>> bus_core::present() const {
    return select(true);
}
std::vector<std::shared_ptr<device>> bus_core::plugged() const {
    return select(false);
}

size_t bus_core::take_bridge_snapshot() {
    auto devs = present();
    std::vector<bridge_ref_t> snap;
    for (const auto& d : devs) {
        if (!d->list_bridges()) continue;
        const uint32_t gen = d->generation();
        for (unsigned g = 0; g < d->groups(); ++g)
            snap.push_back({d, g, gen});
    }
    std::lock_guard lk(m_);
    snapshot_ = std::move(snap);
    snapshot_taken_ = true;
    return snapshot_.size();
}

std::vector<bridge_ref_t> bus_core::bridge_snapshot() {
    {
        std::lock_guard lk(m_);
        if (snapshot_taken_) return snapshot_;
    }
    take_bridge_snapshot();
    std::lock_guard lk(m_);
    return snapshot_;
}

void bus_core::fail_bridge_opens(unsigned count, uint32_t status) {
    std::lock_guard lk(m_);
    bridge_open_failures_ = count;
    bridge_open_status_ = status == 0 ? 32 : status;
}

uint32_t bus_core::take_bridge_open_failure() {
    std::lock_guard lk(m_);
    if (bridge_open_failures_ == 0) return 0;
    --bridge_open_failures_;
    return bridge_open_status_;
}

void bus_core::add_handle(const void* h) {
    std::lock_guard lk(m_);
    handles_.insert(h);
}

bool bus_core::remove_handle(const void* h) {
    std::lock_guard lk(m_);
    return handles_.erase(h) > 0;
}

bool bus_core::has_handle(const void* h) const {
    std::lock_guard lk(m_);
    return handles_.count(h) > 0;
}

// Facade.

bus& bus::instance() {
    static bus* b = new bus;
    bus_core::get();
    return *b;
}

void bus::reset() {
    bus_core::get().reset();
}
void bus::plug(const std::string& serial) {
    bus_core::get().plug(serial);
}
bool bus::unplug(const std::string& serial) {
    return bus_core::get().unplug(serial);
}
void bus::unplug_all() {
    bus_core::get().unplug_all();
}

std::vector<std::string> bus::devices() const {
    std::vector<std::string> out;
    for (const auto& d : bus_core::get().plugged())
        out.push_back(d->serial());
    return out;
}

std::shared_ptr<kestrel_sim::firmware> bus::firmware(const std::string& serial) const {
    auto d = bus_core::get().find(serial);
    return d ? d->fw() : nullptr;
}

counters_t bus::counters() const {
    counters_t c;
    for (const auto& d : bus_core::get().plugged())
        for (const auto& [ep, n] : d->fw()->packets_received())
            c.packets_received[ep] += n;
    const auto& s = stats();
    c.bulk_out_transfers = s.bulk_out;
    c.bulk_in_transfers = s.bulk_in;
    c.pipe_timeout_calls = s.pipe_timeout_calls;
    c.in_pipe_aborts = s.in_pipe_aborts;
    c.bridge_opens = s.bridge_opens;
    c.bridge_open_failures = s.bridge_open_failures;
    c.dropped_replies = s.dropped_replies;
    c.streams_replayed = s.streams_replayed;
    return c;
}

void bus::set_stream_model(const stream_model_t& m) {
    set_current_stream_model(m);
}

stream_model_t bus::stream_model() const {
    return current_stream_model();
}

void bus::drop_replies(const std::string& serial, uint8_t endpoint, int count) {
    reply_fault_t f;
    f.drop = count;
    need(serial)->set_reply_fault(endpoint, f);
}

void bus::delay_replies(const std::string& serial, uint8_t endpoint,
                        std::chrono::milliseconds delay) {
    reply_fault_t f;
    f.delay = delay;
    need(serial)->set_reply_fault(endpoint, f);
}

void bus::split_replies(const std::string& serial, uint8_t endpoint, size_t first_bytes,
                        std::chrono::milliseconds delay) {
    reply_fault_t f;
    f.split_at = first_bytes;
    f.split_delay = delay;
    need(serial)->set_reply_fault(endpoint, f);
}

void bus::clear_reply_faults(const std::string& serial, uint8_t endpoint) {
    need(serial)->set_reply_fault(endpoint, {});
}

void bus::fail_bulk_transfers(const std::string& serial, unsigned count) {
    need(serial)->fail_bulk_transfers(count);
}

void bus::unplug_on_next_bulk_in(const std::string& serial) {
    need(serial)->unplug_on_next_bulk_in();
}

void bus::stall(const std::string& serial, bool on) {
    need(serial)->stall(on);
}

void bus::fail_bridge_opens(unsigned count, uint32_t status) {
    bus_core::get().fail_bridge_opens(count, status);
}

void bus::push_bridge_data(const std::string& serial, unsigned group,
                           std::span<const uint8_t> bytes) {
    need(serial)->push_bridge_data(group, bytes);
}

std::vector<uint8_t> bus::bridge_output(const std::string& serial, unsigned group) const {
    return need(serial)->bridge_output(group);
}

bool bus::bridge_is_open(const std::string& serial, unsigned group) const {
    return need(serial)->bridge_is_open(group);
}

} // namespace kestrel_sim

namespace kestrel_sim {

void bus::ignore_packets(const std::string& serial, uint8_t endpoint, int count) {
    need(serial)->fw()->ignore_packets(endpoint, count);
}

void bus::hide_bridges(const std::string& serial, int listings) {
    need(serial)->hide_bridges(listings);
}

} // namespace kestrel_sim
