#include "trs/store.h"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace trs {

namespace {

// A chunk in a fresh slot of the pool, default-initialised: the slices are written before
// they are read.
chunk_ptr fresh_chunk() {
    return chunk_ptr(::new (chunk_pool::shared().take()) chunk);
}

} // namespace

store::store() {
    chunks.push_back(take_chunk(0));
    reopen_locked();
}

store::store(const store& other) : store() {
    *this = other;
}

store::~store() {
    if (budget_) budget_->add_resident(-accounted);
}

void store::set_budget(std::shared_ptr<budget> b) {
    std::lock_guard lk(m);
    if (budget_) budget_->add_resident(-accounted);
    budget_ = std::move(b);
    accounted = 0;
    recount_locked();
}

// Keeps the budget's count equal to the chunks in memory, the index of spilled blocks and
// the blocks read back; the lock is held. The index grows with the length of the capture, so
// it is counted too: the longer the capture, the fewer chunks stay in memory. The blocks read
// back are two a channel, which on a model of many channels is megabytes the budget would
// not see otherwise. So are the spare chunks beyond a block: a clear keeps those of the last
// captures, and when the channels that fill up change from one capture to the next, the
// stores that filled up before would hold theirs beside the new ones' counted chunks.
void store::recount_locked() const {
    size_t cached = 0;
    for (const auto& e : cache)
        cached += e.data.back() ? block_chunks : 0;
    const size_t kept = std::max(spare.size(), block_chunks) - block_chunks;
    const auto now = static_cast<int64_t>(chunks.size() + cached + kept) * resident_chunk_bytes +
                     static_cast<int64_t>(blocks.size() * sizeof(spilled_block));
    if (budget_ && now != accounted) budget_->add_resident(now - accounted);
    accounted = now;
}

store& store::operator=(const store& other) {
    if (this == &other) return *this;

    // Snapshot first, so that the two stores' locks are never held together. Only what the
    // source has published is copied; spilled blocks never change, so the copy shares them
    // and their file.
    std::deque<chunk_ptr> copy;
    std::deque<spilled_block> o_blocks;
    std::shared_ptr<spill_file> o_file;
    std::shared_ptr<budget> o_budget;
    published_t o_pub;
    bool o_empty, o_uncaptured;
    {
        std::lock_guard lk(other.m);
        o_pub = other.pub;
        o_blocks = other.blocks;
        o_file = other.file_;
        o_budget = other.budget_;
        const size_t spilled = other.spilled_chunks();
        int64_t left = o_pub.slices - static_cast<int64_t>(spilled) * chunk_size;
        for (size_t c = spilled; c < o_pub.chunks; ++c) {
            auto n = fresh_chunk();
            n->abs_time = other.chunks[c - spilled]->abs_time;
            const auto k = static_cast<size_t>(std::clamp<int64_t>(left, 0, chunk_size));
            std::copy_n(other.chunks[c - spilled]->slices.begin(), k, n->slices.begin());
            left -= chunk_size;
            copy.push_back(std::move(n));
        }
        o_empty = other.empty;
        o_uncaptured = other.uncaptured;
    }

    std::lock_guard clk(clearing_m);
    std::lock_guard lk(m);
    chunks.swap(copy);
    blocks.swap(o_blocks);
    file_.swap(o_file);
    for (auto& e : cache)
        e.index = ~size_t{0};
    if (budget_ != o_budget) {
        if (budget_) budget_->add_resident(-accounted);
        budget_ = std::move(o_budget);
        accounted = 0;
    }
    recount_locked();
    pub = o_pub;
    w.p = chunks.back()->slices.data() +
          (pub.slices - static_cast<int64_t>(pub.chunks - 1) * chunk_size);
    w.end = chunks.back()->slices.data() + chunk_size;
    w.ref = pub.ref;
    w.n = pub.n;
    w.level = pub.level;
    w.empty = o_empty;
    empty = o_empty;
    uncaptured = o_uncaptured;
    ++clear_generation;
    return *this;
}

