#pragma once

#include "trs/types.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace trs {

struct chunk {
    isamp abs_time = 0; // offsets of the transitions that begin here count from it
    std::vector<slice> slices;
};

// The transitions of one channel, packed into one-byte slices in chunks of 500.
//
// A transition to level v at sample s is stored as its offset d = s - abs_time of the chunk
// opened last, cut into six-bit groups, least significant first; every group but the last
// carries extended = 1. The first slice of a non-empty store is the initial level slice
// (offset 0), the level held before the first real transition.
//
// One writer and any number of readers may use a store at once. Every append, read and clear
// holds `m`; a reader additionally holds clearing_mutex() around a whole iterator step, which
// clear() also takes, so a step never sees a half-cleared store. Appends must come in
// non-decreasing sample order; an append that would break it throws and changes nothing.
class store {
public:
    static constexpr int chunk_size = 500;
    static constexpr uint8_t slice_dt_mask = 63;

    store();
    // Copies take a snapshot of the source under its lock, so copying a store that is being
    // written is safe.
    store(const store& other);
    store& operator=(const store& other);

    void append(isamp abs_samples, uint8_t edge);
    // Same encoding as one append per element, under one lock: readers see the batch whole or
    // not at all. The batch is checked before anything is stored.
    void append(std::span<const edge_t> batch);
    void append_idle(isamp abs_samples, uint8_t idle_level);
    void set_uncaptured(bool is_uncaptured) { uncaptured = is_uncaptured; }
    bool is_uncaptured() const { return uncaptured; }
    void clear();

    isamp samples_count() const;
    tr last_idle() const;
    slice get_slice(uint32_t chunk, uint32_t index) const;
    isamp get_abs_time(uint32_t chunk) const;
    bool is_empty() const { return empty; }
    int64_t get_slices_count() const;

    // The transition that contains global slice k, decoded under one lock.
    struct decoded_t {
        int64_t first = 0; // global index of its first slice
        int64_t last = 0;  // global index of its closing slice
        isamp sample = 0;
        uint8_t level = 0;
    };
    bool decode(int64_t k, decoded_t& out) const;

    std::mutex& clearing_mutex() const { return clearing_m; }
    // Changes at every clear or assignment; an iterator's position is void once it changed.
    uint64_t generation() const { return clear_generation; }
    // Heap bytes held by the slices and their chunks (allocator overhead not included).
    size_t memory_bytes() const;

private:
    void check_order(isamp abs_samples) const;
    void append_locked(isamp abs_samples, uint8_t edge);
    void append_slice(slice t, isamp abs_time);
    void grow(isamp abs_time);
    int64_t count_locked() const;
    slice at(int64_t k) const {
        return chunks[static_cast<size_t>(k / chunk_size)]
            ->slices[static_cast<size_t>(k % chunk_size)];
    }

    std::atomic<bool> uncaptured{false};
    mutable std::mutex clearing_m;
    mutable std::mutex m;
    std::vector<std::unique_ptr<chunk>> chunks;
    isamp last_time_ref = 0;
    isamp n_samples = 0;
    uint8_t idle_level = 0;
    std::atomic<bool> empty{true};
    mutable std::atomic<bool> slices_recount_needed{false};
    mutable int64_t last_slices_count = 0;
    std::atomic<uint64_t> clear_generation{0};
};

} // namespace trs
