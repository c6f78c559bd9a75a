#include <gtest/gtest.h>

#include <malloc.h>
#include <unistd.h>

#include <fstream>

#include <cstring>

#include "api/api_handles.h"
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
