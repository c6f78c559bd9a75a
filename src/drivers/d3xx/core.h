#pragma once
#include <atomic>
#include <string>

#include "drivers/d3xx/ftd3xx_abi.h"

namespace d3xx {

enum class creat_flags_t : uint32_t {
    OPEN_BY_SERIAL_NUMBER = 1,
    OPEN_BY_DESCRIPTION = 2,
    OPEN_BY_LOCATION = 4,
    OPEN_BY_GUID = 8,
    OPEN_BY_INDEX = 16,
};

// The bridge driver library, loaded at run time from ./libftd3xx.so and bound entry
// point by entry point. It stays loaded for the life of the process.
class core {
public:
    static constexpr const char* default_library = "./libftd3xx.so";
    // Names another file for the bridge driver library: lets a program keep its own
    // working directory while it runs against a driver elsewhere (sim/run sets it to
    // the virtual device's runtime directory).
    static constexpr const char* library_variable = "KESTREL_D3XX_LIBRARY";
    // The variable's file when set and not empty, else ./libftd3xx.so.
    static const char* library_path();

    enum class lib_version_t : uint8_t { unknown = 0, old_lib = 1, new_lib = 2 };

    // Throws std::runtime_error when the library or one of its entry points is missing.
    explicit core(lib_version_t kind);
    ~core();
    core(const core&) = delete;
    core& operator=(const core&) = delete;

    // Once an open or a listing has succeeded, the instance it used serves every call.
    static core& instance(bool new_lib);
    static void set_new_version(bool new_lib);
    static lib_version_t version() { return lib_version.load(); }

    const lib_version_t kind;

    abi::FT_GetLibraryVersion_t get_lib_version = nullptr;
    abi::FT_GetDriverVersion_t get_driver_version = nullptr;
    abi::FT_Create_t create = nullptr;
    abi::FT_Close_t close = nullptr;
    abi::FT_WritePipe_t write_pipe = nullptr;
    abi::FT_ReadPipe_t read_pipe = nullptr;
    abi::FT_FlushPipe_t flush_pipe = nullptr;
    abi::FT_AbortPipe_t abort_pipe = nullptr;
    abi::FT_GetChipConfiguration_t get_chip_configuration = nullptr;
    abi::FT_SetChipConfiguration_t set_chip_configuration = nullptr;
    abi::FT_GetFirmwareVersion_t get_firmware_version = nullptr;
    abi::FT_ResetDevicePort_t rese_device_port = nullptr;
    abi::FT_CreateDeviceInfoList_t create_device_info_list = nullptr;
    abi::FT_GetDeviceInfoList_t get_device_info_list = nullptr;
    abi::FT_SetPipeTimeout_t set_pipe_timeout = nullptr;
    abi::FT_SetSuspendTimeout_t set_suspend_timeout = nullptr; // not bound
    abi::FT_EnableGPIO_t enable_gpio = nullptr;
    abi::FT_WriteGPIO_t write_gpio = nullptr;
    abi::FT_ReadGPIO_t read_gpio = nullptr;
    abi::FT_SetGPIOPull_t set_gpio_pull = nullptr;

private:
    template <typename F> void resolve(F& fn, const char* name);

    void* libhandle = nullptr;
    static std::atomic<lib_version_t> lib_version;
};

} // namespace d3xx
