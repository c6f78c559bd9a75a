#pragma once

#include "hw/types.h"
#include "trs/builder.h"
#include "trs/store.h"

#include <vector>

namespace trs {

// Cuts or extends every channel to one length. Each channel is rebuilt from a private copy
// of its store on a thread of its own; resize() returns when all are done. Transitions before
// the new length keep their samples, the first one at or beyond it is placed at it, and
// every channel ends with samples_count() equal to the new length.
//
// A rebuild holds the channel's builder mutex, not the store against plain appends: nothing
// may write the channels while they are resized.
class resizer {
public:
    resizer(std::vector<store>& target_ch_stores, std::vector<builder> target_ch_builders);

    void resize(isamp new_n_samples, bool set_as_uncaptured);
    void resize_channel(hw::ich ch, isamp new_n_samples, bool set_as_uncaptured);

private:
    std::vector<store>& target_ch_stores;
    std::vector<builder> target_ch_builders;
};

} // namespace trs
