#pragma once

#include "hw/types.h"
#include "mox/mutex.h"

#include <cstdint>
#include <vector>

namespace oci {

// One change of the output-sync flag, at the sample where the capture saw it.
struct sync_step_t {
    isamp abs_sample = 0;
    bool level = false;
};

// Follows the output-sync flag through the run-length records of the first capture group
// and keeps the samples at which it changed. The sample parser puts the flag at bit 18 of
// those records on every model. Fed by the capture's hand-over thread while other threads
// reset or read it, hence the lock.
class sync_t {
public:
    static constexpr uint8_t default_flag_pos = 18;

    explicit sync_t(uint8_t oci_flag_trs_pos = default_flag_pos);

    // TRS: a record with `levels` and `delta_samples`.
    template <typename TRS> void push(const TRS& record) {
        push(static_cast<uint64_t>(record.levels), static_cast<uint64_t>(record.delta_samples));
    }
    void push(uint64_t levels, uint64_t delta_samples);
    // A batch of records under one lock.
    template <typename Range> void push_all(const Range& records) {
        mox::mutex_lock lk(m);
        // The flag changes rarely: only its steps leave the loop.
        isamp t = global_time;
        bool level = last_level;
        for (const auto& r : records) {
            t += static_cast<isamp>(r.delta_samples);
            const bool flag = (static_cast<uint64_t>(r.levels) >> oci_flag_trs_pos) & 1u;
            if (flag != level) [[unlikely]] {
                steps.push_back({t, flag});
                level = flag;
            }
        }
        global_time = t;
        last_level = level;
    }
    // Steps the caller found itself (the capture's hand-over, as it takes the records) and
    // the time those records reached: the same as pushing the records.
    template <typename Range> void push_steps(const Range& found, isamp time) {
        mox::mutex_lock lk(m);
        for (const auto& s : found) {
            steps.push_back(s);
            last_level = s.level;
        }
        global_time = time;
    }
    void reset();

    std::vector<sync_step_t> get_steps() const;
    isamp get_global_time() const;
    bool get_last_level() const;

    const uint8_t oci_flag_trs_pos;

private:
    void push_locked(uint64_t levels, uint64_t delta_samples);

    mutable mox::mutex m;
    bool last_level = false;
    isamp global_time = 0;
    std::vector<sync_step_t> steps;
};

} // namespace oci
