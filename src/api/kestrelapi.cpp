// The exported functions: each runs its body inside the one exception guard.
#include "kestrelapi.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "api/api_handles.h"
#include "api/call.h"
#include "api/live_handles.h"
#include "api/raw_value.h"
#include "api/trycatch.h"

using api_utils::api_handles;
using api_utils::index;
using api_utils::live_handles;
using api_utils::out;
using api_utils::trycatch;
using api_utils::with_handle;

namespace {

char* copy_string(const std::string& s) {
    char* out = new char[s.size() + 1];
    std::memcpy(out, s.c_str(), s.size() + 1);
    return out;
}

uint8_t fpga_version_code(api_handles& h) {
    const auto groups = h.device.device_status.groups();
    return groups.empty() ? 0 : groups.front().version;
}

// "KESTREL TWO (36 channels)".
std::string model_text(hw::model_t m) {
    const char* name = m == hw::model_t::kestrel_one   ? "ONE"
                       : m == hw::model_t::kestrel_two ? "TWO"
                                                       : "THREE";
    return std::string("KESTREL ") + name + " (" + std::to_string(hw::channel_count(m)) +
           " channels)";
}

// A handle serves devices of its own model only (its stores and loaders are sized for
// it): anything else is refused with a reason that names both models.
void check_model(api_handles& h, const std::string& sn) {
    hw::model_t m = hw::model_t::na;
    try {
        m = hw::get_model(sn);
    } catch (const hw::exception&) {
        h.refuse(hw::error::invalid_serial_number,
                 "serial number " + sn + " is not a KESTREL device's (7302101..., 7302102... " +
                     "or 7302103...)");
    }
    if (m != h.caps.model)
        h.refuse(hw::error::invalid_serial_number,
                 "device " + sn + " is a " + model_text(m) + ", this handle is for a " +
                     model_text(h.caps.model) + ": open it with a handle of its model");
}

} // namespace

extern "C" {

ohwapi_err_code_t kestrelapi_create_new_handle(kestrelapi_handle* h, kestrelapi_model_t model) {
    // A C caller may pass any int: read the raw value (no load of the enumeration) and
    // refuse what is not a model before anything is built.
    const int raw = api_utils::raw_value(model);
    if (h == nullptr || (raw != kestrel_one && raw != kestrel_two && raw != kestrel_three))
        return OHWAPI_INVALID_ARGUMENT;
    return trycatch([&] {
        auto handle = std::make_unique<api_handles>(static_cast<hw::model_t>(raw));
        if (!live_handles::instance().add(handle.get())) throw hw::exception(hw::error::busy);
        *h = handle.release();
    });
}

ohwapi_err_code_t kestrelapi_free(kestrelapi_handle handle) {
    if (handle == nullptr) return OHWAPI_OK;
    // Deleting joins the handle's threads within bounds and throws nothing.
    return live_handles::instance().free(handle) ? OHWAPI_OK : OHWAPI_INVALID_ARGUMENT;
}

ohwapi_err_code_t kestrelapi_get_last_error(kestrelapi_handle handle) {
    return with_handle(handle, [&](api_handles& h) { h.device.raise_exception(); });
}

ohwapi_err_code_t kestrelapi_create_device_list(kestrelapi_handle handle) {
    return with_handle(handle, [&](api_handles& h) { h.device_list = h.list_devices(); });
}

ohwapi_err_code_t kestrelapi_free_device_list(kestrelapi_handle handle) {
    return with_handle(handle, [&](api_handles& h) { h.device_list.clear(); });
}

ohwapi_err_code_t kestrelapi_get_devices_count(kestrelapi_handle handle, uint16_t* count) {
    return with_handle(handle, [&](api_handles& h) {
        out(count) = static_cast<uint16_t>(std::min<size_t>(h.device_list.size(), 255));
    });
}

ohwapi_err_code_t kestrelapi_get_device_descriptor(kestrelapi_handle handle, uint8_t device_number,
                                                   device_descriptor_t* d) {
    return with_handle(handle, [&](api_handles& h) {
        out(d);
        const libusb::device& dev = index(h.device_list, device_number);
        char* sn = copy_string(dev.sn);
        char* desc = nullptr;
        try {
            desc = copy_string(dev.desc);
        } catch (...) {
            delete[] sn;
            throw;
        }
        d->sn = sn;
        d->desc = desc;
    });
}

ohwapi_err_code_t kestrelapi_free_device_descriptor(device_descriptor_t* d) {
    return trycatch([&] {
        if (d == nullptr) return;
        delete[] d->sn;
        delete[] d->desc;
        d->sn = nullptr;
        d->desc = nullptr;
    });
}

ohwapi_err_code_t kestrelapi_device_open(kestrelapi_handle handle, device_descriptor_t desc) {
    return with_handle(handle, [&](api_handles& h) {
        if (desc.sn == nullptr || desc.desc == nullptr)
            throw hw::exception(hw::error::invalid_argument);
        h.explained([&] {
            const std::string sn(desc.sn);
            check_model(h, sn);
            h.check_bridges_unambiguous(sn);
            h.device.open(sn);
        });
    });
}

ohwapi_err_code_t kestrelapi_device_open_first(kestrelapi_handle handle) {
    std::vector<libusb::device> found;
    const ohwapi_err_code_t rc =
        with_handle(handle, [&](api_handles& h) { found = h.list_devices(); });
    if (rc != OHWAPI_OK) return rc;
    if (found.empty()) return OHWAPI_DEVICE_NOT_FOUND;
    device_descriptor_t d{const_cast<char*>(found.front().sn.c_str()),
                          const_cast<char*>(found.front().desc.c_str())};
    return kestrelapi_device_open(handle, d);
}

ohwapi_err_code_t kestrelapi_device_close(kestrelapi_handle handle) {
    return with_handle(handle, [&](api_handles& h) { h.device.close(); });
}

ohwapi_err_code_t kestrelapi_get_device_open_flag(kestrelapi_handle handle, bool* f) {
    return with_handle(handle, [&](api_handles& h) { out(f) = h.device.is_open(); });
}

ohwapi_err_code_t kestrelapi_get_ready_flag(kestrelapi_handle handle, bool* f) {
    return with_handle(handle, [&](api_handles& h) { out(f) = h.device.is_ready(); });
}

ohwapi_err_code_t kestrelapi_get_mcu_version_major(kestrelapi_handle handle, uint8_t* v) {
    return with_handle(handle,
                       [&](api_handles& h) { out(v) = h.device.device_status.mb_version().maj; });
}

ohwapi_err_code_t kestrelapi_get_mcu_version_minor(kestrelapi_handle handle, uint8_t* v) {
    return with_handle(handle,
                       [&](api_handles& h) { out(v) = h.device.device_status.mb_version().min; });
}

ohwapi_err_code_t kestrelapi_get_fpga_version_major(kestrelapi_handle handle, uint8_t* v) {
    return with_handle(handle, [&](api_handles& h) { out(v) = fpga_version_code(h) >> 4; });
}

ohwapi_err_code_t kestrelapi_get_fpga_version_minor(kestrelapi_handle handle, uint8_t* v) {
    return with_handle(handle, [&](api_handles& h) { out(v) = fpga_version_code(h) & 0x0F; });
}

} // extern "C"
