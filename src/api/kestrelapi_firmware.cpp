// The exported firmware, progress, done-flag, serial-number and reboot functions.
#include <fstream>
#include <iterator>
#include <string>

#include "api/api_handles.h"
#include "api/fw_data.h"
#include "api/trycatch.h"
#include "hw/exception.h"
#include "hw/model.h"
#include "kestrel/firmware/update.h"
#include "kestrelapi.h"

using api_utils::api_handles;
using api_utils::get_fw_data;
using api_utils::trycatch;

namespace {

api_handles& handle_of(kestrelapi_handle h) {
    return *static_cast<api_handles*>(h);
}

} // namespace

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
    return trycatch([&] {
        *update_needed = false;
        const auto fpga = get_fw_data(fpga_fw_filename, fpga_filename_size);
        const auto recovery = get_fw_data(rec_fw_filename, rec_filename_size);
        const auto mcu = get_fw_data(mcu_fw_filename, mcu_filename_size);
        *update_needed = handle_of(handle).device.update_is_needed(mcu, recovery, fpga);
    });
}

ohwapi_err_code_t kestrelapi_launch_fw_update(kestrelapi_handle handle, bool force,
                                              char* mcu_fw_filename, uint32_t mcu_filename_size,
                                              char* rec_fw_filename, uint32_t rec_filename_size,
                                              char* fpga_fw_filename, uint32_t fpga_filename_size) {
    return trycatch([&] {
        auto fpga = get_fw_data(fpga_fw_filename, fpga_filename_size);
        auto recovery = get_fw_data(rec_fw_filename, rec_filename_size);
        auto mcu = get_fw_data(mcu_fw_filename, mcu_filename_size);
        handle_of(handle).device.launch_fw_update(force, std::move(mcu), std::move(recovery),
                                                  std::move(fpga));
    });
}

ohwapi_err_code_t kestrelapi_get_firmware_update_progress(kestrelapi_handle handle, uint8_t* p) {
    return trycatch([&] { *p = handle_of(handle).device.progress.value(); });
}

ohwapi_err_code_t kestrelapi_get_firmware_update_done_flag(kestrelapi_handle handle, bool* f) {
    return trycatch([&] { *f = handle_of(handle).device.updater->done.load(); });
}

ohwapi_err_code_t kestrelapi_change_sn(kestrelapi_handle handle, char* new_sn,
                                       uint32_t new_sn_size) {
    return trycatch([&] {
        const std::string sn = new_sn == nullptr ? std::string() : std::string(new_sn, new_sn_size);
        if (!sn.starts_with(hw::sn_kestrel_root))
            throw hw::exception(hw::error::invalid_serial_number);
        handle_of(handle).device.update_sn(sn);
    });
}

ohwapi_err_code_t kestrelapi_reboot_and_close(kestrelapi_handle handle) {
    return trycatch([&] { handle_of(handle).device.reboot_and_close(); });
}
