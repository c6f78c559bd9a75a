#include "kestrel/capture/capture.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <memory>
#include <optional>

#include "drivers/d3xx/exception.h"
#include "hw/exception.h"
#include "hw/keep_alive.h"
#include "kestrel/capture/capture_tool.h"
#include "mox/check.h"
#include "mox/timeout.h"
#include "mox/worker_pool.h"

namespace kestrel {

namespace {

// Counts a call for as long as it lives.
class count_scope {
public:
    explicit count_scope(std::atomic<int>& n) : n(n) { ++n; }
    ~count_scope() { --n; }
    count_scope(const count_scope&) = delete;
    count_scope& operator=(const count_scope&) = delete;

private:
    std::atomic<int>& n;
};

// The longest a healthy stream stays silent once the trigger has passed: the device
// sends an idle stretch as one packet per 7 x (2^24 - 1) samples at most, and a few
// seconds cover the bridge and the host. A state clock samples only on its own edges, so
// its stream pauses for as long as that clock does: it has no limit.
std::optional<std::chrono::milliseconds> stream_silence_limit(const config& cfg) {
    for (const auto& g : cfg.groups)
        if (g.state_clk_mode != state_clk_mode_t::disable) return std::nullopt;
    const double idle_packet_s = 7.0 * 0xFFFFFF / static_cast<double>(cfg.sampling_freq);
    return std::chrono::milliseconds(5000 + static_cast<int64_t>(2000 * idle_packet_s));
}

std::string seconds_text(int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(ms) / 1000.0);
    return text;
}

} // namespace

template <typename T>
capture<T>::capture(communication& c, config_loader& cl, T& tool, status_t& ds, hw::status& hs,
                    mox::progress<uint8_t, 100>& p, mox::timed_mutex& busy, mox::semaphore& n,
                    const hw::log_fn& l)
    : com(c), cfg_loader(cl), ctool(tool), device_status(ds), hw_status(hs), progress(p),
      device_busy(busy), notifier(n), trig_loader(c), log(l) {}

template <typename T> capture<T>::~capture() {
    abort.notify();
}

template <typename T> void capture<T>::reset() {
    progress.set(0);
    hw_status.set(hw::status::v::preparing);
    abort.reset(0);
    cfg_done = false;
    done = false;
    done_once_stored = false;
    trigged = false;
    streaming_started = false;
    overrun = false;
    post_trig_samples = 0;
}

template <typename T>
void capture<T>::do_capture(config cfg, std::string last_sn, hw::trigger_mode_t trig_mode) {
    count_scope in_call(running);
    std::unique_lock lock(device_busy, std::defer_lock);
    if (!lock.try_lock_for(std::chrono::milliseconds(5000))) {
        hw_status.set(hw::status::v::idle);
        throw hw::exception(hw::error::busy);
    }
    if (cfg.pre_trig_samples() == 0)
        cfg.post_trig_depth = static_cast<int64_t>(0.9 * static_cast<double>(cfg.sampling_depth));
    const size_t groups = cfg.groups.size();
    // Streams need their bridges: a closed or half-open device cannot capture.
    if (com.usb_interfaces.size() < groups) throw hw::exception(hw::error::not_open);
    for (size_t g = 0; g < groups; ++g)
        if (!com.usb_interfaces[g] || !com.usb_interfaces[g]->driver.handles().valid())
            throw hw::exception(hw::error::not_open);

    std::vector<std::unique_ptr<buffer_parser>> parsers;
    for (size_t g = 0; g < groups; ++g)
        parsers.push_back(std::make_unique<buffer_parser>(
            static_cast<uint8_t>(g),
            buffer_parser::batch_fn_t([this](std::span<kestrel_trs> b, uint8_t gi) {
                ctool.append(std::span<const kestrel_trs>(b), gi);
            })));

    const isamp pre = cfg.pre_trig_samples();
    const hw::period period = 1.0 / static_cast<double>(cfg.sampling_freq);
    if (trig_mode == hw::trigger_mode_t::single) ctool.reset(pre, period, cfg.post_trig_depth);

    bool master_group_found = false;
    for (size_t g = 0; g < groups; ++g) {
        const auto& trig = cfg.groups[g].trigger;
        trig_loader.send_to_device(0, static_cast<uint8_t>(g), trig.flex[0].tmp_loading_vector);
        trig_loader.send_to_device(1, static_cast<uint8_t>(g), trig.flex[1].tmp_loading_vector);
        if (cfg.groups[g].is_master()) master_group_found = true;
    }
    MOX_ASSERT(master_group_found == true);

    cfg_loader.set_run_flag(false);
    cfg_loader.send_to_device(cfg);
    mox::wait_ms(mox::timeout(100));
    cfg_done = true;
    cfg_loader.set_run_flag(true);

    wait_for_trigger(cfg, last_sn);
    trigged = true;
    if (trig_mode == hw::trigger_mode_t::normal) ctool.reset(pre, period, cfg.post_trig_depth);
    hw_status.set(hw::status::v::trigged_and_sampling);
    stream(cfg, last_sn, parsers);
}

