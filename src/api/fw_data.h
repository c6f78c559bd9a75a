#pragma once
#include <cstdint>
#include <vector>

namespace api_utils {

// The whole content of the file whose path is the first `size` characters at filename;
// empty when it cannot be read (an absent image is not an error).
std::vector<uint8_t> get_fw_data(const char* filename, uint32_t size);

} // namespace api_utils
