#include <gtest/gtest.h>

#include <atomic>
#include <malloc.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include <cstring>
#include <thread>

#include "api/api_handles.h"
#include "api/live_handles.h"
#include "hw/exception.h"
#include "kestrelapi.h"

namespace {

api_utils::api_handles& internals(kestrelapi_handle h) {
    return *static_cast<api_utils::api_handles*>(h);
}

} // namespace

TEST(Handle, EveryModelGetsItsChannelCount) {
    const std::pair<kestrelapi_model_t, size_t> models[] = {
        {kestrel_one, 18}, {kestrel_two, 36}, {kestrel_three, 54}};
    for (auto [model, channels] : models) {
        kestrelapi_handle h = nullptr;
        ASSERT_EQ(kestrelapi_create_new_handle(&h, model), OHWAPI_OK);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(internals(h).caps.channels, channels);
        EXPECT_EQ(internals(h).trg_mode.load(), hw::trigger_mode_t::single);
        EXPECT_EQ(kestrelapi_get_last_error(h), OHWAPI_OK);
        EXPECT_EQ(kestrelapi_free(h), OHWAPI_OK);
    }
}

TEST(Handle, BadArgumentsAreRefusedWithoutSideEffects) {
    auto* sentinel = reinterpret_cast<kestrelapi_handle>(0x1234);
    kestrelapi_handle h = sentinel;
    for (int model : {0, 600, 604, 110, 601 + 65536, -1}) {
        kestrelapi_model_t as_passed_by_c; // any int, as a C caller may pass it
        std::memcpy(&as_passed_by_c, &model, sizeof model);
        EXPECT_EQ(kestrelapi_create_new_handle(&h, as_passed_by_c), OHWAPI_INVALID_ARGUMENT)
            << model;
        EXPECT_EQ(h, sentinel);
    }
    EXPECT_EQ(kestrelapi_create_new_handle(nullptr, kestrel_one), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_free(nullptr), OHWAPI_OK);
}

TEST(Handle, StoredFailureIsReportedUntilCleared) {
    kestrelapi_handle h = nullptr;
    ASSERT_EQ(kestrelapi_create_new_handle(&h, kestrel_two), OHWAPI_OK);
    auto& failure = internals(h).device;
    try {
        throw hw::exception(hw::error::busy);
    } catch (...) {
        failure.capture_exception();
    }
    // Reading the last error does not clear it.
    EXPECT_EQ(kestrelapi_get_last_error(h), OHWAPI_BUSY);
    EXPECT_EQ(kestrelapi_get_last_error(h), OHWAPI_BUSY);
    failure.reset_exception();
    EXPECT_EQ(kestrelapi_get_last_error(h), OHWAPI_OK);
    EXPECT_EQ(kestrelapi_free(h), OHWAPI_OK);
}

