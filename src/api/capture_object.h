#pragma once
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "hw/types.h"
#include "kestrelapi.h"
#include "trs/iterator.h"
#include "trs/store.h"

namespace api_utils {

class api_handles;

// A finished capture with a life of its own: the channel stores taken out of a handle
// (kestrelapi_take_capture) or built elsewhere (read from a file), with what they mean.
// Nothing in it changes once built, so any number of threads read it at once; its stores,
// in memory and on disk, go with it.
class capture_object {
public:
    struct info_t {
        isamp samples = 0;              // the common length: every channel covers [0, samples)
        isamp trigger_position = 0;     // as kestrelapi_get_trigger_position reported it
        bool triggered = false;         // whether the trigger was seen (exports mark it then)
        hw::period period = 0;          // seconds per sample
        std::vector<std::string> names; // one per channel
    };

    // One store per channel; names missing or empty are filled with "ch<N>". Throws
    // std::invalid_argument for no channel, more than 255, a null store or a period that is
    // not a positive number.
    capture_object(std::vector<std::unique_ptr<trs::store>> stores, info_t info);
    capture_object(const capture_object&) = delete;
    capture_object& operator=(const capture_object&) = delete;

    // Moves the handle's last finished capture out of it (see kestrelapi_take_capture).
    static std::unique_ptr<capture_object> take(api_handles& h);

    const info_t& info() const { return info_; }
    hw::ich channels() const { return static_cast<hw::ich>(stores_.size()); }
    uint64_t sampling_freq_hz() const;
    // hw::exception(invalid_argument) for a channel beyond the count.
    trs::store& channel_store(hw::ich ch) const;
    trs::iterator iterator(hw::ich ch) const { return trs::iterator(channel_store(ch)); }

    // store::read and store::level_at of channel ch, with kestrelapi_trs_read's and
    // kestrelapi_trs_level_at's rules for samples beyond the signed range.
    size_t read(hw::ich ch, uint64_t from, uint64_t* samples, uint8_t* levels,
                size_t capacity) const;
    bool level_at(hw::ich ch, uint64_t sample, uint8_t& level) const;

    // Writes the channels of the 128-bit mask (zero: all) to path in the format of its
    // extension. hw::exception(invalid_argument) for an unknown extension, a channel beyond
    // the count and a file that cannot be written; no_data for a capture of no samples.
    // csv_columns: CSV in columns whatever the extension. A file the system refuses leaves
    // its errno in *system_error (when given) before throwing.
    void export_to(const std::string& path, uint64_t mask_lo, uint64_t mask_hi,
                   bool csv_columns = false, int* system_error = nullptr) const;

private:
    std::vector<std::unique_ptr<trs::store>> stores_;
    info_t info_;
};

// The capture objects handed out and not yet freed, found by address only (nothing behind
// an unknown pointer is read). A call holds a lease for its length; a free takes the object
// out of the table at once, waits until no call uses it, then deletes it.
class live_captures {
public:
    static live_captures& instance();

    class lease {
    public:
        lease() = default;
        lease(lease&& o) noexcept : c(o.c) { o.c = nullptr; }
        lease(const lease&) = delete;
        lease& operator=(const lease&) = delete;
        lease& operator=(lease&&) = delete;
        ~lease();
        explicit operator bool() const { return c != nullptr; }
        const capture_object& operator*() const { return *c; }

    private:
        friend class live_captures;
        explicit lease(const capture_object* c_) : c(c_) {}
        const capture_object* c = nullptr;
    };

    kestrelapi_capture add(std::unique_ptr<capture_object> c);
    lease acquire(const void* p);
    // False when p is not a live capture (or is being freed by another call).
    bool free(const void* p);

private:
    struct entry {
        std::unique_ptr<capture_object> obj;
        int users = 0;
        bool freeing = false;
    };
    live_captures() = default;
    void release(const capture_object* c);

    std::mutex m;
    std::condition_variable released;
    std::unordered_map<const void*, entry> live;
};

} // namespace api_utils