chunk_ptr store::take_chunk(isamp abs_time) {
    chunk_ptr c;
    if (spare.empty()) {
        c = fresh_chunk();
    } else {
        c = std::move(spare.back());
        spare.pop_back();
        // A store takes its next chunk a whole chunk of changes later, by when the spare
        // chunks (written a capture ago) and the list's entries have left the cache: the
        // writer would wait for each of them. Both are fetched now, the entries a line ahead.
        if (const size_t n = spare.size(); n > 0) {
            if (n > 8) __builtin_prefetch(&spare[n - 9]);
            const auto* next = reinterpret_cast<const char*>(spare[n - 1].get());
            for (size_t b = 0; b < sizeof(chunk); b += 64)
                __builtin_prefetch(next + b, 1);
        }
    }
    c->abs_time = abs_time;
    return c;
}

// Gives the spare chunks beyond the first n back to the pool, under one lock of it per batch.
void store::keep_spare(size_t n) {
    std::array<void*, 256> batch;
    size_t k = 0;
    while (spare.size() > n) {
        batch[k++] = spare.back().release();
        spare.pop_back();
        if (k == batch.size() || spare.size() == n) {
            chunk_pool::shared().give(std::span<void* const>(batch.data(), k));
            k = 0;
        }
    }
}

// The writer position at the end of the single chunk of an empty store.
void store::reopen_locked() {
    w.p = chunks.back()->slices.data();
    w.end = w.p + chunk_size;
    w.ref = 0;
    w.n = 0;
    w.empty = true;
    pub.slices = 0;
    pub.chunks = 1;
    pub.n = 0;
    pub.ref = 0;
}

void store::publish_locked(const cursor& c) {
    pub.chunks = chunks_count();
    pub.slices =
        static_cast<int64_t>(pub.chunks - 1) * chunk_size + (c.p - chunks.back()->slices.data());
    pub.n = c.n;
    pub.ref = c.ref;
    pub.level = c.level;
    if (empty != c.empty) empty = c.empty;
}

void store::check_order(isamp abs_samples) const {
    if (abs_samples < w.n) throw std::runtime_error("transitions out of order");
}

void store::append(isamp abs_samples, uint8_t edge) {
    std::lock_guard lk(m);
    check_order(abs_samples);
    put_slow(w, abs_samples, edge != 0, false);
    publish_locked(w);
}

void store::append(std::span<const edge_t> batch) {
    if (batch.empty()) return;
    std::lock_guard lk(m);
    isamp prev = w.n;
    for (const auto& e : batch) {
        if (e.sample < prev) throw std::runtime_error("transitions out of order");
        prev = e.sample;
    }
    for (const auto& e : batch)
        put_slow(w, e.sample, e.level != 0, false);
    publish_locked(w);
}

// The general encoding: the first transition of a store (with its initial level slice), a
// full chunk, offsets of more than six bits. Called with the lock held when !lock.
void store::put_slow(cursor& c, isamp abs_samples, bool edge, bool lock) {
    if (abs_samples < c.n) throw std::runtime_error("transitions out of order");
    if (c.p == c.end) grow(c, abs_samples, lock);
    // Never negative: abs_samples >= n >= the sample the last chunk was opened at.
    auto d = static_cast<uint64_t>(abs_samples - c.ref);
    c.n = abs_samples;
    c.level = edge;
    if (c.empty) put_slice(c, slice::make(false, !edge, 0), abs_samples, lock);
    while (d > slice_dt_mask) {
        put_slice(c, slice::make(true, edge, static_cast<uint8_t>(d & slice_dt_mask)), abs_samples,
                  lock);
        d >>= 6;
    }
    put_slice(c, slice::make(false, edge, static_cast<uint8_t>(d)), abs_samples, lock);
}

void store::put_slice(cursor& c, slice t, isamp abs_time, bool lock) {
    if (c.p == c.end) grow(c, abs_time, lock);
    *c.p++ = t;
    c.empty = false;
}

void store::put_idle(cursor& c, isamp abs_samples, bool level, bool lock) {
    if (abs_samples < c.n) throw std::runtime_error("transitions out of order");
    c.n = abs_samples;
    c.level = level;
    if (c.empty) put_slice(c, slice::make(false, level, 0), abs_samples, lock);
}

void store::append_idle(isamp abs_samples, uint8_t level) {
    std::lock_guard lk(m);
    put_idle(w, abs_samples, level != 0, false);
    publish_locked(w);
}

void store::grow(cursor& c, isamp abs_time, bool lock) {
    if (!lock) return grow_locked(c, abs_time);
    std::lock_guard lk(m);
    grow_locked(c, abs_time);
}

