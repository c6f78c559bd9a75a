#include "trs/manager.h"

#include "mox/check.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace trs {

namespace {

hw::ich checked_count(hw::ich ch_count) {
    MOX_ASSERT((ch_count > 0) && (ch_count < 256));
    return ch_count;
}

std::vector<builder> make_builders(std::vector<store>& stores, std::vector<mox::mutex>& mutexes) {
    std::vector<builder> v;
    v.reserve(stores.size());
    for (size_t i = 0; i < stores.size(); ++i)
        v.emplace_back(stores[i], mutexes[i]);
    return v;
}

} // namespace

manager::manager(hw::ich ch_count, mox::semaphore& notifier)
    : oci_sync(oci::sync_t::default_flag_pos), budget_(std::make_shared<budget>()),
      channel_stores(checked_count(ch_count)), builders_mutex(ch_count),
      my_resizer(channel_stores, make_builders(channel_stores, builders_mutex)),
      gui_notifier(notifier) {
    for (auto& s : channel_stores)
        s.set_budget(budget_);
    th_detect_change = std::thread([this] { detect_changes(); });
}

manager::~manager() {
    {
        std::lock_guard lk(stop_m);
        change_detect_thread_continue = false;
    }
    stop_cv.notify_all();
    th_detect_change.join();
}

void manager::detect_changes() {
    std::vector<isamp> counts(channel_stores.size(), 0);
    uint64_t version = 0;
    while (change_detect_thread_continue) {
        {
            std::unique_lock lk(stop_m);
            stop_cv.wait_for(lk, std::chrono::milliseconds(100),
                             [this] { return !change_detect_thread_continue; });
        }
        if (!change_detect_thread_continue) break;
        bool changed = false;
        for (size_t i = 0; i < channel_stores.size(); ++i) {
            const isamp n = channel_stores[i].samples_count();
            if (n != counts[i]) changed = true;
            counts[i] = n;
        }
        const uint64_t v = get_data_version();
        if (v != version) changed = true;
        if (changed) {
            version = v;
            samples_change_notify.notify_all_waiters();
            gui_notifier.notify();
        }
    }
}

void manager::check_index(hw::ich i) const {
    if (i >= channel_stores.size())
        throw std::out_of_range("channel index " + std::to_string(i) + " out of range");
}

void manager::init(hw::period period, hw::ich ch_index) {
    {
        mox::mutex_lock lk(mutex);
        if (!(period > 0.0) || !std::isfinite(period))
            throw std::runtime_error("invalid sampling period");
        if (ch_index != all_channels) check_index(ch_index);
        sampling_period = period;
    }
    clear(ch_index);
}

void manager::clear(hw::ich ch_index) {
    mox::mutex_lock lk(mutex);
    if (ch_index != all_channels) check_index(ch_index);
    ++data_version;
    if (ch_index == all_channels) {
        for (auto& s : channel_stores)
            s.clear();
        budget_->next_capture();
        oci_sync.reset();
    } else {
        channel_stores[ch_index].clear();
    }
}

std::vector<std::unique_ptr<store>> manager::take_stores() {
    mox::mutex_lock lk(mutex);
    ++data_version;
    std::vector<std::unique_ptr<store>> out;
    out.reserve(channel_stores.size());
    for (auto& s : channel_stores)
        out.push_back(s.take());
    oci_sync.reset();
    budget_->next_capture();
    return out;
}

void manager::set_budget(uint64_t memory_bytes, const std::string& directory) {
    budget_->set(memory_bytes, directory);
}

store& manager::channel_store(hw::ich i) {
    check_index(i);
    return channel_stores[i];
}

bool manager::wait_samples(mox::timeout timeout_ms) {
    return samples_change_notify.wait(timeout_ms);
}

void manager::resize(isamp new_n_samples, bool set_as_uncaptured) {
    my_resizer.resize(new_n_samples, set_as_uncaptured);
}

