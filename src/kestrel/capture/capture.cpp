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
#include "kestrel/capture/read_size.h"
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
    // The last parse's bytes and wall time, written by the parse and read once it is waited
    // for: the next reads are sized from them.
    size_t parsed_bytes = 0;
    std::chrono::nanoseconds parse_took{0};
    std::atomic<bool> ended{false};
    std::atomic<bool> overrun{false};
    bool stalled = false;
    d3xx::err error = d3xx::err::OK;
    std::exception_ptr failure; // a parse or the reader itself threw
};

// How long the other groups may take to read what their device memory holds once one
// group's stream ended in an overrun.
constexpr auto overrun_settle_limit = std::chrono::seconds(5);

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

// One reader and one parse thread per group, made when the group count changes.
template <typename T> struct capture<T>::thread_crew {
    explicit thread_crew(size_t groups)
        : groups(groups), readers(static_cast<unsigned>(groups)),
          parses(static_cast<unsigned>(groups)) {}
    const size_t groups;
    mox::worker_pool readers;
    mox::worker_pool parses;
};

template <typename T> typename capture<T>::thread_crew& capture<T>::crew_for(size_t groups) {
    if (!crew || crew->groups != groups) {
        crew.reset(); // its threads joined first
        crew = std::make_unique<thread_crew>(groups);
    }
    return *crew;
}

template <typename T>
capture<T>::capture(communication& c, config_loader& cl, T& tool, status_t& ds, hw::status& hs,
                    mox::progress<uint8_t, 100>& p, mox::timed_mutex& busy, mox::semaphore& n,
                    const hw::log_fn& l)
    : com(c), cfg_loader(cl), ctool(tool), device_status(ds), hw_status(hs), progress(p),
      device_busy(busy), notifier(n), trig_loader(c), log(l) {}

template <typename T> capture<T>::~capture() {
    abort.notify();
    crew.reset(); // idle: every capture waits for its readers and parses
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
    // Without a pre-trigger asked for, a tenth of the depth, within what the history holds.
    if (cfg.pre_trig_samples() == 0)
        cfg.post_trig_depth =
            std::max(static_cast<int64_t>(0.9 * static_cast<double>(cfg.sampling_depth)),
                     cfg.sampling_depth - T::max_history_samples);
    const size_t groups = cfg.groups.size();
    // Streams need their bridges: a closed or half-open device cannot capture.
    if (com.usb_interfaces.size() < groups) throw hw::exception(hw::error::not_open);
    for (size_t g = 0; g < groups; ++g)
        if (!com.usb_interfaces[g] || !com.usb_interfaces[g]->driver.handles().valid())
            throw hw::exception(hw::error::not_open);

    trigger_watch watch(groups);
    std::vector<std::unique_ptr<buffer_parser>> parsers;
    for (size_t g = 0; g < groups; ++g) {
        parsers.push_back(std::make_unique<buffer_parser>(
            static_cast<uint8_t>(g),
            buffer_parser::batch_fn_t([this, &watch](std::span<kestrel_trs> b, uint8_t gi) {
                watch.count(b, gi);
                ctool.append(std::span<const kestrel_trs>(b), gi);
            })));
        // Past the trigger record, which the watch has counted by then.
        parsers.back()->write_batches_to(&ctool.direct_batch(static_cast<uint8_t>(g)));
    }

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
    // Both steps wait for the device's acknowledgement, which is all the next one needs.
    cfg_loader.send_to_device(cfg);
    // An abort while the device took the configuration in ends the capture before it runs
    // (the run flag is still off).
    if (abort.take(mox::timeout(0))) throw hw::exception(hw::error::aborted_by_user);
    cfg_done = true;
    // The phases of a capture in the log, for its timeline.
    log("Configuration acknowledged");
    cfg_loader.set_run_flag(true);
    // Status records published before the run flag was acknowledged may still tell of the
    // last capture's trigger. Counted where the acknowledgement arrived, not where this
    // thread woke: a trigger record right behind it would otherwise be taken for an old one
    // and wait for the next record (10 ms later).
    const uint64_t armed = cfg_loader.run_flag_mark();
    log("Armed: run flag acknowledged");

    wait_for_trigger(cfg, last_sn, armed);
    trigged = true;
    log("Trigger reported by the device");
    if (trig_mode == hw::trigger_mode_t::normal) ctool.reset(pre, period, cfg.post_trig_depth);
    hw_status.set(hw::status::v::trigged_and_sampling);
    stream(cfg, last_sn, parsers, watch);
}

