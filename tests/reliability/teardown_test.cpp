// Freeing a handle while its work runs, leaving the process with a handle open, and
// devices unplugged while they stream, open or update: each ends with the call returning,
// the error stored, every thread joined, and the device usable after re-plugging.
#include <kestrel_sim/acquisition.h>
#include <kestrel_sim/files.h>

#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <spawn.h>
#include <sys/wait.h>

#include "../core/api_fixture.h"

extern char** environ;

namespace {

using namespace core_test;

const std::string sn = "7302101000001";

size_t threads_now() {
    size_t n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

std::string thread_names() {
    std::string out;
    if (DIR* d = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(d))
            if (e->d_name[0] != '.') {
                std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/comm");
                std::string name;
                std::getline(f, name);
                out += name + " ";
            }
        closedir(d);
    }
    return out;
}

kestrelapi_settings_t settings(int64_t depth) {
    return default_settings(depth);
}

bool get(kestrelapi_handle h, ohwapi_err_code_t (*getter)(kestrelapi_handle, bool*)) {
    bool f = false;
    EXPECT_EQ(getter(h, &f), OHWAPI_OK);
    return f;
}

bool usb_error(int code) {
    return (code >= 1901 && code < 2000) || (code > 3000 && code <= 3032);
}

class reliability : public on_bus {
protected:
    void SetUp() override {
        on_bus::SetUp();
        bus::instance().plug(sn);
        static bool warmed_up = false;
        if (!warmed_up) {
            // The virtual bus starts its own threads on first use; they stay.
            kestrelapi_handle w = nullptr;
            ASSERT_EQ(kestrelapi_create_new_handle(&w, kestrel_one), OHWAPI_OK);
            static_cast<api_utils::api_handles*>(w)->log_fn = [](const std::string&) {};
            ASSERT_EQ(kestrelapi_device_open_first(w), OHWAPI_OK);
            ASSERT_EQ(kestrelapi_free(w), OHWAPI_OK);
            warmed_up = true;
        }
        threads0 = threads_now();
        ASSERT_EQ(kestrelapi_create_new_handle(&h, kestrel_one), OHWAPI_OK);
        ASSERT_EQ(kestrelapi_device_open_first(h), OHWAPI_OK);
        dir =
            std::filesystem::temp_directory_path() / ("kestrel_rel_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        if (h) {
            EXPECT_EQ(kestrelapi_free(h), OHWAPI_OK);
        }
        std::filesystem::remove_all(dir);
        on_bus::TearDown();
    }
    // Frees the handle on another thread; true when the call returned within the bound.
    bool free_returns() {
        auto done = std::async(std::launch::async, [this] { return kestrelapi_free(h); });
        const bool returned = done.wait_for(60s) == std::future_status::ready;
        EXPECT_TRUE(returned) << "kestrelapi_free hangs";
        if (!returned) std::abort(); // the handle's threads are still in use
        EXPECT_EQ(done.get(), OHWAPI_OK);
        h = nullptr;
        return returned;
    }
    // The virtual device's own threads end with its unplug.
    void expect_threads_joined() {
        bus::instance().reset();
        bus::instance().unplug_all();
        EXPECT_TRUE(eventually([&] { return threads_now() <= threads0; }, 10s))
            << threads0 << " threads before, " << threads_now() << " now: " << thread_names();
    }
    void launch_waiting_capture() {
        bus::instance().firmware(sn)->acq().never_trigger(true);
        ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(h, trig(KESTRELAPI_TRG_RISING, 2),
                                                               trig(KESTRELAPI_TRG_NOTRIG, 0),
                                                               settings(20000)),
                  OHWAPI_OK);
        ASSERT_TRUE(eventually([&] { return get(h, kestrelapi_get_config_done_flag); }));
    }
    std::string image(const std::string& name, size_t n) {
        std::vector<char> content(n);
        for (size_t i = 0; i < n; ++i)
            content[i] = static_cast<char>(i * 7 + name.size());
        const auto p = dir / name;
        std::ofstream(p, std::ios::binary).write(content.data(), static_cast<std::streamsize>(n));
        return p.string();
    }
    ohwapi_err_code_t launch_update(size_t fpga_bytes) {
        std::string mcu = image("mcu.bin", 3000), rec = image("recovery_mcu.bin", 3000),
                    fpga = image("fpga.bin", fpga_bytes);
        return kestrelapi_launch_fw_update(h, true, mcu.data(), static_cast<uint32_t>(mcu.size()),
                                           rec.data(), static_cast<uint32_t>(rec.size()),
                                           fpga.data(), static_cast<uint32_t>(fpga.size()));
    }
    // The close runs on a thread of its own: done once the link is closed.
    void close_and_wait() {
        EXPECT_EQ(kestrelapi_device_close(h), OHWAPI_OK);
        EXPECT_TRUE(eventually([&] {
            return !get(h, kestrelapi_get_device_open_flag) && get(h, kestrelapi_get_ready_flag);
        }));
    }
    bool update_writing() {
        return bus::instance().firmware(sn)->files().counters().bytes_written > 2000;
    }

