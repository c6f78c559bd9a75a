#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <vector>

namespace api_utils {

class api_handles;

// The handles created and not yet freed. Every exported call looks its handle up here by
// address only (the memory behind an unknown pointer is never read) and holds a lease on
// it for the length of the call, so that a free from another thread waits for the calls
// in progress instead of deleting under them. A process that exits with a handle still
// open has it freed before the library's own data goes, so that no capture, close or
// update thread outlives what it uses; a handle freed twice is refused instead of deleted
// again.
//
// A lease costs a few nanoseconds: the calling thread announces the address in its own
// record (no locked instruction), then finds it in the table. A free takes the address out
// of the table, makes every thread's announcement visible with one process-wide barrier
// (membarrier; where the kernel has none, and under the thread sanitizer, each
// announcement is an ordered store instead), and waits until no thread announces it.
class live_handles {
    struct thread_record;

public:
    // More handles alive at once are refused (each owns threads and stores: far more than
    // any host program needs).
    static constexpr size_t capacity = 1024;
    // Leases one thread holds at once (a call inside a call: a callback, an exported
    // function using another); beyond it a lookup fails.
    static constexpr size_t max_depth = 16;

    static live_handles& instance();

    // Keeps a handle alive while it lives; empty when the pointer was not a live handle.
    // Released on the thread that took it.
    class lease {
    public:
        lease() = default;
        lease(const lease&) = delete;
        lease& operator=(const lease&) = delete;
        ~lease() { release(); }
        explicit operator bool() const { return h != nullptr; }
        api_handles& operator*() const { return *h; }

    private:
        friend class live_handles;
        lease(thread_record* r_, api_handles* h_) : r(r_), h(h_) {}
        void release() noexcept;
        thread_record* r = nullptr;
        api_handles* h = nullptr;
    };

    // False when the table is full.
    bool add(api_handles* h);
    // A lease on the handle at this address, or an empty one. Never dereferences p.
    lease acquire(const void* p) noexcept;
    // Takes the handle out of the table and deletes it once no call uses it: at once when
    // called outside any exported call (waiting for other threads' calls to return), else
    // (a free from inside a callback) when the last call using it returns. False when p
    // is not a live handle.
    bool free(const void* p) noexcept;
    // This thread is inside a call on the handle at p.
    static bool held_here(const void* p) noexcept;
    // Frees every handle still alive.
    void free_all() noexcept;

private:
    // One per thread that ever made a call; reused after the thread ends, never deleted.
    struct thread_record {
        std::atomic<thread_record*> next{nullptr};
        std::atomic<bool> in_use{true};
        std::array<std::atomic<const void*>, max_depth> announced{};
        size_t depth = 0;      // the owning thread's leases
        bool borrowed = false; // handed back with the last lease, not by the thread's end
    };

    live_handles();
    thread_record& my_record();
    thread_record* claim();
    static void give_back_if_borrowed(thread_record& r) noexcept;
    // This thread's record: its own while the thread lives, borrowed for one call after
    // the thread's record went back (in the thread's exit).
    static thread_local thread_record* mine;
    static thread_local bool owner_gone;
    bool announced_anywhere(const void* p) const noexcept;
    void publish_removal() const noexcept;
    void before_fork() noexcept;
    void after_fork(bool child) noexcept;
    void destroy(api_handles* h) noexcept;
    void reclaim() noexcept;

    // Ordered announcements, when the process-wide barrier is not available.
    bool fence_each_lease = false;
    std::mutex add_m;            // one add at a time picks a free slot
    std::atomic<size_t> used{0}; // slots [0, used) have ever held a handle
    std::array<std::atomic<api_handles*>, capacity> slots{};
    std::atomic<thread_record*> threads{nullptr};
    // Freed while announced by the freeing thread (or longer than any call takes): deleted
    // by the release that finds them no longer announced.
    std::atomic<size_t> doomed_count{0};
    std::mutex doomed_m;
    std::vector<api_handles*> doomed;
};

} // namespace api_utils
