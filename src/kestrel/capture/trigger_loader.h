#pragma once
#include <cstdint>
#include <vector>

#include "kestrel/link/communication.h"
#include "mox/semaphore.h"

namespace kestrel {

// Writes the step words of one trigger engine of one group into the device's trigger
// program memory, one acknowledged packet per word.
class trigger_loader {
public:
    explicit trigger_loader(communication& com);
    ~trigger_loader();
    trigger_loader(const trigger_loader&) = delete;
    trigger_loader& operator=(const trigger_loader&) = delete;

    void send_to_device(uint8_t engine_index, uint8_t target_group,
                        const std::vector<uint64_t>& trigger_steps_data);

    // The 12-byte packet of word `word_index`.
    static communication::bytes packet(uint8_t engine_index, uint8_t target_group,
                                       size_t word_index, uint64_t word);

private:
    communication& com;
    mox::semaphore sem{1, 0};
};

} // namespace kestrel
