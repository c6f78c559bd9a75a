#include "kestrel_sim/firmware.h"

#include "framing.h"

namespace kestrel_sim {

firmware::firmware(std::string serial, unsigned groups)
    : serial_(std::move(serial)), groups_(groups), decoder_(std::make_unique<decoder>()) {
    // The link check: the device echoes a ping with its payload.
    set_handler(ep::ping, [](firmware& fw, const packet_t& p) { fw.reply(ep::ping, p.params); });
}

firmware::~firmware() = default;

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
