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
#include <cstring>
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
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "hw/change_masks.h"
#include "hw/direct_batch.h"
#include "hw/log.h"
#include "hw/logic_trs.h"
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

    // Records handed to the stores, as the hand-over jobs read them: each record's time (cut
    // to the requested depth) and, per block of 64 records, one mask per channel with bit j
    // set where the channel changed at record j of the block. Built once as the records are
    // taken, so that the two jobs that write a group's channels share that pass.
    struct batch_t {
        static constexpr size_t block = 64;
        // Fixed storage, written through plain pointers: the byte stores of the planes would
        // make a vector's own pointers be read again after each of them.
        void allocate(size_t records, unsigned channels) {
            capacity = records;
            times.reset(new isamp[records]);
            low.reset(new uint16_t[(records / block + 1) * block]);
            masks.reset(new uint64_t[(records / block + 1) * channels]);
        }
        std::unique_ptr<isamp[]> times;
        std::unique_ptr<uint16_t[]> low;   // per whole block, the low 16 bits of its times
        std::unique_ptr<uint64_t[]> masks; // `channels` masks per whole block
        size_t size = 0;
        size_t capacity = 0;
        // Where the output-sync flag is followed: its changes and the time, not cut to the
        // depth, after the last record.
        std::vector<oci::sync_step_t> oci_steps;
        isamp end_total = 0;
        alignas(16) uint8_t planes[3][block] = {}; // the changed bits of the open block
        // The changed bits of the open block and of the block before it as a writer fills
        // them directly, a word a record (room for a packet's records past the block), turned
        // into planes and masks a block later: read back at once, the last stores would
        // stall the loads.
        alignas(64) uint32_t changes[2][block + 8] = {};
        uint64_t end_levels = 0; // the channels' levels after the last record
        bool empty() const { return size == 0; }
        void clear() {
            size = 0;
            oci_steps.clear();
        }
        // Records of the open block: the ones after the last whole block.
        size_t open_records() const { return size % block; }
    };

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

    class group_t final : public batch_sink {
    public:
        group_t(trs::manager& tm, trigger_t& trigger, uint8_t grp_idx, uint8_t first_channel,
                uint8_t channels, size_t chunk)
            : tm(tm), trigger(trigger), grp_idx(grp_idx), append_chunk_size(chunk) {
            MOX_ASSERT(channels <= 24); // three byte planes of changed bits
            size_history(0);
            auto reserve = [&](batch_t& b) { b.allocate(chunk, channels); };
            append_pingpong.access_write_buffer(reserve);
            append_pingpong.access_read_buffer(reserve);
            capt_channels.reserve(channels);
            for (uint8_t k = 0; k < channels; ++k)
                capt_channels.emplace_back(tm, k, static_cast<uint8_t>(first_channel + k));
            channels_mask = channels >= 64 ? ~uint64_t{0} : (uint64_t{1} << channels) - 1;
            // Two jobs of every other channel each, the first from bit 0: neighbouring
            // channels (the lines of one bus, a clock beside its data) go to both jobs,
            // which shares the work out more evenly than two halves of the group do.
            lanes[0].count = (channels + 1u) / 2;
            lanes[1].first = 1;
            lanes[1].count = channels / 2;
            for (auto& l : lanes) {
                l.writers.reserve(l.count);
                l.bits = channels_mask & (uint64_t{0x5555555555555555} << l.first);
            }
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
            append_pingpong.access_write_buffer([](batch_t& b) { b.clear(); });
            append_pingpong.access_read_buffer([](batch_t& b) { b.clear(); });
            for (auto& c : capt_channels)
                c.reset();
            for (auto& l : lanes)
                l.levels = 0;
            taken_levels = 0;
            taken_oci = 0;
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
                append_pingpong.access_write_buffer([&](batch_t& w) {
                    i = push_post_trigger(w, batch, i);
                    full = w.size >= append_chunk_size;
                });
                if (full) flush();
            }
        }

        void fill(batch_writer& writer, uint64_t last_levels) override {
            std::lock_guard lk(consume_m);
            for (;;) {
                bool full = false;
                append_pingpong.access_write_buffer(
                    [&](batch_t& w) { full = fill_batch(w, writer, last_levels); });
                if (!full) return;
                // The swap takes the write side's lock: handed over outside it.
                consume_trs_locked();
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
            append_pingpong.access_write_buffer([&](batch_t& w) { pending = !w.empty(); });
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
        size_t push_post_trigger(batch_t& w, std::span<const TRS> batch, size_t i) {
            const size_t size = w.size;
            const size_t room = size < append_chunk_size ? append_chunk_size - size : 0;
            const size_t end = std::min(batch.size(), i + room);
            const isamp before = total_captured_depth;
            const size_t j = i + take(w, batch.data() + i, end - i, true);
            post_trig_depth.fetch_add(total_captured_depth - before, std::memory_order_relaxed);
            return j < end ? batch.size() : j;
        }

        // Takes n records into the batch: their times, cut to the requested depth, and their
        // changed bits in the open block's planes, sealed into masks every 64 records. The
        // changes of records after the one that reaches the depth are dropped (they are not
        // stored); with `stop_at_depth` such records are not taken at all. Returns how many
        // were taken.
        size_t take(batch_t& w, const TRS* r, size_t n, bool stop_at_depth) {
            if (keep_records)
                return stop_at_depth ? take_as<true, true>(w, r, n) : take_as<false, true>(w, r, n);
            return stop_at_depth ? take_as<true, false>(w, r, n) : take_as<false, false>(w, r, n);
        }
        template <bool stop_at_depth, bool follow_oci>
        size_t take_as(batch_t& w, const TRS* r, size_t n) {
            constexpr size_t block = batch_t::block;
            const unsigned oci_pos = tm.oci_sync.oci_flag_trs_pos;
            uint64_t oci = taken_oci;
            const isamp depth = total_requested_depth;
            isamp total = total_captured_depth;
            const uint64_t mask = channels_mask;
            const auto channels = static_cast<unsigned>(capt_channels.size());
            uint64_t last = taken_levels;
            const size_t first = w.size;
            n = std::min(n, w.capacity - first);
            isamp* const times = w.times.get() + first;
            // The three planes at fixed distances from one pointer, and no call inside the
            // loop over a block's records: everything it needs stays in registers.
            uint8_t* const pl = &w.planes[0][0];
            static_assert(sizeof(w.planes) == 3 * block);
            size_t slot = first % block;
            size_t k = 0;
            for (;;) {
                const size_t end = std::min(n, k + (block - slot));
                if constexpr (std::is_same_v<TRS, logic_trs<uint64_t, uint32_t>>) {
                    // Eight records at a time where the processor allows, up to the depth or
                    // a change of the output-sync flag; the loop below takes the rest. Through
                    // copies: the locals stay in registers in that loop.
                    isamp wide_total = total;
                    uint64_t wide_last = last;
                    const size_t got =
                        take_records_wide(r + k, end - k, mask, depth, follow_oci, oci_pos,
                                          oci != 0, times + k, pl + slot, wide_total, wide_last);
                    k += got;
                    slot += got;
                    total = wide_total;
                    last = wide_last;
                }
                for (; k < end; ++k, ++slot) {
                    // Taken up to the record that reaches the depth, or every record with the
                    // changes of those after it dropped.
                    uint64_t keep = ~uint64_t{0};
                    if constexpr (stop_at_depth) {
                        if (total >= depth) break;
                    } else {
                        keep = total < depth ? ~uint64_t{0} : 0;
                    }
                    total += static_cast<isamp>(r[k].delta_samples);
                    const auto levels = static_cast<uint64_t>(r[k].levels);
                    const uint64_t d = ((levels & mask) ^ last) & keep;
                    last ^= d;
                    if constexpr (follow_oci) {
                        if (((levels >> oci_pos) & 1) != oci) [[unlikely]] {
                            oci ^= 1;
                            w.oci_steps.push_back({total, oci != 0});
                        }
                    }
                    times[k] = std::min(total, depth);
                    pl[slot] = static_cast<uint8_t>(d);
                    pl[slot + block] = static_cast<uint8_t>(d >> 8);
                    pl[slot + 2 * block] = static_cast<uint8_t>(d >> 16);
                }
                if (slot == block) {
                    const size_t at = (first + k - 1) / block;
                    transpose(w.planes, channels, w.masks.get() + at * channels);
                    // Once here for both jobs, in one vector pass.
                    trs::store::writer::low_bits(w.times.get() + at * block,
                                                 w.low.get() + at * block, block);
                    slot = 0;
                }
                if (k < end || k == n) break; // at the depth, or all taken
            }
            w.size = first + k;
            total_captured_depth = total;
            taken_oci = oci;
            w.end_total = total;
            taken_levels = last;
            w.end_levels = last;
            return k;
        }

        // The writer's records into the batch, block by block: each whole block's changed
        // bits go to its planes and masks as take_as seals a block, the open block's to its
        // planes at the end. Returns true if it stopped because the batch is full and the
        // writer has more.
        bool fill_batch(batch_t& w, batch_writer& writer, uint64_t& last_levels) {
            constexpr size_t block = batch_t::block;
            // The writer's records have the output-sync flag clear: where it is set, the
            // step to clear goes the plain way.
            if (pre_trig_phase || given_up || (keep_records && taken_oci != 0) ||
                total_captured_depth > total_requested_depth - 7)
                return false;
            const uint64_t mask = channels_mask;
            const auto channels = static_cast<unsigned>(capt_channels.size());
            // Every record before was taken: the writer goes on from the same levels.
            MOX_ASSERT(((last_levels ^ taken_levels) & mask) == 0);
            size_t at = w.size - w.size % block; // the open block's first record
            uint32_t* open = w.changes[0];
            uint32_t* done = w.changes[1]; // the block before, not sealed yet
            bool sealing = false;
            auto seal = [&](size_t first) {
                uint64_t* const masks = w.masks.get() + first / block * channels;
                if (!change_masks_of_words(done, channels, masks)) {
                    planes_of_changes(done, w.planes);
                    transpose(w.planes, channels, masks);
                }
                trs::store::writer::low_bits(w.times.get() + first, w.low.get() + first, block);
            };
            batch_window win;
            win.times = w.times.get() + at;
            win.changes = open;
            win.slot = w.size - at;
            for (size_t j = 0; j < win.slot; ++j)
                open[j] =
                    w.planes[0][j] | uint32_t{w.planes[1][j]} << 8 | uint32_t{w.planes[2][j]} << 16;
            win.total = total_captured_depth;
            win.limit = total_requested_depth;
            win.mask = mask;
            win.last = last_levels;
            bool more = false;
            for (;;) {
                // Room for the records of a packet started just before slot_end.
                const size_t room = w.capacity - at;
                win.slot_end = std::min(block, room > 6 ? room - 6 : 0);
                if (win.slot >= win.slot_end) {
                    more = true;
                    break;
                }
                more = writer.write(win);
                if (win.slot < block) break;
                if (sealing) seal(at - block);
                // The records past the block (at most 7) open the next one: the array's 8
                // words past the block go over whole, a copy of fixed size in registers
                // rather than a call for a few words; those past the records are stale.
                static_assert(sizeof(w.changes[0]) >= (block + 8) * sizeof(uint32_t));
                std::memcpy(done, open + block, 8 * sizeof(uint32_t));
                std::swap(open, done);
                sealing = true;
                win.changes = open;
                win.slot -= block;
                at += block;
                win.times += block;
                if (!more) break;
            }
            if (sealing) seal(at - block);
            // The open block's planes: the bits past its records are stale either way.
            planes_of_changes(open, w.planes);
            w.size = at + win.slot;
            post_trig_depth.fetch_add(win.total - total_captured_depth, std::memory_order_relaxed);
            total_captured_depth = win.total;
            last_levels = win.last;
            taken_levels = win.last & mask;
            w.end_levels = taken_levels;
            w.end_total = win.total;
            return more;
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
            auto push_pre = [&](batch_t& w, const TRS& r) {
                take(w, &r, 1, false);
                full = w.size >= append_chunk_size;
            };
            if (held) append_pingpong.access_write_buffer([&](batch_t& w) { push_pre(w, *held); });
            for (; k < buf.size(); ++k) {
                append_pingpong.access_write_buffer([&](batch_t& w) { push_pre(w, buf.at(k)); });
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

        // The channels one hand-over job writes, and their levels where the last batch left
        // them: both jobs read the whole batch (it is read-only) but each writes only its
        // own channels' stores, so the two need no lock between them.
        struct lane_t {
            unsigned first = 0; // the lane's channels: first, first + 2, ...
            unsigned count = 0;
            uint64_t bits = 0; // its channels' bits
            uint64_t levels = 0;
            std::vector<trs::store::writer> writers; // scratch of the job
            alignas(64) uint16_t low[batch_t::block] = {};
        };

        // A lane's channels of the batch: for each block of 64 records, each channel's changes
        // go into its store in one run over its mask. No loop exit depends on one record's
        // changes, a quiet channel costs one test per block and each channel's writer stays
        // in registers while its changes go in.
        void store_lane(const batch_t& b, lane_t& lane) {
            constexpr size_t block = batch_t::block;
            const auto channels = static_cast<unsigned>(capt_channels.size());
            lane.writers.clear();
            for (unsigned k = lane.first; k < channels; k += 2)
                lane.writers.push_back(capt_channels[k].open());
            // Channel k's writer is wr[k / 2].
            trs::store::writer* const wr = lane.writers.data();
            uint64_t levels = lane.levels;
            auto store_block = [&](const isamp* times, const uint16_t* low, const uint64_t* masks) {
                for (unsigned k = lane.first; k < channels; k += 2) {
                    if (masks[k] == 0) continue;
                    const uint8_t level = static_cast<uint8_t>((levels >> k) & 1);
                    levels ^= static_cast<uint64_t>(
                                  wr[k / 2].append_toggles(times, low, masks[k], level) ^ level)
                              << k;
                }
            };
            const size_t whole = b.size / block;
            for (size_t j = 0; j < whole; ++j)
                store_block(b.times.get() + j * block, b.low.get() + j * block,
                            b.masks.get() + j * channels);
            if (const size_t open = b.open_records(); open > 0) {
                // The open block's planes hold stale bits past its records.
                uint64_t masks[24];
                transpose(b.planes, channels, masks);
                for (unsigned k = lane.first; k < channels; k += 2)
                    masks[k] &= (uint64_t{1} << open) - 1;
                // Nor are the low bits of its times taken yet.
                const isamp* const times = b.times.get() + whole * block;
                trs::store::writer::low_bits(times, lane.low, open);
                store_block(times, lane.low, masks);
            }
            MOX_ASSERT(((levels ^ b.end_levels) & lane.bits) == 0);
            lane.levels = levels;
            const isamp t = b.times[b.size - 1];
            for (unsigned k = lane.first; k < channels; k += 2)
                capt_channels[k].close(wr[k / 2], t, ((levels >> k) & 1) != 0);
            lane.writers.clear();
        }

        // out[8 p + b] gets bit b of planes[p][j] at bit j, for the first `channels` bits.
        static void transpose(const uint8_t (&planes)[3][batch_t::block], unsigned channels,
                              uint64_t* out) {
            if (change_masks_wide(planes, channels, out)) return;
            for (unsigned p = 0; p * 8 < channels; ++p) {
                const unsigned bits = std::min(8u, channels - 8 * p);
                uint64_t m[8] = {};
#if defined(__SSE2__)
                // The top bit of every byte of the 64 records at once, then the next bit; the
                // first shift puts the plane's highest bit wanted at the top.
                const __m128i first = _mm_cvtsi32_si128(static_cast<int>(8 - bits));
                auto load = [&](unsigned q) {
                    return _mm_sll_epi16(
                        _mm_load_si128(reinterpret_cast<const __m128i*>(planes[p] + 16 * q)),
                        first);
                };
                __m128i v0 = load(0), v1 = load(1), v2 = load(2), v3 = load(3);
                // A plane of quiet channels (most of them on serial lines) costs one test.
                const __m128i any = _mm_or_si128(_mm_or_si128(v0, v1), _mm_or_si128(v2, v3));
                if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) == 0xFFFF) {
                    for (unsigned b = 0; b < bits; ++b)
                        out[8 * p + b] = 0;
                    continue;
                }
                auto top = [](__m128i v) {
                    return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(v)));
                };
                for (unsigned b = bits; b-- > 0;) {
                    m[b] = top(v0) | top(v1) << 16 | top(v2) << 32 | top(v3) << 48;
                    v0 = _mm_add_epi8(v0, v0);
                    v1 = _mm_add_epi8(v1, v1);
                    v2 = _mm_add_epi8(v2, v2);
                    v3 = _mm_add_epi8(v3, v3);
                }
#else
                for (size_t j = 0; j < batch_t::block; ++j)
                    for (unsigned b = 0; b < bits; ++b)
                        m[b] |= static_cast<uint64_t>((planes[p][j] >> b) & 1) << j;
#endif
                for (unsigned b = 0; b < bits; ++b)
                    out[8 * p + b] = m[b];
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
            append_pingpong.access_read_buffer([](batch_t& b) { b.clear(); });
            append_pingpong.swap_buffers();
            sw_since_flush.restart();
            // The jobs read the batch without the read side's lock, which would put them
            // one after the other: nothing else touches it until both are waited for.
            const batch_t* batch = nullptr;
            append_pingpong.access_read_buffer([&](batch_t& b) { batch = &b; });
            if (batch->empty()) return;
            for (size_t l = 0; l < lanes.size(); ++l)
                if (lanes[l].count > 0)
                    lane_runs[l] = buffer_consume_threads_pool.submit([this, batch, l] {
                        store_lane(*batch, lanes[l]);
                        if (keep_records && l == 0)
                            tm.oci_sync.push_steps(batch->oci_steps, batch->end_total);
                    });
        }

        trs::manager& tm;
        trigger_t& trigger;
        const uint8_t grp_idx;
        // Only the first group's records carry the output-sync flag that is followed.
        const bool keep_records = grp_idx == 0;
        const size_t append_chunk_size;
        bool pre_trig_phase = true;
        bool given_up = false;
        std::unique_ptr<mox::cvbuffer<TRS>> pre_trig_buffer;
        std::mutex consume_m; // one hand-over at a time, from the parser or the capture thread
        std::array<lane_t, 2> lanes;
        std::array<std::future<void>, 2> lane_runs;
        mox::pingpong_t<batch_t> append_pingpong;
        std::vector<channel_t> capt_channels;
        uint64_t channels_mask = 0;
        std::atomic<isamp> pre_trig_samples{0};
        std::atomic<isamp> post_trig_depth{0};
        isamp requested_post_trig_samples = 0;
        mox::elapsed_timer sw_since_flush;
        isamp total_requested_depth = 0;
        isamp total_captured_depth = 0;
        uint64_t taken_levels = 0;                       // the levels after the last record taken
        uint64_t taken_oci = 0;                          // the output-sync flag after it
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
    // The group's batch, for a parser that writes it directly (see batch_sink).
    batch_sink& direct_batch(uint8_t group_idx) {
        return *groups.at(group_idx);
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
    trs::budget& store_budget() {
        return tm.store_budget();
    }

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
