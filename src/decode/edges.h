#pragma once

// The edge-reading core every decoder stands on: one channel's level changes, read from a
// source in blocks and handed out one at a time, up to a horizon (the samples the capture
// covers so far). Items that repeat the level are dropped, so every item is a change; the
// channel's level at sample 0 is the level before its first edge.

#include "decode/source.h"

#include <array>
#include <cstdint>

namespace decode {

class edges {
public:
    static constexpr size_t block = 4096;

    edges(const source& src, unsigned channel)
        : src_(&src), ch_(channel), changes_(src.reads_changes()) {}

    // Edges at or beyond `h` are not handed out until a later horizon covers them.
    void set_horizon(isamp h) { horizon_ = h; }
    isamp horizon() const { return horizon_; }

    // An edge before the horizon is ready.
    bool has() { return pos_ < n_ || refill(); }
    // The next edge's sample and level; has() must be true.
    uint64_t sample() const { return s_[pos_]; }
    uint8_t next_level() const { return l_[pos_]; }
    // Moves past the next edge; its level becomes the current one.
    void take() { level_ = l_[pos_++]; }
    // Level in force after the edges taken.
    uint8_t level() const { return level_; }
    // Level at sample p (p below the horizon), taking every edge at or before it.
    uint8_t level_at(uint64_t p) {
        for (;;) {
            while (pos_ < n_) {
                if (s_[pos_] > p) return level_;
                level_ = l_[pos_++];
            }
            if (!refill()) return level_;
        }
    }
    // The level at sample 0 is known (the channel holds at least its first item).
    bool started() const { return started_; }

    // The buffered edges as a value a decoder keeps in locals through its inner loop (the
    // compiler then holds the position and level in registers), written back with put().
    struct view {
        const uint64_t* s;
        const uint8_t* l;
        size_t pos, n;
        uint8_t level;
    };
    view get() const { return {s_.data(), l_.data(), pos_, n_, level_}; }
    void put(const view& v) {
        pos_ = v.pos;
        level_ = v.level;
    }
    // The next block into the view; false when no edge before the horizon is left.
    bool refill(view& v) {
        put(v);
        const bool ok = refill();
        v = get();
        return ok;
    }
    bool has(view& v) { return v.pos < v.n || refill(v); }
    // Once every buffered edge was taken: keeps the buffered edges from index `keep` on (they
    // move to the front, so every index drops by `keep`) and reads more after them. A
    // decoder that must be able to go back to an edge it took (the start of a frame) uses
    // this; false when no edge before the horizon is left or the buffer has no room.
    bool refill_keep(view& v, size_t keep) {
        put(v);
        const bool ok = keep_and_fill(keep);
        v = get();
        return ok;
    }
    // As level_at() on a view.
    uint8_t level_at(view& v, uint64_t p) {
        for (;;) {
            while (v.pos < v.n) {
                if (v.s[v.pos] > p) return v.level;
                v.level = v.l[v.pos++];
            }
            if (!refill(v)) return v.level;
        }
    }

private:
    bool refill();
    bool keep_and_fill(size_t keep);
    // Reads edges into the buffer from index `at` on (the items before it stay).
    bool fill(size_t at);

    const source* src_;
    unsigned ch_;
    isamp horizon_ = 0;
    isamp next_from_ = 0; // where the next block is read from
    isamp dry_at_ = -1;   // the horizon up to which everything was read
    bool started_ = false;
    // The source hands out only the changes before the horizon, and where it stopped.
    bool changes_;
    trs::store::changes_cursor cur_;
    uint8_t level_ = 0;
    size_t pos_ = 0, n_ = 0;
    std::array<uint64_t, block> s_;
    std::array<uint8_t, block> l_;
};

} // namespace decode