// The only place the reference changes: a transition whose slices straddle the boundary
// still decodes from the chunk of its first slice, and the next one counts from the new
// chunk.
void store::grow_locked(cursor& c, isamp abs_time) {
    chunks.push_back(take_chunk(abs_time));
    c.p = chunks.back()->slices.data();
    c.end = c.p + chunk_size;
    c.ref = abs_time;
    recount_locked();
    spill_locked();
}

// While the budget is exceeded, the oldest sealed chunks go to the spill file a block at a
// time. Only published chunks before the last published one are sealed: the writer goes on
// in that one (a session may also have opened later ones, not yet published). Called by the
// writing thread with the lock held; a file that cannot grow marks the budget full and the
// chunks stay in memory.
void store::spill_locked() {
    if (!budget_) return;
    // Spare chunks beyond a block go first: every store commits at each batch of a capture,
    // so those kept by a clear go as soon as the budget is exceeded.
    if (spare.size() > block_chunks && budget_->over()) {
        keep_spare(block_chunks);
        recount_locked();
    }
    while (budget_->over()) {
        const size_t spilled = spilled_chunks();
        if (pub.chunks < spilled + block_chunks + 1) return;
        if (!file_) {
            file_ = budget_->file();
            if (!file_) return;
        }
        // One write of the block's chunks where they lie in memory.
        std::array<const void*, block_chunks> pieces;
        for (size_t i = 0; i < block_chunks; ++i)
            pieces[i] = chunks[i].get();
        std::string why;
        const int64_t at = file_->append(pieces, sizeof(chunk), why);
        if (at < 0) {
            budget_->mark_full(why);
            return;
        }
        blocks.push_back({at, chunks.front()->abs_time});
        for (size_t i = 0; i < block_chunks; ++i) {
            spare.push_back(std::move(chunks.front()));
            chunks.pop_front();
        }
        // A block of spare chunks does not count against the budget, so only that stays for
        // the chunks this store opens next. The stores of a budget share it unevenly and their
        // shares drift: keeping every spilled chunk would hold each store at the most it ever
        // had in memory, and the process would grow past the budget by their sum.
        keep_spare(block_chunks);
        recount_locked();
    }
}

// Forgets the spilled blocks (their file goes with the last store that uses it).
void store::drop_spilled_locked() {
    blocks.clear();
    blocks.shrink_to_fit();
    file_.reset();
    for (auto& e : cache) {
        e.index = ~size_t{0};
        for (auto& d : e.data)
            d.reset();
    }
}

const chunk& store::load_spilled(size_t c) const {
    const size_t b = c / block_chunks;
    for (size_t i = 0; i < cache.size(); ++i)
        if (cache[i].index == b) {
            cache_last = i;
            return *cache[i].data[c % block_chunks];
        }
    cache_last = (cache_last + 1) % cache.size();
    cached_block& e = cache[cache_last];
    e.index = ~size_t{0}; // until the read succeeds
    std::array<void*, block_chunks> pieces;
    if (!e.data.back()) {
        for (auto& d : e.data)
            if (!d) d = fresh_chunk();
        recount_locked();
    }
    for (size_t i = 0; i < block_chunks; ++i)
        pieces[i] = e.data[i].get();
    file_->read(blocks[b].offset, pieces, sizeof(chunk));
    e.index = b;
    return *e.data[c % block_chunks];
}

void store::clear() {
    std::lock_guard clk(clearing_m);
    std::lock_guard lk(m);
    uncaptured = false;
    drop_spilled_locked();
    // Keep as many chunks as the larger of the last two captures needed.
    const size_t keep = std::max(previous_chunks, chunks.size());
    previous_chunks = chunks.size();
    for (auto& c : chunks)
        spare.push_back(std::move(c));
    chunks.clear();
    keep_spare(keep);
    spare.shrink_to_fit();
    chunks.push_back(take_chunk(0));
    recount_locked();
    reopen_locked();
    empty = true;
    ++clear_generation;
}

