#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "drivers/d3xx/core.h"
#include "drivers/d3xx/err.h"
#include "drivers/d3xx/handle_manager.h"
#include "hw/descriptor.h"

namespace d3xx {

// One USB3 FIFO bridge: samples come in on pipe 0x82, output programs go out on 0x02.
class ft245 {
public:
    static constexpr uint8_t pipe_tx = 0x02;
    static constexpr uint8_t pipe_rx = 0x82;

    ft245() = default;
    ~ft245();
    ft245(const ft245&) = delete;
    ft245& operator=(const ft245&) = delete;

    // Opens the first attached bridge with this serial number and description.
    err open(const std::string& sn, const std::string& desc, uint16_t timeout);
    err close();
    // Replaces buf with what the bridge delivered within the pipe time-out; the bytes of a
    // read that ends in an error are kept too.
    err read(std::vector<uint8_t>& buf, size_t len, uint16_t timeout_ms);
    // The same into caller memory of at least len bytes (no zero fill of large buffers).
    err read(uint8_t* dst, size_t len, size_t& transferred, uint16_t timeout_ms);
    err write(const std::vector<uint8_t>& data, size_t& written, uint16_t timeout_ms);
    err flush_rx();
    // Ends a read of the IN pipe under way on another thread at once (it returns
    // OPERATION_ABORTED with what it had received).
    err abort_rx();
    bool is_open();
    err read_config();
    err write_config(abi::FT_60XCONFIGURATION cfg);
    std::vector<hw::descriptor> list_devices(const std::string& sn_prefix, bool);
    void linux_setup() {}

    handle_manager& handles() { return hm; }
    uint16_t rx_timeout() const { return rx_timeout_ms; }

    // Whether any bridge operation started less than ms milliseconds ago.
    static bool get_inuse(uint32_t ms);

private:
    err open_scan(core& lib, const std::string& sn, const std::string& desc);
    static std::vector<hw::descriptor> scan(core& lib, const std::string& sn_prefix);
    static void set_inuse();

    handle_manager hm;
    uint16_t tx_timeout_ms = 0;
    uint16_t rx_timeout_ms = 0;
    std::vector<hw::descriptor> dev_list;
};

// One of the two general-purpose pins of a bridge.
class gpio {
public:
    enum class pull : uint8_t { down = 0, none = 1, up = 2 };

    gpio(handle_manager& hm, uint8_t gpio_index);

    err write(bool value);
    bool read();
    err set_dir_input(pull p);
    err set_dir_output(bool value);

private:
    err set_direction(bool output, pull p);

    handle_manager& hm;
    const uint8_t index;
};

} // namespace d3xx
