#pragma once

// The memory of the stores' chunks: slots of one size in anonymous mappings of the pool's own.
//
// Chunks are taken and let go by every store of the process, on whatever thread writes,
// spills or reads it. From the allocator, a chunk freed on another thread than the one that
// allocated it went back to that thread's arena, and every arena kept the most it had ever
// held: the process grew past what the stores counted, by an amount that depended on how the
// hand-over threads happened to interleave. The pool hands any free slot to any thread, the
// lowest first (so that free slots gather at the top of the mappings rather than spread
// over every page), and once more than `slack` bytes of the pages it holds are free it gives
// the pages without a slot in use back to the system (madvise(MADV_DONTNEED)) and unmaps the
// slabs without one. Its resident memory follows the slots in use, whatever the allocator
// does.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace trs {

class chunk_pool {
public:
    static constexpr size_t slot_bytes = 512;
    // One mapping, aligned to its size so that a slot finds its slab by its address.
    static constexpr size_t slab_bytes = size_t{1} << 20;

    // slack_bytes: the free bytes in touched pages kept for the next takes before pages go
    // back to the system.
    explicit chunk_pool(size_t slack_bytes = size_t{4} << 20);
    // Unmaps every slab: no slot may be in use any more.
    ~chunk_pool();
    chunk_pool(const chunk_pool&) = delete;
    chunk_pool& operator=(const chunk_pool&) = delete;

    // The pool of every store in the process (never destroyed, so that stores of static
    // objects may give their chunks back at exit).
    static chunk_pool& shared();

    // A slot of slot_bytes, aligned to them, its contents undefined; throws std::bad_alloc
    // when no mapping can be made.
    void* take();
    void give(void* slot) noexcept;
    // Several slots under one lock.
    void give(std::span<void* const> slots) noexcept;

    struct figures_t {
        size_t in_use = 0;  // slots taken and not given back
        size_t touched = 0; // bytes of the pages that may be resident: slab headers and
                            // pages with a slot taken since they were last given back
        size_t mapped = 0;  // bytes of the slabs mapped
        size_t slabs = 0;
    };
    figures_t figures() const;

private:
    struct slab;

    slab* map_slab();
    void unmap_slab(slab* s);
    void release_page(slab* s, size_t page);
    void give_locked(void* slot);
    size_t excess_locked() const;

    const size_t slack;
    const size_t page_bytes;
    mutable std::mutex m;
    std::vector<slab*> slabs; // in the order they were mapped: takes prefer the first ones
    size_t first_free = 0;    // no slab before this one has a free slot
    size_t in_use = 0;
    size_t touched_pages = 0;
};

} // namespace trs
