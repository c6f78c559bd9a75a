// Decoders of the configuration payloads the host sends (little-endian fields).
#pragma once

#include "kestrel_sim/records.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrel_sim {

// Empty when the payload does not have the layout for `groups` groups.
std::optional<device_config_t> decode_config(std::span<const uint8_t> payload, unsigned groups);
std::optional<std::vector<oci_group_params_t>> decode_oci_params(std::span<const uint8_t> payload,
                                                                 unsigned groups);

size_t config_payload_size(unsigned groups);

} // namespace kestrel_sim
