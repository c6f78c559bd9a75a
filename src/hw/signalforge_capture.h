#pragma once
// The capture tool: per-group run-length records in, per-channel transitions out.
//
// Every group keeps a circular pre-trigger history of records. When a group's trigger
// record arrives it reports its trigger instant, waits for the instant common to all
// groups, trims its history to it and from then on forwards records until the requested
// depth. Records reach the stores in batches on two hand-over threads per group, so the
// parser threads never wait for the stores.
#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

    static constexpr size_t first_append_chunk_size = 65536;
    // The longest pre-trigger history, in samples (records of 16 bytes: 4 GiB of address
    // space, resident only as far as records arrive).
    static constexpr isamp max_history_samples = isamp{1} << 28;

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
            // Once aborted, the groups already waiting have given up: a late group placing
            // the trigger now would store alone.
            if (aborted) return;
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
            stopped = false;
            for (auto& e : entries)
                e = {};
        }
        void abort() {
            std::lock_guard lk(mtx);
            aborted = true;
            stopped.store(true, std::memory_order_relaxed);
            cv.notify_all();
        }
        // Read without the lock by long work (the history's hand-over) between its steps.
        bool is_aborted() const { return stopped.load(std::memory_order_relaxed); }
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
        std::atomic<bool> stopped{false}; // aborted, for readers without the lock
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
                uint8_t channels, size_t chunk)
            : tm(tm), trigger(trigger), grp_idx(grp_idx), append_chunk_size(chunk) {
            size_history(0);
            append_pingpong.access_write_buffer([&](records& r) { r.reserve(chunk); });
            append_pingpong.access_read_buffer([&](records& r) { r.reserve(chunk); });
            capt_channels.reserve(channels);
            for (uint8_t k = 0; k < channels; ++k)
                capt_channels.emplace_back(tm, k, static_cast<uint8_t>(first_channel + k));
            channels_mask = channels >= 64 ? ~uint64_t{0} : (uint64_t{1} << channels) - 1;
            // Two jobs of about half the channels each, the first from bit 0.
            lanes[0].count = (channels + 1u) / 2;
            lanes[1].first = lanes[0].count;
            lanes[1].count = channels - lanes[0].count;
            for (auto& l : lanes)
                l.writers.reserve(l.count);
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
            for (auto& l : lanes) {
                l.time = 0;
                l.levels = 0;
            }
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
        // The capture thread's look at a quiet stream never waits: while a hand-over is
        // under way (the parser's, or the stores still writing the last batch) a later look
        // does it, so that the capture thread sees an abort without waiting for the stores.
        void flush_if_outdated(uint32_t ms) {
            std::unique_lock lk(consume_m, std::try_to_lock);
            if (!lk.owns_lock() || sw_since_flush.elapsed_ms() <= ms) return;
            for (auto& run : lane_runs)
                if (run.valid() &&
                    run.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
                    return;
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
                if (!full) continue;
                flush();
                // Up to the whole history: an abort ends the replay between two batches,
                // and the end of the capture cuts every channel to the common length.
                if (trigger.is_aborted()) {
                    given_up = true;
                    break;
                }
            }
            // The history is not needed again before the next capture sizes its own.
            pre_trig_buffer.reset();
            pre_trig_phase = false;
        }

        // The history this capture needs: the requested pre-trigger samples (every record
        // covers at least one), the trigger record and the slot the buffer keeps free. A
        // capture with no pre-trigger gets the tool's smallest. Allocated when a capture
        // starts, not with the tool, so that a handle costs nothing until it captures;
        // pages become resident only as records arrive. Never shorter than asked: the
        // launch refuses a pre-trigger beyond max_history_samples, and a history the
        // machine cannot give fails the capture.
        void size_history(isamp pre) {
            const size_t want = static_cast<size_t>(std::max<isamp>(pre, 0)) + 3;
            if (pre_trig_buffer && pre_trig_buffer->capacity() + 1 == want) {
                pre_trig_buffer->clear();
                return;
            }
            pre_trig_buffer.reset();
            pre_trig_buffer = std::make_unique<mox::cvbuffer<TRS>>(want);
        }

        // The channels one hand-over job writes, and where the last batch left them: both
        // jobs walk every record (they are read-only) but each writes only its own
        // channels' stores, so the two need no lock between them.
        struct lane_t {
            unsigned first = 0;
            unsigned count = 0;
            isamp time = 0;
            uint64_t levels = 0;
            std::vector<trs::store::writer> writers; // scratch of the job
        };

        // A lane's channels of the batch, in blocks of `block` records. Each block is first
        // walked once for the records' times and the bits that changed (in three byte
        // planes), then the planes are turned into one mask per channel (bit j: the
        // channel changed at record j), and each channel's changes are stored in a loop
        // over its mask. No loop exit depends on one record's changes, a quiet channel
        // costs one test per block and each channel's writer stays hot while its changes
        // go in. A record that would carry the time past the requested depth is cut to it,
        // and nothing after it is stored.
        void store_lane(const records& batch, lane_t& lane) {
            constexpr size_t block = 64;
            alignas(16) isamp times[block];
            alignas(16) uint8_t planes[3][block];
            uint64_t masks[24];
            const isamp depth = total_requested_depth;
            lane.writers.clear();
            for (unsigned k = 0; k < lane.count; ++k)
                lane.writers.push_back(capt_channels[lane.first + k].open());
            trs::store::writer* const wr = lane.writers.data();
            const unsigned lane_end = lane.first + lane.count;
            isamp t = lane.time;
            uint64_t last = lane.levels;
            const TRS* r = batch.data();
            const TRS* const end = r + batch.size();
            while (r < end && t < depth) {
                const uint64_t before = last;
                const size_t n = std::min<size_t>(block, static_cast<size_t>(end - r));
                size_t used = 0;
                while (used < n) {
                    t = std::min<isamp>(t + static_cast<isamp>(r[used].delta_samples), depth);
                    const uint64_t levels = r[used].levels & channels_mask;
                    const uint64_t d = levels ^ last;
                    last = levels;
                    times[used] = t;
                    planes[0][used] = static_cast<uint8_t>(d);
                    planes[1][used] = static_cast<uint8_t>(d >> 8);
                    planes[2][used] = static_cast<uint8_t>(d >> 16);
                    ++used;
                    if (t >= depth) break;
                }
                r += used;
                transpose(planes, used, lane.first / 8, (lane_end + 7) / 8, masks);
                for (unsigned k = lane.first; k < lane_end; ++k) {
                    uint64_t m = masks[k];
                    if (m == 0) continue;
                    uint8_t level = static_cast<uint8_t>((before >> k) & 1);
                    do {
                        const int j = __builtin_ctzll(m);
                        m &= m - 1;
                        level ^= 1;
                        wr[k - lane.first].append(times[j], level);
                    } while (m != 0);
                }
            }
            lane.time = t;
            lane.levels = last;
            for (unsigned k = lane.first; k < lane_end; ++k)
                capt_channels[k].close(wr[k - lane.first], t, ((last >> k) & 1) != 0);
            lane.writers.clear();
        }

        // masks[8 p + b] gets bit b of planes[p][j] at bit j, for the planes [p0, p1) and the
        // first `used` entries (the rest of a plane is cleared first).
        static void transpose(uint8_t (&planes)[3][64], size_t used, unsigned p0, unsigned p1,
                              uint64_t (&masks)[24]) {
            for (unsigned p = p0; p < p1; ++p) {
                std::fill(planes[p] + used, planes[p] + 64, uint8_t{0});
                for (unsigned b = 0; b < 8; ++b)
                    masks[8 * p + b] = 0;
#if defined(__SSE2__)
                // The top bit of every byte of 16 records at once, then the next bit.
                for (unsigned q = 0; q < 4; ++q) {
                    __m128i v =
                        _mm_load_si128(reinterpret_cast<const __m128i*>(planes[p] + 16 * q));
                    for (int b = 7; b >= 0; --b) {
                        masks[8 * p + static_cast<unsigned>(b)] |=
                            static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(v)))
                            << (16 * q);
                        v = _mm_add_epi8(v, v);
                    }
                }
#else
                for (size_t j = 0; j < used; ++j)
                    for (unsigned b = 0; b < 8; ++b)
                        masks[8 * p + b] |= static_cast<uint64_t>((planes[p][j] >> b) & 1) << j;
#endif
            }
        }

        void wait_hand_over_locked() {
            // Both jobs end before a failure of either is passed on: none may still use the
            // batch when it goes.
            std::exception_ptr failure;
            for (auto& run : lane_runs) {
                if (!run.valid()) continue;
                try {
                    run.get();
                } catch (...) {
                    if (!failure) failure = std::current_exception();
                }
            }
            if (failure) std::rethrow_exception(failure);
        }

        void consume_trs_locked() {
            wait_hand_over_locked();
            // The batch the jobs took last is done with: it becomes the write side, empty.
            append_pingpong.access_read_buffer([](records& r) { r.clear(); });
            append_pingpong.swap_buffers();
            sw_since_flush.restart();
            // The jobs read the batch without the read side's lock, which would put them
            // one after the other: nothing else touches it until both are waited for.
            const records* batch = nullptr;
            append_pingpong.access_read_buffer([&](records& r) { batch = &r; });
            if (batch->empty()) return;
            for (size_t l = 0; l < lanes.size(); ++l)
                if (lanes[l].count > 0)
                    lane_runs[l] = buffer_consume_threads_pool.submit([this, batch, l] {
                        store_lane(*batch, lanes[l]);
                        if (grp_idx == 0 && l == 0) tm.oci_sync.push_all(*batch);
                    });
        }

        trs::manager& tm;
        trigger_t& trigger;
        const uint8_t grp_idx;
        const size_t append_chunk_size;
        bool pre_trig_phase = true;
        bool given_up = false;
        std::unique_ptr<mox::cvbuffer<TRS>> pre_trig_buffer;
        std::mutex consume_m; // one hand-over at a time, from the parser or the capture thread
        std::array<lane_t, 2> lanes;
        std::array<std::future<void>, 2> lane_runs;
        mox::pingpong_t<records> append_pingpong;
        std::vector<channel_t> capt_channels;
        uint64_t channels_mask = 0;
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
                                                               append_chunk_size));
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

    void append(TRS& t, uint8_t group_idx) {
        groups.at(group_idx)->append(t);
    }
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

    bool ready() {
        return trigger.trigged();
    }
    bool trigged_marker_found() {
        return trigger.trigged();
    }

    int64_t captured_post_trig_depth() {
        int64_t d = std::numeric_limits<int64_t>::max();
        for (auto& g : groups)
            d = std::min(d, g->get_post_trig_depth());
        return d;
    }
    int64_t captured_post_trig_depth(uint8_t grp_idx) {
        return groups.at(grp_idx)->get_post_trig_depth();
    }

    void abort() {
        trigger.abort();
    }

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

    uint8_t get_groups_count() const {
        return groups_count;
    }
    period get_sampling_period() const {
        return sampling_period;
    }

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