std::unique_ptr<store> store::take() {
    auto out = std::make_unique<store>(); // not shared yet: no lock of its own is needed
    std::lock_guard clk(clearing_m);
    std::lock_guard lk(m);
    // The new store's fresh chunk becomes this one's, so no allocation happens under the lock.
    out->chunks.swap(chunks);
    out->blocks.swap(blocks);
    out->file_.swap(file_);
    for (auto& e : cache)
        e.index = ~size_t{0};
    // The taken chunks still count against the budget, now through the new store.
    out->budget_ = budget_;
    out->accounted = accounted;
    accounted = 0;
    recount_locked();
    out->pub = pub;
    out->w = w;
    out->empty = empty.load();
    out->uncaptured = uncaptured.load();
    uncaptured = false;
    reopen_locked();
    empty = true;
    ++clear_generation;
    return out;
}

void store::cut(isamp n) {
    std::lock_guard clk(clearing_m);
    std::lock_guard lk(m);
    if (empty || n < 0 || n >= w.n) return;
    // Everything up to the last transition at or before n stays; its level holds to n.
    const int64_t keep = first_at_or_after(n + 1, pub.slices);
    decoded_t last;
    int64_t count = 0;
    if (keep == 0 || !decode_locked(keep - 1, last, count)) return;
    const auto ci = static_cast<size_t>((keep - 1) / chunk_size);
    if (ci < spilled_chunks()) {
        // The writer goes on in the chunk of the cut, so it comes back into memory with the
        // chunks of its block before it; the blocks from that one on are forgotten (what the
        // file holds never changes, later blocks are appended past it).
        const size_t b = ci / block_chunks;
        std::deque<chunk_ptr> back;
        for (size_t c = b * block_chunks; c <= ci; ++c) {
            auto k = take_chunk(0);
            *k = load_spilled(c);
            back.push_back(std::move(k));
        }
        for (auto& c : chunks)
            spare.push_back(std::move(c));
        chunks = std::move(back);
        blocks.resize(b);
        for (auto& e : cache)
            e.index = ~size_t{0};
        recount_locked();
    }
    while (chunks_count() > ci + 1) {
        spare.push_back(std::move(chunks.back()));
        chunks.pop_back();
    }
    recount_locked();
    w.p = chunks.back()->slices.data() + (keep - static_cast<int64_t>(ci) * chunk_size);
    w.end = chunks.back()->slices.data() + chunk_size;
    w.ref = chunks.back()->abs_time;
    w.n = n;
    w.level = last.level;
    w.empty = false;
    publish_locked(w);
    ++clear_generation;
}

store::writer::writer(store& s) : st(&s) {
    std::lock_guard lk(s.m);
    // Chunks a session opened and never published are not part of the store: the next write
    // goes on from the published end, so they must not stay between it and the chunks to come.
    while (s.chunks_count() > s.pub.chunks) {
        s.spare.push_back(std::move(s.chunks.back()));
        s.chunks.pop_back();
    }
    s.recount_locked();
    c = s.w;
    generation = s.clear_generation;
}

void store::writer::commit() {
    std::lock_guard lk(st->m);
    if (st->clear_generation != generation)
        throw std::logic_error("store cleared while a writer session was open");
    st->w = c;
    st->publish_locked(c);
    st->spill_locked();
}

isamp store::samples_count() const {
    std::lock_guard lk(m);
    return pub.n;
}

tr store::last_idle() const {
    std::lock_guard lk(m);
    return {pub.level ? value::rising : value::falling, pub.n, false, false};
}

slice store::get_slice(uint32_t chunk, uint32_t index) const {
    std::lock_guard lk(m);
    const int64_t k = static_cast<int64_t>(chunk) * chunk_size + index;
    if (index >= static_cast<uint32_t>(chunk_size) || k >= pub.slices)
        throw std::out_of_range("slice index out of range");
    return at(k);
}

isamp store::get_abs_time(uint32_t chunk) const {
    std::lock_guard lk(m);
    if (chunk >= pub.chunks) throw std::out_of_range("chunk index out of range");
    return chunk_at(chunk).abs_time;
}

int64_t store::get_slices_count() const {
    std::lock_guard lk(m);
    return pub.slices;
}

bool store::decode(int64_t k, decoded_t& out) const {
    int64_t count;
    return decode(k, out, count);
}

bool store::decode(int64_t k, decoded_t& out, int64_t& count, uint64_t gen) const {
    std::lock_guard lk(m);
    if (clear_generation != gen) {
        count = -1;
        return false;
    }
    return decode_locked(k, out, count);
}

