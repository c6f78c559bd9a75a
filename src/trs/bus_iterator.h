#pragma once

#include "trs/iterator.h"
#include "trs/store.h"

#include <bitset>
#include <cstddef>
#include <functional>
#include <vector>

namespace trs {

// Walks several channels at once as one parallel bus, forwards only: each step yields the
// bus word (bit k = level of channel k) and the sample from which it holds, one step per
// distinct sample of the channels' transitions, in ascending order.
//
// The first step after restart() gives the word at sample 0 with is_first set. The step that
// takes the bus past the last transition of every channel has is_last set; further steps
// repeat it until a channel grows. Like a channel's level, a channel's bit is that of its
// last item at or before the word's sample. An empty channel reads 0 until it gets data; a
// channel cleared during the walk is read again from its start, its levels catching up
// without words going back in time.
class bus_iterator {
public:
    static constexpr size_t max_channels = 128;

    struct btr {
        std::bitset<max_channels> bits;
        isamp sample = 0;
        bool is_first = false;
        bool is_last = false;
    };

    // More than max_channels stores throw std::invalid_argument. Ready to walk: the
    // constructor restarts.
    explicit bus_iterator(std::vector<std::reference_wrapper<store>> stores);

    void restart();
    btr next();
    // True while any channel holds an item not yet taken into the bus.
    bool current_tr_is_not_last();
    size_t width() const { return lanes.size(); }

private:
    struct lane {
        explicit lane(store& s) : channel_store(&s), it(s) {}
        store* channel_store;
        iterator it;
        uint64_t generation = 0; // of the store when the walk found its first item
        tr cur;                  // the next item not yet taken into the bus, when `pending`
        bool pending = false;
        bool started = false; // the walk has found the channel's first item
        uint8_t level = 0;
    };

    void start(lane& l);
    void take_up_to(lane& l, isamp sample);
    btr word(isamp sample) const;

    std::vector<lane> lanes;
    bool reset = false;
    isamp last_sample = 0;
};

} // namespace trs