template <typename T>
void capture<T>::wait_for_trigger(const config& cfg, const std::string& last_sn) {
    auto cancelled = [this] {
        try {
            cfg_loader.set_run_flag(false);
        } catch (const std::exception& e) {
            log(std::string("run flag not cleared: ") + e.what());
        }
        throw hw::exception(hw::error::aborted_by_user);
    };
    int64_t pre_trig_time_ms =
        static_cast<int64_t>(cfg.pre_trig_samples() * 1000 / cfg.sampling_freq) + 100;
    // A device that leaves the bus sends no trigger: its link's error ends the wait.
    for (;;) {
        if (abort.take(mox::timeout(100))) cancelled();
        com.throw_if_device_gone();
        hw_status.set(hw::status::v::preparing,
                      "Pre-trigger buffering (" + seconds_text(pre_trig_time_ms) + "s)");
        hw::keep_alive::instance().push_unique(last_sn);
        if (pre_trig_time_ms <= 99) {
            hw_status.set(hw::status::v::waiting_trig);
            for (;;) {
                hw::keep_alive::instance().push_unique(last_sn);
                const auto st = device_status.groups();
                if (!st.empty() && st[0].trigged) return;
                notifier.take(mox::timeout(100));
                if (abort.take(mox::timeout(0))) cancelled();
                com.throw_if_device_gone();
            }
        }
        pre_trig_time_ms -= 100;
    }
}

