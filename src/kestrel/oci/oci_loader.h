#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "hw/status.h"
#include "kestrel/capabilities.h"
#include "kestrel/link/communication.h"
#include "mox/semaphore.h"
#include "oci/word.h"

namespace kestrel {

// Writes an output program to every group's engine through the group's USB3 OUT pipe, in
// the engine's loading form: each device word as four addressed byte writes.
class oci_loader_t {
public:
    static constexpr size_t oci_chunk_max_size = 230000;
    static constexpr uint32_t write_timeout_ms = 1000;

    oci_loader_t(communication& com, capabilities& caps, hw::status& status);
    oci_loader_t(const oci_loader_t&) = delete;
    oci_loader_t& operator=(const oci_loader_t&) = delete;

    // False, sending nothing, for a program the engines cannot hold. Write failures are
    // not reported here: the engines then never report ready.
    bool send_to_device(const std::vector<oci::word>& oci_data);
    // Fills loading_vector with the loading form of `oci_data` for natural group `group`.
    void build_loading_vector(std::vector<oci::word> oci_data, uint8_t group);

    // The 32-bit device word of one program word (its loop marker already assigned).
    static uint32_t device_word(const oci::word& w, uint8_t group);

    std::vector<uint8_t> loading_vector;

private:
    communication& com;
    capabilities& caps;
    hw::status& status;
    mox::semaphore sem{1, 0};
    std::mutex mutex;
};

} // namespace kestrel