bool store::decode(int64_t k, decoded_t& out, int64_t& count) const {
    std::lock_guard lk(m);
    return decode_locked(k, out, count);
}

bool store::decode_locked(int64_t k, decoded_t& out, int64_t& count) const {
    const int64_t n = pub.slices;
    count = n;
    if (k < 0 || k >= n) return false;
    int64_t start = k;
    while (start > 0 && at(start - 1).bits.extended)
        --start;
    uint64_t acc = 0;
    int64_t j = start;
    for (int pos = 0;; ++pos, ++j) {
        // 11 groups of six bits cover any non-negative 64-bit offset.
        if (j >= n || pos > 10) return false;
        const slice s = at(j);
        acc += static_cast<uint64_t>(s.bits.delta_samples) << (6 * pos);
        if (!s.bits.extended) {
            out.level = s.bits.val;
            break;
        }
    }
    out.first = start;
    out.last = j;
    out.sample =
        chunk_at(static_cast<size_t>(start / chunk_size)).abs_time + static_cast<isamp>(acc);
    return true;
}

// The last chunk among the first n whose abs_time is below `sample` (0 when none is): the
// spilled ones through the index of blocks and one block, the others in memory. The lock is
// held.
size_t store::last_chunk_before(isamp sample, size_t n) const {
    const size_t spilled = std::min(spilled_chunks(), n);
    if (n > spilled && chunks.front()->abs_time < sample) {
        // In memory: the first chunk there is already before the sample.
        size_t lo = spilled, hi = n; // abs_time(lo) < sample
        while (hi - lo > 1) {
            const size_t mid = lo + (hi - lo) / 2;
            if (chunks[mid - spilled_chunks()]->abs_time < sample)
                lo = mid;
            else
                hi = mid;
        }
        return lo;
    }
    if (spilled == 0) return 0;
    // The last block that starts before the sample, then the last chunk in it.
    const auto end =
        blocks.begin() + static_cast<std::ptrdiff_t>((spilled + block_chunks - 1) / block_chunks);
    const auto bl = std::partition_point(blocks.begin(), end,
                                         [&](const spilled_block& b) { return b.first < sample; });
    if (bl == blocks.begin()) return 0;
    const size_t first = static_cast<size_t>(bl - blocks.begin() - 1) * block_chunks;
    size_t lo = first, hi = std::min(first + block_chunks, spilled);
    while (hi - lo > 1) {
        const size_t mid = lo + (hi - lo) / 2;
        if (chunk_at(mid).abs_time < sample)
            lo = mid;
        else
            hi = mid;
    }
    return lo;
}

// The first slice of the first transition at or after `sample` (count when there is none);
// the lock is held. Transitions that begin in a chunk are at or after its abs_time and at or
// before the next chunk's, so the answer lies in the last chunk that begins before the
// sample, or is the first transition after it: a scan of at most one chunk.
int64_t store::first_at_or_after(isamp sample, int64_t count) const {
    if (count <= 0) return 0;
    const size_t n = static_cast<size_t>((count - 1) / chunk_size) + 1;
    int64_t k = static_cast<int64_t>(last_chunk_before(sample, n)) * chunk_size;
    // Slices at the start of the chunk may end a transition of the chunk before: skip them.
    while (k > 0 && k < count && at(k - 1).bits.extended)
        ++k;
    while (k < count) {
        uint64_t acc = 0;
        int64_t j = k;
        const isamp base = chunk_at(static_cast<size_t>(k / chunk_size)).abs_time;
        for (int pos = 0; j < count && pos <= 10; ++pos, ++j) {
            const slice s = at(j);
            acc += static_cast<uint64_t>(s.bits.delta_samples) << (6 * pos);
            if (!s.bits.extended) break;
        }
        if (base + static_cast<isamp>(acc) >= sample) return k;
        k = j + 1;
    }
    return count;
}