namespace {

// A reader of every store, in channel order; the caller holds the manager's lock.
template <typename T> std::vector<T> one_per_store(std::vector<store>& stores) {
    std::vector<T> v;
    v.reserve(stores.size());
    for (auto& s : stores)
        v.emplace_back(s);
    return v;
}

} // namespace

iterator manager::create_iterator(hw::ich i) {
    mox::mutex_lock lk(mutex);
    check_index(i);
    return iterator(channel_stores[i]);
}

std::vector<iterator> manager::create_iterators() {
    mox::mutex_lock lk(mutex);
    return one_per_store<iterator>(channel_stores);
}

builder manager::create_builder(hw::ich i) {
    mox::mutex_lock lk(mutex);
    check_index(i);
    return builder(channel_stores[i], builders_mutex[i]);
}

std::vector<builder> manager::create_builders() {
    mox::mutex_lock lk(mutex);
    return make_builders(channel_stores, builders_mutex);
}

bitsampler manager::create_bitsampler(hw::ich i) {
    mox::mutex_lock lk(mutex);
    check_index(i);
    return bitsampler(channel_stores[i]);
}

std::vector<bitsampler> manager::create_bitsamplers() {
    mox::mutex_lock lk(mutex);
    return one_per_store<bitsampler>(channel_stores);
}

auto_baud manager::get_baud(hw::ich i) {
    store* s;
    {
        mox::mutex_lock lk(mutex);
        check_index(i);
        s = &channel_stores[i];
    }
    // The store vector never changes size, so the walk needs no manager lock.
    return auto_baud(*s, sampling_period);
}

editor manager::create_editor(hw::ich i, editor::history_t& history, mox::semaphore& notifier) {
    const isamp limit = maximum_samples_count();
    mox::mutex_lock lk(mutex);
    check_index(i);
    return editor(limit, iterator(channel_stores[i]), builder(channel_stores[i], builders_mutex[i]),
                  history, notifier);
}

bus_iterator manager::create_bus_iterator(const std::vector<hw::ich>& target_channels) {
    mox::mutex_lock lk(mutex);
    std::vector<hw::ich> chosen = target_channels;
    for (hw::ich i : chosen)
        check_index(i);
    std::sort(chosen.begin(), chosen.end());
    chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
    std::vector<std::reference_wrapper<store>> stores;
    if (chosen.empty()) {
        stores.assign(channel_stores.begin(), channel_stores.end());
    } else {
        for (hw::ich i : chosen)
            stores.emplace_back(channel_stores[i]);
    }
    return bus_iterator(std::move(stores));
}

isamp manager::maximum_samples_count() {
    mox::mutex_lock lk(mutex);
    isamp m = 0;
    for (auto& s : channel_stores)
        m = std::max(m, s.samples_count());
    return m;
}

isamp manager::available_samples_count() {
    mox::mutex_lock lk(mutex);
    isamp m = std::numeric_limits<isamp>::max();
    for (auto& s : channel_stores)
        m = std::min(m, s.samples_count());
    return m;
}

hw::ich manager::channels_count() {
    return channel_stores.size();
}

hw::period manager::get_sampling_period() {
    return sampling_period;
}

void manager::modify_sampling_period(hw::period s) {
    sampling_period = s;
}

uint64_t manager::get_data_version() {
    mox::mutex_lock lk(mutex);
    return data_version;
}

// The store vector never changes size, so a read needs no manager lock.
size_t manager::read(hw::ich i, isamp from, uint64_t* samples, uint8_t* levels, size_t capacity) {
    check_index(i);
    return channel_stores[i].read(from, samples, levels, capacity);
}

bool manager::level_at(hw::ich i, isamp sample, uint8_t& level) {
    check_index(i);
    return channel_stores[i].level_at(sample, level);
}

bool manager::is_channel_uncaptured(hw::ich i) {
    mox::mutex_lock lk(mutex);
    check_index(i);
    return channel_stores[i].is_uncaptured();
}

void manager::set_channel_uncaptured(hw::ich i, bool uncaptured) {
    mox::mutex_lock lk(mutex);
    check_index(i);
    channel_stores[i].set_uncaptured(uncaptured);
}

} // namespace trs
