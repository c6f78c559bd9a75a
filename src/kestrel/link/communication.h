#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "drivers/d3xx/err.h"
#include "drivers/libusb/driver.h"
#include "hw/log.h"
#include "hw/usb_group.h"
#include "kestrel/commands.h"
#include "mox/objqueue.h"
#include "mox/semaphore.h"
#include "moxcom/interpreter.h"
#include "moxcom/packetizer.h"

namespace kestrel {

// The single gateway to an open device: framed packets over the control link, sent by
// a transmitter thread and received by a listener thread that runs the endpoint
// handlers, a ping link check, and one USB3 data group per 18-channel group.
class communication {
public:
    using bytes = std::vector<uint8_t>;
    using handler = std::function<void(mox_com::acknowledge, bytes)>;

    static constexpr size_t trx_max_len = 512;
    static constexpr size_t first_usb3_capacity = 128000000;

    communication(libusb::interface_bulk& usb_bulk, const hw::log_fn& log);
    ~communication();
    communication(const communication&) = delete;
    communication& operator=(const communication&) = delete;

    // One handler per endpoint. Handlers run on the listener thread and must neither
    // block for long nor register or unregister handlers themselves.
    void register_ep(commands::endpoints ep, handler h);
    void unregister_ep(commands::endpoints ep);

    // Queues one packet; throws hw::exception(not_responding) when the queue stays full
    // for 500 ms (the link is stalled).
    void tx(commands::endpoints ep, const bytes& payload);

    d3xx::err create_usb3(uint8_t groups);
    void clear_usb3();
    static void throw_usb_err(d3xx::err e);

    bool link_ok() const { return ping_ok.load(); }
    // Throws the libusb error of a device that has left the bus (the last transfer failed
    // with LIBUSB_ERROR_NO_DEVICE and none has succeeded since); waits for replies use it
    // to tell a vanished device from a slow one.
    void throw_if_device_gone() const;
    // A newly opened link starts with no such failure.
    void link_opened() { device_gone = 0; }
    // Called on the link's threads, with the libusb error, each time a transfer finds the
    // device gone from the bus (LIBUSB_ERROR_NO_DEVICE).
    void on_device_left(std::function<void(int)> fn);

    mox::semaphore ping_sem{1, 0};
    std::vector<std::unique_ptr<hw::usb_group_t>> usb_interfaces;

private:
    void rx_listener();
    void tx_worker();
    void on_ping(const bytes& params);
    template <typename F> void guarded(const char* libusb_prefix, F&& body);
    void pause();

    libusb::interface_bulk& usb_bulk;
    mox_com::interpreter<mox_utils::crc_type::CRC_16_CCITT> interpreter;
    mox_com::packetizer<mox_utils::crc_type::CRC_16_CCITT> packetizer;
    const hw::log_fn& log;
    std::atomic<bool> ping_ok{false};
    std::atomic<int> device_gone{0}; // LIBUSB_ERROR_NO_DEVICE while the device is away
    std::atomic<bool> th_continue{true};
    mox::semaphore stop_sem{1, 0};        // ends the listener's and transmitter's pauses at once
    std::mutex handlers_m;                // dispatch against registration
    std::function<void(int)> device_left; // guarded by handlers_m
    mox::objqueue<bytes> tx_q{100};
    std::thread th_rx;
    std::thread th_tx;
};

} // namespace kestrel
