// The part of the libusb-1.0 C interface the library uses, served by the virtual bus.
#include "bus_core.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <libusb-1.0/libusb.h>
#include <mutex>
#include <new>
#include <string>

using kestrel_sim::bus_core;
using kestrel_sim::device;

struct libusb_context {
    int unused = 0;
};

struct libusb_device {
    std::atomic<int> refs{1};
    std::shared_ptr<device> dev;
    uint32_t gen = 0;
};

struct libusb_device_handle {
    libusb_device* d = nullptr;
};

namespace {

constexpr uint16_t kestrel_vid = 0x1FC9;
constexpr uint16_t kestrel_pid = 0x82A5;
constexpr uint8_t control_interface = 2;
constexpr uint8_t ep_out = 0x04;
constexpr uint8_t ep_in = 0x84;

std::atomic<int> init_refs{0};

template <class F> int guarded(F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return LIBUSB_ERROR_NO_MEM;
    } catch (...) {
        return LIBUSB_ERROR_OTHER;
    }
}

libusb_device* ref(libusb_device* d) {
    d->refs.fetch_add(1);
    return d;
}

void unref(libusb_device* d) {
    if (d != nullptr && d->refs.fetch_sub(1) == 1) delete d;
}

// The handle's device while it is registered; null for a closed or foreign handle.
device* device_of(libusb_device_handle* h) {
    if (h == nullptr || !bus_core::get().has_handle(h)) return nullptr;
    return h->d->dev.get();
}

} // namespace

