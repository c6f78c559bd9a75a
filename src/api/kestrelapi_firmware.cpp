// The exported firmware, progress, done-flag, serial-number and reboot functions.
#include <fstream>
#include <iterator>
#include <string>

#include "api/api_handles.h"
#include "api/call.h"
#include "api/fw_data.h"
#include "hw/exception.h"
#include "hw/model.h"
#include "kestrel/firmware/update.h"
#include "kestrelapi.h"

using api_utils::api_handles;
using api_utils::get_fw_data;
using api_utils::out;
using api_utils::with_handle;

std::vector<uint8_t> api_utils::get_fw_data(const char* filename, uint32_t size) {
    if (filename == nullptr || size == 0) return {};
    std::ifstream f(std::string(filename, size), std::ios::binary);
    if (!f) return {};
    std::vector<uint8_t> out((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (f.bad()) return {};
    return out;
}

ohwapi_err_code_t
kestrelapi_check_fw_update_needed(kestrelapi_handle handle, bool* update_needed,
                                  char* mcu_fw_filename, uint32_t mcu_filename_size,
                                  char* rec_fw_filename, uint32_t rec_filename_size,
                                  char* fpga_fw_filename, uint32_t fpga_filename_size) {
    return with_handle(handle, [&](api_handles& h) {
        out(update_needed) = false;
        const auto fpga = get_fw_data(fpga_fw_filename, fpga_filename_size);
        const auto recovery = get_fw_data(rec_fw_filename, rec_filename_size);
        const auto mcu = get_fw_data(mcu_fw_filename, mcu_filename_size);
        *update_needed = h.device.update_is_needed(mcu, recovery, fpga);
    });
}

ohwapi_err_code_t kestrelapi_launch_fw_update(kestrelapi_handle handle, bool force,
                                              char* mcu_fw_filename, uint32_t mcu_filename_size,
                                              char* rec_fw_filename, uint32_t rec_filename_size,
                                              char* fpga_fw_filename, uint32_t fpga_filename_size) {
    return with_handle(handle, [&](api_handles& h) {
        auto fpga = get_fw_data(fpga_fw_filename, fpga_filename_size);
        auto recovery = get_fw_data(rec_fw_filename, rec_filename_size);
        auto mcu = get_fw_data(mcu_fw_filename, mcu_filename_size);
        h.device.launch_fw_update(force, std::move(mcu), std::move(recovery), std::move(fpga));
    });
}

ohwapi_err_code_t kestrelapi_get_firmware_update_progress(kestrelapi_handle handle, uint8_t* p) {
    return with_handle(handle, [&](api_handles& h) { out(p) = h.device.progress.value(); });
}

ohwapi_err_code_t kestrelapi_get_firmware_update_done_flag(kestrelapi_handle handle, bool* f) {
    return with_handle(handle, [&](api_handles& h) { out(f) = h.device.updater->done.load(); });
}

ohwapi_err_code_t kestrelapi_change_sn(kestrelapi_handle handle, char* new_sn,
                                       uint32_t new_sn_size) {
    return with_handle(handle, [&](api_handles& h) {
        const std::string sn = new_sn == nullptr ? std::string() : std::string(new_sn, new_sn_size);
        if (!sn.starts_with(hw::sn_kestrel_root))
            throw hw::exception(hw::error::invalid_serial_number);
        h.device.update_sn(sn);
    });
}

ohwapi_err_code_t kestrelapi_reboot_and_close(kestrelapi_handle handle) {
    return with_handle(handle, [&](api_handles& h) { h.device.reboot_and_close(); });
}
