#pragma once
#include <cstdint>

namespace oci {

// Drive type an application asks for on a channel.
enum class io_t : uint8_t {
    push_pull = 0,
    open_drain_no_pull = 1,
    open_drain_pull_up = 2,
    floating = 3,
};

} // namespace oci
