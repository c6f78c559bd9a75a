#pragma once

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace mox {

// A plain fixed-size pool of worker threads. The destructor runs every queued task, then
// joins the threads.
class worker_pool {
public:
    // 0 threads: as many as the machine has cores, at least one.
    explicit worker_pool(unsigned threads = 0) {
        if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
        workers.reserve(threads);
        for (unsigned i = 0; i < threads; ++i)
            workers.emplace_back([this] { run(); });
    }
    ~worker_pool() {
        {
            std::lock_guard lk(m);
            stopping = true;
        }
        cv.notify_all();
        for (auto& t : workers)
            t.join();
    }
    worker_pool(const worker_pool&) = delete;
    worker_pool& operator=(const worker_pool&) = delete;

    template <typename F> std::future<void> submit(F&& task) {
        auto job = std::make_shared<std::packaged_task<void()>>(std::forward<F>(task));
        std::future<void> done = job->get_future();
        {
            std::lock_guard lk(m);
            queue.emplace_back([job] { (*job)(); });
        }
        cv.notify_one();
        return done;
    }

    size_t size() const { return workers.size(); }

private:
    void run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lk(m);
                cv.wait(lk, [this] { return stopping || !queue.empty(); });
                if (queue.empty()) return;
                job = std::move(queue.front());
                queue.pop_front();
            }
            job(); // a packaged task keeps its exception for the future
        }
    }

    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> queue;
    bool stopping = false;
    std::vector<std::thread> workers;
};

} // namespace mox