extern "C" {

int libusb_init(libusb_context** ctx) {
    return guarded([&]() -> int {
        bus_core::get();
        init_refs.fetch_add(1);
        if (ctx != nullptr) *ctx = new libusb_context;
        return LIBUSB_SUCCESS;
    });
}

void libusb_exit(libusb_context* ctx) {
    if (init_refs.load() > 0) init_refs.fetch_sub(1);
    delete ctx;
}

ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list) {
    if (list == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    return guarded([&]() -> int {
        // A mistake in the environment's description: said on standard error, and the
        // listing refused (as an invalid parameter), so that it reaches the program
        // through its open instead of ending it.
        if (const std::string why = bus_core::get().environment_mistake(); !why.empty()) {
            static std::mutex said_m;
            static std::string said; // once per mistake, however often the bus is listed
            std::lock_guard lk(said_m);
            if (why != said) std::fprintf(stderr, "kestrel_sim: %s\n", why.c_str());
            said = why;
            return LIBUSB_ERROR_INVALID_PARAM;
        }
        const auto devs = bus_core::get().present();
        auto* arr = new libusb_device*[devs.size() + 1];
        for (size_t i = 0; i < devs.size(); ++i) {
            arr[i] = new libusb_device;
            arr[i]->dev = devs[i];
            arr[i]->gen = devs[i]->generation();
        }
        arr[devs.size()] = nullptr;
        *list = arr;
        return static_cast<int>(devs.size());
    });
}

void libusb_free_device_list(libusb_device** list, int unref_devices) {
    if (list == nullptr) return;
    if (unref_devices)
        for (auto** p = list; *p != nullptr; ++p)
            unref(*p);
    delete[] list;
}

libusb_device* libusb_ref_device(libusb_device* dev) {
    return dev ? ref(dev) : nullptr;
}

void libusb_unref_device(libusb_device* dev) {
    unref(dev);
}

uint8_t libusb_get_bus_number(libusb_device*) {
    return 1;
}

uint8_t libusb_get_device_address(libusb_device* dev) {
    return dev ? dev->dev->address() : 0;
}

int libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
    if (dev == nullptr || desc == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    std::memset(desc, 0, sizeof(*desc));
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = kestrel_vid;
    desc->idProduct = kestrel_pid;
    desc->bcdDevice = 0x0100;
    desc->iManufacturer = 1;
    desc->iProduct = 2;
    desc->iSerialNumber = 3;
    desc->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int libusb_open(libusb_device* dev, libusb_device_handle** handle) {
    if (dev == nullptr || handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    return guarded([&]() -> int {
        if (!dev->dev->present() || dev->dev->generation() != dev->gen)
            return LIBUSB_ERROR_NO_DEVICE;
        auto* h = new libusb_device_handle;
        h->d = ref(dev);
        bus_core::get().add_handle(h);
        *handle = h;
        return LIBUSB_SUCCESS;
    });
}

void libusb_close(libusb_device_handle* h) {
    if (h == nullptr || !bus_core::get().remove_handle(h)) return;
    unref(h->d);
    delete h;
}

int libusb_get_string_descriptor_ascii(libusb_device_handle* h, uint8_t index, unsigned char* data,
                                       int length) {
    return guarded([&]() -> int {
        device* d = device_of(h);
        if (d == nullptr || data == nullptr || length <= 0 || index == 0)
            return LIBUSB_ERROR_INVALID_PARAM;
        if (!d->present() || d->generation() != h->d->gen) return LIBUSB_ERROR_NO_DEVICE;
        std::string s;
        switch (index) {
        case 1:
            s = d->manufacturer();
            break;
        case 2:
            s = d->product();
            break;
        case 3:
            s = d->serial();
            break;
        default:
            return LIBUSB_ERROR_PIPE;
        }
        const size_t n = std::min(s.size(), static_cast<size_t>(length - 1));
        std::memcpy(data, s.data(), n);
        data[n] = 0;
        return static_cast<int>(n);
    });
}

int libusb_kernel_driver_active(libusb_device_handle* h, int interface_number) {
    device* d = device_of(h);
    if (d == nullptr || interface_number < 0) return LIBUSB_ERROR_INVALID_PARAM;
    if (!d->present() || d->generation() != h->d->gen) return LIBUSB_ERROR_NO_DEVICE;
    return interface_number > control_interface ? LIBUSB_ERROR_NOT_FOUND : 0;
}

int libusb_detach_kernel_driver(libusb_device_handle* h, int interface_number) {
    device* d = device_of(h);
    if (d == nullptr || interface_number < 0) return LIBUSB_ERROR_INVALID_PARAM;
    if (!d->present() || d->generation() != h->d->gen) return LIBUSB_ERROR_NO_DEVICE;
    // No kernel driver binds to the device's interfaces.
    return LIBUSB_ERROR_NOT_FOUND;
}

int libusb_reset_device(libusb_device_handle* h) {
    return guarded([&]() -> int {
        device* d = device_of(h);
        if (d == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
        return d->usb_reset(h->d->gen);
    });
}

int libusb_claim_interface(libusb_device_handle* h, int interface_number) {
    device* d = device_of(h);
    if (d == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    if (!d->present() || d->generation() != h->d->gen) return LIBUSB_ERROR_NO_DEVICE;
    if (interface_number < 0 || interface_number > control_interface) return LIBUSB_ERROR_NOT_FOUND;
    return LIBUSB_SUCCESS;
}

int libusb_release_interface(libusb_device_handle* h, int interface_number) {
    return libusb_claim_interface(h, interface_number);
}

int libusb_bulk_transfer(libusb_device_handle* h, unsigned char endpoint, unsigned char* data,
                         int length, int* transferred, unsigned int timeout) {
    return guarded([&]() -> int {
        int local = 0;
        int* out = transferred != nullptr ? transferred : &local;
        *out = 0;
        device* d = device_of(h);
        if (d == nullptr || length < 0 || (data == nullptr && length > 0))
            return LIBUSB_ERROR_INVALID_PARAM;
        if (endpoint == ep_out) return d->bulk_out(h->d->gen, data, length, out, timeout);
        if (endpoint == ep_in) return d->bulk_in(h->d->gen, data, length, out, timeout);
        return LIBUSB_ERROR_NOT_FOUND;
    });
}

const char* libusb_error_name(int code) {
    switch (code) {
    case LIBUSB_SUCCESS:
        return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO:
        return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS:
        return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE:
        return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND:
        return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY:
        return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT:
        return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW:
        return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE:
        return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED:
        return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM:
        return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER:
        return "LIBUSB_ERROR_OTHER";
    default:
        return "**UNKNOWN**";
    }
}

const char* libusb_strerror(int code) {
    switch (code) {
    case LIBUSB_SUCCESS:
        return "Success";
    case LIBUSB_ERROR_IO:
        return "Input/Output Error";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "Invalid parameter";
    case LIBUSB_ERROR_ACCESS:
        return "Access denied (insufficient permissions)";
    case LIBUSB_ERROR_NO_DEVICE:
        return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND:
        return "Entity not found";
    case LIBUSB_ERROR_BUSY:
        return "Resource busy";
    case LIBUSB_ERROR_TIMEOUT:
        return "Operation timed out";
    case LIBUSB_ERROR_OVERFLOW:
        return "Overflow";
    case LIBUSB_ERROR_PIPE:
        return "Pipe error";
    case LIBUSB_ERROR_INTERRUPTED:
        return "System call interrupted (perhaps due to signal)";
    case LIBUSB_ERROR_NO_MEM:
        return "Insufficient memory";
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return "Operation not supported on this platform";
    case LIBUSB_ERROR_OTHER:
        return "Other error";
    default:
        return "Unknown error";
    }
}

} // extern "C"
