#pragma once
// The way a stream parser writes a group's hand-over batch itself, without records in
// between: after the trigger, on the long runs of plain samples, the parser writes each
// record's time and changed bits straight into the batch's open block, which saves storing
// 16-byte records and the batch's pass loading them again.
#include <cstddef>
#include <cstdint>

namespace hw {

// The open block of a batch as a writer fills it.
struct batch_window {
    int64_t* times = nullptr;    // the open block's times: times[slot] is the next record's
    uint32_t* changes = nullptr; // its records' changed bits, one word a record
    size_t slot = 0;             // records of the open block so far
    // A writer starts a packet of at most 7 records only while slot is below this; the
    // arrays have room for the 7 records past it (and for the writes of records not kept).
    size_t slot_end = 0;
    int64_t total = 0; // the time after the last record
    // Records are written only while their time stays at or below this (the capture's
    // depth): the records that reach it go the plain way, which cuts them.
    int64_t limit = 0;
    uint64_t mask = 0; // the group's channels
    uint64_t last = 0; // the levels of the last record, as the writer reads them
};

// What writes records into a window: the parser.
class batch_writer {
public:
    // Writes records at w.slot on and moves w.slot, w.total and w.last after them: at
    // times[slot] the record's time, at changes[slot] the bits of w.mask it changes. Its
    // records have the output-sync flag clear. Returns true if
    // it stopped only for the window's room (it has more to write), false if it has nothing
    // more it may write this way.
    virtual bool write(batch_window& w) = 0;

protected:
    ~batch_writer() = default;
};

// A group's batch, as writers fill it directly.
class batch_sink {
public:
    // Lets the writer fill the batch for as long as it has records for it, handing full
    // batches over on the way. Does nothing (the writer's records go the plain way) unless
    // the group is past its trigger, below the depth by a packet and follows no output-sync
    // flag that is set. Call only with every earlier record of the group handed to it.
    virtual void fill(batch_writer& writer, uint64_t last_levels) = 0;

protected:
    ~batch_sink() = default;
};

// Turns the changed-bit words of a block's 64 records into its three byte planes (bits 0-7,
// 8-15, 16-23 of record j at planes[p][j]).
void planes_of_changes(const uint32_t* changes, uint8_t (&planes)[3][64]);

// The change masks of those 64 words as change_masks_wide makes them of their planes, where the
// processor has GFNI and AVX-512 VBMI; returns false (and writes nothing) elsewhere.
bool change_masks_of_words(const uint32_t* changes, unsigned channels, uint64_t* out);

} // namespace hw