namespace {

// Every exported function that takes a handle, called with that handle and harmless
// arguments (valid pointers, channel 0).
struct handle_call {
    const char* name;
    ohwapi_err_code_t (*call)(kestrelapi_handle);
};

bool flag;
uint8_t byte;
uint16_t count;
int64_t samples[2];
uint64_t position;
kestrelapi_trs_t transition;
device_descriptor_t descriptor;
char file_name[] = "/nonexistent/image.bin";
char serial[] = "KESTREL-1";

kestrelapi_settings_t zero_settings() {
    kestrelapi_settings_t s;
    std::memset(&s, 0, sizeof s);
    return s;
}

const handle_call every_call[] = {
    {"get_last_error", [](kestrelapi_handle h) { return kestrelapi_get_last_error(h); }},
    {"create_device_list", [](kestrelapi_handle h) { return kestrelapi_create_device_list(h); }},
    {"free_device_list", [](kestrelapi_handle h) { return kestrelapi_free_device_list(h); }},
    {"get_devices_count",
     [](kestrelapi_handle h) { return kestrelapi_get_devices_count(h, &count); }},
    {"get_device_descriptor",
     [](kestrelapi_handle h) { return kestrelapi_get_device_descriptor(h, 0, &descriptor); }},
    {"device_open",
     [](kestrelapi_handle h) {
         return kestrelapi_device_open(h, {serial, serial});
     }},
    {"device_open_first", [](kestrelapi_handle h) { return kestrelapi_device_open_first(h); }},
    {"device_close", [](kestrelapi_handle h) { return kestrelapi_device_close(h); }},
    {"get_device_open_flag",
     [](kestrelapi_handle h) { return kestrelapi_get_device_open_flag(h, &flag); }},
    {"get_ready_flag", [](kestrelapi_handle h) { return kestrelapi_get_ready_flag(h, &flag); }},
    {"get_mcu_version_major",
     [](kestrelapi_handle h) { return kestrelapi_get_mcu_version_major(h, &byte); }},
    {"get_mcu_version_minor",
     [](kestrelapi_handle h) { return kestrelapi_get_mcu_version_minor(h, &byte); }},
    {"get_fpga_version_major",
     [](kestrelapi_handle h) { return kestrelapi_get_fpga_version_major(h, &byte); }},
    {"get_fpga_version_minor",
     [](kestrelapi_handle h) { return kestrelapi_get_fpga_version_minor(h, &byte); }},
    {"launch_new_capture_simple_trigger",
     [](kestrelapi_handle h) {
         const kestrelapi_trigger_description_t none{KESTRELAPI_TRG_NOTRIG, 0};
         return kestrelapi_launch_new_capture_simple_trigger(h, none, none, zero_settings());
     }},
    {"launch_new_capture_complex_trigger",
     [](kestrelapi_handle h) {
         return kestrelapi_launch_new_capture_complex_trigger(h, zero_settings());
     }},
    {"request_abort", [](kestrelapi_handle h) { return kestrelapi_request_abort(h); }},
    {"get_config_done_flag",
     [](kestrelapi_handle h) { return kestrelapi_get_config_done_flag(h, &flag); }},
    {"get_triggered_flag",
     [](kestrelapi_handle h) { return kestrelapi_get_triggered_flag(h, &flag); }},
    {"get_capture_done_flag",
     [](kestrelapi_handle h) { return kestrelapi_get_capture_done_flag(h, &flag); }},
    {"get_available_samples",
     [](kestrelapi_handle h) {
         return kestrelapi_get_available_samples(h, &samples[0], &samples[1]);
     }},
    {"get_trigger_position",
     [](kestrelapi_handle h) { return kestrelapi_get_trigger_position(h, &position); }},
    {"trs_reset", [](kestrelapi_handle h) { return kestrelapi_trs_reset(h, 0); }},
    {"trs_before", [](kestrelapi_handle h) { return kestrelapi_trs_before(h, 0, 10); }},
    {"trs_get_next",
     [](kestrelapi_handle h) { return kestrelapi_trs_get_next(h, 0, &transition); }},
    {"trs_get_previous",
     [](kestrelapi_handle h) { return kestrelapi_trs_get_previous(h, 0, &transition); }},
    {"trs_is_not_last",
     [](kestrelapi_handle h) { return kestrelapi_trs_is_not_last(h, 0, &flag); }},
    {"export_vcd",
     [](kestrelapi_handle h) { return kestrelapi_export_vcd(h, "/tmp/x.vcd", 0, 0); }},
    {"export_sr", [](kestrelapi_handle h) { return kestrelapi_export_sr(h, "/tmp/x.sr", 0, 0); }},
    {"export_csv",
     [](kestrelapi_handle h) { return kestrelapi_export_csv(h, "/tmp/x.csv", 0, 0); }},
    {"set_channel_name",
     [](kestrelapi_handle h) { return kestrelapi_set_channel_name(h, 0, "a"); }},
    {"check_fw_update_needed",
     [](kestrelapi_handle h) {
         return kestrelapi_check_fw_update_needed(h, &flag, file_name, sizeof file_name - 1,
                                                  file_name, sizeof file_name - 1, file_name,
                                                  sizeof file_name - 1);
     }},
    {"launch_fw_update",
     [](kestrelapi_handle h) {
         return kestrelapi_launch_fw_update(h, false, file_name, sizeof file_name - 1, file_name,
                                            sizeof file_name - 1, file_name, sizeof file_name - 1);
     }},
    {"get_firmware_update_progress",
     [](kestrelapi_handle h) { return kestrelapi_get_firmware_update_progress(h, &byte); }},
    {"get_firmware_update_done_flag",
     [](kestrelapi_handle h) { return kestrelapi_get_firmware_update_done_flag(h, &flag); }},
    {"change_sn",
     [](kestrelapi_handle h) { return kestrelapi_change_sn(h, serial, sizeof serial - 1); }},
    {"reboot_and_close", [](kestrelapi_handle h) { return kestrelapi_reboot_and_close(h); }},
};

} // namespace

