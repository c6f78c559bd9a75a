#include "api/live_handles.h"

#include <linux/membarrier.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "api/api_handles.h"

namespace api_utils {

namespace {

// Longer than any exported call takes (a reboot waits 5 s, an export of a full store a
// few seconds).
constexpr auto longest_call = std::chrono::seconds(60);

long membarrier(int cmd) {
    return syscall(__NR_membarrier, cmd, 0, 0);
}

} // namespace

live_handles& live_handles::instance() {
    // Never destroyed: the exit guard below and late kestrelapi_free calls still use it.
    static auto& l = *new live_handles;
    return l;
}

#if defined(__SANITIZE_THREAD__)
#define KESTREL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KESTREL_TSAN 1
#endif
#endif

namespace {

bool barrier_available() {
#ifdef KESTREL_TSAN
    // The thread sanitizer does not know the process-wide barrier: ordered operations,
    // which it follows, instead.
    return false;
#else
    return membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0;
#endif
}

} // namespace

live_handles::live_handles() : fence_each_lease(!barrier_available()) {
    // A forked child has none of the threads behind the handles it inherits: it must not
    // tear them down (their joins and waits would never end), nor use them.
    pthread_atfork([] { instance().before_fork(); }, [] { instance().after_fork(false); },
                   [] { instance().after_fork(true); });
}

void live_handles::before_fork() noexcept {
    add_m.lock();
    doomed_m.lock();
}

void live_handles::after_fork(bool child) noexcept {
    if (child) {
        // The handles belong to the parent. Only the forking thread exists here: every
        // other thread's record is free, and its announcements are gone with the thread.
        for (auto& s : slots)
            s.store(nullptr);
        used.store(0);
        // The barrier's registration is the parent's.
        if (!fence_each_lease) fence_each_lease = !barrier_available();
        doomed.clear();
        doomed_count.store(0);
        for (thread_record* r = threads.load(); r != nullptr; r = r->next.load()) {
            if (r == mine) continue;
            for (auto& a : r->announced)
                a.store(nullptr);
            r->depth = 0;
            r->borrowed = false;
            r->in_use.store(false);
        }
    }
    doomed_m.unlock();
    add_m.unlock();
}

// Trivial, so that they are reached cheaply and still readable after the owner is gone.
thread_local live_handles::thread_record* live_handles::mine = nullptr;
thread_local bool live_handles::owner_gone = false;

live_handles::thread_record& live_handles::my_record() {
    if (mine != nullptr) return *mine;
    // The owner, built once per thread, hands the record back when the thread ends. A call
    // made after that (from a destructor later in the thread's exit) must not use the
    // record: another thread may have claimed it. It borrows one for the call instead.
    struct owner {
        thread_record* r = nullptr;
        ~owner() {
            if (r == nullptr) return;
            owner_gone = true;
            // A lease still held (a call under way while the thread ends) hands the record
            // back when it is released.
            if (r->depth != 0) {
                r->borrowed = true;
                return;
            }
            mine = nullptr;
            r->in_use.store(false);
        }
    };
    thread_record* r = claim();
    r->depth = 0;
    r->borrowed = owner_gone;
    mine = r;
    if (owner_gone) return *r;
    static thread_local owner own;
    own.r = r;
    return *r;
}

live_handles::thread_record* live_handles::claim() {
    for (thread_record* r = threads.load(); r != nullptr; r = r->next.load()) {
        bool free_record = false;
        if (r->in_use.compare_exchange_strong(free_record, true)) return r;
    }
    auto* r = new thread_record;
    thread_record* head = threads.load();
    do
        r->next.store(head);
    while (!threads.compare_exchange_weak(head, r));
    return r;
}

bool live_handles::add(api_handles* h) {
    std::lock_guard lk(add_m);
    for (size_t i = 0; i < capacity; ++i) {
        if (slots[i].load() != nullptr) continue;
        slots[i].store(h);
        if (i >= used.load()) used.store(i + 1);
        return true;
    }
    return false;
}

live_handles::lease live_handles::acquire(const void* p) noexcept {
    if (p == nullptr) return {};
    thread_record& r = my_record();
    if (r.depth == max_depth) return {};
    // Announce, then look: a free that took p out of the table before the look is seen
    // by it; one after it sees the announcement (after its barrier) and waits.
    std::atomic<const void*>& a = r.announced[r.depth];
    if (fence_each_lease) {
        a.store(p); // ordered before the loads below without the barrier's help
    } else {
        a.store(p, std::memory_order_relaxed);
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    const size_t n = used.load(std::memory_order_acquire);
    for (size_t i = 0; i < n; ++i) {
        api_handles* h = slots[i].load();
        if (h != p) continue;
        ++r.depth;
        return {&r, h};
    }
    a.store(nullptr, std::memory_order_release);
    give_back_if_borrowed(r);
    return {};
}

bool live_handles::held_here(const void* p) noexcept {
    if (mine == nullptr) return false;
    for (size_t i = 0; i < mine->depth; ++i)
        if (mine->announced[i].load(std::memory_order_relaxed) == p) return true;
    return false;
}

void live_handles::give_back_if_borrowed(thread_record& r) noexcept {
    if (r.depth != 0 || !r.borrowed) return;
    r.borrowed = false;
    mine = nullptr;
    r.in_use.store(false);
}

void live_handles::lease::release() noexcept {
    if (h == nullptr) return;
    --r->depth;
    r->announced[r->depth].store(nullptr, std::memory_order_release);
    // A record borrowed for a call after the thread's owner was gone goes back with the
    // thread's last lease.
    give_back_if_borrowed(*r);
    h = nullptr;
    live_handles& l = instance();
    if (l.doomed_count.load(std::memory_order_relaxed) != 0) l.reclaim();
}

bool live_handles::announced_anywhere(const void* p) const noexcept {
    for (thread_record* r = threads.load(); r != nullptr; r = r->next.load())
        for (const auto& a : r->announced)
            if (a.load() == p) return true;
    return false;
}

void live_handles::publish_removal() const noexcept {
    // With ordered announcements the removal (an ordered exchange) needs nothing more.
    if (!fence_each_lease) membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED);
}

void live_handles::destroy(api_handles* h) noexcept {
    publish_removal();
    thread_record& me = my_record();
    const bool in_call = me.depth != 0;
    give_back_if_borrowed(me);
    // Other threads' calls each return within their own bounds; a free from inside a
    // call (a callback) cannot wait for its own call.
    if (!in_call) {
        const auto until = std::chrono::steady_clock::now() + longest_call;
        while (announced_anywhere(h) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (!announced_anywhere(h)) {
            delete h; // aborts its capture and joins its threads, each wait bounded
            return;
        }
    }
    {
        std::lock_guard lk(doomed_m);
        doomed.push_back(h);
        doomed_count.store(doomed.size());
    }
    reclaim();
}

void live_handles::reclaim() noexcept {
    std::vector<api_handles*> done;
    {
        std::lock_guard lk(doomed_m);
        for (auto it = doomed.begin(); it != doomed.end();) {
            if (announced_anywhere(*it)) {
                ++it;
                continue;
            }
            done.push_back(*it);
            it = doomed.erase(it);
        }
        doomed_count.store(doomed.size());
    }
    for (api_handles* h : done)
        delete h;
}

bool live_handles::free(const void* p) noexcept {
    if (p == nullptr) return false;
    const size_t n = used.load(std::memory_order_acquire);
    for (size_t i = 0; i < n; ++i) {
        api_handles* h = slots[i].load(std::memory_order_relaxed);
        if (h != p) continue;
        // One free wins; a second one finds the slot empty.
        if (!slots[i].compare_exchange_strong(h, nullptr)) return false;
        destroy(h);
        return true;
    }
    return false;
}

void live_handles::free_all() noexcept {
    const size_t n = used.load();
    for (size_t i = 0; i < n; ++i)
        if (api_handles* h = slots[i].exchange(nullptr)) destroy(h);
}

namespace {

// Built when the library is loaded, so destroyed as the process exits before the data
// that libraries loaded earlier (the USB stacks) and the library itself built at load.
struct exit_guard {
    ~exit_guard() { live_handles::instance().free_all(); }
} guard;

} // namespace

} // namespace api_utils
