#include "kestrel/capture/trigger_loader.h"

#include "kestrel/capabilities.h"
#include "kestrel/link/acknowledged.h"
#include "mox/check.h"

namespace kestrel {

trigger_loader::trigger_loader(communication& c) : com(c) {
    com.register_ep(commands::endpoints::trigger_loader,
                    [this](mox_com::acknowledge, const communication::bytes&) { sem.notify(); });
}

trigger_loader::~trigger_loader() {
    try {
        com.unregister_ep(commands::endpoints::trigger_loader);
    } catch (...) {
    }
}

communication::bytes trigger_loader::packet(uint8_t engine_index, uint8_t target_group,
                                            size_t word_index, uint64_t word) {
    const auto address = static_cast<uint16_t>(word_index * 8);
    communication::bytes p{target_group, engine_index, static_cast<uint8_t>(address),
                           static_cast<uint8_t>(address >> 8)};
    for (int i = 0; i < 8; ++i)
        p.push_back(static_cast<uint8_t>(word >> (8 * i)));
    return p;
}

void trigger_loader::send_to_device(uint8_t engine_index, uint8_t target_group,
                                    const std::vector<uint64_t>& words) {
    MOX_ASSERT(engine_index < capabilities::trig_engine_count);
    for (size_t i = 0; i < words.size(); ++i)
        send_acknowledged(com, commands::endpoints::trigger_loader,
                          packet(engine_index, target_group, i, words[i]), sem, 100);
}

} // namespace kestrel
