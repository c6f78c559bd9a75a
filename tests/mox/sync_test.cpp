#include "mox/check.h"
#include "mox/elapsed_timer.h"
#include "mox/event_value.h"
#include "mox/job_thread.h"
#include "mox/multithread_semaphore.h"
#include "mox/mutex.h"
#include "mox/semaphore.h"
#include "mox/smartflag.h"
#include "mox/thread_exception.h"
#include "mox/timeout.h"
#include "mox/unique_list.h"
#include "mox/version.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Polls cond for up to 10 s; the bound only guards against a hung test.
template <typename F> bool eventually(F cond) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(Timeout, FiniteAndInfinite) {
    mox::timeout inf;
    EXPECT_TRUE(inf.is_infinite());
    EXPECT_EQ(inf.timeout_ms, 4294967295u);
    mox::timeout t(500);
    EXPECT_FALSE(t.is_infinite());
    EXPECT_EQ(t.get(), 500ms);
    mox::timeout zero = 0;
    EXPECT_FALSE(zero.is_infinite());
}

TEST(Semaphore, CountingAndPolling) {
    mox::semaphore flag(1, 0);
    flag.notify();
    flag.notify();
    EXPECT_TRUE(flag.give());
    EXPECT_TRUE(flag.take(mox::timeout(0)));
    EXPECT_FALSE(flag.take(mox::timeout(0)));

    mox::semaphore five(5, 0);
    five.notify_all();
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(five.take(0)) << i;
    EXPECT_FALSE(five.take(0));

    five.reset(2);
    EXPECT_TRUE(five.wait(0));
    EXPECT_TRUE(five.wait(0));
    EXPECT_FALSE(five.wait(0));

    mox::semaphore initially_full(3, 3);
    initially_full.reset(0);
    EXPECT_FALSE(initially_full.take(0));
}

TEST(Semaphore, FiniteTakeTimesOutWithoutSignal) {
    mox::semaphore s(1, 0);
    mox::elapsed_timer t;
    EXPECT_FALSE(s.take(mox::timeout(50)));
    EXPECT_GE(t.elapsed_ms(), 49u);
}

TEST(Semaphore, WaitersWakeOnNotifyFromAnotherThread) {
    mox::semaphore s(1, 0);
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        s.take();
        returned = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned);
    s.notify();
    waiter.join();
    EXPECT_TRUE(returned);
    EXPECT_FALSE(s.take(0)) << "the waiter consumed the only count";

    std::thread notifier([&] {
        std::this_thread::sleep_for(20ms);
        s.give();
    });
    EXPECT_TRUE(s.take(mox::timeout(10000)));
    notifier.join();
}

TEST(EventValue, SetResetAndWait) {
    mox::event_value<uint8_t> ev(0);
    ev.set(3);
    EXPECT_EQ(ev.get(), 3);
    ev.reset(0);
    EXPECT_EQ(ev.get(), 0);
    EXPECT_FALSE(ev.wait(mox::timeout(0)));

    ev.set(7);
    ev.set(9);
    uint8_t out = 0;
    EXPECT_TRUE(ev.wait(out, mox::timeout(0)));
    EXPECT_EQ(out, 9);
    out = 0;
    EXPECT_FALSE(ev.wait(out, mox::timeout(0)));
    EXPECT_EQ(out, 0) << "a failed wait leaves the output alone";

    mox::event_value<uint32_t> remote(0);
    std::thread setter([&] { remote.set(0xDEADBEEF); });
    uint32_t got = 0;
    EXPECT_TRUE(remote.wait(got, mox::timeout(10000)));
    EXPECT_EQ(got, 0xDEADBEEFu);
    setter.join();
}

TEST(MultithreadSemaphore, ReleasesEveryCurrentWaiterOnce) {
    mox::multithread_semaphore ms;
    EXPECT_FALSE(ms.wait(mox::timeout(20)));

    constexpr int n = 3;
    std::atomic<int> passed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back([&] {
            if (ms.wait(mox::timeout(10000))) ++passed;
        });
    ASSERT_TRUE(eventually([&] { return ms.waiters() == n; }));
    ms.notify_all_waiters();
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(passed, n);
    EXPECT_EQ(ms.waiters(), 0);

    // The release is not carried over to threads that arrive afterwards.
    EXPECT_FALSE(ms.wait(mox::timeout(20)));

    // An infinite waiter is released the same way.
    std::thread inf([&] { ms.wait(); });
    ASSERT_TRUE(eventually([&] { return ms.waiters() == 1; }));
    ms.notify_all_waiters();
    inf.join();
}

TEST(MultithreadSemaphore, LateArrivalDoesNotStealAPass) {
    mox::multithread_semaphore ms;
    std::atomic<bool> first_passed{false};
    std::thread first([&] { first_passed = ms.wait(mox::timeout(10000)); });
    ASSERT_TRUE(eventually([&] { return ms.waiters() == 1; }));
    ms.notify_all_waiters();
    // A thread arriving right after the release must not pass on it.
    EXPECT_FALSE(ms.wait(mox::timeout(20)));
    first.join();
    EXPECT_TRUE(first_passed);
}