    // Unplugs the device under a running capture: the capture fails with the link's error
    // within a bound, is not done, and the device opens again once re-plugged.
    void unplug_fails_the_capture_and_reopens() {
        bus::instance().unplug(sn);
        ASSERT_TRUE(eventually(
            [&] {
                return kestrelapi_get_last_error(h) != OHWAPI_OK &&
                       get(h, kestrelapi_get_ready_flag);
            },
            60s))
            << "the capture goes on with a device that left";
        const int code = kestrelapi_get_last_error(h);
        EXPECT_TRUE(usb_error(code)) << code;
        EXPECT_FALSE(get(h, kestrelapi_get_capture_done_flag));
        close_and_wait();
        bus::instance().plug(sn);
        EXPECT_EQ(kestrelapi_device_open_first(h), OHWAPI_OK);
    }

    kestrelapi_handle h = nullptr;
    size_t threads0 = 0;
    std::filesystem::path dir;
};

using teardown = reliability;
using hot_unplug = reliability;

TEST_F(teardown, free_during_a_capture_stops_it_and_joins_its_threads) {
    launch_waiting_capture();
    const kestrelapi_handle freed = h;
    ASSERT_TRUE(free_returns());
    EXPECT_TRUE(eventually([] { return !bus::instance().firmware(sn)->run_flag(); }, 5s));
    expect_threads_joined();
    // A second free of the same handle is refused, not a double delete.
    EXPECT_EQ(kestrelapi_free(freed), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_free(nullptr), OHWAPI_OK);
}

TEST_F(teardown, free_during_a_close_and_right_after_a_launch) {
    launch_waiting_capture();
    ASSERT_EQ(kestrelapi_device_close(h), OHWAPI_OK);
    ASSERT_TRUE(free_returns());
    expect_threads_joined();

    // A launch whose capture thread has not reached the device yet.
    bus::instance().plug(sn);
    ASSERT_EQ(kestrelapi_create_new_handle(&h, kestrel_one), OHWAPI_OK);
    static_cast<api_utils::api_handles*>(h)->log_fn = [](const std::string&) {};
    ASSERT_EQ(kestrelapi_device_open_first(h), OHWAPI_OK);
    ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(h, trig(KESTRELAPI_TRG_RISING, 2),
                                                           trig(KESTRELAPI_TRG_NOTRIG, 0),
                                                           settings(20000)),
              OHWAPI_OK);
    ASSERT_TRUE(free_returns());
    expect_threads_joined();
}

TEST_F(teardown, free_during_an_update_returns_and_joins) {
    ASSERT_EQ(launch_update(60000), OHWAPI_OK);
    ASSERT_TRUE(eventually([&] { return update_writing(); }, 20s));
    ASSERT_TRUE(free_returns());
    expect_threads_joined();
}

// Runs the exit helper in `mode`; it must end by itself, within 90 s, with exit code 0
// (another code names the step that failed).
void expect_helper_ends_cleanly(const char* mode) {
    SCOPED_TRACE(mode);
    pid_t pid = 0;
    char* argv[] = {const_cast<char*>(KESTREL_EXIT_HELPER), const_cast<char*>(mode), nullptr};
    ASSERT_EQ(posix_spawn(&pid, KESTREL_EXIT_HELPER, nullptr, nullptr, argv, environ), 0);
    int status = 0;
    pid_t r = 0;
    ASSERT_TRUE(eventually(
        [&] {
            r = waitpid(pid, &status, WNOHANG);
            return r != 0;
        },
        90s))
        << "the process does not end";
    ASSERT_EQ(r, pid);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "29: a forked child did not end within 20 s";
}

