// Fuzz target api_misuse: random sequences of exported calls with random arguments, from
// two threads, against the virtual device. Handles are live, freed, null or pointers to
// anything; output pointers valid or null; indices, settings and triggers any value; the
// device is opened, closed, captured from, aborted and rebooted under the calls. Log
// functions call back into the library (queries, launches, aborts, a new log function, a
// free of their own handle) from the library's threads and from the callers'. The process
// forks under the calls: the child must find the handles refused and exit at once. Every
// call must return, with a code the interface documents (one kestrelapi_error_name
// knows); a crash, a sanitizer report or a hang (libFuzzer's time-out) is a fault.
#include <kestrel_sim/bus.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../core/settings.h"
#include "input.h"
#include "kestrelapi.h"
#include "targets.h"

namespace kestrel_fuzz {

namespace {

// Calls made, reported when the process ends (the figure of a run).
std::atomic<uint64_t> calls{0};

void documented(ohwapi_err_code_t rc) {
    ++calls;
    if (std::strcmp(kestrelapi_error_name(rc), "UNKNOWN") != 0) return;
    std::fprintf(stderr, "api_misuse: undocumented code %d\n", static_cast<int>(rc));
    std::abort();
}

// The handles the calls pick from: live ones (created lazily, recreated after a free),
// the addresses of freed ones, and pointers that never were handles.
class handle_pool {
public:
    static constexpr size_t live_count = 3;

