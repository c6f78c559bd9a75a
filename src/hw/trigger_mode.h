#pragma once
#include <cstdint>

namespace hw {

enum class trigger_mode_t : uint8_t {
    single = 0,
    normal = 1,
};

} // namespace hw
