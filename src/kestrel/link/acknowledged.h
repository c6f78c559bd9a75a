#pragma once
#include <cstdint>

#include "hw/exception.h"
#include "kestrel/link/communication.h"
#include "mox/semaphore.h"

namespace kestrel {

// Sends a request whose endpoint handler gives `answered` on any reply; sends it once more
// when none comes within wait_ms, then gives up with not_responding.
inline void send_acknowledged(communication& com, commands::endpoints ep,
                              const communication::bytes& payload, mox::semaphore& answered,
                              uint32_t wait_ms, bool reset_first = true) {
    if (reset_first) answered.reset(0);
    com.tx(ep, payload);
    if (answered.take(mox::timeout(wait_ms))) return;
    // A late reply to the first attempt must not count for the second.
    answered.reset(0);
    com.tx(ep, payload);
    if (answered.take(mox::timeout(wait_ms))) return;
    // A device that left the bus is reported as such, not as one that stopped answering.
    com.throw_if_device_gone();
    throw hw::exception(hw::error::not_responding);
}

} // namespace kestrel
