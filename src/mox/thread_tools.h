#pragma once
#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace mox {

// Runs background work on threads of its own and joins every one of them on
// destruction, so that no thread outlives the objects its work refers to. Finished
// threads are reaped whenever new work starts.
class thread_tools {
public:
    thread_tools() = default;
    thread_tools(const thread_tools&) = delete;
    thread_tools& operator=(const thread_tools&) = delete;
    ~thread_tools() { join_all(); }

    void launch(std::function<void()> work) {
        std::lock_guard lock(m);
        reap();
        auto w = std::make_unique<worker>();
        worker* raw = w.get();
        raw->th = std::thread([raw, work = std::move(work)] {
            work();
            raw->finished = true;
        });
        workers.push_back(std::move(w));
    }

    void join_all() {
        std::list<std::unique_ptr<worker>> all;
        {
            std::lock_guard lock(m);
            all.swap(workers);
        }
        for (auto& w : all)
            if (w->th.joinable()) w->th.join();
    }

    size_t running() {
        std::lock_guard lock(m);
        reap();
        return workers.size();
    }

private:
    struct worker {
        std::thread th;
        std::atomic<bool> finished{false};
    };

    void reap() {
        for (auto it = workers.begin(); it != workers.end();) {
            if ((*it)->finished) {
                (*it)->th.join();
                it = workers.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::mutex m;
    std::list<std::unique_ptr<worker>> workers;
};

} // namespace mox
