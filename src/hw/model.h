#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace hw {

// Device model; the same numbers as the exported kestrelapi_model_t.
enum class model_t : uint16_t {
    na = 0,
    kestrel_one = 601,   // one group of 18 channels
    kestrel_two = 602,   // two groups
    kestrel_three = 603, // three groups
};

// Device family.
enum class device_t : uint8_t {
    none = 0,
    kestrel = 5,
};

inline constexpr std::string_view sn_kestrel_root = "7302";
inline constexpr std::string_view sn_kestrel_one_root = "7302101";
inline constexpr std::string_view sn_kestrel_two_root = "7302102";
inline constexpr std::string_view sn_kestrel_three_root = "7302103";

// The USB3 bridges inside every device carry these fixed serial numbers, one per group,
// whatever the serial number of the device itself.
inline constexpr std::array<std::string_view, 3> sn_kestrel_core = {"730210100001", "730210100002",
                                                                    "730210100003"};
inline constexpr std::string_view desc_kestrel_core = "KESTREL-CORE";

// Channels of a model of this family (18 per group); 0 for any other model.
constexpr std::size_t channel_count(model_t model) {
    switch (model) {
    case model_t::kestrel_one:
        return 18;
    case model_t::kestrel_two:
        return 36;
    case model_t::kestrel_three:
        return 54;
    default:
        return 0;
    }
}

// The model named by the prefix of a serial number; throws
// hw::exception(invalid_serial_number) when no model prefix starts the string.
model_t get_model(const std::string& sn);

// The family named by the prefix of a serial number; throws like get_model.
device_t get_device(const std::string& sn);

} // namespace hw
