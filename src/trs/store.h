#pragma once

#include "trs/budget.h"
#include "trs/chunk_pool.h"
#include "trs/types.h"

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace trs {

namespace detail {
constexpr uint64_t toggle_form_of(int zeros) {
    const int width = zeros >= 31 ? 1 : 32 - zeros;
    const int len = (width + 5) / 6;
    uint64_t ext = 0;
    for (int k = 0; k + 1 < len; ++k)
        ext |= uint64_t{1} << (8 * k);
    return (static_cast<uint64_t>(len) << 32) | ext;
}
constexpr std::array<uint64_t, 33> toggle_forms() {
    std::array<uint64_t, 33> t{};
    for (int z = 0; z <= 32; ++z)
        t[static_cast<size_t>(z)] = toggle_form_of(z);
    return t;
}
} // namespace detail

constexpr int chunk_slices = 500;

struct chunk {
    isamp abs_time = 0; // offsets of the transitions that begin here count from it
    // Only the slices the store counts hold data; the rest is left unwritten.
    std::array<slice, chunk_slices> slices;
};
static_assert(sizeof(chunk) == chunk_pool::slot_bytes);

// A chunk in a slot of the shared pool, given back when it goes.
struct chunk_release {
    void operator()(chunk* c) const noexcept { chunk_pool::shared().give(c); }
};
using chunk_ptr = std::unique_ptr<chunk, chunk_release>;

// The transitions of one channel, packed into one-byte slices in chunks of 500.
//
// A transition to level v at sample s is stored as its offset d = s - abs_time of the chunk
// opened last, cut into six-bit groups, least significant first; every group but the last
// carries extended = 1. The first slice of a non-empty store is the initial level slice
// (offset 0), the level held before the first real transition.
//
// One writer and any number of readers may use a store at once. Readers see what the writer
// has published: every append, append_idle and clear publishes at once, a writer session
// (below) when it commits. Every read and publication holds `m`; a reader additionally holds
// clearing_mutex() around a whole iterator step, which clear() also takes, so a step never
// sees a half-cleared store. Appends must come in non-decreasing sample order; an append that
// would break it throws and changes nothing.
//
// Chunks are kept when the store is cleared and filled again by the next capture, so a
// capture writes into memory that is already mapped instead of faulting in fresh pages; the
// spare chunks are bounded by the larger of the last two captures.
//
// A store with a budget (set_budget) counts its chunks in memory against it. While the
// budget is exceeded, the oldest sealed chunks (published, and before the one the writer
// goes on in) go to the budget's spill file in blocks of block_chunks, as they are in memory,
// and their memory is reused; the spilled chunks are always the first ones of the store. An
// index of every block's first sample stays in memory; readers load blocks back on demand
// into a cache of two, so every read works across spilled chunks as in memory.
class store {
    // Where the next slice goes and what encoding the next transition needs.
    struct cursor {
        slice* p = nullptr;
        slice* end = nullptr;
        isamp ref = 0;     // abs_time of the chunk opened last
        isamp n = 0;       // samples covered
        uint8_t level = 0; // level at the end
        bool empty = true;
    };

public:
    static constexpr int chunk_size = chunk_slices;
    // Chunks written to the spill file at once, and read back at once.
    static constexpr size_t block_chunks = 64;
    static constexpr uint8_t slice_dt_mask = 63;
    static_assert(std::endian::native == std::endian::little, "writer sessions store words");

    store();
    // Copies take a snapshot of the source's published data under its lock, so copying a
    // store that is being written is safe.
    store(const store& other);
    store& operator=(const store& other);
    ~store();

    // Counts the chunks in memory against b (null: against nothing) and spills to its file
    // while it is exceeded.
    void set_budget(std::shared_ptr<budget> b);

    void append(isamp abs_samples, uint8_t edge);
    // Same encoding as one append per element, under one lock: readers see the batch whole or
    // not at all. The batch is checked before anything is stored.
    void append(std::span<const edge_t> batch);
    void append_idle(isamp abs_samples, uint8_t idle_level);
    // Shortens the store to n samples in place: the transitions after n go, the store ends
    // at n with the level in force there. Costs a search and the chunks let go, whatever
    // the length. Nothing changes when the store is empty or not longer than n. Like
    // clear(), it voids readers' positions (a new generation).
    void cut(isamp n);
    void set_uncaptured(bool is_uncaptured) { uncaptured = is_uncaptured; }
    bool is_uncaptured() const { return uncaptured; }
    void clear();
    // Moves everything the store holds (chunks, what is published, the writer's position)
    // into a new store in constant time and leaves this one as clear() does, spare chunks
    // kept. Iterators on this store start again; no writer session may be open.
    std::unique_ptr<store> take();

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
    // decode() of slice k together with the published slice count, under one lock.
    bool decode(int64_t k, decoded_t& out, int64_t& slices_count) const;
    // The same while the store is still at `generation`; otherwise false with a count of -1.
    bool decode(int64_t k, decoded_t& out, int64_t& slices_count, uint64_t generation) const;

    // The level changes at or after sample `from`, in increasing sample order, at most
    // `capacity` of them; returns how many were written. Transitions at one sample come out
    // once, with the level of the last of them, so the samples strictly increase and a read
    // from the last sample + 1 goes on without a gap or a repeat. The first item of a
    // non-empty store is its initial level at sample 0. A store of length 0 gives nothing.
    // Reading on while a writer appends neither skips nor repeats an item as long as the
    // writer never appends at the sample where a publication ended (the capture tool's
    // changes after its first batch are always later).
    size_t read(isamp from, uint64_t* samples, uint8_t* levels, size_t capacity) const;
    // Where a read_changes() stopped, kept by its reader so that the next one, from the
    // sample it says, starts without a search. Void (searched again) after a clear.
    struct changes_cursor {
        isamp from = -1;   // the sample the next read starts at
        int64_t slice = 0; // the first slice of the first transition at or after it
        uint64_t generation = 0;
    };
    // As read(), for a reader that holds `level`, the level in force before `from`: only the
    // items that change the level (each against the one before it), and only those before
    // `until`, so every item is an edge. Leaves in cur.from the sample the next read goes on
    // from: past every transition taken, which may be later than the last item written.
    size_t read_changes(isamp from, isamp until, uint8_t level, uint64_t* samples, uint8_t* levels,
                        size_t capacity, changes_cursor& cur) const;
    // The level in force at `sample`; false at or beyond the channel's length.
    bool level_at(isamp sample, uint8_t& level) const;

    // A batch of appends by the store's one writer. Slices go straight into chunk memory
    // without the store's lock; readers see them once commit() publishes them, and what was
    // not committed is dropped with the session. The lock is taken only at the start, when a
    // chunk is opened and at commit. No other write (append, clear, assignment, a second
    // session) may run while a session is open; a clear meanwhile makes commit() throw.
    class writer {
    public:
        explicit writer(store& s);
        writer(const writer&) = delete;
        writer& operator=(const writer&) = delete;
        writer(writer&&) noexcept = default;
        writer& operator=(writer&&) noexcept = default;

        // Same encoding and order check as store::append. Inline while the chunk has room
        // for the longest transition; the first transition, a full chunk and an order error
        // go the general way.
        void append(isamp abs_samples, uint8_t edge) {
            const auto d = static_cast<uint64_t>(abs_samples - c.ref);
            // Up to four slices (offsets below 2^24) without a branch on their number: all
            // four bytes are written at once, the position moves by the slices used.
            if (abs_samples >= c.n && d < (uint64_t{1} << 24) && c.end - c.p >= 4 && !c.empty)
                [[likely]] {
                const uint32_t e1 = d > slice_dt_mask, e2 = d >> 12 != 0, e3 = d >> 18 != 0;
                const uint32_t v = edge != 0 ? 0x02020202u : 0;
                const auto dd = static_cast<uint32_t>(d);
                const uint32_t word = v | e1 | (e2 << 8) | (e3 << 16) | ((dd & 63) << 2) |
                                      (((dd >> 6) & 63) << 10) | (((dd >> 12) & 63) << 18) |
                                      ((dd >> 18) << 26);
                std::memcpy(c.p, &word, 4); // little-endian: the first slice first
                c.p += 1 + e1 + e2 + e3;
                c.n = abs_samples;
                c.level = edge != 0;
                return;
            }
            st->put_slow(c, abs_samples, edge != 0, true);
        }
        // The same as append(times[j], level after j toggles) for every set bit j of
        // `toggles`, lowest first, starting from `level`: a run of level changes, as one
        // channel of a block of records gives it. Returns the level after the last one. The
        // cursor stays in registers for the whole run (the slices written through it could
        // alias it otherwise); what the inline path cannot take goes the general way.
        uint8_t append_toggles(const isamp* times, uint64_t toggles, uint8_t level) {
            bool lv = level != 0;
            while (toggles != 0) {
                // Once the last change lies 2^24 or more past the chunk's start, no offset
                // fits the inline path until the next chunk.
                if (!c.empty && c.n - c.ref < (isamp{1} << 24)) {
                    slice* p = c.p;
                    slice* const last_room = c.end - 4;
                    const isamp ref = c.ref;
                    // The samples the inline path takes: from the last one on, below this.
                    const isamp top = ref + (isamp{1} << 24);
                    isamp n = c.n;
                    uint32_t v = lv ? 0x02020202u : 0;
                    while (toggles != 0) {
                        const isamp s = times[std::countr_zero(toggles)];
                        if ((static_cast<uint64_t>(s - n) >= static_cast<uint64_t>(top - n)) |
                            (p > last_room)) [[unlikely]]
                            break;
                        toggles &= toggles - 1;
                        v ^= 0x02020202u;
                        const auto dd = static_cast<uint32_t>(s - ref);
                        // The four six-bit groups at bits 2..7 of each byte (the two twelve-bit
                        // halves apart first, then each half's two groups), the extension bits
                        // of all slices but the last one, the level in every byte.
                        const uint32_t halves = (dd & 0xFFFu) | ((dd & 0xFFF000u) << 4);
                        const uint32_t spread =
                            ((halves & 0x003F003Fu) << 2) | ((halves & 0x0FC00FC0u) << 4);
                        // d < 2^24: 8 to 31 leading zeros.
                        const uint64_t form = toggle_form[std::countl_zero(dd | 1u)];
                        const uint32_t word = spread | v | static_cast<uint32_t>(form);
                        std::memcpy(p, &word, 4); // little-endian: the first slice first
                        p += form >> 32;
                        n = s;
                    }
                    c.p = p;
                    c.n = n;
                    lv = v != 0;
                    c.level = lv;
                    if (toggles == 0) break;
                }
                // The first change of a store, a full chunk, a long offset or an order error
                // (which throws): one change the general way, then on inline.
                lv = !lv;
                append(times[std::countr_zero(toggles)], lv);
                toggles &= toggles - 1;
            }
            return static_cast<uint8_t>(lv);
        }
        // How runs of toggles over a block are encoded: one change at a time (any
        // processor), or several records' changes side by side in vector registers (eight
        // records with SSSE3, half a block with AVX-512). Every way gives the same slices.
        enum class toggles_way : uint8_t { one_at_a_time, eight_records, half_blocks };
        // The widest way this processor has.
        static toggles_way widest_toggles_way();
        // The same as append_toggles(times, toggles, level) for times that never decrease
        // along the block (a batch's records), where low[j] holds the low 16 bits of
        // times[j], readable for all 64 records of the block. Where the run's changes take
        // one or two slices (offsets below 4096 from the chunk's start, as in a busy
        // channel), the changes of several records are gathered and encoded at once, so
        // that no branch depends on where one channel's run ends.
        uint8_t append_toggles(const isamp* times, const uint16_t* low, uint64_t toggles,
                               uint8_t level) {
            // The widest way straight, without the choice of a way.
            if (widest == toggles_way::half_blocks)
                return append_half_blocks(times, low, toggles, level);
            return append_toggles(widest, times, low, toggles, level);
        }
        // low[j] = the low 16 bits of times[j] for j < n.
        static void low_bits(const isamp* times, uint16_t* low, size_t n);
        // The same in the given way (one this processor has not goes the widest it has).
        uint8_t append_toggles(toggles_way way, const isamp* times, const uint16_t* low,
                               uint64_t toggles, uint8_t level);
        void append_idle(isamp abs_samples, uint8_t idle_level);
        void commit();

    private:
        // The fewest changes of a run that go eight records at a time.
        static constexpr int eight_records_min = 4;
        static const toggles_way widest;
        uint8_t append_eight_records(const isamp* times, const uint16_t* low, uint64_t toggles,
                                     uint8_t level);
        uint8_t append_half_blocks(const isamp* times, const uint16_t* low, uint64_t toggles,
                                   uint8_t level);
        uint8_t append_mixed_half_blocks(const isamp* times, const uint16_t* low, uint64_t toggles,
                                         uint8_t level);
        uint8_t append_past_chunk(const isamp* times, const uint16_t* low, uint64_t rest,
                                  uint8_t level);
        uint8_t append_at_chunk_end(const isamp* times, const uint16_t* low, uint64_t toggles,
                                    uint8_t level);

        // For an offset below 2^24 by its leading zeros (of 32): the slice count above the
        // extension bits of all slices but the last one.
        static constexpr std::array<uint64_t, 33> toggle_form = detail::toggle_forms();

        store* st;
        cursor c;
        uint64_t generation;
    };

    std::mutex& clearing_mutex() const { return clearing_m; }
    // Changes at every clear or assignment; an iterator's position is void once it changed.
    uint64_t generation() const { return clear_generation; }
    // Heap bytes held by the slices and their chunks, spare ones included, and by the index
    // and cache of spilled chunks (allocator overhead not included).
    size_t memory_bytes() const;
    // Bytes of this store's chunks in the spill file.
    uint64_t spilled_bytes() const;
    // What one chunk in memory counts against a budget.
    static constexpr int64_t resident_chunk_bytes = sizeof(chunk) + 16;

private:
    // What readers see.
    struct published_t {
        int64_t slices = 0;
        size_t chunks = 1;
        isamp n = 0;
        isamp ref = 0;
        uint8_t level = 0;
    };

    void check_order(isamp abs_samples) const;
    void put_slow(cursor& c, isamp abs_samples, bool edge, bool lock);
    void put_slice(cursor& c, slice t, isamp abs_time, bool lock);
    void put_idle(cursor& c, isamp abs_samples, bool level, bool lock);
    void grow(cursor& c, isamp abs_time, bool lock);
    void grow_locked(cursor& c, isamp abs_time);
    void publish_locked(const cursor& c);
    void reopen_locked();
    chunk_ptr take_chunk(isamp abs_time);
    void keep_spare(size_t n);
    struct read_state {
        isamp until = 0;
        uint8_t level = 0;
        isamp next = 0;
        changes_cursor* cur = nullptr;
    };
    template <bool changes>
    size_t read_impl(isamp from, uint64_t* samples, uint8_t* levels, size_t capacity,
                     read_state& st) const;
    int64_t first_at_or_after(isamp sample, int64_t count) const;
    size_t last_chunk_before(isamp sample, size_t n) const;
    bool decode_locked(int64_t k, decoded_t& out, int64_t& slices_count) const;
    size_t spilled_chunks() const { return blocks.size() * block_chunks; }
    size_t chunks_count() const { return spilled_chunks() + chunks.size(); }
    // Chunk c, from memory or through the cache of spilled blocks; the lock is held. A
    // reference into the cache stays valid until the next call.
    const chunk& chunk_at(size_t c) const {
        const size_t s = spilled_chunks();
        return c >= s ? *chunks[c - s] : load_spilled(c);
    }
    const chunk& load_spilled(size_t c) const;
    slice at(int64_t k) const {
        return chunk_at(static_cast<size_t>(k / chunk_size))
            .slices[static_cast<size_t>(k % chunk_size)];
    }
    void recount_locked() const;
    void spill_locked();
    void drop_spilled_locked();

    struct spilled_block {
        int64_t offset = 0; // in the spill file
        isamp first = 0;    // abs_time of its first chunk
    };
    struct cached_block {
        size_t index = ~size_t{0};
        std::array<chunk_ptr, block_chunks> data; // all or none
    };

    std::atomic<bool> uncaptured{false};
    mutable std::mutex clearing_m;
    mutable std::mutex m;
    std::shared_ptr<budget> budget_;   // null: no accounting, no spill
    std::shared_ptr<spill_file> file_; // holds `blocks`
    // Chunks [0, spilled_chunks()) are on disk. A deque: it grows without copying itself
    // into twice its size, which a capture of any length would otherwise pay at its end.
    std::deque<spilled_block> blocks;
    std::deque<chunk_ptr> chunks; // the others, in memory
    std::vector<chunk_ptr> spare;
    mutable int64_t accounted = 0; // bytes counted against the budget
    mutable std::array<cached_block, 2> cache;
    mutable size_t cache_last = 0; // the entry used last
    size_t previous_chunks = 0;    // chunks the capture before the last one used
    cursor w;                      // the writer's position behind the locked appends
    published_t pub;
    std::atomic<bool> empty{true};
    std::atomic<uint64_t> clear_generation{0};
};

inline void store::writer::append_idle(isamp abs_samples, uint8_t idle_level) {
    st->put_idle(c, abs_samples, idle_level != 0, true);
}

} // namespace trs