template <typename T>
void capture<T>::stream(const config& cfg, const std::string& last_sn,
                        std::vector<std::unique_ptr<buffer_parser>>& parsers) {
    const size_t groups = parsers.size();
    const isamp post = cfg.post_trig_depth;
    auto& usb = com.usb_interfaces;
    for (size_t g = 0; g < groups; ++g)
        usb[g]->clear_buffers();
    std::vector<char> ready_for_data(groups, 1);
    std::unique_ptr<std::atomic<bool>[]> previous_data_parsed(new std::atomic<bool>[groups]);
    for (size_t g = 0; g < groups; ++g)
        previous_data_parsed[g] = true;
    std::vector<std::future<void>> tasks(groups);
    mox::semaphore parsing_done_semaphore{1, 0};
    bool cancelled = false;
    d3xx::err read_error = d3xx::err::OK;
    // A stream that stops for good (a corrupted count, a device that lost its place) would
    // otherwise leave the capture waiting for samples that never come.
    using clock = std::chrono::steady_clock;
    const auto silence_limit = stream_silence_limit(cfg);
    std::vector<clock::time_point> heard(groups, clock::now());
    bool stalled = false;

    // Built after the state its tasks write, so that on every way out (an exception
    // included) the workers end before that state goes; a parse parked on the common
    // trigger instant is let go first.
    mox::worker_pool pool(static_cast<unsigned>(groups));
    struct release_parked {
        T& tool;
        ~release_parked() { tool.abort(); }
    } release{ctool};

    for (;;) {
        hw::keep_alive::instance().push_unique(last_sn);
        if (abort.take(mox::timeout(0))) {
            cancelled = true;
            break;
        }
        for (size_t g = 0; g < groups; ++g) {
            if (!ready_for_data[g]) continue;
            previous_data_parsed[g] = false;
            tasks[g] = pool.submit([&, g] {
                struct done_signal {
                    std::atomic<bool>& flag;
                    mox::semaphore& sem;
                    ~done_signal() {
                        flag = true;
                        sem.notify();
                    }
                } signal{previous_data_parsed[g], parsing_done_semaphore};
                usb[g]->with_read_buffer([&](std::span<const uint8_t> b) { parsers[g]->parse(b); });
            });
        }

        bool all_groups_done = true;
        const auto st = device_status.groups();
        for (size_t g = 0; g < groups && read_error == d3xx::err::OK; ++g) {
            if (!ready_for_data[g]) {
                // Still parsing (or parked on the common trigger instant): not silence.
                heard[g] = clock::now();
                all_groups_done = false;
                continue;
            }
            if (ctool.captured_post_trig_depth(static_cast<uint8_t>(g)) >= post) {
                usb[g]->clear_write_buffer();
                continue;
            }
            all_groups_done = false;
            const uint64_t backlog = g < st.size() ? st[g].buffered_data_size() : 0;
            if (backlog == 0 && g < st.size() && st[g].overrun) {
                overrun = true;
                continue;
            }
            const uint64_t size =
                std::min<uint64_t>(backlog == 0 ? idle_read_size : backlog, usb[g]->capacity());
            size_t received = 0;
            const d3xx::err e =
                usb[g]->dump_to_buffer(static_cast<size_t>(size), usb_read_timeout_ms, &received);
            // A time-out delivers what came so far and the stream goes on; anything else
            // means the bridge is gone.
            if (e != d3xx::err::OK && e != d3xx::err::TIMEOUT) read_error = e;
            const auto now = clock::now();
            // A device that holds data its bridge does not deliver is as stuck as one
            // that sends nothing.
            if (received > 0) {
                heard[g] = now;
            } else if (silence_limit && now - heard[g] > *silence_limit) {
                log("No data from group " + std::to_string(g) + " for " +
                    seconds_text(silence_limit->count()) + " s: the stream has stalled");
                stalled = true;
            }
        }
        if (read_error != d3xx::err::OK || stalled) break;

        std::fill(ready_for_data.begin(), ready_for_data.end(), 0);
        if (parsing_done_semaphore.take(mox::timeout(100))) {
            for (size_t g = 0; g < groups; ++g) {
                if (!previous_data_parsed[g]) continue;
                ready_for_data[g] = 1;
                usb[g]->swap_buffers();
            }
        }
        post_trig_samples = ctool.captured_post_trig_depth();
        if (!streaming_started && ctool.ready()) {
            streaming_started = true;
            hw_status.set(hw::status::v::streaming);
        }
        ctool.flush_outdated(50);
        const int64_t pct = post > 0 ? 100 * post_trig_samples / post : 100;
        progress.set(static_cast<uint8_t>(std::clamp<int64_t>(pct, 0, 100)));
        if (post_trig_samples > post || overrun || all_groups_done) break;
    }

    // A group parked on the common trigger instant lets go before its task is waited for.
    ctool.abort();
    log("cleaning thread pool");
    std::exception_ptr parse_error;
    for (auto& t : tasks) {
        if (!t.valid()) continue;
        try {
            t.get();
        } catch (...) {
            if (!parse_error) parse_error = std::current_exception();
        }
    }
    log("thread pool cleaned");
    ctool.flush();
    ctool.wait_stored();
    post_trig_samples = ctool.captured_post_trig_depth();
    if (!cancelled && read_error == d3xx::err::OK && !stalled)
        log("Capture done, post_trig_samples = " + std::to_string(post_trig_samples.load()) +
            "Overrun?" + (overrun ? "true" : "false") + " Stopping capture");

    const bool failed = cancelled || read_error != d3xx::err::OK || parse_error || stalled;
    try {
        cfg_loader.set_run_flag(false);
    } catch (...) {
        if (!failed) throw;
    }
    if (parse_error) {
        hw_status.set(hw::status::v::idle);
        std::rethrow_exception(parse_error);
    }
    if (read_error != d3xx::err::OK) {
        hw_status.set(hw::status::v::idle);
        throw d3xx::exception(read_error);
    }
    if (stalled) {
        // What arrived stays in the stores; the capture is not done.
        hw_status.set(hw::status::v::idle);
        throw hw::exception(hw::error::not_responding);
    }
    if (overrun) {
        progress.set(0);
        hw_status.set(hw::status::v::preparing,
                      "memory overflow occured. Cleaning up invalid data...");
        ctool.trim();
    }
    hw_status.set(hw::status::v::idle);
    // An overrun or an abort keeps the data, but the capture may show as done only once
    // its error is stored: a caller that sees done and then reads the error must not take
    // a failed capture for a good one. The launcher sets done after storing the error.
    const bool aborted = cancelled || abort.take(mox::timeout(0));
    if (overrun || aborted) {
        if (aborted) ctool.abort();
        done_once_stored = true;
        throw hw::exception(overrun ? hw::error::no_data : hw::error::aborted_by_user);
    }
    done = true;
}

template class capture<capture_tool>;

} // namespace kestrel