TEST(ThreadException, StoresUntilReset) {
    struct holder : mox::thread_exception {};
    holder h;
    EXPECT_NO_THROW(h.raise_exception());
    EXPECT_FALSE(h.has_exception());

    std::thread worker([&] {
        try {
            throw std::runtime_error("worker failed");
        } catch (...) {
            h.capture_exception();
        }
    });
    worker.join();
    for (int i = 0; i < 2; ++i) {
        try {
            h.raise_exception();
            ADD_FAILURE() << "nothing thrown";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "worker failed");
        }
    }
    EXPECT_TRUE(h.has_exception());
    h.reset_exception();
    EXPECT_NO_THROW(h.raise_exception());
}

TEST(Smartflag, TrueWhileScopeRunsAlsoOnException) {
    std::atomic<bool> running{false};
    {
        mox::smartflag f(running);
        EXPECT_TRUE(running);
    }
    EXPECT_FALSE(running);
    try {
        mox::smartflag f(running);
        EXPECT_TRUE(running);
        throw std::runtime_error("leave");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(running);
}

TEST(UniqueList, RefusesDuplicates) {
    mox::unique_list<std::string> l;
    EXPECT_TRUE(l.empty());
    EXPECT_TRUE(l.push_unique("a"));
    EXPECT_TRUE(l.push_unique("b"));
    EXPECT_FALSE(l.push_unique("a"));
    EXPECT_TRUE(l.exists("b"));
    EXPECT_FALSE(l.check_if_exists("c"));
    EXPECT_EQ(l.get(), (std::vector<std::string>{"a", "b"}));
    l.remove_unique("a");
    l.remove_unique("absent");
    EXPECT_EQ(l.get(), (std::vector<std::string>{"b"}));
    l.clear();
    EXPECT_TRUE(l.empty());

    mox::unique_list<uint64_t> shared;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            for (uint64_t i = 0; i < 500; ++i)
                shared.push_unique(i);
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(shared.get().size(), 500u);
}

TEST(Mutex, ScopeGuardHoldsTheTimedMutex) {
    mox::mutex m;
    auto try_elsewhere = [&] {
        return std::async(std::launch::async,
                          [&] {
                              const bool got = m.osmutex.try_lock_for(10ms);
                              if (got) m.unlock();
                              return got;
                          })
            .get();
    };
    {
        mox::mutex_lock lk(m);
        EXPECT_FALSE(try_elsewhere());
    }
    EXPECT_TRUE(try_elsewhere());
}

TEST(Version, AssignmentAndOrder) {
    mox::version<uint16_t> a(1, 2, 3);
    mox::version<uint16_t> b;
    EXPECT_EQ(b.M, 0);
    b = a;
    EXPECT_EQ(b.M, 1);
    EXPECT_EQ(b.m, 2);
    EXPECT_EQ(b.p, 3);
    EXPECT_TRUE(a == b);
    b.set(1, 10, 0);
    EXPECT_TRUE(a < b);
}

TEST(ElapsedTimer, CountsWholeMilliseconds) {
    mox::elapsed_timer t;
    mox::wait_ms(mox::timeout(20));
    EXPECT_GE(t.elapsed_ms(), 20u);
    t.restart();
    EXPECT_LT(t.elapsed_ms(), 10000u);
}

TEST(CheckDeathTest, AssertionNamesTheCondition) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int n_channels = 19;
    EXPECT_DEATH(MOX_ASSERT((n_channels % 18) == 0),
                 "sync_test.cpp:[0-9]+: assertion failed: \\(n_channels % 18\\) == 0");
    MOX_ASSERT(n_channels == 19);
}

// Jobs run in order on one thread kept from one job to the next; a stop lets the job under
// way end, drops the ones waiting and refuses new ones.
TEST(JobThread, RunsJobsInOrderOnOneThreadAndStopDropsTheRest) {
    mox::job_thread jobs;
    std::mutex m;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(jobs.post([&, i] {
            std::lock_guard lk(m);
            order.push_back(i);
            threads.push_back(std::this_thread::get_id());
        }));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lk(m);
        return order.size() == 5;
    }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    for (const auto& t : threads) {
        EXPECT_EQ(t, threads.front());
        EXPECT_NE(t, std::this_thread::get_id());
    }

    // One job holds the thread while two more wait; the stop keeps them from running.
    std::promise<void> release;
    std::atomic<bool> running{false}, later{false};
    ASSERT_TRUE(jobs.post([&] {
        running = true;
        release.get_future().wait();
    }));
    ASSERT_TRUE(jobs.post([&] { later = true; }));
    ASSERT_TRUE(jobs.post([&] { later = true; }));
    ASSERT_TRUE(eventually([&] { return running.load(); }));
    auto stopped = std::async(std::launch::async, [&] { jobs.stop(); });
    ASSERT_TRUE(eventually([&] { return !jobs.post([] {}); })); // the stop has begun
    release.set_value();
    stopped.get();
    EXPECT_FALSE(later);
    EXPECT_FALSE(jobs.post([&] { later = true; }));
    jobs.stop(); // a second stop is harmless
}

} // namespace
