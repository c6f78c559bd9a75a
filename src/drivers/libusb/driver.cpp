#include "drivers/libusb/driver.h"

#include <libusb-1.0/libusb.h>

#include <cstdio>
#include <mutex>

#include "drivers/libusb/exception.h"
#include "mox/check.h"

namespace libusb {

void handle_manager::reset() {
    h = nullptr;
    claimed_interfaces.clear();
}

void handle_manager::drop() {
    // Forgotten without a close, the handle would keep the device's resources for the life
    // of the process (on the virtual bus, the whole device and its threads).
    if (libusb_device_handle* old = h.exchange(nullptr)) {
        if (libusb_device_handle* earlier = dropped.exchange(old)) libusb_close(earlier);
    }
    claimed_interfaces.clear();
}

void handle_manager::close_dropped() {
    if (libusb_device_handle* old = dropped.exchange(nullptr)) libusb_close(old);
}

void handle_manager::claim_interface(uint8_t n) {
    mox::mutex_lock lock(mutex_iface);
    libusb_device_handle* handle = h.load();
    MOX_ASSERT(handle != nullptr);
    if (!claimed_interfaces.push_unique(n)) return;
    const int r = libusb_claim_interface(handle, n);
    if (r < 0) {
        claimed_interfaces.remove_unique(n);
        throw exception(r);
    }
}

// The process-wide records below are never destroyed: a link's threads may still use
// them while the process exits.
mox::unique_list<device>& driver::openned_devices() {
    static auto& list = *new mox::unique_list<device>;
    return list;
}

mox::mutex& driver::descriptor_mutex() {
    static auto& m = *new mox::mutex;
    return m;
}

driver::driver() {
    check_for_errors(libusb_init(nullptr));
}

driver::~driver() {
    close();
    libusb_exit(nullptr);
}

void driver::check_for_errors(int code) {
    if (code >= 0) return;
    if (code == LIBUSB_ERROR_IO) hm.drop();
    throw exception(code);
}

device driver::build_device(libusb_device* dev, uint16_t vid, uint16_t pid) {
    mox::mutex_lock lock(descriptor_mutex());
    device d;
    libusb_device_descriptor dd{};
    check_for_errors(libusb_get_device_descriptor(dev, &dd));
    d.vid = dd.idVendor;
    d.pid = dd.idProduct;
    if (d.vid != vid || d.pid != pid) return d;

    libusb_device_handle* h = nullptr;
    if (libusb_open(dev, &h) < 0 || h == nullptr) return d;
    auto read_string = [h](uint8_t index) {
        std::string s;
        if (index == 0) return s;
        unsigned char buf[256];
        const int n = libusb_get_string_descriptor_ascii(h, index, buf, sizeof buf);
        if (n > 0) s.assign(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
        return s;
    };
    d.sn = read_string(dd.iSerialNumber);
    d.man = read_string(dd.iManufacturer);
    d.desc = read_string(dd.iProduct);
    libusb_close(h);
    return d;
}

std::vector<device> driver::list_devices(uint16_t vid, uint16_t pid, const std::string& sn_mask) {
    mox::unique_list<device> found;
    for (const device& d : openned_devices().get())
        found.push_unique(d);

    libusb_device** list = nullptr;
    try {
        const ssize_t n = libusb_get_device_list(nullptr, &list);
        check_for_errors(static_cast<int>(n));
        try {
            for (ssize_t i = 0; i < n; ++i) {
                device d = build_device(list[i], vid, pid);
                if (d.vid == vid && d.pid == pid && d.sn.starts_with(sn_mask)) found.push_unique(d);
            }
        } catch (...) {
            libusb_free_device_list(list, 1);
            throw;
        }
        libusb_free_device_list(list, 1);
    } catch (const exception&) {
        // Discovery reports what it found before the bus failed; a bus that could not be
        // listed at all is a failure, not an empty bus.
        if (found.get().empty()) throw;
    }
    return found.get();
}

bool driver::open(const device& d) {
    mox::mutex_lock lock(open_mutex);
    {
        mox::mutex_lock rx(hm.mutex_rx);
        mox::mutex_lock tx(hm.mutex_tx);
        hm.close_dropped();
    }
    hm.closing = false;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(nullptr, &list);
    check_for_errors(static_cast<int>(n));

    bool found = false;
    try {
        for (ssize_t i = 0; i < n && !found; ++i) {
            device built = build_device(list[i], d.vid, d.pid);
            if (built.vid != d.vid || built.pid != d.pid || built.sn != d.sn) continue;
            libusb_device_handle* h = nullptr;
            check_for_errors(libusb_open(list[i], &h));
            hm.h = h;
            if (libusb_kernel_driver_active(h, 1) == 1) {
                check_for_errors(libusb_detach_kernel_driver(h, 1));
                check_for_errors(libusb_reset_device(h));
            }
            hm.dev_desc = built;
            openned_devices().push_unique(built);
            last_open_device = d;
            found = true;
        }
    } catch (...) {
        libusb_free_device_list(list, 1);
        throw;
    }
    libusb_free_device_list(list, 1);
    return found;
}

void driver::close() {
    hm.closing = true;
    {
        mox::mutex_lock rx(hm.mutex_rx);
        mox::mutex_lock tx(hm.mutex_tx);
        openned_devices().remove_unique(hm.dev_desc);
        if (libusb_device_handle* h = hm.h.load()) {
            libusb_close(h);
            hm.reset();
        }
        hm.close_dropped();
    }
    hm.closing = false;
}

interface_bulk::interface_bulk(driver& d, uint8_t iface, uint8_t tx_ep, uint8_t rx_ep)
    : drv(d), hm(d.handles()), iface_n(iface), ep_tx(tx_ep), ep_rx(rx_ep) {
    MOX_ASSERT(ep_rx & 0x80);
    MOX_ASSERT((ep_tx & 0x80) == 0);
}

void interface_bulk::tx(const std::vector<uint8_t>& data, uint32_t timeout_ms) {
    if (hm.closing) return;
    mox::mutex_lock lock(hm.mutex_tx);
    if (!drv.is_open()) return;
    hm.claim_interface(iface_n);
    int transferred = 0;
    const int r = libusb_bulk_transfer(hm.h.load(), ep_tx, const_cast<uint8_t*>(data.data()),
                                       static_cast<int>(data.size()), &transferred, timeout_ms);
    if (r == LIBUSB_ERROR_TIMEOUT || r == LIBUSB_ERROR_OTHER) {
        std::printf("LibUSB ERR - %d\n", r);
        std::fflush(stdout);
        return;
    }
    drv.check_for_errors(r);
}

bool interface_bulk::rx(std::vector<uint8_t>& buf, size_t max_len, uint32_t timeout_ms) {
    // An early return delivers nothing: the caller must never see a previous read again.
    if (hm.closing) {
        buf.clear();
        return true;
    }
    mox::mutex_lock lock(hm.mutex_rx);
    if (!drv.is_open()) {
        buf.clear();
        return false;
    }
    hm.claim_interface(iface_n);
    buf.resize(max_len);
    int transferred = 0;
    const int r = libusb_bulk_transfer(hm.h.load(), ep_rx, buf.data(), static_cast<int>(max_len),
                                       &transferred, timeout_ms);
    if (r != LIBUSB_ERROR_TIMEOUT && r != LIBUSB_ERROR_OTHER) drv.check_for_errors(r);
    buf.resize(transferred > 0 ? static_cast<size_t>(transferred) : 0);
    return transferred >= 1;
}

} // namespace libusb
