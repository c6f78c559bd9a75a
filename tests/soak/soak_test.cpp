// Captures in a row on the virtual device with random models, settings, triggers and
// faults. After each: every call returned, the stored error is a documented code, a
// completed capture matches the device's ground truth; at the end threads, descriptors
// and memory are where they started. KESTREL_SOAK_SECONDS sets the length (default 45),
// KESTREL_SOAK_SEED the seed, KESTREL_SOAK_FAULT one fault only; the figures go to stdout (and
// KESTREL_SOAK_REPORT).
#include <kestrel_sim/acquisition.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "../core/api_fixture.h"

namespace {

using namespace core_test;

const auto& models = family;

enum class fault {
    none,
    dropped_config_reply, // once: the loader's retry gets through
    delayed_replies,
    silent_config,   // never answered
    corrupt_control, // malformed records and unknown endpoints from the device
    corrupt_stream,  // garbage ahead of the sample stream
    usb_io_error,    // LIBUSB_ERROR_IO on bulk transfers
    overrun,
    failed_reads, // FT_ReadPipe fails
    stalled_stream,
    unplug_replug, // during the capture
    reboot,        // reboot_and_close during the capture
    count
};
const char* fault_names[] = {"none",
                             "dropped_config_reply",
                             "delayed_replies",
                             "silent_config",
                             "corrupt_control",
                             "corrupt_stream",
                             "usb_io_error",
                             "overrun",
                             "failed_reads",
                             "stalled_stream",
                             "unplug_replug",
                             "reboot"};

bool documented(int code) {
    if (code == OHWAPI_OK || code == OHWAPI_UNKNOWN_ERROR) return true;
    if (code > OHWAPI_HW_ERRORS && code <= OHWAPI_HW_ERRORS + 17) return true;
    if (code == OHWAPI_HARDWARE_FAULT) return true;
    if (code >= 1901 && code < 2000) return true;  // 2000 + a negative libusb error
    if (code >= 3001 && code <= 3032) return true; // 3000 + a D3XX status
    return false;
}

size_t count_dir(const char* path) {
    size_t n = 0;
    if (DIR* d = opendir(path)) {
        while (const dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

long rss_kb() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// Ends the process when a step stops making progress: a hang is a failure too.
class watchdog {
public:
    // on_hang runs on the watchdog's thread before the process ends.
    watchdog(std::chrono::seconds limit, std::function<void()> on_hang)
        : limit(limit), on_hang(std::move(on_hang)), th([this] { run(); }) {}
    ~watchdog() {
        {
            std::lock_guard l(m);
            stop = true;
        }
        cv.notify_all();
        th.join();
    }
    void step(std::string what) {
        std::lock_guard l(m);
        current = std::move(what);
        last = steady::now();
    }

private:
    void run() {
        std::unique_lock l(m);
        while (!stop) {
            cv.wait_for(l, 1s);
            if (!stop && steady::now() - last > limit) {
                std::fprintf(stderr, "soak: no progress for %llds in: %s\n",
                             static_cast<long long>(limit.count()), current.c_str());
                if (on_hang) on_hang();
                std::abort();
            }
        }
    }
    const std::chrono::seconds limit;
    std::function<void()> on_hang;
    std::mutex m;
    std::condition_variable cv;
    bool stop = false;
    std::string current = "start";
    steady::time_point last = steady::now();
    std::thread th;
};

kestrelapi_settings_t random_settings(std::mt19937_64& rng, int64_t depth) {
    kestrelapi_settings_t s = default_settings(depth);
    s.post_trig_depth = static_cast<int64_t>(rng() % static_cast<uint64_t>(depth + 1));
    const uint32_t freqs[] = {250000000, 125000000, 100000000, 50000000, 10000000};
    s.s_clk = freqs[rng() % 5];
    s.t_clk[0] = freqs[rng() % 5];
    s.t_clk[1] = freqs[rng() % 5];
    for (auto& t : s.thresh_capture_mv)
        t = static_cast<int16_t>(500 + rng() % 3000);
    for (auto& v : s.vcc_gen_mv)
        v = static_cast<int16_t>(1200 + rng() % 2400);
    return s;
}

struct figures {
    uint64_t captures = 0, completed = 0, verified = 0, faults = 0, failures_reported = 0,
             refused = 0, sessions = 0, reopen_after_unplug = 0, stalled_streams_reported = 0;
    size_t most_threads = 0; // the thread count after a session, at most
    std::map<std::string, uint64_t> per_fault;
    std::map<int, uint64_t> per_code;
};

class soak : public on_bus {
protected:
    bool flag(kestrelapi_handle h, ohwapi_err_code_t (*getter)(kestrelapi_handle, bool*)) {
        bool f = false;
        EXPECT_EQ(getter(h, &f), OHWAPI_OK);
        return f;
    }
};

TEST_F(soak, captures_with_faults_stay_correct_and_flat) {
    const char* secs = std::getenv("KESTREL_SOAK_SECONDS");
    const char* seed_env = std::getenv("KESTREL_SOAK_SEED");
    const auto duration = std::chrono::seconds(secs ? std::atoi(secs) : 45);
    const uint64_t seed = seed_env ? std::strtoull(seed_env, nullptr, 10) : 20261208;
    std::mt19937_64 rng(seed);
    // KESTREL_SOAK_FAULT=<name>: every capture gets that fault.
    int only_fault = -1;
    if (const char* only = std::getenv("KESTREL_SOAK_FAULT"))
        for (int i = 0; i < int(fault::count); ++i)
            if (std::string(only) == fault_names[i]) only_fault = i;
    figures fig;
    auto& b = bus::instance();

    size_t threads0 = 0, fds0 = 0, threads1 = 0, fds1 = 0;
    long rss0 = 0, rss1 = 0;
    std::string ending = "ended early (a failed step)";
    // The figures are written however the run ends: at the end, after a failed step or
    // when the watchdog ends a hung run.
    auto write_report = [&] {
        std::string report;
        char line[256];
        std::snprintf(
            line, sizeof line,
            "seed %llu seconds %lld sessions %llu captures %llu completed %llu verified %llu "
            "refused %llu faults %llu failures_reported %llu reopened_after_unplug %llu\n",
            static_cast<unsigned long long>(seed), static_cast<long long>(duration.count()),
            (unsigned long long)fig.sessions, (unsigned long long)fig.captures,
            (unsigned long long)fig.completed, (unsigned long long)fig.verified,
            (unsigned long long)fig.refused, (unsigned long long)fig.faults,
            (unsigned long long)fig.failures_reported, (unsigned long long)fig.reopen_after_unplug);
        report += line;
        std::snprintf(line, sizeof line, "corrupted streams that stalled, reported %llu\n",
                      (unsigned long long)fig.stalled_streams_reported);
        report += line;
        std::snprintf(
            line, sizeof line,
            "threads %zu -> %zu (at most %zu after a session), fds %zu -> %zu, rss %ld kB "
            "-> %ld kB\n",
            threads0, threads1, fig.most_threads, fds0, fds1, rss0, rss1);
        report += line;
        for (const auto& [k, v] : fig.per_fault)
            report += "fault " + k + ": " + std::to_string(v) + "\n";
        for (const auto& [k, v] : fig.per_code)
            report += "code " + std::to_string(k) + ": " + std::to_string(v) + "\n";
        report += ending + "\n";
        std::fputs(report.c_str(), stdout);
        if (const char* out = std::getenv("KESTREL_SOAK_REPORT")) std::ofstream(out) << report;
    };
    struct at_exit {
        std::function<void()> f;
        ~at_exit() { f(); }
    } report_at_exit{write_report};
    watchdog dog(150s, [&] {
        ending = "ended by the watchdog (no progress)";
        threads1 = count_dir("/proc/self/task");
        fds1 = count_dir("/proc/self/fd");
        rss1 = rss_kb();
        write_report();
    });
    const auto end = steady::now() + duration;
    while (steady::now() < end || fig.sessions < 2) {
        const model_case& m = models[rng() % 3];
        b.reset();
        b.unplug_all();
        b.plug(m.sn);
        kestrelapi_handle h = nullptr;
        dog.step("create handle");
        ASSERT_EQ(kestrelapi_create_new_handle(&h, m.model), OHWAPI_OK);
        static_cast<api_utils::api_handles*>(h)->log_fn = [](const std::string&) {};
        dog.step("open");
        ASSERT_EQ(kestrelapi_device_open_first(h), OHWAPI_OK);
        ++fig.sessions;
        std::string session; // the captures of this session, for a leak report
        for (int k = 0; k < 4; ++k) {
            auto fw = b.firmware(m.sn);
            ASSERT_TRUE(fw);
            auto& acq = fw->acq();
            const fault f = only_fault >= 0 ? static_cast<fault>(only_fault)
                            : rng() % 3 == 0
                                ? fault::none
                                : static_cast<fault>(1 + rng() % (int(fault::count) - 1));
            const int64_t depth = 2000 + static_cast<int64_t>(rng() % 60000);
            auto s = random_settings(rng, depth);
            const unsigned group = static_cast<unsigned>(rng() % m.groups);
            std::vector<uint8_t> junk;
            std::string name =
                std::string(m.sn) + " " + fault_names[int(f)] + " depth " + std::to_string(depth);
            dog.step("launch " + name);
            session += " [" + name + "]";
            switch (f) {
            case fault::dropped_config_reply:
                b.drop_replies(m.sn, 1, 1);
                break;
            case fault::delayed_replies:
                b.delay_replies(m.sn, 1, 30ms);
                break;
            case fault::silent_config:
                b.ignore_packets(m.sn, 1, -1);
                break;
            case fault::usb_io_error:
                b.fail_bulk_transfers(m.sn, 1 + rng() % 3);
                break;
            case fault::overrun:
                acq.overrun_after(group, static_cast<int64_t>(rng() % 3000));
                break;
            case fault::failed_reads:
                acq.fail_reads(group, 1 + rng() % 3);
                break;
            case fault::stalled_stream:
                acq.stall_stream(group, rng() % 40000, 150ms);
                break;
            case fault::corrupt_stream:
                // Pushed once the capture is armed: what a bridge holds before is flushed.
                junk.resize(16 * (1 + rng() % 8));
                for (auto& x : junk)
                    x = static_cast<uint8_t>(rng());
                break;
            default:
                break;
            }
            ohwapi_err_code_t launched;
            const int kind = static_cast<int>(rng() % 4);
            if (kind == 0) {
                launched = kestrelapi_launch_new_capture_complex_trigger(h, s);
            } else {
                const kestrelapi_trigger_type_t types[] = {
                    KESTRELAPI_TRG_NOTRIG, KESTRELAPI_TRG_RISING, KESTRELAPI_TRG_FALLING,
                    KESTRELAPI_TRG_CHANGE};
                const auto ta = trig(types[rng() % 4], static_cast<int8_t>(rng() % 18));
                const auto tb = trig(types[rng() % 4], static_cast<int8_t>(rng() % 18));
                name += " triggers " + std::to_string(ta.type) + "/" + std::to_string(tb.type);
                launched = kestrelapi_launch_new_capture_simple_trigger(h, ta, tb, s);
            }
            name +=
                " post " + std::to_string(s.post_trig_depth) + (kind == 0 ? " complex" : " simple");
            ++fig.captures;
            if (f != fault::none) {
                ++fig.faults;
                ++fig.per_fault[fault_names[int(f)]];
            }
            if (launched != OHWAPI_OK) {
                ++fig.refused;
                EXPECT_TRUE(launched == OHWAPI_INVALID_CONFIG ||
                            launched == OHWAPI_INVALID_ARGUMENT)
                    << name << " " << launched;
                b.reset(); // faults off for the next one; the device restarts
                break;
            }
            if (f == fault::corrupt_stream) {
                eventually([&] { return flag(h, kestrelapi_get_config_done_flag); }, 5s);
                b.push_bridge_data(m.sn, group, junk);
            }
            if (f == fault::corrupt_control) {
                eventually([&] { return flag(h, kestrelapi_get_config_done_flag); }, 5s);
                const uint8_t bad_status[] = {1, 2, 3};
                fw->reply(7, bad_status);
                const uint8_t bad_file[] = {9, 9, 9};
                fw->reply(2, bad_file);
                const uint8_t nobody[] = {1};
                fw->reply(200, nobody);
            }
            bool unplugged = false;
            if (f == fault::unplug_replug || f == fault::reboot) {
                eventually([&] { return flag(h, kestrelapi_get_config_done_flag); }, 5s);
                std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 20));
                dog.step("disturb " + name);
                if (f == fault::unplug_replug)
                    b.unplug(m.sn);
                else
                    EXPECT_EQ(kestrelapi_reboot_and_close(h), OHWAPI_OK);
                unplugged = true;
            }
            dog.step("wait " + name);
            auto settle = [&](std::chrono::milliseconds limit) {
                return eventually(
                    [&] {
                        return flag(h, kestrelapi_get_capture_done_flag) ||
                               (kestrelapi_get_last_error(h) != OHWAPI_OK &&
                                flag(h, kestrelapi_get_ready_flag));
                    },
                    limit);
            };
            // Garbage ahead of the samples can leave the host waiting for samples the device
            // never sends: the capture ends itself once the stream stays silent.
            EXPECT_TRUE(settle(90s)) << name;
            const int code = kestrelapi_get_last_error(h);
            if (f == fault::corrupt_stream && code == OHWAPI_NOT_RESPONDING)
                ++fig.stalled_streams_reported;
            ++fig.per_code[code];
            EXPECT_TRUE(documented(code)) << name << " code " << code;
            const bool done = flag(h, kestrelapi_get_capture_done_flag);
            if (done) ++fig.completed;
            if (code != OHWAPI_OK) ++fig.failures_reported;
            // A silent device or one that went away must not look like a good capture.
            if (f == fault::silent_config || f == fault::unplug_replug) {
                EXPECT_TRUE(code != OHWAPI_OK || done) << name;
            }
            if (done && code == OHWAPI_OK && f != fault::corrupt_stream && !unplugged) {
                dog.step("verify " + name);
                int64_t total = 0, post = 0;
                EXPECT_EQ(kestrelapi_get_available_samples(h, &total, &post), OHWAPI_OK);
                EXPECT_GT(total, 0) << name << " post-trigger " << post;
                for (int c = 0; c < 3; ++c) {
                    const auto ch = static_cast<uint8_t>(rng() % m.channels);
                    EXPECT_EQ(kestrelapi_trs_reset(h, ch), OHWAPI_OK);
                    kestrelapi_trs_t t{}, next{};
                    bool more = true;
                    EXPECT_EQ(kestrelapi_trs_get_next(h, ch, &t), OHWAPI_OK);
                    int bad = 0;
                    for (int guard = 0; guard < 5000000 && bad == 0; ++guard) {
                        EXPECT_EQ(kestrelapi_trs_is_not_last(h, ch, &more), OHWAPI_OK);
                        int64_t stop = total;
                        if (more) {
                            EXPECT_EQ(kestrelapi_trs_get_next(h, ch, &next), OHWAPI_OK);
                            stop = static_cast<int64_t>(next.sampple_index);
                        }
                        for (auto i = static_cast<int64_t>(t.sampple_index); i < stop; ++i)
                            if (static_cast<int>(acq.level(ch, i)) != (t.value == 1 ? 1 : 0)) {
                                ADD_FAILURE() << name << " channel " << int(ch) << " sample " << i;
                                ++bad;
                                break;
                            }
                        if (!more) break;
                        t = next;
                    }
                }
                ++fig.verified;
            }
            // Faults off; a device that went away comes back and is opened again.
            dog.step("recover " + name);
            acq.clear_faults();
            try {
                b.clear_reply_faults(m.sn, 1);
                b.ignore_packets(m.sn, 1, 0);
            } catch (const std::exception&) {
                // away for its restart or unplugged: it comes back without faults
            }
            if (f == fault::unplug_replug || f == fault::reboot || f == fault::usb_io_error ||
                code != OHWAPI_OK) {
                EXPECT_EQ(kestrelapi_request_abort(h), OHWAPI_OK);
                EXPECT_TRUE(eventually([&] { return flag(h, kestrelapi_get_ready_flag); }, 30s));
                EXPECT_EQ(kestrelapi_device_close(h), OHWAPI_OK);
                EXPECT_TRUE(eventually(
                    [&] {
                        return !flag(h, kestrelapi_get_device_open_flag) &&
                               flag(h, kestrelapi_get_ready_flag);
                    },
                    30s));
                if (f == fault::unplug_replug) b.plug(m.sn);
                EXPECT_TRUE(eventually([&] { return !b.devices().empty(); }, 5s));
                std::this_thread::sleep_for(100ms); // a rebooted device settles
                dog.step("reopen " + name);
                ohwapi_err_code_t r = OHWAPI_UNKNOWN_ERROR;
                for (int attempt = 0; attempt < 3 && r != OHWAPI_OK; ++attempt) {
                    r = kestrelapi_device_open_first(h);
                    if (r != OHWAPI_OK) std::this_thread::sleep_for(200ms);
                }
                EXPECT_EQ(r, OHWAPI_OK) << name;
                if (r != OHWAPI_OK) break;
                if (unplugged) ++fig.reopen_after_unplug;
            }
        }
        dog.step("free");
        EXPECT_EQ(kestrelapi_free(h), OHWAPI_OK);
        if (::testing::Test::HasFailure()) break;
        if (fig.sessions > 1) {
            // Every session leaves the threads where the first one did: a leak shows with
            // the captures that caused it, not only at the end.
            dog.step("threads after " + session);
            b.reset(); // as for the baseline: the device's own threads stop
            const bool flat =
                eventually([&] { return count_dir("/proc/self/task") <= threads0; }, 10s);
            fig.most_threads = std::max(fig.most_threads, count_dir("/proc/self/task"));
            EXPECT_TRUE(flat) << "threads " << threads0 << " -> " << count_dir("/proc/self/task")
                              << " after session " << fig.sessions << ":" << session;
            if (!flat) break;
        }
        if (fig.sessions == 1) {
            // Baseline after the first session: lazily created state exists by now.
            b.reset();
            eventually([] { return false; }, 300ms);
            threads0 = count_dir("/proc/self/task");
            fds0 = count_dir("/proc/self/fd");
            rss0 = rss_kb();
        }
    }
    b.reset();
    const bool threads_flat =
        eventually([&] { return count_dir("/proc/self/task") <= threads0; }, 10s);
    threads1 = count_dir("/proc/self/task");
    fds1 = count_dir("/proc/self/fd");
    rss1 = rss_kb();
    EXPECT_TRUE(threads_flat) << threads0 << " -> " << threads1;
    EXPECT_LE(fds1, fds0) << "descriptors";
    // Allocator caches and the stores' high-water marks may stay; growth per capture may not.
    EXPECT_LT(rss1 - rss0, 96 * 1024) << rss0 << " kB -> " << rss1 << " kB";

    ending = ::testing::Test::HasFailure() ? "ended with a failure" : "ended as planned";
}

} // namespace