TEST(Handle, EveryFunctionRefusesAHandleThatIsNotLive) {
    kestrelapi_handle freed = nullptr;
    ASSERT_EQ(kestrelapi_create_new_handle(&freed, kestrel_one), OHWAPI_OK);
    ASSERT_EQ(kestrelapi_free(freed), OHWAPI_OK);
    // Never created: a pointer to bytes that look like nothing, and one to unmapped memory
    // (a check that read through the handle would crash on it).
    alignas(64) static char garbage[4096];
    std::memset(garbage, 0xA5, sizeof garbage);
    const kestrelapi_handle invalid[] = {nullptr, freed, garbage,
                                         reinterpret_cast<kestrelapi_handle>(0x10)};
    for (const auto& c : every_call)
        for (kestrelapi_handle h : invalid)
            EXPECT_EQ(c.call(h), OHWAPI_INVALID_ARGUMENT) << c.name << " " << h;
    EXPECT_EQ(kestrelapi_free(garbage), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_free(freed), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_free(nullptr), OHWAPI_OK);
}

TEST(Handle, NullOutputsAndIndicesBeyondTheModelAreRefused) {
    kestrelapi_handle h = nullptr;
    ASSERT_EQ(kestrelapi_create_new_handle(&h, kestrel_one), OHWAPI_OK);
    const std::pair<const char*, ohwapi_err_code_t> refused[] = {
        {"devices_count", kestrelapi_get_devices_count(h, nullptr)},
        {"descriptor", kestrelapi_get_device_descriptor(h, 0, nullptr)},
        {"descriptor beyond the list", kestrelapi_get_device_descriptor(h, 0, &descriptor)},
        {"device_open", kestrelapi_device_open(h, {nullptr, nullptr})},
        {"open_flag", kestrelapi_get_device_open_flag(h, nullptr)},
        {"ready_flag", kestrelapi_get_ready_flag(h, nullptr)},
        {"mcu_major", kestrelapi_get_mcu_version_major(h, nullptr)},
        {"mcu_minor", kestrelapi_get_mcu_version_minor(h, nullptr)},
        {"fpga_major", kestrelapi_get_fpga_version_major(h, nullptr)},
        {"fpga_minor", kestrelapi_get_fpga_version_minor(h, nullptr)},
        {"config_done", kestrelapi_get_config_done_flag(h, nullptr)},
        {"triggered", kestrelapi_get_triggered_flag(h, nullptr)},
        {"capture_done", kestrelapi_get_capture_done_flag(h, nullptr)},
        {"samples, both", kestrelapi_get_available_samples(h, nullptr, nullptr)},
        {"samples, post", kestrelapi_get_available_samples(h, &samples[0], nullptr)},
        {"samples, total", kestrelapi_get_available_samples(h, nullptr, &samples[1])},
        {"trigger_position", kestrelapi_get_trigger_position(h, nullptr)},
        {"trs_get_next", kestrelapi_trs_get_next(h, 0, nullptr)},
        {"trs_get_previous", kestrelapi_trs_get_previous(h, 0, nullptr)},
        {"trs_is_not_last", kestrelapi_trs_is_not_last(h, 0, nullptr)},
        {"trs_reset beyond", kestrelapi_trs_reset(h, 18)},
        {"trs_before beyond", kestrelapi_trs_before(h, 255, 0)},
        {"trs_get_next beyond", kestrelapi_trs_get_next(h, 18, &transition)},
        {"trs_get_previous beyond", kestrelapi_trs_get_previous(h, 200, &transition)},
        {"trs_is_not_last beyond", kestrelapi_trs_is_not_last(h, 54, &flag)},
        {"progress", kestrelapi_get_firmware_update_progress(h, nullptr)},
        {"update_done", kestrelapi_get_firmware_update_done_flag(h, nullptr)},
        {"update_needed",
         kestrelapi_check_fw_update_needed(h, nullptr, nullptr, 0, nullptr, 0, nullptr, 0)},
    };
    for (const auto& [name, rc] : refused)
        EXPECT_EQ(rc, OHWAPI_INVALID_ARGUMENT) << name;
    // The handle is still whole.
    EXPECT_EQ(kestrelapi_get_ready_flag(h, &flag), OHWAPI_OK);
    EXPECT_EQ(kestrelapi_trs_reset(h, 17), OHWAPI_OK);
    EXPECT_EQ(kestrelapi_free(h), OHWAPI_OK);
}