// The process ends with a handle open and a capture waiting: exit neither hangs nor
// crashes.
TEST_F(teardown, process_exit_with_a_handle_open) {
    for (const char* mode : {"capture", "open", "unpinged"})
        expect_helper_ends_cleanly(mode);
}

// A process forked from one with a handle (created only, or with its device open and its
// threads running) does not own it: the child finds it refused and exits at once, and the
// parent's handle goes on working.
TEST_F(teardown, a_forked_child_leaves_the_parents_handles_alone) {
    for (const char* mode : {"fork-created", "fork-open"})
        expect_helper_ends_cleanly(mode);
}

TEST_F(hot_unplug, during_streaming_stores_the_usb_error_and_the_device_reopens) {
    auto fw = bus::instance().firmware(sn);
    fw->acq().stall_stream(0, 64000, -1ms); // the stream halts part way until the unplug
    ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(h, trig(KESTRELAPI_TRG_NOTRIG, 0),
                                                           trig(KESTRELAPI_TRG_NOTRIG, 0),
                                                           settings(2000000)),
              OHWAPI_OK);
    ASSERT_TRUE(eventually(
        [&] {
            const auto info = fw->acq().capture();
            return !info.bytes.empty() && info.bytes[0] >= 64000;
        },
        20s));
    unplug_fails_the_capture_and_reopens();
}

TEST_F(hot_unplug, during_the_trigger_wait_stores_the_usb_error) {
    launch_waiting_capture();
    unplug_fails_the_capture_and_reopens();
}

TEST_F(hot_unplug, during_open_fails_the_open_and_the_device_reopens) {
    close_and_wait();
    bus::instance().unplug(sn);
    bus::instance().plug(sn);
    auto st = bus::instance().firmware(sn)->status();
    st.startup_silent_requests = 1000000; // never starts
    bus::instance().firmware(sn)->set_status(st);
    auto opening = std::async(std::launch::async, [&] { return kestrelapi_device_open_first(h); });
    std::this_thread::sleep_for(300ms);
    bus::instance().unplug(sn);
    ASSERT_EQ(opening.wait_for(60s), std::future_status::ready) << "open hangs";
    const int code = opening.get();
    EXPECT_NE(code, OHWAPI_OK);
    EXPECT_TRUE(usb_error(code)) << code;
    close_and_wait();
    bus::instance().plug(sn);
    EXPECT_EQ(kestrelapi_device_open_first(h), OHWAPI_OK);
}

TEST_F(hot_unplug, during_an_update_stores_the_error_and_the_device_reopens) {
    ASSERT_EQ(launch_update(200000), OHWAPI_OK);
    ASSERT_TRUE(eventually([&] { return update_writing(); }, 20s));
    bus::instance().unplug(sn);
    ASSERT_TRUE(eventually(
        [&] {
            return kestrelapi_get_last_error(h) != OHWAPI_OK && get(h, kestrelapi_get_ready_flag);
        },
        90s));
    const int code = kestrelapi_get_last_error(h);
    EXPECT_TRUE(usb_error(code) || code == OHWAPI_NOT_RESPONDING) << code;
    bool done = true;
    EXPECT_EQ(kestrelapi_get_firmware_update_done_flag(h, &done), OHWAPI_OK);
    EXPECT_FALSE(done);
    close_and_wait();
    bus::instance().plug(sn);
    EXPECT_EQ(kestrelapi_device_open_first(h), OHWAPI_OK);
}

} // namespace

TEST_F(hot_unplug, an_idle_device_that_leaves_closes_the_link_and_reopens_at_the_first_try) {
    bus::instance().unplug(sn);
    // The link notices within its next transfers: closed, the link's error stored, no
    // longer reported open.
    EXPECT_TRUE(eventually([&] { return !get(h, kestrelapi_get_device_open_flag); }, 10s))
        << "the link stays open on a device that left";
    EXPECT_EQ(kestrelapi_get_last_error(h), OHWAPI_USB_ERRORS - 4 /* LIBUSB_ERROR_NO_DEVICE */);
    EXPECT_TRUE(get(h, kestrelapi_get_ready_flag));
    bus::instance().plug(sn);
    EXPECT_EQ(kestrelapi_device_open_first(h), OHWAPI_OK);
    EXPECT_EQ(kestrelapi_get_last_error(h), OHWAPI_OK);
}
