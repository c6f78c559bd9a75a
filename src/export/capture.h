#pragma once

// What the export writers read: a set of channel stores (a handle's manager or a capture
// taken out of it), walked forwards from any sample, one level change at a time.

#include "hw/types.h"
#include "trs/iterator.h"
#include "trs/manager.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace xport {

inline constexpr isamp no_sample = std::numeric_limits<isamp>::max();

struct capture_t {
    trs::manager* man = nullptr;     // the stores of a handle, or else
    std::vector<trs::store*> stores; // those of a capture, by channel number
    std::vector<hw::ich> channels;   // ascending
    std::vector<std::string> names;  // one per entry of `channels`
    isamp length = 0;                // samples written: [0, length)
    isamp trigger = -1;              // sample of the trigger, -1 for none
    hw::period period = 0;           // seconds per sample

    // A walk over channel ch's store.
    trs::iterator iterator_of(hw::ich ch) const;
};

// Level of one channel at a sample and the next sample where it changes. Transitions that
// repeat the current level, and the initial level slice that a transition at sample 0
// overrides, are not changes.
class channel_cursor {
public:
    channel_cursor(trs::iterator it, isamp from);

    bool level() const { return level_; }
    isamp next_change() const { return next_; }
    // Moves to next_change(); the level flips there.
    void advance();

private:
    void fetch(isamp after);
    // The next stored level change, or false at the end.
    bool take(trs::tr& t);

    trs::iterator it_;
    bool level_ = false;
    bool next_level_ = false;
    bool last_ = true;
    isamp next_ = no_sample;
    // One item read ahead: all items of one sample decide its level.
    bool has_pending_ = false;
    trs::tr pending_{};
};

// Sampling rate in Hz that the period stands for, rounded to the nearest Hz.
uint64_t rate_hz(hw::period period);

// "ch<N>" for channel N.
std::string default_name(hw::ich channel);

} // namespace xport
