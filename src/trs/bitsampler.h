#pragma once

#include "hw/types.h"
#include "trs/iterator.h"
#include "trs/store.h"

#include <array>
#include <cstdint>

namespace trs {

// Reads one channel's level at evenly spaced samples, e.g. one position per bit of a
// serial frame: init(first, spacing), then next() once per position.
//
// The level at a position is the one reached by the last stored item at or before it, so
// items that repeat the level (a channel's closing item after a resize or an edit) do not
// flip it. Positions before the first item take the initial level. The walker moves forwards
// from the last position; a position behind it (negative spacing, or a store cleared since)
// positions it again.
class bitsampler {
public:
    explicit bitsampler(store& channel_store);

    void init(isamp pos, isamp increments);
    // The level (0 or 1) at the current position, then moves on by `increments`.
    uint8_t next();
    isamp position() const { return pos; }

private:
    void locate();

    store* channel_store;
    iterator it;
    tr cur_trs;           // the first item after the position, or the channel's last item
    uint8_t level = 0;    // level of the last item at or before the position
    isamp level_from = 0; // sample of that item
    isamp increments = 0;
    isamp pos = 0;
    bool ready = false;
    uint64_t generation = 0;
};

// Estimates a channel's baud rate from its shortest pulse and rounds it to the nearest
// standard rate; the results are read from `real` and `nearest`.
//
// A pulse is the time between two level changes. Pulses under 6 samples are glitches and
// ignored. The pulse the capture began in is not measured either: its start lies before the
// capture, so it is as short as the moment the capture happened to begin. At most
// scan_depth items are examined. Without any pulse `real` is 1.
class auto_baud {
public:
    static constexpr uint32_t scan_depth = 1000;
    static constexpr isamp min_pulse = 6;
    static constexpr std::array<uint32_t, 15> std_bauds = {110,    300,    1200,   2400,   4800,
                                                           9600,   19200,  38400,  57600,  115200,
                                                           230400, 460800, 500000, 921600, 1000000};

    // A sampling period that is not a positive number throws
    // std::runtime_error("invalid sampling period").
    auto_baud(store& channel_store, hw::period sampling_period);

    // The closest standard rate; the lower one of two equally close.
    static hw::freq nearest_standard(hw::freq rate);

    hw::freq real = 1;
    hw::freq nearest = std_bauds.front();
    // Width of the shortest pulse in samples, 0 when none was found.
    isamp shortest = 0;

private:
    iterator it;
    const hw::period sampling_period;
};

} // namespace trs