    kestrelapi_handle pick(uint8_t b) {
        std::lock_guard l(m);
        switch (b % 8) {
        case 0:
        case 1:
        case 2:
        case 3:
            return live[b % live_count];
        case 4:
            return stale.empty() ? nullptr : stale[(b >> 3) % stale.size()];
        case 5:
            return garbage.data() + (b >> 3);
        case 6:
            return reinterpret_cast<kestrelapi_handle>(uintptr_t{16} << (b >> 3));
        default:
            return nullptr;
        }
    }
    // A live slot that was freed gets a new handle (creating is slow: once per call).
    void refill(uint8_t b) {
        const size_t i = b % live_count;
        {
            std::lock_guard l(m);
            if (live[i] != nullptr) return;
        }
        const kestrelapi_model_t model = i == 2 ? kestrel_two : kestrel_one;
        kestrelapi_handle h = nullptr;
        documented(kestrelapi_create_new_handle(&h, model));
        std::lock_guard l(m);
        if (live[i] == nullptr)
            live[i] = h;
        else
            documented(kestrelapi_free(h));
    }
    // Frees what pick(b) names; a live handle leaves its slot and is remembered as stale.
    void free(uint8_t b) {
        kestrelapi_handle h = pick(b);
        {
            std::lock_guard l(m);
            for (auto& x : live)
                if (x == h && h != nullptr) {
                    x = nullptr;
                    if (stale.size() < 8)
                        stale.push_back(h);
                    else
                        stale[b % stale.size()] = h;
                }
        }
        const ohwapi_err_code_t rc = kestrelapi_free(h);
        documented(rc);
        if (h == nullptr && rc != OHWAPI_OK) {
            std::fprintf(stderr, "api_misuse: a free of NULL gave %d\n", static_cast<int>(rc));
            std::abort();
        }
    }

private:
    std::mutex m;
    std::array<kestrelapi_handle, live_count> live{};
    std::vector<kestrelapi_handle> stale;
    std::array<uint8_t, 64> garbage{};
};

handle_pool& pool() {
    static auto& p = *new handle_pool;
    return p;
}

// What the log functions do with each line, chosen by the input.
std::atomic<uint8_t> callback_op{0};

// A log function that calls back into the library, on whichever thread delivers the line:
// the user pointer is the handle it was set on.
void reentrant_log(void* user, int, const char*) {
    static thread_local int depth = 0;
    if (depth > 1) return; // the lines of its own calls come back to it
    ++depth;
    const auto h = static_cast<kestrelapi_handle>(user);
    bool f = false;
    char text[64];
    switch (callback_op.load() % 7) {
    case 0:
        documented(kestrelapi_get_ready_flag(h, &f));
        break;
    case 1:
        documented(kestrelapi_request_abort(h));
        break;
    case 2:
        documented(kestrelapi_set_log_callback(h, nullptr, nullptr));
        break;
    case 3:
        documented(kestrelapi_free(h));
        break;
    case 4: {
        kestrelapi_trigger_description_t t;
        std::memset(&t, 0, sizeof t);
        t.type = KESTRELAPI_TRG_NOTRIG;
        documented(kestrelapi_launch_new_capture_simple_trigger(h, t, t,
                                                                core_test::default_settings(2000)));
        break;
    }
    case 5:
        documented(kestrelapi_get_last_error_text(h, text, sizeof text));
        break;
    default:
        documented(kestrelapi_get_last_error(h));
    }
    --depth;
}

// A child forked under the calls (the other thread's calls under way, handles live with
// their threads) finds every handle refused and ends at once; one that has not ended
// after 20 s hangs. It ends with _exit: libFuzzer takes any exit() for a fault of the
// target (the child's exit() itself is test_reliability's, through its exit helper).
void fork_and_wait(kestrelapi_handle h) {
    const pid_t pid = fork();
    if (pid < 0) return;
    if (pid == 0) {
        bool f = false;
        const ohwapi_err_code_t rc = kestrelapi_get_ready_flag(h, &f);
        const ohwapi_err_code_t freed = kestrelapi_free(h);
        const bool refused =
            h == nullptr ? freed == OHWAPI_OK
                         : rc == OHWAPI_INVALID_ARGUMENT && freed == OHWAPI_INVALID_ARGUMENT;
        _exit(refused ? 0 : 3);
    }
    int status = 0;
    for (int i = 0; i < 2000; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::abort();
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    std::abort();
}

kestrelapi_settings_t settings_of(input& in) {
    kestrelapi_settings_t s;
    std::memset(&s, 0, sizeof s);
    const auto raw = in.bytes(sizeof s);
    if (!raw.empty()) std::memcpy(&s, raw.data(), raw.size());
    // Short captures mostly, so that a sequence goes on; any value sometimes.
    const uint8_t shape = in.byte();
    if (shape % 4 != 0) {
        s.sampling_depth = 1000 + static_cast<int64_t>(in.take<uint16_t>()) * 4;
        s.post_trig_depth = s.sampling_depth / 2;
        s.s_clk = shape % 2 ? 250000000 : 1000000 + in.take<uint16_t>() * 1000u;
        s.timebase_src = TIMEBASE_INTERNAL;
        s.ext_trig_out_polarity = true;
    }
    return s;
}

kestrelapi_trigger_description_t trigger_of(input& in) {
    kestrelapi_trigger_description_t t;
    std::memset(&t, 0, sizeof t);
    const int types[] = {KESTRELAPI_TRG_FALLING,
                         KESTRELAPI_TRG_RISING,
                         KESTRELAPI_TRG_CHANGE,
                         KESTRELAPI_TRG_EXT_FALLING,
                         KESTRELAPI_TRG_EXT_RISING,
                         KESTRELAPI_TRG_NOTRIG,
                         static_cast<int>(in.take<int16_t>())};
    const int type = types[in.byte() % std::size(types)];
    std::memcpy(&t.type, &type, sizeof type); // any int, as a C caller may pass it
    t.channel = static_cast<int8_t>(in.byte() % 2 ? in.byte() % 19 - 1 : in.byte());
    return t;
}

// One thread's calls. Slow calls (open, close, reboot, update) are limited per input so
// that a sequence stays well inside the time-out.
void run_calls(input& in, const std::string& dir) {
    handle_pool& p = pool();
    int slow_left = 3;
    bool flag = false;
    uint8_t byte = 0;
    uint16_t count = 0;
    int64_t total = 0, post = 0;
    uint64_t pos = 0;
    kestrelapi_trs_t tr;
    char serial[32] = "7302101000001";
    for (int op = 0; op < 24 && !in.empty(); ++op) {
        const uint8_t what = in.byte();
        const kestrelapi_handle h = p.pick(in.byte());
        const bool null_out = (what & 0x80) != 0 && in.byte() % 4 == 0;
        const uint8_t ch = in.byte() % 2 ? in.byte() % 60 : in.byte();
        auto slow = [&] { return slow_left-- > 0; };
        switch (what % 26) {
        case 0:
            p.refill(in.byte());
            break;
        case 1:
            p.free(in.byte());
            break;
        case 2:
            documented(kestrelapi_get_last_error(h));
            break;
        case 3:
            documented(kestrelapi_create_device_list(h));
            documented(kestrelapi_get_devices_count(h, null_out ? nullptr : &count));
            break;
        case 4: {
            device_descriptor_t d{nullptr, nullptr};
            documented(kestrelapi_get_device_descriptor(h, ch % 4, null_out ? nullptr : &d));
            if (in.byte() % 2 == 0 && d.sn != nullptr && slow())
                documented(kestrelapi_device_open(h, d));
            documented(kestrelapi_free_device_descriptor(&d));
            break;
        }
        case 5:
            if (slow()) documented(kestrelapi_device_open_first(h));
            break;
        case 6:
            if (slow()) documented(kestrelapi_device_close(h));
            break;
        case 7: {
            ohwapi_err_code_t (*const getters[])(kestrelapi_handle, bool*) = {
                kestrelapi_get_device_open_flag,  kestrelapi_get_ready_flag,
                kestrelapi_get_config_done_flag,  kestrelapi_get_triggered_flag,
                kestrelapi_get_capture_done_flag, kestrelapi_get_firmware_update_done_flag};
            documented(getters[ch % std::size(getters)](h, null_out ? nullptr : &flag));
            break;
        }
        case 8: {
            ohwapi_err_code_t (*const getters[])(kestrelapi_handle, uint8_t*) = {
                kestrelapi_get_mcu_version_major, kestrelapi_get_mcu_version_minor,
                kestrelapi_get_fpga_version_major, kestrelapi_get_fpga_version_minor,
                kestrelapi_get_firmware_update_progress};
            documented(getters[ch % std::size(getters)](h, null_out ? nullptr : &byte));
            break;
        }
        case 9:
        case 10: {
            const auto a = trigger_of(in);
            const auto b = trigger_of(in);
            documented(kestrelapi_launch_new_capture_simple_trigger(h, a, b, settings_of(in)));
            break;
        }
        case 11:
            documented(kestrelapi_launch_new_capture_complex_trigger(h, settings_of(in)));
            break;
        case 12:
            documented(kestrelapi_request_abort(h));
            break;
        case 13:
            documented(kestrelapi_get_available_samples(h, null_out ? nullptr : &total,
                                                        in.byte() % 8 ? &post : nullptr));
            documented(kestrelapi_get_trigger_position(h, null_out ? nullptr : &pos));
            break;
        case 14:
            documented(kestrelapi_trs_reset(h, ch));
            documented(kestrelapi_trs_before(h, ch, in.take<uint64_t>()));
            break;
        case 15:
        case 16:
            for (int i = in.byte() % 8; i >= 0; --i) {
                documented(kestrelapi_trs_get_next(h, ch, null_out ? nullptr : &tr));
                documented(kestrelapi_trs_is_not_last(h, ch, null_out ? nullptr : &flag));
            }
            documented(kestrelapi_trs_get_previous(h, ch, null_out ? nullptr : &tr));
            break;
        case 17: {
            const std::string path = dir + "/x" + std::to_string(ch % 3);
            const uint64_t lo = in.byte() % 2 ? 0 : in.take<uint64_t>();
            const uint64_t hi = in.byte() % 4 ? 0 : in.take<uint64_t>();
            const char* target = null_out ? nullptr : path.c_str();
            switch (in.byte() % 3) {
            case 0:
                documented(kestrelapi_export_vcd(h, target, lo, hi));
                break;
            case 1:
                documented(kestrelapi_export_sr(h, target, lo, hi));
                break;
            default:
                documented(kestrelapi_export_csv(h, target, lo, hi));
            }
            break;
        }
        case 18: {
            char name[8] = {};
            const auto raw = in.bytes(sizeof name - 1);
            if (!raw.empty()) std::memcpy(name, raw.data(), raw.size());
            documented(kestrelapi_set_channel_name(h, ch, null_out ? nullptr : name));
            break;
        }
        case 19: {
            char none[] = "/nonexistent/image.bin";
            const uint32_t n = sizeof none - 1;
            documented(kestrelapi_check_fw_update_needed(h, null_out ? nullptr : &flag, none, n,
                                                         nullptr, 0, none, n));
            if (in.byte() % 2 && slow())
                documented(
                    kestrelapi_launch_fw_update(h, in.byte() % 2, none, n, nullptr, 0, none, n));
            break;
        }
        case 20: {
            // Serial numbers the device refuses or already has: the bus keeps its device.
            const char* sns[] = {"", "1234", "7302101000001", "7302102000001"};
            const char* sn = sns[ch % std::size(sns)];
            std::strncpy(serial, sn, sizeof serial - 1);
            const auto n = static_cast<uint32_t>(std::strlen(serial));
            if (ch % std::size(sns) != 3 && slow())
                documented(kestrelapi_change_sn(h, null_out ? nullptr : serial, n));
            break;
        }
        case 21:
            if (in.byte() % 8 == 0 && slow()) documented(kestrelapi_reboot_and_close(h));
            break;
        case 22:
            callback_op = in.byte();
            documented(kestrelapi_set_log_callback(h, in.byte() % 4 ? reentrant_log : nullptr, h));
            break;
        case 23:
            if (in.byte() % 4 == 0 && slow()) fork_and_wait(h);
            break;
        default:
            std::this_thread::sleep_for(std::chrono::milliseconds(in.byte() % 20));
            break;
        }
    }
}

} // namespace

int api_misuse(const uint8_t* data, size_t size) {
    static const std::string dir = [] {
        kestrel_sim::bus::instance().reset();
        const auto d = std::filesystem::temp_directory_path() /
                       ("kestrel_fuzz_api_" + std::to_string(::getpid()));
        std::filesystem::create_directories(d);
        static const std::filesystem::path removed_at_exit = d;
        static const pid_t owner = ::getpid();
        std::atexit([] {
            if (::getpid() != owner) return; // a forked child's exit
            std::error_code ec;
            std::filesystem::remove_all(removed_at_exit, ec);
            std::fprintf(stderr, "api_misuse: %llu calls\n",
                         static_cast<unsigned long long>(calls.load()));
        });
        return d.string();
    }();
    input head(data, size);
    // The first byte splits the input between the two threads.
    const size_t split = size == 0 ? 0 : 1 + head.byte() * (size - 1) / 255;
    input first(data + std::min<size_t>(1, size), split > 0 ? split - 1 : 0);
    input second(data + split, size - split);
    std::thread other([&] { run_calls(second, dir); });
    run_calls(first, dir);
    other.join();
    return 0;
}

} // namespace kestrel_fuzz