TEST(Handle, FreeWaitsForTheCallsInProgressOnOtherThreads) {
    // Calls on one thread, frees on another: each call either sees the handle live and
    // completes on it, or is refused; none reads a deleted handle (ASan, TSan).
    for (int round = 0; round < 3; ++round) {
        kestrelapi_handle h = nullptr;
        ASSERT_EQ(kestrelapi_create_new_handle(&h, kestrel_two), OHWAPI_OK);
        std::atomic<bool> started{false};
        std::thread caller([&] {
            int64_t total = 0, post = 0;
            for (int i = 0; i < 2000; ++i) {
                const auto rc = kestrelapi_get_available_samples(h, &total, &post);
                started = true;
                if (rc == OHWAPI_INVALID_ARGUMENT) break;
                EXPECT_EQ(rc, OHWAPI_OK);
            }
        });
        while (!started)
            std::this_thread::yield();
        EXPECT_EQ(kestrelapi_free(h), OHWAPI_OK);
        caller.join();
    }
}

// A call made while its thread ends, from the destructor of a thread_local object built
// before the thread's first call (so destroyed after the library's own thread data): its
// lease stays its own although another thread starts calling meanwhile, and a free from a
// third thread waits for it.
TEST(Handle, ACallInAThreadsExitKeepsItsLeaseAgainstOtherThreads) {
    kestrelapi_handle h = nullptr, other = nullptr;
    ASSERT_EQ(kestrelapi_create_new_handle(&h, kestrel_one), OHWAPI_OK);
    ASSERT_EQ(kestrelapi_create_new_handle(&other, kestrel_one), OHWAPI_OK);
    std::atomic<bool> in_late_call{false}, release{false}, freed{false}, free_was_early{false};
    struct at_thread_exit {
        std::function<void()> fn;
        ~at_thread_exit() {
            if (fn) fn();
        }
    };
    std::thread ending([&] {
        static thread_local at_thread_exit late;
        late.fn = [&] {
            const auto lease = api_utils::live_handles::instance().acquire(h);
            ASSERT_TRUE(lease);
            in_late_call = true;
            for (int i = 0; i < 5000 && !release; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            free_was_early = freed.load();
            EXPECT_EQ((*lease).caps.channels, 18u);
        };
        bool f = false;
        EXPECT_EQ(kestrelapi_get_ready_flag(h, &f), OHWAPI_OK); // the thread's first call
    });
    for (int i = 0; i < 10000 && !in_late_call; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(in_late_call);
    // A thread's first calls, while the ending thread's call runs.
    std::thread newcomer([&] {
        bool f = false;
        for (int i = 0; i < 100; ++i)
            EXPECT_EQ(kestrelapi_get_ready_flag(other, &f), OHWAPI_OK);
    });
    newcomer.join();
    std::thread freer([&] {
        EXPECT_EQ(kestrelapi_free(h), OHWAPI_OK);
        freed = true;
    });
    // A free that does not wait for the late call returns well within this.
    for (int i = 0; i < 300 && !freed; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    release = true;
    ending.join();
    freer.join();
    EXPECT_FALSE(free_was_early);
    EXPECT_EQ(kestrelapi_free(other), OHWAPI_OK);
}

TEST(Handle, FreeFromInsideACallDeletesWhenTheCallReturns) {
    // As a callback run inside an exported call would: the freeing thread holds a lease.
    kestrelapi_handle h = nullptr;
    ASSERT_EQ(kestrelapi_create_new_handle(&h, kestrel_one), OHWAPI_OK);
    {
        const auto lease = api_utils::live_handles::instance().acquire(h);
        ASSERT_TRUE(lease);
        EXPECT_EQ(kestrelapi_free(h), OHWAPI_OK); // returns without waiting for itself
        EXPECT_EQ(kestrelapi_get_ready_flag(h, &flag), OHWAPI_INVALID_ARGUMENT);
        EXPECT_EQ((*lease).caps.channels, 18u); // still whole while the call runs
    }                                           // deleted here (ASan reports a leak otherwise)
    EXPECT_EQ(kestrelapi_free(h), OHWAPI_INVALID_ARGUMENT);
}

namespace {

long resident_kb() {
    std::ifstream f("/proc/self/statm");
    long pages = 0, resident = 0;
    f >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

} // namespace

// A handle holds its stores, threads and the capture tool, but no capture memory: the
// pre-trigger history and the bridges' buffers come with a capture and an open device.
TEST(Handle, CreationCommitsAtMostSixteenMegabytes) {
    for (kestrelapi_model_t m : {kestrel_one, kestrel_two, kestrel_three}) {
        malloc_trim(0);
        const long before = resident_kb();
        kestrelapi_handle h = nullptr;
        ASSERT_EQ(kestrelapi_create_new_handle(&h, m), OHWAPI_OK);
        const long added = resident_kb() - before;
        EXPECT_LT(added, 16 * 1024) << "model " << m << ": " << added << " kB";
        EXPECT_EQ(kestrelapi_free(h), OHWAPI_OK);
    }
}
