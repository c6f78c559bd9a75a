#include "trs/store.h"

#include <stdexcept>

namespace trs {

namespace {

std::unique_ptr<chunk> new_chunk(isamp abs_time) {
    auto c = std::make_unique<chunk>();
    c->abs_time = abs_time;
    c->slices.reserve(store::chunk_size);
    return c;
}

} // namespace

store::store() {
    chunks.push_back(new_chunk(0));
}

store::store(const store& other) : store() {
    *this = other;
}

store& store::operator=(const store& other) {
    if (this == &other) return *this;

    // Snapshot first, so that the two stores' locks are never held together.
    std::vector<std::unique_ptr<chunk>> copy;
    isamp o_last_time_ref, o_n_samples;
    uint8_t o_idle_level;
    bool o_empty, o_uncaptured;
    {
        std::lock_guard lk(other.m);
        copy.reserve(other.chunks.size());
        for (const auto& c : other.chunks) {
            auto n = new_chunk(c->abs_time);
            n->slices.assign(c->slices.begin(), c->slices.end());
            copy.push_back(std::move(n));
        }
        o_last_time_ref = other.last_time_ref;
        o_n_samples = other.n_samples;
        o_idle_level = other.idle_level;
        o_empty = other.empty;
        o_uncaptured = other.uncaptured;
    }

    std::lock_guard clk(clearing_m);
    std::lock_guard lk(m);
    chunks.swap(copy);
    last_time_ref = o_last_time_ref;
    n_samples = o_n_samples;
    idle_level = o_idle_level;
    empty = o_empty;
    uncaptured = o_uncaptured;
    slices_recount_needed = true;
    ++clear_generation;
    return *this;
}

void store::check_order(isamp abs_samples) const {
    if (abs_samples < n_samples) throw std::runtime_error("transitions out of order");
}

void store::append(isamp abs_samples, uint8_t edge) {
    std::lock_guard lk(m);
    check_order(abs_samples);
    append_locked(abs_samples, edge != 0);
    slices_recount_needed = true;
}

void store::append(std::span<const edge_t> batch) {
    if (batch.empty()) return;
    std::lock_guard lk(m);
    isamp prev = n_samples;
    for (const auto& e : batch) {
        if (e.sample < prev) throw std::runtime_error("transitions out of order");
        prev = e.sample;
    }
    for (const auto& e : batch)
        append_locked(e.sample, e.level != 0);
    slices_recount_needed = true;
}

void store::append_locked(isamp abs_samples, uint8_t edge) {
    if (chunks.back()->slices.size() >= chunk_size) grow(abs_samples);
    // Never negative: abs_samples >= n_samples >= the sample the last chunk was opened at.
    auto d = static_cast<uint64_t>(abs_samples - last_time_ref);
    n_samples = abs_samples;
    idle_level = edge;
    if (empty) append_slice(slice::make(false, !edge, 0), abs_samples);
    while (d > slice_dt_mask) {
        append_slice(slice::make(true, edge, static_cast<uint8_t>(d & slice_dt_mask)), abs_samples);
        d >>= 6;
    }
    append_slice(slice::make(false, edge, static_cast<uint8_t>(d)), abs_samples);
}

void store::append_idle(isamp abs_samples, uint8_t level) {
    std::lock_guard lk(m);
    check_order(abs_samples);
    n_samples = abs_samples;
    idle_level = level != 0;
    if (empty) {
        append_slice(slice::make(false, idle_level, 0), abs_samples);
        slices_recount_needed = true;
    }
}

void store::append_slice(slice t, isamp abs_time) {
    if (chunks.back()->slices.size() >= chunk_size) grow(abs_time);
    chunks.back()->slices.push_back(t);
    if (empty) empty = false;
}

// The only place last_time_ref changes: a transition whose slices straddle the boundary still
// decodes from the chunk of its first slice, and the next one counts from the new chunk.
void store::grow(isamp abs_time) {
    chunks.push_back(new_chunk(abs_time));
    last_time_ref = abs_time;
}

void store::clear() {
    std::lock_guard clk(clearing_m);
    std::lock_guard lk(m);
    last_time_ref = 0;
    n_samples = 0;
    uncaptured = false;
    chunks.clear();
    chunks.push_back(new_chunk(0));
    empty = true;
    slices_recount_needed = true;
    ++clear_generation;
}

isamp store::samples_count() const {
    std::lock_guard lk(m);
    return n_samples;
}

tr store::last_idle() const {
    std::lock_guard lk(m);
    return {idle_level ? value::rising : value::falling, n_samples, false, false};
}

slice store::get_slice(uint32_t chunk, uint32_t index) const {
    std::lock_guard lk(m);
    return chunks.at(chunk)->slices.at(index);
}

isamp store::get_abs_time(uint32_t chunk) const {
    std::lock_guard lk(m);
    return chunks.at(chunk)->abs_time;
}

int64_t store::count_locked() const {
    if (slices_recount_needed) {
        last_slices_count = static_cast<int64_t>(chunks.size()) * chunk_size - chunk_size +
                            static_cast<int64_t>(chunks.back()->slices.size());
        slices_recount_needed = false;
    }
    return last_slices_count;
}

int64_t store::get_slices_count() const {
    std::lock_guard lk(m);
    return count_locked();
}

bool store::decode(int64_t k, decoded_t& out) const {
    std::lock_guard lk(m);
    const int64_t n = count_locked();
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

size_t store::memory_bytes() const {
    std::lock_guard lk(m);
    return chunks.capacity() * sizeof(std::unique_ptr<chunk>) +
           chunks.size() * (sizeof(chunk) + chunk_size * sizeof(slice));
}

} // namespace trs
