#pragma once

#include "trs/store.h"

#include <cstdint>

namespace trs {

// Walks the transitions of one store forwards and backwards from any sample.
//
// restart(target, scale, viewport_max) prepares a walk: the first next() gives the first
// transition at or after `target`, the first prev() the last one at or before it. With a
// scale in pixels per sample, transitions closer than trunc(3 / scale) samples are folded:
// the item that starts a dense run comes out as `bloc`, and the following step returns the
// transition that ends the run. Scale 10.0 folds nothing.
//
// next(), prev(), current() and last_idle() hold the store's clearing mutex for the whole
// step; a next() without folding that needs a single read of the store checks under the
// store's own lock that no clear came in between instead. A clear (or resize) of the store voids the position: the next step starts again from
// the restart target. Copies walk the same store from the same position; an iterator is used
// by one thread at a time.
class iterator {
public:
    struct idata {
        int32_t c = 0; // chunk
        int32_t i = 0; // slice within the chunk
        value val = value::none;
        isamp s_acc = 0; // sample of the transition here
    };

    explicit iterator(store& channel_store);

    // Throws std::invalid_argument for a scale that is not a positive number.
    void restart(isamp target_position, double scale, isamp viewport_max_sample);
    tr next();
    tr prev();
    tr current();
    tr last_idle();
    bool current_tr_is_not_last();

    // Position primitives. They take no clearing lock: the steps above, or an owner that keeps
    // the store from being cleared, call them.
    bool is_first_slice() const { return ti.c == 0 && ti.i == 0; }
    bool is_last_slice() const { return global_index() >= channel_store->get_slices_count() - 1; }
    bool is_empty() const { return channel_store->is_empty(); }
    void increment();
    void decrement();
    void rewind();
    void load();
    void load_next();
    void load_prev();
    void load_at(int64_t global_slice);
    void load_at(isamp sample, int64_t min, int64_t max);

    const idata& position() const { return ti; }
    isamp get_samples_per_pixel() const { return samples_per_pixel; }

private:
    int64_t global_index() const { return static_cast<int64_t>(ti.c) * store::chunk_size + ti.i; }
    void set_global_index(int64_t k);
    tr item() const { return {ti.val, ti.s_acc, is_first_slice(), is_last_slice()}; }
    void check_generation();
    void skip_run_forwards();
    void skip_run_backwards();

    idata ti;
    store* channel_store;
    double scale = 1.0;
    bool bloc_drawing = false;
    isamp samples_per_pixel = 3;
    isamp viewport_max_sample = 0;
    isamp target_position = 0;
    bool reset = false;
    uint64_t generation = 0;
};

} // namespace trs
