#pragma once

#include "mox/mutex.h"
#include "trs/store.h"

namespace trs {

// The write side of one channel store. Its operations do not lock bld_mutex: the store's own
// lock orders writers and readers. The mutex is carried for whole-channel rebuilds (the
// resizer), which hold it so that two rebuilds of one channel never overlap.
class builder {
public:
    builder(store& channel_store, mox::mutex& bld_mutex)
        : channel_store(&channel_store), bld_mutex(&bld_mutex) {}

    void append(isamp abs_samples, uint8_t edge) { channel_store->append(abs_samples, edge); }
    void append(std::span<const edge_t> batch) { channel_store->append(batch); }
    void append_idle(isamp abs_samples, uint8_t idle_level) {
        channel_store->append_idle(abs_samples, idle_level);
    }
    void set_uncaptured(bool is_uncaptured) { channel_store->set_uncaptured(is_uncaptured); }
    void clear() { channel_store->clear(); }

    mox::mutex& get_mutex() const { return *bld_mutex; }
    store& get_store() const { return *channel_store; }

private:
    store* channel_store;
    mox::mutex* bld_mutex;
};

} // namespace trs
