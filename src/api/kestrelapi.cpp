// The exported functions: each runs its body inside the one exception guard.
#include "kestrelapi.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "api/api_handles.h"
#include "api/live_handles.h"
#include "api/raw_value.h"
#include "api/trycatch.h"

using api_utils::api_handles;
using api_utils::live_handles;
using api_utils::trycatch;

namespace {

api_handles& handle_of(kestrelapi_handle h) {
    return *static_cast<api_handles*>(h);
}

char* copy_string(const std::string& s) {
    char* out = new char[s.size() + 1];
    std::memcpy(out, s.c_str(), s.size() + 1);
    return out;
}

uint8_t fpga_version_code(api_handles& h) {
    const auto groups = h.device.device_status.groups();
    return groups.empty() ? 0 : groups.front().version;
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
        live_handles::instance().add(handle.get());
        *h = handle.release();
    });
}

ohwapi_err_code_t kestrelapi_free(kestrelapi_handle handle) {
    if (handle == nullptr) return OHWAPI_OK;
    auto* h = static_cast<api_handles*>(handle);
    if (!live_handles::instance().remove(h)) return OHWAPI_INVALID_ARGUMENT;
    return trycatch([&] { delete h; });
}

ohwapi_err_code_t kestrelapi_get_last_error(kestrelapi_handle handle) {
    return trycatch([&] { handle_of(handle).device.raise_exception(); });
}

ohwapi_err_code_t kestrelapi_create_device_list(kestrelapi_handle handle) {
    return trycatch([&] {
        auto& h = handle_of(handle);
        h.device_list = h.list_devices();
    });
}

ohwapi_err_code_t kestrelapi_free_device_list(kestrelapi_handle handle) {
    return trycatch([&] { handle_of(handle).device_list.clear(); });
}

ohwapi_err_code_t kestrelapi_get_devices_count(kestrelapi_handle handle, uint16_t* count) {
    return trycatch([&] {
        *count = static_cast<uint16_t>(std::min<size_t>(handle_of(handle).device_list.size(), 255));
    });
}

ohwapi_err_code_t kestrelapi_get_device_descriptor(kestrelapi_handle handle, uint8_t device_number,
                                                   device_descriptor_t* d) {
    return trycatch([&] {
        const libusb::device& dev = handle_of(handle).device_list.at(device_number);
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
    if (desc.sn == nullptr || desc.desc == nullptr) return OHWAPI_INVALID_ARGUMENT;
    auto& h = handle_of(handle);
    return h.explained([&] {
        const std::string sn(desc.sn);
        h.check_bridges_unambiguous(sn);
        h.device.open(sn);
    });
}

ohwapi_err_code_t kestrelapi_device_open_first(kestrelapi_handle handle) {
    std::vector<libusb::device> found;
    const ohwapi_err_code_t rc = trycatch([&] { found = handle_of(handle).list_devices(); });
    if (rc != OHWAPI_OK) return rc;
    if (found.empty()) return OHWAPI_DEVICE_NOT_FOUND;
    device_descriptor_t d{const_cast<char*>(found.front().sn.c_str()),
                          const_cast<char*>(found.front().desc.c_str())};
    return kestrelapi_device_open(handle, d);
}

ohwapi_err_code_t kestrelapi_device_close(kestrelapi_handle handle) {
    return trycatch([&] { handle_of(handle).device.close(); });
}

ohwapi_err_code_t kestrelapi_get_device_open_flag(kestrelapi_handle handle, bool* f) {
    return trycatch([&] { *f = handle_of(handle).device.is_open(); });
}

ohwapi_err_code_t kestrelapi_get_ready_flag(kestrelapi_handle handle, bool* f) {
    return trycatch([&] { *f = handle_of(handle).device.is_ready(); });
}

ohwapi_err_code_t kestrelapi_get_mcu_version_major(kestrelapi_handle handle, uint8_t* v) {
    return trycatch([&] { *v = handle_of(handle).device.device_status.mb_version().maj; });
}

ohwapi_err_code_t kestrelapi_get_mcu_version_minor(kestrelapi_handle handle, uint8_t* v) {
    return trycatch([&] { *v = handle_of(handle).device.device_status.mb_version().min; });
}

ohwapi_err_code_t kestrelapi_get_fpga_version_major(kestrelapi_handle handle, uint8_t* v) {
    return trycatch([&] { *v = fpga_version_code(handle_of(handle)) >> 4; });
}

ohwapi_err_code_t kestrelapi_get_fpga_version_minor(kestrelapi_handle handle, uint8_t* v) {
    return trycatch([&] { *v = fpga_version_code(handle_of(handle)) & 0x0F; });
}

} // extern "C"
