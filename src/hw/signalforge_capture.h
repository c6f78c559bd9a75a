#pragma once
// The capture tool: per-group run-length records in, per-channel transitions out.
//
// Every group keeps a circular pre-trigger history of records. When a group's trigger
// record arrives it reports its trigger instant, waits for the instant common to all
// groups, trims its history to it and from then on forwards records until the requested
// depth. Records reach the stores in batches on two hand-over threads per group, so the
// parser threads never wait for the stores.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "hw/log.h"
#include "hw/types.h"
#include "mox/check.h"
#include "mox/cvbuffer.h"
#include "mox/elapsed_timer.h"
#include "mox/pingpong.h"
#include "mox/worker_pool.h"
#include "trs/manager.h"

namespace hw {

template <typename TRS> class signalforge_capture {
public:
    using add_trig_marker_fn = std::function<void(int64_t)>;
    using records = std::vector<TRS>;

    static constexpr size_t first_append_chunk_size = 10000;

    static uint8_t groups_count_factory(uint8_t n_channels) {
        if (n_channels < 19) return 1;
        MOX_ASSERT((n_channels % 18) == 0);
        return static_cast<uint8_t>(n_channels / 18);
    }

    // The instant, common to all groups, at which the capture's trigger is placed.
    class trigger_t {
    public:
        trigger_t(size_t groups, const log_fn& log, add_trig_marker_fn add_marker)
            : entries(groups), log(log), add_trig_marker(std::move(add_marker)) {}

        void set_trig_instant(uint8_t group_idx, isamp s) {
            std::lock_guard lk(mtx);
            entries.at(group_idx) = {true, s};
            log("set trig instant for group:" + std::to_string(group_idx) + " at " +
                std::to_string(s));
            if (ready) return;
            isamp instant = std::numeric_limits<isamp>::max();
            for (const auto& e : entries) {
                if (!e.trigged) return;
                instant = std::min(instant, e.captured_trig_instant);
            }
            log("nearest trigger marker calculated as: " + std::to_string(instant));
            global_trig_instant = instant;
            if (add_trig_marker) add_trig_marker(instant);
            ready = true;
            cv.notify_all();
        }

        // The common instant once every group reported; nothing when aborted. A group waits
        // for the others as long as the capture lets it: the capture loop aborts the tool on
        // every way out, also when a group's stream passes the capture's depth without its
        // trigger, so no group gives up on a partner that is only late.
        std::optional<isamp> get_gobal_trigger_instant() {
            std::unique_lock lk(mtx);
            cv.wait(lk, [this] { return ready || aborted; });
            if (!ready) return std::nullopt;
            return global_trig_instant.load();
        }

        bool trigged() {
            std::lock_guard lk(mtx);
            return ready;
        }
        void reset() {
            std::lock_guard lk(mtx);
            ready = false;
            aborted = false;
            for (auto& e : entries)
                e = {};
        }
        void abort() {
            std::lock_guard lk(mtx);
            aborted = true;
            cv.notify_all();
        }
        size_t get_groups_count() const { return entries.size(); }

    private:
        struct entry_t {
            bool trigged = false;
            isamp captured_trig_instant = 0;
        };
        std::mutex mtx;
        std::condition_variable cv;
        bool ready = false;
        bool aborted = false;
        std::vector<entry_t> entries;
        std::atomic<isamp> global_trig_instant{0};
        const log_fn& log;
        add_trig_marker_fn add_trig_marker;
    };

    // One channel of a group: the level changes of one bit of the group's records.
    class channel_t {
    public:
        channel_t(trs::manager& tm, uint8_t bit, uint8_t ch)
            : bit_position(bit), val_bitmask(uint64_t{1} << bit), builder(tm.create_builder(ch)),
              ch_index(ch) {
            MOX_ASSERT(ch_index < 64);
        }

        void reset() {
            global_time = 0;
            last_val_bitmap = 0;
            last_val = false;
            builder.clear();
            builder.append(0, 0);
        }

        // Opens the session through which a hand-over writes the channel's changes.
        trs::store::writer open() { return trs::store::writer(builder.get_store()); }

        // Ends a batch's session where the batch left the channel's time and level.
        void close(trs::store::writer& w, isamp time, bool level) {
            global_time = time;
            last_val = level;
            last_val_bitmap = level ? val_bitmask : 0;
            w.append_idle(global_time, last_val);
            w.commit();
        }

        isamp time() const { return global_time; }

        const uint8_t bit_position;
        const uint64_t val_bitmask;

    private:
        trs::builder builder;
        uint64_t last_val_bitmap = 0;
        bool last_val = false;
        isamp global_time = 0;
        const uint8_t ch_index;
    };

    class group_t {
    public:
        group_t(trs::manager& tm, trigger_t& trigger, uint8_t grp_idx, uint8_t first_channel,
                uint8_t channels, size_t watermark, size_t chunk)
            : tm(tm), trigger(trigger), grp_idx(grp_idx), append_chunk_size(chunk),
              history_limit(watermark) {
            size_history(0);
            append_pingpong.access_write_buffer([&](records& r) { r.reserve(chunk); });
            append_pingpong.access_read_buffer([&](records& r) { r.reserve(chunk); });
            capt_channels.reserve(channels);
            for (uint8_t k = 0; k < channels; ++k)
                capt_channels.emplace_back(tm, k, static_cast<uint8_t>(first_channel + k));
            channel_writers.reserve(channels);
            channels_mask = channels >= 64 ? ~uint64_t{0} : (uint64_t{1} << channels) - 1;
        }
        ~group_t() { wait_hand_over(); }
        group_t(const group_t&) = delete;
        group_t& operator=(const group_t&) = delete;

        void reset(isamp pre_trig_smples, isamp post_trig_smples) {
            std::lock_guard lk(consume_m);
            wait_hand_over_locked();
            pre_trig_phase = true;
            given_up = false;
            post_trig_depth = 0;
            requested_post_trig_samples = post_trig_smples;
            size_history(pre_trig_smples);
            append_pingpong.access_write_buffer([](records& r) { r.clear(); });
            append_pingpong.access_read_buffer([](records& r) { r.clear(); });
            for (auto& c : capt_channels)
                c.reset();
            group_time = 0;
            group_levels = 0;
            pre_trig_samples = pre_trig_smples;
            total_requested_depth = requested_post_trig_samples + pre_trig_samples;
            total_captured_depth = 0;
            sw_since_flush.restart();
        }

        void append(const TRS& t) { append(std::span<const TRS>(&t, 1)); }

        void append(std::span<const TRS> batch) {
            size_t i = 0;
            while (i < batch.size()) {
                if (given_up) return;
                if (pre_trig_phase) {
                    append_pre_trigger(batch[i++]);
                    continue;
                }
                bool full = false;
                append_pingpong.access_write_buffer([&](records& w) {
                    i = push_post_trigger(w, batch, i);
                    full = w.size() >= append_chunk_size;
                });
                if (full) flush();
            }
        }

        // Hands the pending records to the stores.
        void flush() {
            std::lock_guard lk(consume_m);
            consume_trs_locked();
        }
        void flush_if_outdated(uint32_t ms) {
            std::lock_guard lk(consume_m);
            if (sw_since_flush.elapsed_ms() <= ms) return;
            bool pending = false;
            append_pingpong.access_write_buffer([&](records& w) { pending = !w.empty(); });
            if (pending) consume_trs_locked();
        }
        void wait_hand_over() {
            std::lock_guard lk(consume_m);
            wait_hand_over_locked();
        }

        isamp get_post_trig_depth() const { return post_trig_depth; }
        // The shortest channel; read only while no hand-over runs.
        isamp get_total_depth() const {
            isamp d = std::numeric_limits<isamp>::max();
            for (const auto& c : capt_channels)
                d = std::min(d, c.time());
            return capt_channels.empty() ? 0 : d;
        }
        uint32_t time_since_last_flush() const { return sw_since_flush.elapsed_ms(); }

    private:
        // Moves the records from batch[i] on to the write side, up to its hand-over size, in
        // one copy and one update of the shared depth; the records beyond the requested depth
        // are dropped. Returns the index of the first record not taken.
        size_t push_post_trigger(records& w, std::span<const TRS> batch, size_t i) {
            const size_t room = w.size() < append_chunk_size ? append_chunk_size - w.size() : 0;
            const size_t end = std::min(batch.size(), i + room);
            isamp total = total_captured_depth;
            size_t j = i;
            for (; j < end && total < total_requested_depth; ++j)
                total += batch[j].delta_samples;
            w.insert(w.end(), batch.begin() + static_cast<ptrdiff_t>(i),
                     batch.begin() + static_cast<ptrdiff_t>(j));
            post_trig_depth.fetch_add(total - total_captured_depth, std::memory_order_relaxed);
            total_captured_depth = total;
            return j < end ? batch.size() : j;
        }

        void append_pre_trigger(const TRS& t) {
            auto& buf = *pre_trig_buffer;
            buf.push(t, true);
            if (!t.trigged) return;

            // The trigger record is the newest entry: walk back to the start of the
            // requested history, or to the oldest record kept.
            const isamp pre = pre_trig_samples;
            size_t j = buf.size() - 1;
            isamp s = 0;
            while (j > 0 && s < pre) {
                s += buf.at(j).delta_samples;
                --j;
            }
            // A run that reaches past the requested history is cut at its start, so that
            // every group begins exactly the requested number of samples before the trigger.
            trigger.set_trig_instant(grp_idx, std::min(s, pre));
            buf.at(j).delta_samples = 0;

            const std::optional<isamp> common = trigger.get_gobal_trigger_instant();
            if (!common) {
                // Cancelled, or the other groups never triggered: this group stores nothing more.
                given_up = true;
                pre_trig_phase = false;
                pre_trig_buffer.reset();
                return;
            }
            isamp f = s - *common;
            size_t k = j;
            std::optional<TRS> held;
            if (f > 0) {
                TRS before = buf.at(k);
                while (k + 1 < buf.size() && f > static_cast<isamp>(buf.at(k).delta_samples)) {
                    f -= buf.at(k).delta_samples;
                    before = buf.at(k);
                    ++k;
                }
                auto& e = buf.at(k);
                e.delta_samples = static_cast<decltype(e.delta_samples)>(e.delta_samples - f);
                f = 0;
                if (e.delta_samples > 0) {
                    before.delta_samples = 0;
                    held = before;
                }
            }
            MOX_ASSERT(f == 0);

            bool full = false;
            auto push_pre = [&](records& w, const TRS& r) {
                total_captured_depth += r.delta_samples;
                w.push_back(r);
                full = w.size() >= append_chunk_size;
            };
            if (held) append_pingpong.access_write_buffer([&](records& w) { push_pre(w, *held); });
            for (; k < buf.size(); ++k) {
                append_pingpong.access_write_buffer([&](records& w) { push_pre(w, buf.at(k)); });
                if (full) flush();
            }
            // The history is not needed again before the next capture sizes its own.
            pre_trig_buffer.reset();
            pre_trig_phase = false;
        }

        // The history this capture needs: the requested pre-trigger samples (every record
        // covers at least one), the trigger record and the slot the buffer keeps free; at
        // most the tool's limit, halved while the address space is not there. Allocated
        // when a capture starts, not with the tool, so that a handle costs nothing until it
        // captures; pages become resident only as records arrive.
        void size_history(isamp pre) {
            const isamp limit = static_cast<isamp>(history_limit);
            size_t want =
                static_cast<size_t>(std::min<isamp>(std::clamp<isamp>(pre, 0, limit) + 3, limit));
            if (pre_trig_buffer && pre_trig_buffer->capacity() + 1 == want) {
                pre_trig_buffer->clear();
                return;
            }
            pre_trig_buffer.reset();
            for (;;) {
                try {
                    pre_trig_buffer = std::make_unique<mox::cvbuffer<TRS>>(want);
                    return;
                } catch (const std::bad_alloc&) {
                    if (want <= 200) throw;
                    want /= 2;
                }
            }
        }

        // One pass over the batch for every channel: they all share the group's time. Each
        // change is encoded straight into its channel's store through a writer session,
        // which readers see when the batch ends. A record that would carry the time past the
        // requested depth is cut to it, and nothing after it is stored.
        void store_batch(const records& batch) {
            channel_writers.clear();
            for (auto& c : capt_channels)
                channel_writers.push_back(c.open());
            trs::store::writer* const wr = channel_writers.data();
            isamp t = group_time;
            uint64_t last = group_levels;
            for (const TRS& r : batch) {
                if (t >= total_requested_depth) break;
                t = std::min<isamp>(t + static_cast<isamp>(r.delta_samples), total_requested_depth);
                uint64_t changed = (r.levels ^ last) & channels_mask;
                last = r.levels & channels_mask;
                while (changed != 0) {
                    const int k = __builtin_ctzll(changed);
                    changed &= changed - 1;
                    wr[k].append(t, static_cast<uint8_t>((last >> k) & 1));
                }
            }
            group_time = t;
            group_levels = last;
            for (size_t k = 0; k < capt_channels.size(); ++k)
                capt_channels[k].close(channel_writers[k], t, ((last >> k) & 1) != 0);
            channel_writers.clear();
        }

        void wait_hand_over_locked() {
            if (buffer_consume_run.valid()) buffer_consume_run.get();
        }

        void consume_trs_locked() {
            wait_hand_over_locked();
            append_pingpong.swap_buffers();
            sw_since_flush.restart();
            buffer_consume_run = buffer_consume_threads_pool.submit([this] {
                append_pingpong.access_read_buffer([this](records& r) {
                    store_batch(r);
                    if (grp_idx == 0) tm.oci_sync.push_all(r);
                    r.clear();
                });
            });
        }

        trs::manager& tm;
        trigger_t& trigger;
        const uint8_t grp_idx;
        const size_t append_chunk_size;
        bool pre_trig_phase = true;
        bool given_up = false;
        const size_t history_limit; // records
        std::unique_ptr<mox::cvbuffer<TRS>> pre_trig_buffer;
        std::mutex consume_m; // one hand-over at a time, from the parser or the capture thread
        std::future<void> buffer_consume_run;
        mox::pingpong_t<records> append_pingpong;
        std::vector<channel_t> capt_channels;
        std::vector<trs::store::writer> channel_writers; // scratch of the hand-over job
        uint64_t channels_mask = 0;
        isamp group_time = 0;
        uint64_t group_levels = 0;
        std::atomic<isamp> pre_trig_samples{0};
        std::atomic<isamp> post_trig_depth{0};
        isamp requested_post_trig_samples = 0;
        mox::elapsed_timer sw_since_flush;
        isamp total_requested_depth = 0;
        isamp total_captured_depth = 0;
        mox::worker_pool buffer_consume_threads_pool{2}; // last: joined first
    };

    signalforge_capture(ich n_channels, trs::manager& tm, size_t watermark,
                        add_trig_marker_fn add_trig_marker, const log_fn& log)
        : tm(tm), n_channels(n_channels),
          groups_count(groups_count_factory(static_cast<uint8_t>(n_channels))), log(log),
          trigger(groups_count, log, std::move(add_trig_marker)) {
        const auto per_group = static_cast<uint8_t>(n_channels / groups_count);
        for (;;) {
            try {
                groups.clear();
                for (uint8_t g = 0; g < groups_count; ++g) {
                    log("Trying to allocate capture groups with params " +
                        std::to_string(watermark) + "/" + std::to_string(append_chunk_size) +
                        " for group " + std::to_string(g));
                    const auto first = static_cast<uint8_t>((groups_count - 1 - g) * per_group);
                    groups.push_back(std::make_unique<group_t>(tm, trigger, g, first, per_group,
                                                               watermark, append_chunk_size));
                }
                break;
            } catch (const std::bad_alloc&) {
                groups.clear();
                log("Allocation failed");
                watermark >>= 1;
                append_chunk_size >>= 1;
                if (watermark <= 100) throw std::runtime_error("watermark > 100");
                if (append_chunk_size <= 100) throw std::runtime_error("append_chunk_size > 100");
            }
        }
    }
    signalforge_capture(const signalforge_capture&) = delete;
    signalforge_capture& operator=(const signalforge_capture&) = delete;

    void reset(isamp pre_trig_samples, period sampling_period, isamp post_trig_smples) {
        for (auto& g : groups)
            g->wait_hand_over();
        this->sampling_period = sampling_period;
        requested_post_trig_smples = post_trig_smples;
        tm.init(sampling_period, trs::manager::all_channels);
        for (auto& g : groups)
            g->reset(pre_trig_samples, post_trig_smples);
        trigger.reset();
    }

    void append(TRS& t, uint8_t group_idx) { groups.at(group_idx)->append(t); }
    void append(std::span<const TRS> batch, uint8_t group_idx) {
        groups.at(group_idx)->append(batch);
    }

    void flush() {
        for (auto& g : groups)
            g->flush();
    }
    void flush_outdated(uint32_t outdated_threshold_ms) {
        for (auto& g : groups)
            g->flush_if_outdated(outdated_threshold_ms);
    }

    bool ready() { return trigger.trigged(); }
    bool trigged_marker_found() { return trigger.trigged(); }

    int64_t captured_post_trig_depth() {
        int64_t d = std::numeric_limits<int64_t>::max();
        for (auto& g : groups)
            d = std::min(d, g->get_post_trig_depth());
        return d;
    }
    int64_t captured_post_trig_depth(uint8_t grp_idx) {
        return groups.at(grp_idx)->get_post_trig_depth();
    }

    void abort() { trigger.abort(); }

    // The budget of the stores written: a capture whose store file is full ends.
    trs::budget& store_budget() { return tm.store_budget(); }

    // Cuts every channel to the shortest, once the hand-over jobs have finished.
    void trim() {
        isamp shortest = std::numeric_limits<isamp>::max();
        for (auto& g : groups) {
            g->wait_hand_over();
            shortest = std::min(shortest, g->get_total_depth());
        }
        if (!groups.empty()) tm.resize(shortest, false);
    }

    // Waits until every batch handed over so far is in the stores.
    void wait_stored() {
        for (auto& g : groups)
            g->wait_hand_over();
    }

    uint8_t get_groups_count() const { return groups_count; }
    period get_sampling_period() const { return sampling_period; }

private:
    trs::manager& tm;
    const ich n_channels;
    const uint8_t groups_count;
    size_t append_chunk_size = first_append_chunk_size;
    period sampling_period = 1.0;
    const log_fn& log;
    trigger_t trigger;
    std::vector<std::unique_ptr<group_t>> groups;
    isamp requested_post_trig_smples = 0;
};

} // namespace hw
