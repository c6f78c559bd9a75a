#include "drivers/d3xx/core.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace d3xx {

std::atomic<core::lib_version_t> core::lib_version{core::lib_version_t::unknown};

template <typename F> void core::resolve(F& fn, const char* name) {
    void* sym = dlsym(libhandle, name);
    if (sym == nullptr) {
        std::printf("could not locate the function %s\n", name);
        std::fflush(stdout);
        dlclose(libhandle);
        throw std::runtime_error(std::string("could not locate the function ") + name);
    }
    fn = reinterpret_cast<F>(sym);
}

const char* core::library_path() {
    const char* named = std::getenv(library_variable);
    return named != nullptr && *named != '\0' ? named : default_library;
}

core::core(lib_version_t k) : kind(k) {
    libhandle = dlopen(library_path(), RTLD_LAZY);
    if (libhandle == nullptr) throw std::runtime_error("could not load the dynamic library");
    resolve(get_lib_version, "FT_GetLibraryVersion");
    resolve(get_driver_version, "FT_GetDriverVersion");
    resolve(create, "FT_Create");
    resolve(close, "FT_Close");
    resolve(write_pipe, "FT_WritePipe");
    resolve(read_pipe, "FT_ReadPipe");
    resolve(flush_pipe, "FT_FlushPipe");
    resolve(abort_pipe, "FT_AbortPipe");
    resolve(get_chip_configuration, "FT_GetChipConfiguration");
    resolve(set_chip_configuration, "FT_SetChipConfiguration");
    resolve(get_firmware_version, "FT_GetFirmwareVersion");
    resolve(rese_device_port, "FT_ResetDevicePort");
    resolve(create_device_info_list, "FT_CreateDeviceInfoList");
    resolve(get_device_info_list, "FT_GetDeviceInfoList");
    resolve(set_pipe_timeout, "FT_SetPipeTimeout");
    resolve(enable_gpio, "FT_EnableGPIO");
    resolve(write_gpio, "FT_WriteGPIO");
    resolve(read_gpio, "FT_ReadGPIO");
    resolve(set_gpio_pull, "FT_SetGPIOPull");
}

core::~core() {
    dlclose(libhandle);
}

core& core::instance(bool new_lib) {
    // Built on first use (a failed load is retried by the next call) and never destroyed:
    // the link's threads may still call into the library while the process exits.
    static core& modern = *new core(lib_version_t::new_lib);
    static core& legacy = *new core(lib_version_t::old_lib);
    switch (lib_version.load()) {
    case lib_version_t::new_lib:
        return modern;
    case lib_version_t::old_lib:
        return legacy;
    default:
        return new_lib ? modern : legacy;
    }
}

void core::set_new_version(bool new_lib) {
    lib_version_t expected = lib_version_t::unknown;
    lib_version.compare_exchange_strong(expected,
                                        new_lib ? lib_version_t::new_lib : lib_version_t::old_lib);
}

} // namespace d3xx
