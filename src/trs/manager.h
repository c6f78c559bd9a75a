#pragma once

// The transition stores of one device handle.
//
//   trs::manager man(ch_count, gui_notifier);       // 0 < ch_count < 256
//   man.init(period, trs::manager::all_channels);  // every capture: period, clear all
//   trs::builder b = man.create_builder(ch);       // writers: append / append(batch) /
//                                                  // append_idle / set_uncaptured / clear
//   std::vector<trs::iterator> its = man.create_iterators();  // readers, one per channel
//   man.wait_samples(ms);                          // true once new data (or a clear) is seen
//   man.resize(n, uncaptured);                     // every channel to n samples
//   man.oci_sync.push(record);                     // output-sync flag of group 0's records
//
// Signal tools over the stores: create_bitsampler(s), get_baud, create_editor (its sample
// limit is the longest channel) and create_bus_iterator (channels in ascending order).
//
// A thread checks every 100 ms whether any channel grew or was cleared and then releases
// all wait_samples() callers and notifies the handle's semaphore. Channel indices beyond the
// count throw std::out_of_range.

#include "hw/types.h"
#include "mox/multithread_semaphore.h"
#include "mox/mutex.h"
#include "mox/semaphore.h"
#include "mox/timeout.h"
#include "oci/sync.h"
#include "trs/bitsampler.h"
#include "trs/budget.h"
#include "trs/builder.h"
#include "trs/bus_iterator.h"
#include "trs/editor.h"
#include "trs/iterator.h"
#include "trs/resizer.h"
#include "trs/store.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace trs {

class manager {
public:
    static constexpr hw::ich all_channels = 65535;

    manager(hw::ich ch_count, mox::semaphore& gui_notifier);
    ~manager();
    manager(const manager&) = delete;
    manager& operator=(const manager&) = delete;

    // Throws std::runtime_error("invalid sampling period") for a period that is not a positive
    // number, leaving everything as it was.
    void init(hw::period sampling_period, hw::ich ch_index);
    // One channel, or every channel and the output-sync tracker for all_channels.
    void clear(hw::ich ch_index);
    // Moves every channel's data out into stores of their own (store::take), leaving the
    // manager's stores empty; waiters see a change as after a clear. The caller makes sure
    // no capture writes meanwhile.
    std::vector<std::unique_ptr<store>> take_stores();
    // The budget every store counts its chunks in memory against, and spills beyond
    // (trs::budget). The default: a quarter of physical memory, in KESTREL_STORE_DIR or
    // /var/tmp. Throws std::runtime_error for a directory that cannot hold a file.
    void set_budget(uint64_t memory_bytes, const std::string& directory);
    budget& store_budget() { return *budget_; }

    // Channel i's store itself, for readers that build their own iterators (the vector never
    // changes size, so the reference stays valid as long as the manager).
    store& channel_store(hw::ich i);
    bool wait_samples(mox::timeout timeout_ms);
    void resize(isamp new_n_samples, bool set_as_uncaptured);

    iterator create_iterator(hw::ich i);
    std::vector<iterator> create_iterators();
    builder create_builder(hw::ich i);
    std::vector<builder> create_builders();

    bitsampler create_bitsampler(hw::ich i);
    std::vector<bitsampler> create_bitsamplers();
    // Estimated with the current sampling period.
    auto_baud get_baud(hw::ich i);
    editor create_editor(hw::ich i, editor::history_t& history, mox::semaphore& notifier);
    // The listed channels (each once, whatever the order or repeats in the list) in
    // ascending order, so bit k of a word is the k-th lowest listed channel; every channel
    // for an empty list.
    bus_iterator create_bus_iterator(const std::vector<hw::ich>& target_channels);

    isamp maximum_samples_count();
    isamp available_samples_count();
    hw::ich channels_count();
    hw::period get_sampling_period();
    void modify_sampling_period(hw::period s);
    uint64_t get_data_version();
    bool is_channel_uncaptured(hw::ich i);
    // Bulk reads of channel i (store::read and store::level_at), safe while it is written.
    size_t read(hw::ich i, isamp from, uint64_t* samples, uint8_t* levels, size_t capacity);
    bool level_at(hw::ich i, isamp sample, uint8_t& level);
    void set_channel_uncaptured(hw::ich i, bool uncaptured);

    // Threads currently inside wait_samples().
    int samples_waiters() const { return samples_change_notify.waiters(); }

    oci::sync_t oci_sync;

private:
    void check_index(hw::ich i) const;
    void detect_changes();

    std::shared_ptr<budget> budget_; // before the stores, which count against it
    std::vector<store> channel_stores;
    mox::mutex mutex;
    std::atomic<double> sampling_period{1.0};
    std::vector<mox::mutex> builders_mutex;
    resizer my_resizer;
    mox::multithread_semaphore samples_change_notify;
    mox::semaphore& gui_notifier;
    uint64_t data_version = 0;

    std::atomic<bool> change_detect_thread_continue{true};
    std::mutex stop_m;
    std::condition_variable stop_cv;
    std::thread th_detect_change; // last: starts once everything it reads exists
};

} // namespace trs
