#include "kestrel/link/communication.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <new>

#include <libusb.h>
#include <string>

#include "drivers/d3xx/exception.h"
#include "drivers/libusb/exception.h"
#include "hw/exception.h"
#include "hw/model.h"
#include "moxcom/except.h"

namespace kestrel {

namespace {

// Constant, never destroyed: the link threads of a handle still open when the process
// exits send and compare it until the exit frees the handle, which may come after the
// library's other statics are gone.
constexpr std::array<uint8_t, 4> ping_payload = {0xAA, 0xBB, 0xCC, 0xDD};

constexpr uint8_t id(commands::endpoints ep) {
    return static_cast<uint8_t>(ep);
}

std::string megabytes(size_t capacity) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(capacity) / 1000000.0);
    return text;
}

} // namespace

communication::communication(libusb::interface_bulk& bulk, const hw::log_fn& log_fn)
    : usb_bulk(bulk),
      interpreter(mox_com::interpreter_conf{{0x55, 0xAA}, mox_com::len_bytes::LEN_2_BYTES, {}}),
      packetizer(mox_com::packetizer_conf{{0x55, 0xAA}, mox_com::len_bytes::LEN_2_BYTES, {}}),
      log(log_fn) {
    register_ep(commands::endpoints::ping,
                [this](mox_com::acknowledge, const bytes& params) { on_ping(params); });
    th_rx = std::thread([this] { rx_listener(); });
    th_tx = std::thread([this] { tx_worker(); });
}

communication::~communication() {
    th_continue = false;
    stop_sem.notify_all();
    if (th_rx.joinable()) th_rx.join();
    if (th_tx.joinable()) th_tx.join();
    unregister_ep(commands::endpoints::ping);
}

void communication::register_ep(commands::endpoints ep, handler h) {
    std::lock_guard lock(handlers_m);
    interpreter.regist_endpoint(
        id(ep), [h = std::move(h)](mox_com::acknowledge ack, std::vector<uint8_t>& params) {
            h(ack, params);
        });
}

void communication::unregister_ep(commands::endpoints ep) {
    std::lock_guard lock(handlers_m);
    interpreter.unreg_endpoint(id(ep));
}

void communication::tx(commands::endpoints ep, const bytes& payload) {
    bytes packet = packetizer.packetize(id(ep), mox_com::acknowledge::NO_ACK, payload);
    if (!tx_q.post(packet, mox::timeout(500))) {
        log("No response after TX");
        throw hw::exception(hw::error::not_responding);
    }
}

void communication::on_ping(const bytes& params) {
    if (!std::equal(params.begin(), params.end(), ping_payload.begin(), ping_payload.end())) return;
    ping_ok = true;
    ping_sem.give();
}

void communication::throw_if_device_gone() const {
    if (const int code = device_gone.load(); code != 0) throw libusb::exception(code);
}

void communication::on_device_left(std::function<void(int)> fn) {
    std::lock_guard lock(handlers_m);
    device_left = std::move(fn);
}

void communication::pause() {
    stop_sem.take(mox::timeout(100));
}

template <typename F> void communication::guarded(const char* libusb_prefix, F&& body) {
    try {
        body();
    } catch (const libusb::exception& e) {
        log(libusb_prefix + std::to_string(e.code()));
        device_gone = e.code() == LIBUSB_ERROR_NO_DEVICE ? e.code() : 0;
        if (e.code() == LIBUSB_ERROR_NO_DEVICE) {
            std::lock_guard lock(handlers_m);
            if (device_left) device_left(e.code());
        }
        pause();
    } catch (const mox_com::except& e) {
        log("MOXCOM error: " + std::to_string(e.code()));
    } catch (const hw::exception& e) {
        log("HW exceptionr: " + std::to_string(static_cast<int>(e.code())));
    } catch (const std::exception& e) {
        log(std::string("HW exceptionr: ") + e.what());
    }
}

void communication::rx_listener() {
    bytes buffer;
    buffer.reserve(trx_max_len);
    while (th_continue) {
        guarded("Libusb RX exception: ", [&] {
            if (!usb_bulk.is_open()) {
                ping_ok = false;
                pause();
                return;
            }
            uint32_t timeout_ms = 50;
            if (!ping_ok) {
                tx(commands::endpoints::ping, bytes(ping_payload.begin(), ping_payload.end()));
                timeout_ms = 250;
            }
            usb_bulk.rx(buffer, trx_max_len, timeout_ms);
            device_gone = 0;
            if (buffer.empty()) return;
            std::lock_guard lock(handlers_m);
            interpreter.append(buffer);
        });
    }
}

void communication::tx_worker() {
    bytes packet;
    while (th_continue) {
        guarded("Libusb TX exception: ", [&] {
            if (!tx_q.receive(packet, mox::timeout(100))) return;
            usb_bulk.tx(packet, 100);
        });
    }
}

d3xx::err communication::create_usb3(uint8_t groups) {
    log("creating USB3 interfaces, groups count=" + std::to_string(groups));
    if (usb_interfaces.size() == groups) return d3xx::err::OK;

    size_t capacity = first_usb3_capacity;
    for (;;) {
        usb_interfaces.clear();
        log("Tryin USB buffer capacity reserve: " + megabytes(capacity) + "MB");
        try {
            for (uint8_t i = 0; i < groups; ++i)
                usb_interfaces.push_back(std::make_unique<hw::usb_group_t>(capacity));
            break;
        } catch (const std::bad_alloc&) {
            usb_interfaces.clear();
            log("reserve Failed!");
            capacity /= 2;
            // Below a packet's worth of memory nothing can be captured: give up.
            if (capacity < 16) throw;
        }
    }

    for (uint8_t i = 0; i < groups; ++i) {
        log("Openning Core " + std::to_string(i));
        d3xx::ft245& bridge = usb_interfaces[i]->driver;
        const d3xx::err e =
            bridge.open(std::string(hw::sn_kestrel_core[i]), std::string(hw::desc_kestrel_core), 0);
        const bool held = bridge.handles().valid();
        log("Core " + std::to_string(i) + " USB3 port open, handle ok?" +
            (held ? "true" : "false"));
        if (e != d3xx::err::OK) return e;
        if (!held) return d3xx::err::DEVICE_NOT_OPENED;
    }
    return d3xx::err::OK;
}

void communication::clear_usb3() {
    log("Clearing USB3 interfaces");
    usb_interfaces.clear();
}

void communication::throw_usb_err(d3xx::err e) {
    if (e != d3xx::err::OK) throw d3xx::exception(e);
}

} // namespace kestrel
