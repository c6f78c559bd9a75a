#include "trs/chunk_pool.h"

#include <bit>
#include <new>

#include <sys/mman.h>
#include <unistd.h>

namespace trs {

namespace {
constexpr size_t slab_slots = chunk_pool::slab_bytes / chunk_pool::slot_bytes;
constexpr size_t smallest_page = 4096;
constexpr size_t most_pages = chunk_pool::slab_bytes / smallest_page;

// The slab's bookkeeping, in its own first slots (so a slot finds it by rounding its address
// down, and the page holding it is never given back).
struct slab_header {
    uint64_t free_bits[slab_slots / 64]; // 1: the slot is free
    uint16_t page_use[most_pages];       // slots in use in each page, the header included
    uint64_t touched[most_pages / 64];   // pages that may be resident
    size_t free_count;
    size_t index; // in the pool's slabs

    std::byte* base() { return reinterpret_cast<std::byte*>(this); }
    bool is_touched(size_t page) const { return (touched[page / 64] >> (page % 64)) & 1; }
    void set_touched(size_t page, bool on) {
        const uint64_t bit = uint64_t{1} << (page % 64);
        touched[page / 64] = on ? touched[page / 64] | bit : touched[page / 64] & ~bit;
    }
};
constexpr size_t header_slots =
    (sizeof(slab_header) + chunk_pool::slot_bytes - 1) / chunk_pool::slot_bytes;
constexpr size_t usable_slots = slab_slots - header_slots;
} // namespace

struct chunk_pool::slab : slab_header {};

chunk_pool::chunk_pool(size_t slack_bytes)
    : slack(slack_bytes), page_bytes(static_cast<size_t>(::sysconf(_SC_PAGESIZE))) {
    // Pages smaller than the slab's bookkeeping allows for, or larger than a slab, would
    // break the page counts; a page is never smaller than 4 kB where this runs.
    if (page_bytes < smallest_page || page_bytes > slab_bytes || !std::has_single_bit(page_bytes))
        throw std::bad_alloc();
}

chunk_pool::~chunk_pool() {
    for (slab* s : slabs)
        ::munmap(s->base(), slab_bytes);
}

chunk_pool& chunk_pool::shared() {
    static chunk_pool* const pool = new chunk_pool();
    return *pool;
}

chunk_pool::slab* chunk_pool::map_slab() {
    // Twice the size, then the parts before and after an aligned slab unmapped.
    void* raw = ::mmap(nullptr, 2 * slab_bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto at = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t base = (at + slab_bytes - 1) & ~(slab_bytes - 1);
    if (base > at) ::munmap(raw, base - at);
    if (const uintptr_t end = at + 2 * slab_bytes; end > base + slab_bytes)
        ::munmap(reinterpret_cast<void*>(base + slab_bytes), end - base - slab_bytes);
    // Huge pages would make a touched slot cost 2 MB and a given-back page split one.
    ::madvise(reinterpret_cast<void*>(base), slab_bytes, MADV_NOHUGEPAGE);
    auto* s = ::new (reinterpret_cast<void*>(base)) slab{}; // the mapping is zeroed anyway
    for (size_t k = header_slots; k < slab_slots; ++k)
        s->free_bits[k / 64] |= uint64_t{1} << (k % 64);
    s->free_count = usable_slots;
    s->page_use[0] = static_cast<uint16_t>(header_slots);
    s->set_touched(0, true);
    ++touched_pages;
    s->index = slabs.size();
    slabs.push_back(s);
    return s;
}

void chunk_pool::unmap_slab(slab* s) {
    const size_t i = s->index;
    for (size_t p = 0; p < slab_bytes / page_bytes; ++p)
        touched_pages -= s->is_touched(p);
    ::munmap(s->base(), slab_bytes);
    slabs.erase(slabs.begin() + static_cast<std::ptrdiff_t>(i));
    for (size_t k = i; k < slabs.size(); ++k)
        slabs[k]->index = k;
    // Every slab before the unmapped one is full: first_free still bounds the free ones.
    if (first_free > i) --first_free;
}

void chunk_pool::release_page(slab* s, size_t page) {
    if (!s->is_touched(page)) return;
    ::madvise(s->base() + page * page_bytes, page_bytes, MADV_DONTNEED);
    s->set_touched(page, false);
    --touched_pages;
}

size_t chunk_pool::excess_locked() const {
    return touched_pages * page_bytes - (in_use + slabs.size() * header_slots) * slot_bytes;
}

void* chunk_pool::take() {
    std::lock_guard l(m);
    while (first_free < slabs.size() && slabs[first_free]->free_count == 0)
        ++first_free;
    slab* const s = first_free < slabs.size() ? slabs[first_free] : map_slab();
    size_t w = 0;
    while (s->free_bits[w] == 0)
        ++w;
    const size_t k = w * 64 + static_cast<size_t>(std::countr_zero(s->free_bits[w]));
    s->free_bits[w] &= s->free_bits[w] - 1;
    --s->free_count;
    ++in_use;
    const size_t page = k * slot_bytes / page_bytes;
    if (s->page_use[page]++ == 0 && !s->is_touched(page)) {
        s->set_touched(page, true);
        ++touched_pages;
    }
    return s->base() + k * slot_bytes;
}

void chunk_pool::give_locked(void* slot) {
    auto* s = reinterpret_cast<slab*>(reinterpret_cast<uintptr_t>(slot) & ~(slab_bytes - 1));
    const auto k = static_cast<size_t>(static_cast<std::byte*>(slot) - s->base()) / slot_bytes;
    s->free_bits[k / 64] |= uint64_t{1} << (k % 64);
    ++s->free_count;
    --in_use;
    if (s->index < first_free) first_free = s->index;
    const size_t page = k * slot_bytes / page_bytes;
    if (--s->page_use[page] != 0) return;
    // Empty pages are kept while the free bytes in touched pages are within the slack (the
    // next takes reuse them without a fault); beyond it they go back. The empty pages kept
    // are themselves free bytes, so they never come to more than the slack.
    if (excess_locked() <= slack) return;
    if (s->free_count == usable_slots)
        unmap_slab(s);
    else
        release_page(s, page);
}

void chunk_pool::give(void* slot) noexcept {
    if (slot == nullptr) return;
    std::lock_guard l(m);
    give_locked(slot);
}

void chunk_pool::give(std::span<void* const> slots) noexcept {
    std::lock_guard l(m);
    for (void* p : slots)
        if (p != nullptr) give_locked(p);
}

chunk_pool::figures_t chunk_pool::figures() const {
    std::lock_guard l(m);
    return {in_use, touched_pages * page_bytes, slabs.size() * slab_bytes, slabs.size()};
}

} // namespace trs