namespace {

// For the byte index (0..3) of a transition's closing slice: the bits its six-bit groups
// fill.
constexpr uint32_t group_masks[4] = {0x3Fu, 0xFFFu, 0x3FFFFu, 0xFFFFFFu};

// The step of read_changes() that keeps a transition when it changes the level the reader
// holds. A sample's transitions are taken together: the first one at a new sample goes into
// a new slot, the later ones rewrite it, and the slot is kept only while its level differs
// from the level before it. Both of the read's loops call it with their own count of items
// and last sample, so that the eight-slices loop keeps them in registers.
struct change_keeper {
    uint64_t* samples;
    uint8_t* levels;
    size_t capacity;
    uint64_t until;
    uint8_t lvl;         // the level after the last transition taken
    size_t pat = 0;      // the slot of the last sample's item
    uint8_t pbefore = 0; // the level before it

    // Takes the transition at sample s to level lv, the last one taken having been at
    // sample `last`, with `out` items kept: false at the horizon or with no room.
    [[gnu::always_inline]] bool take(uint64_t s, uint8_t lv, uint64_t last, size_t& out) {
        if (s >= until) return false;
        const bool same = s == last;
        const size_t at = same ? pat : out;
        const uint8_t before = same ? pbefore : lvl;
        if (at == capacity) return false;
        samples[at] = s;
        levels[at] = lv;
        out = at + (lv != before);
        pat = at;
        pbefore = before;
        lvl = lv;
        return true;
    }
};

} // namespace

size_t store::read(isamp from, uint64_t* samples, uint8_t* levels, size_t capacity) const {
    read_state st;
    return read_impl<false>(from, samples, levels, capacity, st);
}

size_t store::read_changes(isamp from, isamp until, uint8_t level, uint64_t* samples,
                           uint8_t* levels, size_t capacity, changes_cursor& cur) const {
    read_state st;
    st.until = until;
    st.level = level != 0;
    st.cur = &cur;
    const size_t got = read_impl<true>(from, samples, levels, capacity, st);
    cur.from = st.next;
    return got;
}

