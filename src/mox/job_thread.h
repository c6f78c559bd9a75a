#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace mox {

// One thread kept for the owner's life that runs the jobs posted to it, in order. Work that
// starts often and waits on nothing else starts at once on a thread already there: a new
// thread on a loaded machine waits for its first turn on a core, up to a scheduler slice,
// while a woken one is usually run at once. stop() drops the jobs not yet started, lets the
// one under way end and joins the thread; the destructor stops.
class job_thread {
public:
    job_thread() : th([this] { run(); }) {}
    ~job_thread() { stop(); }
    job_thread(const job_thread&) = delete;
    job_thread& operator=(const job_thread&) = delete;

    // Refused (false) once stopped.
    bool post(std::function<void()> job) {
        {
            std::lock_guard lk(m);
            if (stopping) return false;
            jobs.push_back(std::move(job));
        }
        cv.notify_one();
        return true;
    }

    void stop() {
        {
            std::lock_guard lk(m);
            stopping = true;
            jobs.clear();
        }
        cv.notify_one();
        if (th.joinable()) th.join();
    }

private:
    void run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lk(m);
                cv.wait(lk, [this] { return stopping || !jobs.empty(); });
                if (stopping) return;
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            job(); // the poster catches what its job may throw
        }
    }

    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> jobs;
    bool stopping = false;
    std::thread th; // last: started once the rest is built
};

} // namespace mox
