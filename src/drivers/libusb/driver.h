#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "drivers/libusb/device.h"
#include "mox/mutex.h"
#include "mox/unique_list.h"

struct libusb_device;
struct libusb_device_handle;

namespace libusb {

// The open libusb handle of one driver and the interfaces claimed on it.
class handle_manager {
public:
    mox::mutex mutex_tx;
    mox::mutex mutex_rx;
    mox::mutex mutex_iface;
    std::atomic<bool> closing{false};
    std::atomic<libusb_device_handle*> h{nullptr};
    device dev_desc;
    mox::unique_list<uint8_t> claimed_interfaces;

    // A handle given up after an IO error, closed by the next open or close: a transfer
    // on the other endpoint may still be using it.
    std::atomic<libusb_device_handle*> dropped{nullptr};

    bool valid() const { return h.load() != nullptr; }
    // Forgets the handle without closing it.
    void reset();
    // Marks the link closed after an IO error; the handle waits in `dropped`.
    void drop();
    // Closes a dropped handle; the caller holds the IN and OUT locks.
    void close_dropped();
    // Claims an interface once per open handle, on first use.
    void claim_interface(uint8_t n);
};

// Control-link driver over libusb's default context.
class driver {
public:
    driver();
    ~driver();
    driver(const driver&) = delete;
    driver& operator=(const driver&) = delete;

    // Devices with these ids whose serial number starts with sn_mask, including those
    // this process holds open, each once. libusb failures end the scan, never the call.
    std::vector<device> list_devices(uint16_t vid, uint16_t pid, const std::string& sn_mask);
    bool open(const device& d);
    void close();
    bool is_open() const { return hm.valid(); }
    // Throws libusb::exception for a negative code; an IO error first marks the link closed.
    void check_for_errors(int code);

    handle_manager& handles() { return hm; }
    const device& last_opened() const { return last_open_device; }

private:
    device build_device(libusb_device* dev, uint16_t vid, uint16_t pid);

    mox::mutex open_mutex;
    handle_manager hm;
    device last_open_device;

    static mox::unique_list<device>& openned_devices();
    static mox::mutex& descriptor_mutex();
};

// Raw bytes in and out of one interface's pair of bulk endpoints.
class interface_bulk {
public:
    interface_bulk(driver& drv, uint8_t iface_n, uint8_t ep_tx, uint8_t ep_rx);

    bool is_open() const { return drv.is_open(); }
    // Time-outs are reported on standard output, never thrown: the link retries.
    void tx(const std::vector<uint8_t>& data, uint32_t timeout_ms);
    // Leaves in buf the bytes received (also those that arrived before a time-out);
    // true when there is at least one.
    bool rx(std::vector<uint8_t>& buf, size_t max_len, uint32_t timeout_ms);

private:
    driver& drv;
    handle_manager& hm;
    const uint8_t iface_n;
    const uint8_t ep_tx;
    const uint8_t ep_rx;
};

} // namespace libusb