// The device reports its trigger only once it holds the samples asked for before it, so the
// countdown of the pre-trigger time is shown, not waited out: a status record with the
// trigger ends it at once. Every wait is on the notifier, which each status record and an
// abort request give, and lasts at most until the countdown's next step or 100 ms.
template <typename T>
void capture<T>::wait_for_trigger(const config& cfg, const std::string& last_sn, uint64_t armed) {
    using clock = std::chrono::steady_clock;
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
    bool waiting = false;
    auto next_step = clock::now();
    // A device that leaves the bus sends no trigger: its link's error ends the wait.
    for (;;) {
        hw::keep_alive::instance().push_unique(last_sn);
        if (abort.take(mox::timeout(0))) cancelled();
        com.throw_if_device_gone();
        const auto now = clock::now();
        if (!waiting && now >= next_step) {
            hw_status.set(hw::status::v::preparing,
                          "Pre-trigger buffering (" + seconds_text(pre_trig_time_ms) + "s)");
            waiting = pre_trig_time_ms <= 99;
            pre_trig_time_ms -= 100;
            next_step += std::chrono::milliseconds(100);
            if (waiting) hw_status.set(hw::status::v::waiting_trig);
        }
        // Once the countdown has run out, also a record from before (as ever): a device
        // that sends no record of its own while it waits is still heard.
        if (device_status.published() > armed || waiting) {
            const auto st = device_status.groups();
            if (!st.empty() && st[0].trigged) {
                if (!waiting) hw_status.set(hw::status::v::waiting_trig);
                return;
            }
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(next_step - clock::now());
        notifier.take(mox::timeout(
            waiting ? 100 : static_cast<uint32_t>(std::clamp<int64_t>(left.count(), 1, 100))));
    }
}

// What one stream shares between its readers and the capture thread. The readers and the
// parse workers end (stopped, their reads cut, a parse parked on the common trigger instant
// let go, then joined) before this state goes, on every way out.
template <typename T> struct capture<T>::stream_run {
    stream_run(const config& cfg, std::vector<std::unique_ptr<buffer_parser>>& parsers,
               trigger_watch& watch)
        : parsers(parsers), watch(watch), groups(parsers.size()), post(cfg.post_trig_depth),
          pre(cfg.pre_trig_samples()), late_limit(pre + std::max<isamp>(post, 64)),
          silence_limit(stream_silence_limit(cfg)), streams(groups) {}

    std::vector<std::unique_ptr<buffer_parser>>& parsers;
    trigger_watch& watch;
    const size_t groups;
    const isamp post;
    const isamp pre;
    // Past this many samples without its trigger marker a group did not trigger.
    const isamp late_limit;
    // A stream that stops for good (a corrupted count, a device that lost its place) would
    // otherwise leave the capture waiting for samples that never come.
    const std::optional<std::chrono::milliseconds> silence_limit;
    std::vector<group_stream> streams;
    std::atomic<bool> stop{false};
};

// The readers of one stream: stopped, their reads cut, the tool's waits let go and waited
// for when the capture ends or leaves by an exception. They and their parses run on the
// capture's own threads, kept from one capture to the next (`crew`).
template <typename T> class capture<T>::readers_t {
public:
    readers_t(capture& c, stream_run& run) : c(c), run(run), crew(c.crew_for(run.groups)) {
        try {
            for (size_t g = 0; g < run.groups; ++g)
                readers.push_back(crew.readers.submit(
                    [this, g] { this->c.read_group(this->run, g, crew.parses); }));
        } catch (...) {
            finish(); // the readers already started
            throw;
        }
    }
    ~readers_t() { finish(); }
    readers_t(const readers_t&) = delete;
    readers_t& operator=(const readers_t&) = delete;

    // Once: every abort of a pipe drops what the bridge holds on its way.
    void finish() {
        if (run.stop.exchange(true)) return;
        for (size_t g = 0; g < run.groups; ++g)
            c.com.usb_interfaces[g]->driver.abort_rx();
        c.ctool.abort();
        for (auto& r : readers)
            r.wait(); // a reader keeps its own failures (group_stream::failure)
        // A reader that failed between handing a buffer over and waiting for its parse left
        // the parse running on the kept pool: it uses this stream's state.
        for (auto& gs : run.streams)
            if (gs.parse.valid()) gs.parse.wait();
    }

private:
    capture& c;
    stream_run& run;
    thread_crew& crew;
    std::vector<std::future<void>> readers;
};

// One reader per bridge, so that the groups stream side by side: it reads into the group's
// write buffer while the group's last buffer is parsed on the pool, then hands the new one
// over. Reads are bounded by the pipe time-out and cut by an abort of the pipe, so a reader
// follows `stop` within one read. Each read asks for what the group parses in a bounded
// time (`read_sizer`): an abort parses what was read before the ready flag comes back.
template <typename T>
void capture<T>::read_group(stream_run& run, size_t g, mox::worker_pool& pool) {
    using clock = std::chrono::steady_clock;
    group_stream& gs = run.streams[g];
    hw::usb_group_t& u = *com.usb_interfaces[g];
    read_sizer sizer(u.read_limit());
    auto parse_done = [&gs, &sizer] {
        if (!gs.parse.valid()) return true;
        try {
            gs.parse.get();
            sizer.parsed(gs.parsed_bytes, gs.parse_took);
            return true;
        } catch (...) {
            gs.failure = std::current_exception();
            return false;
        }
    };
    try {
        auto heard = clock::now();
        while (!run.stop) {
            // A group with its depth keeps being read, so that its device memory does not
            // fill while the others catch up, but what it sends is dropped.
            const bool group_done = has_depth(run, g);
            const auto st = device_status.groups();
            const uint64_t backlog = g < st.size() ? st[g].buffered_data_size() : 0;
            if (!group_done && backlog == 0 && g < st.size() && st[g].overrun) {
                gs.overrun = true;
                break;
            }
            const uint64_t size =
                std::min<uint64_t>(backlog == 0 ? idle_read_size : backlog, sizer.next());
            size_t received = 0;
            const d3xx::err e =
                u.dump_to_buffer(static_cast<size_t>(size), usb_read_timeout_ms, &received);
            // A time-out delivers what came so far and the stream goes on; a read cut by the
            // end of the capture keeps its bytes; anything else means the bridge is gone.
            const bool cut = run.stop && e == d3xx::err::OPERATION_ABORTED;
            if (e != d3xx::err::OK && e != d3xx::err::TIMEOUT && !cut) {
                gs.error = e;
                break;
            }
            const auto now = clock::now();
            // A device that holds data its bridge does not deliver is as stuck as one that
            // sends nothing. A parse under way is not silence: a device that sent its whole
            // capture waits for a slow host to reach the depth.
            const bool parsing = gs.parse.valid() && gs.parse.wait_for(std::chrono::seconds(0)) !=
                                                         std::future_status::ready;
            if (received > 0 || parsing) {
                heard = now;
            } else if (!group_done && run.silence_limit && now - heard > *run.silence_limit) {
                log("No data from group " + std::to_string(g) + " for " +
                    seconds_text(run.silence_limit->count()) + " s: the stream has stalled");
                gs.stalled = true;
                break;
            }
            if (received == 0 || group_done) continue;
            // The last parse may wait for the common trigger instant; the capture thread
            // releases it when the capture ends. A read cut by the end of the capture is
            // parsed as well: what the host read is kept up to its last whole packet.
            if (!parse_done()) break;
            u.swap_buffers();
            gs.parse = pool.submit([this, &run, &gs, g] {
                const auto began = clock::now();
                // In slices: a group that reaches its depth stops at a packet boundary
                // instead of parsing the whole buffer. The parser carries its state from
                // one slice to the next as from one buffer to the next.
                com.usb_interfaces[g]->with_read_buffer([&](std::span<const uint8_t> b) {
                    // What follows the group's depth is dropped: it need not be parsed.
                    for (size_t at = 0; at < b.size() && !has_depth(run, g); at += parse_slice)
                        run.parsers[g]->parse(b.subspan(at, std::min(parse_slice, b.size() - at)));
                    gs.parsed_bytes = b.size();
                });
                gs.parse_took = clock::now() - began;
                notifier.notify(); // the capture thread looks at the depths
            });
            heard = clock::now(); // waiting for a parse is not silence
            if (cut) break;
        }
        parse_done();
    } catch (...) {
        if (!gs.failure) gs.failure = std::current_exception();
    }
    gs.ended = true;
    notifier.notify();
}

template <typename T> bool capture<T>::has_depth(const stream_run& run, size_t g) {
    return ctool.captured_post_trig_depth(static_cast<uint8_t>(g)) >= run.post;
}

// The capture thread only watches: the abort, progress, the readers' ends and groups whose
// stream passes the depth without a trigger marker. Returns why it stopped watching.
template <typename T>
typename capture<T>::loop_end capture<T>::watch_stream(stream_run& run,
                                                       const std::string& last_sn) {
    using clock = std::chrono::steady_clock;
    std::optional<clock::time_point> overrun_seen;
    for (;;) {
        hw::keep_alive::instance().push_unique(last_sn);
        if (abort.take(mox::timeout(0))) return {true, std::nullopt};
        // The stores keep what they hold in memory once their file cannot grow: the capture
        // ends before that outgrows the budget by more than one poll's worth.
        if (ctool.store_budget().full()) return {false, std::nullopt, true};
        post_trig_samples = ctool.captured_post_trig_depth();
        if (!streaming_started && ctool.ready()) {
            streaming_started = true;
            hw_status.set(hw::status::v::streaming);
        }
        ctool.flush_outdated(50);
        const int64_t pct = run.post > 0 ? 100 * post_trig_samples / run.post : 100;
        progress.set(static_cast<uint8_t>(std::clamp<int64_t>(pct, 0, 100)));

        // An overrun ends a group's stream once the group has read what its device memory
        // held; the other groups keep streaming until they have too (or have their depth),
        // so that every group keeps what the device delivered before the overrun.
        bool all_groups_done = true, reader_failed = false, overran = false, settled = true;
        std::optional<size_t> untriggered;
        for (size_t g = 0; g < run.groups; ++g) {
            const group_stream& gs = run.streams[g];
            const bool done = ctool.captured_post_trig_depth(static_cast<uint8_t>(g)) >= run.post;
            all_groups_done = all_groups_done && done;
            if (gs.ended && !gs.overrun) reader_failed = true;
            overran = overran || gs.overrun;
            settled = settled && (gs.ended || done);
            if (!run.watch.found[g] && run.watch.before[g] > run.late_limit) untriggered = g;
        }
        if (overran && !overrun_seen) overrun_seen = clock::now();
        // A group that cannot settle (its parse waits for a trigger instant that an
        // overrun before another group's trigger never brings) is not waited for long.
        const bool overrun_over =
            overrun_seen && (settled || clock::now() - *overrun_seen > overrun_settle_limit);
        if (untriggered || reader_failed || overrun_over || all_groups_done ||
            post_trig_samples > run.post)
            return {false, untriggered};
        // Woken by the end of a parse or of a reader, a status record or an abort request.
        notifier.take(mox::timeout(poll_ms));
    }
}

template <typename T>
void capture<T>::stream(const config& cfg, const std::string& last_sn,
                        std::vector<std::unique_ptr<buffer_parser>>& parsers,
                        trigger_watch& watch) {
    stream_run run(cfg, parsers, watch);
    // The read buffers' share of the host's memory follows the stores' budget of this
    // capture; pages an earlier capture filled beyond it go back.
    const uint64_t budget = ctool.store_budget().limit();
    for (size_t g = 0; g < run.groups; ++g) {
        auto& u = *com.usb_interfaces[g];
        u.clear_buffers();
        u.set_read_limit(read_sizer::ceiling_for(budget, run.groups, u.capacity()));
    }
    loop_end how;
    {
        readers_t readers(*this, run);
        how = watch_stream(run, last_sn);
        log("cleaning thread pool");
        readers.finish();
        log("thread pool cleaned");
    }
    end_capture(outcome_of(run, how));
}

// What failed in a stream, and which groups could not be placed.
template <typename T>
typename capture<T>::stream_outcome capture<T>::outcome_of(const stream_run& run,
                                                           const loop_end& how) {
    stream_outcome out;
    out.cancelled = how.cancelled;
    out.store_full = how.store_full;
    const auto& watch = run.watch;
    for (const auto& gs : run.streams) {
        if (gs.failure && !out.parse_error) out.parse_error = gs.failure;
        if (gs.error != d3xx::err::OK && out.read_error == d3xx::err::OK) out.read_error = gs.error;
        out.stalled = out.stalled || gs.stalled;
        if (gs.overrun) overrun = true;
    }
    // A capture that ends, other than by the user, with some groups past their trigger and
    // others without it cannot align them at a common trigger instant. A stream cut by an
    // overrun, a stall or a bridge error fails for that reason; a stream that passed the
    // whole depth without its trigger fails as not aligned. Either way the log names the
    // groups.
    bool any_triggered = false;
    for (size_t g = 0; g < run.groups; ++g)
        any_triggered = any_triggered || watch.found[g];
    if (!out.cancelled && !ctool.ready() && (how.untriggered || any_triggered))
        for (size_t g = 0; g < run.groups; ++g)
            // Past the depth, the group is known not to have triggered; the others may only
            // have been behind.
            if (!watch.found[g] && (!how.untriggered || watch.before[g] > run.late_limit))
                out.not_triggered += (out.not_triggered.empty() ? "" : ", ") + std::to_string(g);
    out.misaligned = how.untriggered && !out.cancelled;
    if (!out.not_triggered.empty())
        log("Group " + out.not_triggered + " did not trigger: no common trigger instant");
    return out;
}

// The end of the capture: what is kept, and the error it ends with.
template <typename T> void capture<T>::end_capture(const stream_outcome& out) {
    const bool cancelled = out.cancelled;
    const auto& parse_error = out.parse_error;
    const d3xx::err read_error = out.read_error;
    const bool stalled = out.stalled;
    const bool misaligned = out.misaligned;
    ctool.flush();
    ctool.wait_stored();
    post_trig_samples = ctool.captured_post_trig_depth();
    if (!cancelled && read_error == d3xx::err::OK && !stalled && !misaligned && !out.store_full)
        log("Capture done, post_trig_samples = " + std::to_string(post_trig_samples.load()) +
            "Overrun?" + (overrun ? "true" : "false") + " Stopping capture");

    const bool failed = out.failed();
    try {
        cfg_loader.set_run_flag(false);
        log("Run flag cleared");
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
        const std::string text = "Group " + out.not_triggered + " did not trigger";
        hw_status.set(hw::status::v::idle, text);
        throw hw::exception(hw::error::data_not_aligned);
    }
    if (stalled) {
        // What arrived stays in the stores; the capture is not done.
        hw_status.set(hw::status::v::idle);
        throw hw::exception(hw::error::not_responding);
    }
    if (out.store_full) {
        // Everything stored until then stays, cut to the length every channel covers as
        // after an overrun.
        const std::string why = ctool.store_budget().full_reason();
        log("Capture ended, the store is full: " + why);
        hw_status.set(hw::status::v::idle, "store full: " + why);
        ctool.trim();
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
    // After an overrun or an abort every channel is cut to the shortest group, so that
    // all of them end at one common length with one trigger position (or, aborted before
    // the trigger was placed, none holds anything).
    if (overrun || aborted) ctool.trim();
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
