#include "kestrel/capture/capture.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <thread>

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

// What one group's reader thread leaves for the capture thread. The reader writes the
// plain fields before it sets `ended`.
struct group_stream {
    std::future<void> parse; // the group's parse under way, if any
    std::atomic<bool> ended{false};
    std::atomic<bool> overrun{false};
    bool stalled = false;
    d3xx::err error = d3xx::err::OK;
    std::exception_ptr failure; // a parse or the reader itself threw
};

std::string seconds_text(int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(ms) / 1000.0);
    return text;
}

} // namespace

// Per group, the samples its stream carried before its trigger marker: a group that
// passes the capture's whole depth without one did not trigger, and no common trigger
// instant can place it.
template <typename T> struct capture<T>::trigger_watch {
    explicit trigger_watch(size_t groups)
        : found(new std::atomic<bool>[groups]), before(new std::atomic<isamp>[groups]) {
        for (size_t g = 0; g < groups; ++g) {
            found[g] = false;
            before[g] = 0;
        }
    }
    // On the group's parse thread, before the records reach the capture tool.
    void count(std::span<const kestrel_trs> b, size_t g) {
        if (found[g].load(std::memory_order_relaxed)) return;
        isamp n = 0;
        for (const auto& r : b) {
            if (r.trigged) {
                found[g] = true;
                break;
            }
            n += r.delta_samples;
        }
        before[g] += n;
    }
    std::unique_ptr<std::atomic<bool>[]> found;
    std::unique_ptr<std::atomic<isamp>[]> before;
};

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

    trigger_watch watch(groups);
    std::vector<std::unique_ptr<buffer_parser>> parsers;
    for (size_t g = 0; g < groups; ++g)
        parsers.push_back(std::make_unique<buffer_parser>(
            static_cast<uint8_t>(g),
            buffer_parser::batch_fn_t([this, &watch](std::span<kestrel_trs> b, uint8_t gi) {
                watch.count(b, gi);
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
    // A bridge keeps what an earlier capture left in its FIFO (a cancelled read, a stream
    // stopped before its end): it must not be taken for this capture's first samples.
    for (size_t g = 0; g < groups; ++g) {
        auto& bridge = com.usb_interfaces[g]->driver;
        bridge.abort_rx();
        bridge.flush_rx();
    }
    cfg_loader.send_to_device(cfg);
    mox::wait_ms(mox::timeout(100));
    cfg_done = true;
    cfg_loader.set_run_flag(true);

    wait_for_trigger(cfg, last_sn);
    trigged = true;
    if (trig_mode == hw::trigger_mode_t::normal) ctool.reset(pre, period, cfg.post_trig_depth);
    hw_status.set(hw::status::v::trigged_and_sampling);
    stream(cfg, last_sn, parsers, watch);
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
                        std::vector<std::unique_ptr<buffer_parser>>& parsers,
                        trigger_watch& watch) {
    const size_t groups = parsers.size();
    const isamp post = cfg.post_trig_depth;
    const isamp pre = cfg.pre_trig_samples();
    auto& usb = com.usb_interfaces;
    for (size_t g = 0; g < groups; ++g)
        usb[g]->clear_buffers();
    // A stream that stops for good (a corrupted count, a device that lost its place) would
    // otherwise leave the capture waiting for samples that never come.
    using clock = std::chrono::steady_clock;
    const auto silence_limit = stream_silence_limit(cfg);
    std::vector<group_stream> streams(groups);
    std::atomic<bool> stop{false};

    // One reader per bridge, so that the groups stream side by side: it reads into the
    // group's write buffer while the group's last buffer is parsed on the pool, then hands
    // the new one over. Reads are bounded by the pipe time-out and cut by an abort of the
    // pipe, so a reader follows `stop` within one read.
    auto read_group = [&](size_t g, mox::worker_pool& pool) {
        group_stream& gs = streams[g];
        hw::usb_group_t& u = *usb[g];
        auto parse_done = [&gs] {
            if (!gs.parse.valid()) return true;
            try {
                gs.parse.get();
                return true;
            } catch (...) {
                gs.failure = std::current_exception();
                return false;
            }
        };
        try {
            auto heard = clock::now();
            while (!stop) {
                // A group with its depth keeps being read, so that its device memory does
                // not fill while the others catch up, but what it sends is dropped.
                const bool group_done =
                    ctool.captured_post_trig_depth(static_cast<uint8_t>(g)) >= post;
                const auto st = device_status.groups();
                const uint64_t backlog = g < st.size() ? st[g].buffered_data_size() : 0;
                if (!group_done && backlog == 0 && g < st.size() && st[g].overrun) {
                    gs.overrun = true;
                    break;
                }
                const uint64_t size =
                    std::min<uint64_t>(backlog == 0 ? idle_read_size : backlog, u.capacity());
                size_t received = 0;
                const d3xx::err e =
                    u.dump_to_buffer(static_cast<size_t>(size), usb_read_timeout_ms, &received);
                // A time-out delivers what came so far and the stream goes on; a read cut by
                // the end of the capture keeps its bytes; anything else means the bridge is
                // gone.
                const bool cut = stop && e == d3xx::err::OPERATION_ABORTED;
                if (e != d3xx::err::OK && e != d3xx::err::TIMEOUT && !cut) {
                    gs.error = e;
                    break;
                }
                const auto now = clock::now();
                // A device that holds data its bridge does not deliver is as stuck as one
                // that sends nothing.
                if (received > 0) {
                    heard = now;
                } else if (!group_done && silence_limit && now - heard > *silence_limit) {
                    log("No data from group " + std::to_string(g) + " for " +
                        seconds_text(silence_limit->count()) + " s: the stream has stalled");
                    gs.stalled = true;
                    break;
                }
                if (received == 0 || group_done) continue;
                // The last parse may wait for the common trigger instant; the capture thread
                // releases it when the capture ends.
                if (!parse_done() || stop) break;
                u.swap_buffers();
                gs.parse = pool.submit([&, g] {
                    // In slices: the end of the capture stops a long parse at a packet
                    // boundary instead of waiting for the whole buffer. The parser carries
                    // its state from one slice to the next as from one buffer to the next.
                    usb[g]->with_read_buffer([&](std::span<const uint8_t> b) {
                        for (size_t at = 0; at < b.size() && !stop; at += parse_slice)
                            parsers[g]->parse(b.subspan(at, std::min(parse_slice, b.size() - at)));
                    });
                });
                heard = clock::now(); // waiting for a parse is not silence
            }
            parse_done();
        } catch (...) {
            if (!gs.failure) gs.failure = std::current_exception();
        }
        gs.ended = true;
    };

    // Built after the state their tasks write, so that on every way out (an exception
    // included) the readers and the parse workers end before that state goes: the
    // readers are stopped, their reads cut, a parse parked on the common trigger instant
    // let go, and then they are joined.
    mox::worker_pool pool(static_cast<unsigned>(groups));
    struct readers_t {
        std::atomic<bool>& stop;
        communication& com;
        size_t groups;
        T& tool;
        std::vector<std::thread> threads;
        void finish() {
            stop = true;
            for (size_t g = 0; g < groups; ++g)
                com.usb_interfaces[g]->driver.abort_rx();
            tool.abort();
            for (auto& t : threads)
                if (t.joinable()) t.join();
        }
        ~readers_t() { finish(); }
    } readers{stop, com, groups, ctool, {}};
    for (size_t g = 0; g < groups; ++g)
        readers.threads.emplace_back(read_group, g, std::ref(pool));

    bool cancelled = false;
    bool store_full = false;
    std::optional<size_t> untriggered; // a group whose stream passed the depth without trigger
    const isamp late_limit = pre + std::max<isamp>(post, 64);
    for (;;) {
        hw::keep_alive::instance().push_unique(last_sn);
        if (abort.take(mox::timeout(poll_ms))) {
            cancelled = true;
            break;
        }
        // The stores keep what they hold in memory once their file cannot grow: the capture
        // ends before that outgrows the budget by more than one poll's worth.
        if (ctool.store_budget().full()) {
            store_full = true;
            break;
        }
        post_trig_samples = ctool.captured_post_trig_depth();
        if (!streaming_started && ctool.ready()) {
            streaming_started = true;
            hw_status.set(hw::status::v::streaming);
        }
        ctool.flush_outdated(50);
        const int64_t pct = post > 0 ? 100 * post_trig_samples / post : 100;
        progress.set(static_cast<uint8_t>(std::clamp<int64_t>(pct, 0, 100)));

        bool all_groups_done = true, reader_ended = false;
        for (size_t g = 0; g < groups; ++g) {
            if (ctool.captured_post_trig_depth(static_cast<uint8_t>(g)) < post)
                all_groups_done = false;
            if (streams[g].ended) reader_ended = true;
            if (!watch.found[g] && watch.before[g] > late_limit) untriggered = g;
        }
        if (untriggered || reader_ended || all_groups_done || post_trig_samples > post) break;
    }
    log("cleaning thread pool");
    readers.finish();
    log("thread pool cleaned");

    std::exception_ptr parse_error;
    d3xx::err read_error = d3xx::err::OK;
    bool stalled = false;
    for (size_t g = 0; g < groups; ++g) {
        const auto& gs = streams[g];
        if (gs.failure && !parse_error) parse_error = gs.failure;
        if (gs.error != d3xx::err::OK && read_error == d3xx::err::OK) read_error = gs.error;
        stalled = stalled || gs.stalled;
        if (gs.overrun) overrun = true;
    }
    // A capture that ends, other than by the user, with some groups past their trigger and
    // others without it cannot align them at a common trigger instant. A stream cut by an
    // overrun, a stall or a bridge error fails for that reason; a stream that passed the
    // whole depth without its trigger fails as not aligned. Either way the log names the
    // groups.
    bool any_triggered = false;
    for (size_t g = 0; g < groups; ++g)
        any_triggered = any_triggered || watch.found[g];
    std::string not_triggered;
    if (!cancelled && !ctool.ready() && (untriggered || any_triggered))
        for (size_t g = 0; g < groups; ++g)
            // Past the depth, the group is known not to have triggered; the others may only
            // have been behind.
            if (!watch.found[g] && (!untriggered || watch.before[g] > late_limit))
                not_triggered += (not_triggered.empty() ? "" : ", ") + std::to_string(g);
    const bool misaligned = untriggered && !cancelled;
    if (!not_triggered.empty())
        log("Group " + not_triggered + " did not trigger: no common trigger instant");

    ctool.flush();
    ctool.wait_stored();
    post_trig_samples = ctool.captured_post_trig_depth();
    if (!cancelled && read_error == d3xx::err::OK && !stalled && !misaligned && !store_full)
        log("Capture done, post_trig_samples = " + std::to_string(post_trig_samples.load()) +
            "Overrun?" + (overrun ? "true" : "false") + " Stopping capture");

    const bool failed = cancelled || read_error != d3xx::err::OK || parse_error || stalled ||
                        misaligned || store_full;
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
    if (misaligned) {
        // The triggered groups waited for the others within the capture's own bounds;
        // what they hold cannot be placed against the rest.
        const std::string text = "Group " + not_triggered + " did not trigger";
        hw_status.set(hw::status::v::idle, text);
        throw hw::exception(hw::error::data_not_aligned);
    }
    if (stalled) {
        // What arrived stays in the stores; the capture is not done.
        hw_status.set(hw::status::v::idle);
        throw hw::exception(hw::error::not_responding);
    }
    if (store_full) {
        // Everything stored until then stays, as after an abort: the capture's length is
        // the one every channel covers.
        const std::string why = ctool.store_budget().full_reason();
        log("Capture ended, the store is full: " + why);
        hw_status.set(hw::status::v::idle, "store full: " + why);
        ctool.abort();
        done_once_stored = true;
        throw hw::exception(hw::error::store_full);
    }
    const bool aborted = cancelled || abort.take(mox::timeout(0));
    if (overrun) {
        progress.set(0);
        hw_status.set(hw::status::v::preparing,
                      "memory overflow occured. Cleaning up invalid data...");
    }
    // After an overrun every channel is cut to the shortest group. An abort keeps what
    // every group received as it is: the capture's length (the available samples) is the
    // shortest group's, and rebuilding every store to cut the others' last read would hold
    // the abort for seconds on a long capture.
    if (overrun) ctool.trim();
    hw_status.set(hw::status::v::idle);
    // An overrun or an abort keeps the data, but the capture may show as done only once
    // its error is stored: a caller that sees done and then reads the error must not take
    // a failed capture for a good one. The launcher sets done after storing the error.
    if (overrun || aborted) {
        if (aborted) ctool.abort();
        done_once_stored = true;
        throw hw::exception(overrun ? hw::error::no_data : hw::error::aborted_by_user);
    }
    done = true;
}

template class capture<capture_tool>;

} // namespace kestrel
