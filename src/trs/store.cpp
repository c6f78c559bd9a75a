#include "trs/store.h"

#include <algorithm>
#include <stdexcept>

namespace trs {

store::store() {
    chunks.push_back(take_chunk(0));
    reopen_locked();
}

store::store(const store& other) : store() {
    *this = other;
}

store& store::operator=(const store& other) {
    if (this == &other) return *this;

    // Snapshot first, so that the two stores' locks are never held together. Only what the
    // source has published is copied.
    std::vector<std::unique_ptr<chunk>> copy;
    published_t o_pub;
    bool o_empty, o_uncaptured;
    {
        std::lock_guard lk(other.m);
        o_pub = other.pub;
        copy.reserve(o_pub.chunks);
        int64_t left = o_pub.slices;
        for (size_t c = 0; c < o_pub.chunks; ++c) {
            auto n = std::unique_ptr<chunk>(new chunk);
            n->abs_time = other.chunks[c]->abs_time;
            const auto k = static_cast<size_t>(std::clamp<int64_t>(left, 0, chunk_size));
            std::copy_n(other.chunks[c]->slices.begin(), k, n->slices.begin());
            left -= chunk_size;
            copy.push_back(std::move(n));
        }
        o_empty = other.empty;
        o_uncaptured = other.uncaptured;
    }

    std::lock_guard clk(clearing_m);
    std::lock_guard lk(m);
    chunks.swap(copy);
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

std::unique_ptr<chunk> store::take_chunk(isamp abs_time) {
    std::unique_ptr<chunk> c;
    if (spare.empty()) {
        c.reset(new chunk); // default-initialised: the slices are written before they are read
    } else {
        c = std::move(spare.back());
        spare.pop_back();
    }
    c->abs_time = abs_time;
    return c;
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
    pub.chunks = chunks.size();
    pub.slices =
        static_cast<int64_t>(chunks.size() - 1) * chunk_size + (c.p - chunks.back()->slices.data());
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
}

void store::clear() {
    std::lock_guard clk(clearing_m);
    std::lock_guard lk(m);
    uncaptured = false;
    // Keep as many chunks as the larger of the last two captures needed.
    const size_t keep = std::max(previous_chunks, chunks.size());
    previous_chunks = chunks.size();
    for (auto& c : chunks)
        spare.push_back(std::move(c));
    chunks.clear();
    if (spare.size() > keep) spare.resize(keep);
    spare.shrink_to_fit();
    chunks.push_back(take_chunk(0));
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
    while (chunks.size() > ci + 1) {
        spare.push_back(std::move(chunks.back()));
        chunks.pop_back();
    }
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
    c = s.w;
    generation = s.clear_generation;
}

void store::writer::commit() {
    std::lock_guard lk(st->m);
    if (st->clear_generation != generation)
        throw std::logic_error("store cleared while a writer session was open");
    st->w = c;
    st->publish_locked(c);
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
    return chunks[chunk]->abs_time;
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
        chunks[static_cast<size_t>(start / chunk_size)]->abs_time + static_cast<isamp>(acc);
    return true;
}

// The first slice of the first transition at or after `sample` (count when there is none);
// the lock is held.
int64_t store::first_at_or_after(isamp sample, int64_t count) const {
    int64_t lo = 0, hi = count;
    while (lo < hi) {
        const int64_t mid = lo + (hi - lo) / 2;
        int64_t start = mid;
        while (start > 0 && at(start - 1).bits.extended)
            --start;
        uint64_t acc = 0;
        int64_t j = start;
        for (int pos = 0; j < count && pos <= 10; ++pos, ++j) {
            const slice s = at(j);
            acc += static_cast<uint64_t>(s.bits.delta_samples) << (6 * pos);
            if (!s.bits.extended) break;
        }
        const isamp t =
            chunks[static_cast<size_t>(start / chunk_size)]->abs_time + static_cast<isamp>(acc);
        if (t >= sample)
            hi = start;
        else
            lo = j + 1;
    }
    return lo;
}

size_t store::read(isamp from, uint64_t* samples, uint8_t* levels, size_t capacity) const {
    if (capacity == 0) return 0;
    // The clearing lock keeps positions valid between the pieces; the store's own lock is
    // let go between pieces so that a long read never holds up the writer for long.
    constexpr size_t piece = 1 << 16;
    std::lock_guard clk(clearing_m);
    size_t out = 0;
    int64_t k = -1;
    for (;;) {
        std::lock_guard lk(m);
        // A channel of length 0 covers no sample yet: its items at sample 0 are not final
        // until the first samples are stored (a capture's first batch may restate them).
        const int64_t n = pub.n > 0 ? pub.slices : 0;
        if (k < 0) k = first_at_or_after(std::max<isamp>(from, 0), n);
        size_t budget = piece;
        while (k < n && budget-- > 0) {
            // One transition: the chunk of its first slice gives the base.
            auto c = static_cast<size_t>(k / chunk_size);
            auto i = static_cast<size_t>(k % chunk_size);
            const isamp base = chunks[c]->abs_time;
            uint8_t b = chunks[c]->slices[i].data;
            uint64_t acc = b >> 2;
            int64_t j = k;
            for (int shift = 6; b & 1; shift += 6) {
                if (++j >= n) return out; // cannot happen: publications hold whole transitions
                if (++i == chunk_size) {
                    i = 0;
                    ++c;
                }
                b = chunks[c]->slices[i].data;
                acc += static_cast<uint64_t>(b >> 2) << shift;
            }
            const auto s = static_cast<uint64_t>(base + static_cast<isamp>(acc));
            const uint8_t lv = (b >> 1) & 1;
            if (out > 0 && samples[out - 1] == s) {
                levels[out - 1] = lv; // a later transition at the same sample decides its level
            } else {
                if (out == capacity) return out;
                samples[out] = s;
                levels[out] = lv;
                ++out;
            }
            k = j + 1;
        }
        if (k >= n) return out;
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
    return (chunks.capacity() + spare.capacity()) * sizeof(std::unique_ptr<chunk>) +
           (chunks.size() + spare.size()) * sizeof(chunk);
}

} // namespace trs