// read() and read_changes() in one: with `changes`, only the items that change the level
// the reader holds, before st.until (change_keeper).
template <bool changes>
size_t store::read_impl(isamp from, uint64_t* samples, uint8_t* levels, size_t capacity,
                        read_state& st) const {
    if (capacity == 0) return 0;
    // The clearing lock keeps positions valid between the pieces; the store's own lock is
    // let go between pieces so that a long read never holds up the writer for long.
    constexpr int64_t piece = 1 << 16; // slices
    std::lock_guard clk(clearing_m);
    size_t out = 0;
    // The sample of the last item written: a later transition at the same sample replaces
    // its level. No transition is at ~0.
    uint64_t last = ~uint64_t{0};
    change_keeper keep{samples, levels, capacity, static_cast<uint64_t>(st.until), st.level};
    int64_t k = -1;
    if constexpr (changes) st.next = from;
    // Where the read stopped: the next read from the sample after the last one taken
    // starts at slice k.
    auto finish = [&](int64_t at) {
        if constexpr (changes) {
            if (last != ~uint64_t{0}) st.next = static_cast<isamp>(last) + 1;
            st.cur->slice = at;
            st.cur->generation = clear_generation;
        }
        (void)at;
        return out;
    };
    for (;;) {
        std::lock_guard lk(m);
        // A channel of length 0 covers no sample yet: its items at sample 0 are not final
        // until the first samples are stored (a capture's first batch may restate them).
        const int64_t n = pub.n > 0 ? pub.slices : 0;
        if (k < 0) {
            if constexpr (changes) {
                // The read before stopped here: no search.
                if (st.cur->from == from && st.cur->generation == clear_generation &&
                    st.cur->slice <= n && st.cur->slice >= 0)
                    k = st.cur->slice;
            }
            if (k < 0) k = first_at_or_after(std::max<isamp>(from, 0), n);
        }
        const int64_t stop = std::min(n, k + piece);
        while (k < stop) {
            auto c = static_cast<size_t>(k / chunk_size);
            auto i = static_cast<size_t>(k % chunk_size);
            const chunk* cp = &chunk_at(c);
            const isamp base = cp->abs_time;
            // A chunk at a time, eight slices from one 64-bit load: every transition of up
            // to four slices that closes among them is decoded from its bytes without a
            // branch on its length, and the next load starts after the last one closed, so
            // the loop carries no chain through each transition's length. A longer
            // transition, one that runs into the next chunk and the chunk's last few slices
            // go the general way below.
            {
                const uint8_t* sl = &cp->slices[0].data;
                const auto lim = static_cast<size_t>(
                    std::min<int64_t>(chunk_size, stop - static_cast<int64_t>(c) * chunk_size));
                size_t o = out;
                uint64_t prev = last;
                bool full = false;
                while (i + 8 <= lim && !full) {
                    uint64_t w;
                    std::memcpy(&w, sl + i, 8); // little-endian: the first slice first
                    uint64_t ends = ~w & 0x0101010101010101u; // slices that close a transition
                    unsigned a = 0; // byte where the next transition begins
                    while (ends != 0) {
                        const auto e = static_cast<unsigned>(std::countr_zero(ends)) >> 3;
                        const unsigned len = e - a; // slices after the first
                        if (len > 3) break;         // five slices or more
                        const auto x = static_cast<uint32_t>(w >> (8 * a));
                        const uint32_t groups = ((x >> 2) & 0x3Fu) | ((x >> 4) & 0xFC0u) |
                                                ((x >> 6) & 0x3F000u) | ((x >> 8) & 0xFC0000u);
                        const auto s = static_cast<uint64_t>(
                            base + static_cast<isamp>(groups & group_masks[len]));
                        const auto lv = static_cast<uint8_t>((x >> (8 * len + 1)) & 1);
                        if constexpr (changes) {
                            if (!keep.take(s, lv, prev, o)) {
                                full = true; // the horizon or no room: the general way returns
                                break;
                            }
                        } else {
                            // A repeat of the last sample overwrites it.
                            const size_t at = o - (s == prev);
                            if (at == capacity) {
                                full = true; // no room: the general way returns
                                break;
                            }
                            samples[at] = s;
                            levels[at] = lv;
                            o = at + 1;
                        }
                        prev = s;
                        a = e + 1;
                        ends &= ends - 1;
                    }
                    i += a;
                    if (a == 0) break; // a long transition begins here
                }
                out = o;
                last = prev;
                k = static_cast<int64_t>(c) * chunk_size + static_cast<int64_t>(i);
                if (k >= stop) break;
                if (i == chunk_size) continue; // the chunk ended with a whole transition
            }
            // One transition the general way: the chunk of its first slice gives the base.
            uint8_t b = cp->slices[i].data;
            uint64_t acc = b >> 2;
            int64_t j = k;
            for (int shift = 6; b & 1; shift += 6) {
                if (++j >= n)
                    return finish(k); // cannot happen: publications hold whole transitions
                if (++i == chunk_size) {
                    i = 0;
                    cp = &chunk_at(++c);
                }
                b = cp->slices[i].data;
                acc += static_cast<uint64_t>(b >> 2) << shift;
            }
            const auto s = static_cast<uint64_t>(base + static_cast<isamp>(acc));
            const uint8_t lv = (b >> 1) & 1;
            if constexpr (changes) {
                if (!keep.take(s, lv, last, out)) return finish(k);
                last = s;
            } else if (s == last) {
                levels[out - 1] = lv; // a later transition at the same sample decides its level
            } else {
                if (out == capacity) return out;
                samples[out] = s;
                levels[out] = lv;
                ++out;
                last = s;
            }
            k = j + 1;
        }
        if (k >= n) return finish(k);
    }
}

bool store::level_at(isamp sample, uint8_t& level) const {
    std::lock_guard clk(clearing_m);
    std::lock_guard lk(m);
    if (pub.slices == 0 || sample < 0 || sample >= pub.n) return false;
    // The transition before the first one after `sample` is the last at or before it.
    const int64_t k = first_at_or_after(sample + 1, pub.slices);
    if (k == 0) return false; // cannot happen: the initial level slice is at sample 0
    level = at(k - 1).bits.val;
    return true;
}

size_t store::memory_bytes() const {
    std::lock_guard lk(m);
    size_t cached = 0;
    for (const auto& e : cache)
        if (e.data.back()) cached += block_chunks * sizeof(chunk);
    return (chunks.size() + spare.capacity()) * sizeof(chunk_ptr) +
           (chunks.size() + spare.size()) * sizeof(chunk) + blocks.size() * sizeof(spilled_block) +
           cached;
}

uint64_t store::spilled_bytes() const {
    std::lock_guard lk(m);
    return blocks.size() * block_chunks * sizeof(chunk);
}

} // namespace trs
