#include "kestrel_sim/firmware.h"

#include "acquisition_engine.h"
#include "config_decode.h"
#include "framing.h"

#include <algorithm>
#include <array>

namespace kestrel_sim {

namespace {

// Any reply counts as an acknowledgement; the device sends one status byte.
constexpr std::array<uint8_t, 1> ack_payload{1};

enum status_cmd : uint8_t { request_update = 1, request_reboot = 2, request_bootloader = 3 };

void put_flag(std::vector<uint8_t>& out, bool b) {
    out.push_back(b ? 1 : 0);
}

} // namespace

firmware::firmware(std::string serial, unsigned groups)
    : serial_(std::move(serial)), groups_(groups), decoder_(std::make_unique<decoder>()),
      acq_(std::make_unique<kestrel_sim::acquisition>(groups)) {
    status_.groups.resize(groups_);
    install_handlers();
    acq_->device_side().set_status_sink([this] {
        std::lock_guard lk(m_);
        reply(ep::status, status_record(false));
    });
}

firmware::~firmware() {
    // The engine's thread uses the members; it ends before any of them goes.
    acq_->device_side().shutdown();
}

void firmware::install_handlers() {
    // The link check: the device echoes a ping with its payload.
    handlers_[ep::ping] = [](firmware& fw, const packet_t& p) { fw.reply(ep::ping, p.params); };
    handlers_[ep::status] = [](firmware& fw, const packet_t& p) { fw.on_status(p); };
    handlers_[ep::config] = [](firmware& fw, const packet_t& p) {
        const uint8_t ready_before = fw.acq_->device_side().outputs().ready_mask();
        if (auto c = decode_config(p.params, fw.groups_)) {
            fw.config_ = std::move(c);
            ++fw.counters_.configs;
            std::vector<oci_config_t> params;
            std::vector<std::array<port_config_t, 2>> ports;
            for (const auto& g : fw.config_->groups) {
                params.push_back(g.oci);
                ports.push_back(g.ports);
            }
            fw.acq_->device_side().outputs().set_params(params, ports);
        } else {
            ++fw.counters_.malformed_configs;
        }
        fw.reply(ep::config, ack_payload);
        // The configuration carries the output parameters too. Readiness goes out when it
        // changes, after the acknowledgement.
        if (fw.acq_->device_side().outputs().ready_mask() != ready_before) fw.send_oci_readiness();
    };
    // The bridge reset has no reply endpoint of its own: the device acknowledges it on
    // the config endpoint.
    handlers_[ep::ftdi_rst] = [](firmware& fw, const packet_t& p) {
        if (p.params.size() != 1) {
            ++fw.counters_.malformed_commands;
            return;
        }
        ++fw.counters_.bridge_resets;
        if (fw.bridge_reset_) fw.bridge_reset_(p.params[0] != 0);
        fw.reply(ep::config, ack_payload);
    };
    handlers_[ep::config_run_flag] = [](firmware& fw, const packet_t& p) {
        if (p.params.size() != 1) {
            ++fw.counters_.malformed_commands;
            return;
        }
        fw.run_flag_ = p.params[0] != 0;
        ++fw.counters_.run_flags;
        // Sampling starts on a loaded configuration; without one the flag is only kept.
        auto& eng = fw.acq_->device_side();
        if (fw.run_flag_ && fw.config_)
            eng.start(*fw.config_);
        else if (!fw.run_flag_)
            eng.stop();
        fw.reply(ep::config_run_flag, ack_payload);
    };
    handlers_[ep::config_oci_flag] = [](firmware& fw, const packet_t& p) {
        if (p.params.size() != 1) {
            ++fw.counters_.malformed_commands;
            return;
        }
        const uint8_t ready_before = fw.acq_->device_side().outputs().ready_mask();
        fw.oci_start_flag_ = p.params[0] != 0;
        ++fw.counters_.oci_flags;
        fw.acq_->device_side().outputs().set_start_flag(fw.oci_start_flag_);
        fw.reply(ep::config_oci_flag, ack_payload);
        if (fw.acq_->device_side().outputs().ready_mask() != ready_before) fw.send_oci_readiness();
    };
    handlers_[ep::config_oci_params] = [](firmware& fw, const packet_t& p) {
        const uint8_t ready_before = fw.acq_->device_side().outputs().ready_mask();
        if (auto o = decode_oci_params(p.params, fw.groups_)) {
            fw.oci_params_ = std::move(o);
            ++fw.counters_.oci_params;
            std::vector<oci_config_t> params;
            std::vector<std::array<port_config_t, 2>> ports;
            for (const auto& g : *fw.oci_params_) {
                params.push_back(g.oci);
                ports.push_back(g.ports);
            }
            fw.acq_->device_side().outputs().set_params(params, ports);
        } else {
            ++fw.counters_.malformed_oci_params;
        }
        fw.reply(ep::config_oci_params, ack_payload);
        if (fw.acq_->device_side().outputs().ready_mask() != ready_before) fw.send_oci_readiness();
    };
    // File operations are answered on their own endpoint; a request without reply (a
    // lost one, or one the device does not understand) leaves the host to its time-out.
    handlers_[ep::file_loader] = [](firmware& fw, const packet_t& p) {
        const auto r = fw.files_.handle(p.params);
        if (!r.empty()) fw.reply(ep::file_loader, r);
    };
    // One step word per packet: group, engine, byte address, the word (little-endian).
    handlers_[ep::trigger_loader] = [](firmware& fw, const packet_t& p) {
        if (p.params.size() == 12 && p.params[1] < 2 && p.params[0] < fw.groups_) {
            const unsigned address = p.params[2] | unsigned{p.params[3]} << 8;
            uint64_t word = 0;
            for (int i = 7; i >= 0; --i)
                word = word << 8 | p.params[4 + static_cast<size_t>(i)];
            fw.words_[{p.params[0], p.params[1]}][address / 8] = word;
            fw.acq_->device_side().load_trigger_word(p.params[0], p.params[1], address, word);
            ++fw.counters_.trigger_words;
        } else {
            ++fw.counters_.malformed_trigger_words;
        }
        fw.reply(ep::trigger_loader, ack_payload);
    };
}

void firmware::on_status(const packet_t& p) {
    if (p.params.size() != 1 || p.params[0] < request_update || p.params[0] > request_bootloader) {
        ++counters_.malformed_commands;
        return;
    }
    ++counters_.status_requests;
    const uint8_t cmd = p.params[0];
    if (silent_left_ > 0) {
        --silent_left_;
        return;
    }
    const bool starting = zero_left_ > 0;
    if (starting) --zero_left_;
    reply(ep::status, status_record(starting));
    if (cmd == request_update) return;
    ++(cmd == request_reboot ? counters_.reboots : counters_.bootloader_requests);
    if (restart_) restart_(status_.restart_time);
    power_on();
}

std::vector<uint8_t> firmware::status_record(bool starting) const {
    std::vector<uint8_t> out;
    out.push_back(1);
    out.push_back(status_.mcu_major);
    out.push_back(status_.mcu_minor);
    out.push_back(static_cast<uint8_t>(status_.mcu_build & 0xFF));
    out.push_back(static_cast<uint8_t>(status_.mcu_build >> 8));
    out.push_back(status_.mcu_temperature);
    put_flag(out, status_.main_pll_locked);
    put_flag(out, status_.fpga_pll_locked);
    out.push_back(static_cast<uint8_t>(status_.groups.size()));
    const auto& eng = acq_->device_side();
    const bool trigged = eng.trigged();
    for (size_t gi = 0; gi < status_.groups.size(); ++gi) {
        // The sampling engine's state on top of what the test set.
        group_status_t g = status_.groups[gi];
        const auto idx = static_cast<unsigned>(gi);
        g.trigged = g.trigged || trigged;
        g.overrun = g.overrun || eng.overrun(idx);
        g.data_available = std::max(g.data_available, eng.data_available(idx));
        g.oci_ready = g.oci_ready || eng.outputs().ready(idx);
        out.push_back(3); // group record revision
        put_flag(out, g.ft_pll_lock);
        put_flag(out, g.ddr_calib_done);
        put_flag(out, g.oci_ready);
        put_flag(out, g.oci_paused);
        put_flag(out, g.overrun);
        put_flag(out, g.underrun);
        put_flag(out, g.trigged);
        out.push_back(starting ? 0 : status_.fpga_version);
        out.push_back(g.data_available);
        out.push_back(g.loopback_word);
        for (const auto& port : g.ports) {
            out.push_back(1);
            put_flag(out, port.detected);
            put_flag(out, port.backpower_clamped);
            out.push_back(port.temperature);
            put_flag(out, port.gen_pgood);
            put_flag(out, port.main_pgood);
            put_flag(out, port.internal_pgood);
        }
        put_flag(out, g.in_only_probe);
        put_flag(out, g.in_only_fw);
    }
    return out;
}

void firmware::power_on() {
    std::lock_guard lk(m_);
    silent_left_ = status_.startup_silent_requests;
    zero_left_ = status_.startup_zero_replies;
    run_flag_ = false;
    oci_start_flag_ = false;
    decoder_->reset();
    acq_->device_side().stop();
    acq_->device_side().outputs().reset();
}

void firmware::input(std::span<const uint8_t> bytes) {
    std::lock_guard lk(m_);
    decoder_->feed(bytes, [this](const packet_t& p) { dispatch(p); });
}

void firmware::reset_input() {
    std::lock_guard lk(m_);
    decoder_->reset();
}

void firmware::dispatch(const packet_t& p) {
    ++received_[p.endpoint];
    if (auto ig = ignore_.find(p.endpoint); ig != ignore_.end() && ig->second != 0) {
        if (ig->second > 0) --ig->second;
        return;
    }
    auto it = handlers_.find(p.endpoint);
    if (it == handlers_.end()) {
        ++unhandled_;
        return;
    }
    // A copy, so that a handler may replace itself.
    handler_t h = it->second;
    h(*this, p);
}

void firmware::set_handler(uint8_t endpoint, handler_t h) {
    std::lock_guard lk(m_);
    handlers_[endpoint] = std::move(h);
}

void firmware::remove_handler(uint8_t endpoint) {
    std::lock_guard lk(m_);
    handlers_.erase(endpoint);
}

void firmware::reply(uint8_t endpoint, std::span<const uint8_t> params, uint8_t ack) {
    std::lock_guard lk(m_);
    if (sink_) sink_(endpoint, encode_packet(endpoint, params, ack));
}

void firmware::set_reply_sink(reply_sink_t sink) {
    std::lock_guard lk(m_);
    sink_ = std::move(sink);
}

void firmware::set_restart_hook(restart_hook_t hook) {
    std::lock_guard lk(m_);
    restart_ = std::move(hook);
}

void firmware::set_bridge_reset_hook(std::function<void(bool)> hook) {
    std::lock_guard lk(m_);
    bridge_reset_ = std::move(hook);
}

void firmware::ignore_packets(uint8_t endpoint, int count) {
    std::lock_guard lk(m_);
    ignore_[endpoint] = count;
}

status_model_t firmware::status() const {
    std::lock_guard lk(m_);
    return status_;
}

void firmware::set_status(status_model_t s) {
    std::lock_guard lk(m_);
    s.groups.resize(groups_);
    // New start-up delays take effect at once, as if the device had just come up.
    if (s.startup_silent_requests != status_.startup_silent_requests)
        silent_left_ = s.startup_silent_requests;
    if (s.startup_zero_replies != status_.startup_zero_replies) zero_left_ = s.startup_zero_replies;
    status_ = std::move(s);
}

void firmware::send_oci_readiness() {
    send_oci_ready(acq_->device_side().outputs().ready_mask());
}

void firmware::send_oci_ready(uint8_t mask) {
    const uint8_t b[] = {mask};
    reply(ep::status_oci, b);
}

std::optional<device_config_t> firmware::last_config() const {
    std::lock_guard lk(m_);
    return config_;
}

std::optional<std::vector<oci_group_params_t>> firmware::last_oci_params() const {
    std::lock_guard lk(m_);
    return oci_params_;
}

bool firmware::run_flag() const {
    std::lock_guard lk(m_);
    return run_flag_;
}

bool firmware::oci_start_flag() const {
    std::lock_guard lk(m_);
    return oci_start_flag_;
}

std::map<unsigned, uint64_t> firmware::trigger_words(unsigned group, unsigned engine) const {
    std::lock_guard lk(m_);
    auto it = words_.find({group, engine});
    return it == words_.end() ? std::map<unsigned, uint64_t>{} : it->second;
}

firmware_counters_t firmware::counters() const {
    std::lock_guard lk(m_);
    return counters_;
}

uint64_t firmware::packets_received(uint8_t endpoint) const {
    std::lock_guard lk(m_);
    auto it = received_.find(endpoint);
    return it == received_.end() ? 0 : it->second;
}

std::map<uint8_t, uint64_t> firmware::packets_received() const {
    std::lock_guard lk(m_);
    return received_;
}

uint64_t firmware::unhandled_packets() const {
    std::lock_guard lk(m_);
    return unhandled_;
}

uint64_t firmware::bad_packets() const {
    std::lock_guard lk(m_);
    return decoder_->bad_packets();
}

} // namespace kestrel_sim
