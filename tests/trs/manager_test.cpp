#include "trs/manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;

template <typename F> bool eventually(F cond) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

struct record {
    uint64_t levels;
    uint32_t delta_samples;
};

TEST(Manager, CountsPeriodAndIndices) {
    mox::semaphore gui;
    trs::manager man(18, gui);
    EXPECT_EQ(man.channels_count(), 18u);
    EXPECT_EQ(man.maximum_samples_count(), 0);
    EXPECT_EQ(man.available_samples_count(), 0);

    man.create_builder(3).append_idle(10, 0);
    man.create_builder(7).append_idle(20, 1);
    EXPECT_EQ(man.maximum_samples_count(), 20);
    EXPECT_EQ(man.available_samples_count(), 0); // the other channels cover nothing yet
    auto builders = man.create_builders();
    ASSERT_EQ(builders.size(), 18u);
    for (auto& b : builders)
        if (&b.get_store() != &man.create_builder(7).get_store()) b.append_idle(10, 0);
    EXPECT_EQ(man.available_samples_count(), 10);
    EXPECT_EQ(man.maximum_samples_count(), 20);

    auto its = man.create_iterators();
    ASSERT_EQ(its.size(), 18u);
    its[7].restart(0, 10.0, 0);
    EXPECT_EQ(its[7].next().pol, trs::value::rising);

    EXPECT_THROW(man.create_builder(18), std::out_of_range);
    EXPECT_THROW(man.create_iterator(18), std::out_of_range);
    EXPECT_THROW(man.clear(18), std::out_of_range);
    EXPECT_THROW(man.is_channel_uncaptured(18), std::out_of_range);

    man.set_channel_uncaptured(4, true);
    EXPECT_TRUE(man.is_channel_uncaptured(4));
    EXPECT_FALSE(man.is_channel_uncaptured(5));

    man.init(1e-9, trs::manager::all_channels);
    EXPECT_EQ(man.get_sampling_period(), 1e-9);
    EXPECT_EQ(man.maximum_samples_count(), 0);
    EXPECT_FALSE(man.is_channel_uncaptured(4));
    const uint64_t version = man.get_data_version();
    man.create_builder(1).append_idle(5, 0);
    for (double bad : {0.0, -1e-9, std::nan("")}) {
        try {
            man.init(bad, trs::manager::all_channels);
            FAIL() << "accepted " << bad;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "invalid sampling period");
        }
    }
    EXPECT_EQ(man.get_sampling_period(), 1e-9);
    EXPECT_EQ(man.maximum_samples_count(), 5);
    EXPECT_EQ(man.get_data_version(), version);
    man.modify_sampling_period(2e-9);
    EXPECT_EQ(man.get_sampling_period(), 2e-9);
}

TEST(Manager, ClearOneChannelWakesWaiters) {
    mox::semaphore gui;
    trs::manager man(36, gui);
    man.create_builder(5).append(100, 1);
    man.create_builder(6).append(200, 1);
    ASSERT_TRUE(man.wait_samples(10000));
    ASSERT_TRUE(gui.wait(10000));
    const uint64_t v = man.get_data_version();

    std::atomic<int> woken{0};
    std::thread waiter([&] { woken += man.wait_samples(10000) ? 1 : 0; });
    ASSERT_TRUE(eventually([&] { return man.samples_waiters() == 1; }));
    man.clear(5);
    waiter.join();
    EXPECT_EQ(woken, 1);
    EXPECT_EQ(man.get_data_version(), v + 1);
    EXPECT_EQ(man.create_iterator(5).last_idle().sample, 0);
    EXPECT_EQ(man.create_iterator(6).last_idle().sample, 200);
    EXPECT_TRUE(gui.wait(10000));
}

TEST(Manager, OneChangeReleasesEveryWaiterOnce) {
    mox::semaphore gui;
    trs::manager man(18, gui);
    std::atomic<int> woken{0};
    std::thread a([&] { woken += man.wait_samples(10000) ? 1 : 0; });
    std::thread b([&] { woken += man.wait_samples(10000) ? 1 : 0; });
    ASSERT_TRUE(eventually([&] { return man.samples_waiters() == 2; }));
    man.create_builder(0).append(50, 1);
    a.join();
    b.join();
    EXPECT_EQ(woken, 2);
    // Nothing changed since: a later waiter is not released by the past change.
    EXPECT_FALSE(man.wait_samples(400));
}

TEST(Manager, OutputSyncTrackerReadsBit18) {
    mox::semaphore gui;
    for (hw::ich ch : {18u, 36u, 54u}) {
        trs::manager man(ch, gui);
        EXPECT_EQ(man.oci_sync.oci_flag_trs_pos, 18);
        man.oci_sync.push(record{0x3FFFF, 10});          // channels only: no step
        man.oci_sync.push(record{1u << 18, 5});          // flag rises at 15
        man.oci_sync.push(record{(1u << 18) | 1u, 5});   // still high
        man.oci_sync.push(record{uint64_t{1} << 36, 7}); // bit 36 is not the flag: falls at 27
        const auto steps = man.oci_sync.get_steps();
        ASSERT_EQ(steps.size(), 2u);
        EXPECT_EQ(steps[0].abs_sample, 15);
        EXPECT_TRUE(steps[0].level);
        EXPECT_EQ(steps[1].abs_sample, 27);
        EXPECT_FALSE(steps[1].level);
        man.clear(3); // one channel leaves the tracker alone
        EXPECT_EQ(man.oci_sync.get_steps().size(), 2u);
        man.init(1e-8, trs::manager::all_channels);
        EXPECT_TRUE(man.oci_sync.get_steps().empty());
        EXPECT_EQ(man.oci_sync.get_global_time(), 0);
        EXPECT_FALSE(man.oci_sync.get_last_level());
    }
}

TEST(ManagerDeathTest, ChannelCountBounds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    mox::semaphore gui;
    EXPECT_DEATH(trs::manager(0, gui), "\\(ch_count > 0\\) && \\(ch_count < 256\\)");
    EXPECT_DEATH(trs::manager(256, gui), "\\(ch_count > 0\\) && \\(ch_count < 256\\)");
}

} // namespace
