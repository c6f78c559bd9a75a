#pragma once
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "drivers/d3xx/err.h"
#include "hw/log.h"
#include "hw/status.h"
#include "hw/trigger_mode.h"
#include "hw/types.h"
#include "kestrel/capture/buffer_parser.h"
#include "kestrel/capture/trigger_loader.h"
#include "kestrel/config/config.h"
#include "kestrel/config/config_loader.h"
#include "kestrel/link/communication.h"
#include "kestrel/status.h"
#include "mox/progress.h"
#include "mox/semaphore.h"
#include "mox/timed_mutex.h"
#include "mox/worker_pool.h"

namespace kestrel {

// One capture from arming to stored transitions, on the device core's capture thread:
// trigger programs and configuration to the device, pre-trigger countdown, trigger wait,
// then every group's USB3 stream parsed into the capture tool, reading the next buffers
// while the last ones are parsed.
template <typename CAPTURE_TOOL> class capture {
public:
    // One read of a bridge never waits longer: a stream cut by an abort or a time-out
    // hands over what came within it.
    static constexpr uint32_t usb_read_timeout_ms = 100;
    static constexpr size_t idle_read_size = 3200;
    // Bytes parsed between two looks at the end of the capture (16384 packets).
    static constexpr size_t parse_slice = 262144;
    // The longest the capture thread waits between two looks at the abort, the progress
    // and the readers; the end of a parse, of a reader, a status record and an abort
    // request wake it sooner.
    static constexpr uint32_t poll_ms = 50;

    capture(communication& com, config_loader& cfg_loader, CAPTURE_TOOL& ctool,
            status_t& device_status, hw::status& hw_status, mox::progress<uint8_t, 100>& progress,
            mox::timed_mutex& device_busy, mox::semaphore& notifier, const hw::log_fn& log);
    ~capture();
    capture(const capture&) = delete;
    capture& operator=(const capture&) = delete;

    void reset();
    // Returns when the capture is complete; throws hw::exception (busy, aborted_by_user,
    // no_data, not_responding when a stream stops for good), or the transport's exception
    // when the device link fails.
    void do_capture(config device_config, std::string last_sn, hw::trigger_mode_t trig_mode);

    std::atomic<bool> cfg_done{false};
    std::atomic<bool> done{false};
    // The capture ended with an error but kept its data: done is to be set once the error
    // is stored.
    std::atomic<bool> done_once_stored{false};
    std::atomic<bool> trigged{false};
    mox::semaphore abort{1, 0};
    // do_capture calls under way: a launch may start one while another still runs.
    bool is_running() const { return running > 0; }
    std::atomic<isamp> post_trig_samples{0};
    bool streaming_started = false;
    std::atomic<bool> overrun{false};

private:
    std::atomic<int> running{0};

    struct trigger_watch;
    struct stream_run;
    class readers_t;
    struct thread_crew;
    // The threads that read and parse the streams, kept from one capture to the next: a
    // new thread on a loaded machine may wait a scheduler slice for its first turn.
    std::unique_ptr<thread_crew> crew;
    thread_crew& crew_for(size_t groups);
    // Why the capture thread stopped watching a stream.
    struct loop_end {
        bool cancelled = false;
        std::optional<size_t> untriggered; // a group past the depth without its trigger
        bool store_full = false;           // the stores' file could not grow
    };
    void wait_for_trigger(const config& cfg, const std::string& last_sn, uint64_t armed);
    void stream(const config& cfg, const std::string& last_sn,
                std::vector<std::unique_ptr<buffer_parser>>& parsers, trigger_watch& watch);
    void read_group(stream_run& run, size_t g, mox::worker_pool& pool);
    // The group has the capture's post-trigger depth: what it sends now is dropped.
    bool has_depth(const stream_run& run, size_t g);
    loop_end watch_stream(stream_run& run, const std::string& last_sn);
    // What a stream left: its failures, and the groups that could not be placed.
    struct stream_outcome {
        bool cancelled = false;
        std::exception_ptr parse_error;
        d3xx::err read_error = d3xx::err::OK;
        bool stalled = false;
        bool misaligned = false;
        bool store_full = false;
        std::string not_triggered; // the groups that did not trigger, for the log
        bool failed() const {
            return cancelled || read_error != d3xx::err::OK || parse_error || stalled ||
                   misaligned || store_full;
        }
    };
    stream_outcome outcome_of(const stream_run& run, const loop_end& how);
    void end_capture(const stream_outcome& out);

    communication& com;
    config_loader& cfg_loader;
    CAPTURE_TOOL& ctool;
    status_t& device_status;
    hw::status& hw_status;
    mox::progress<uint8_t, 100>& progress;
    mox::timed_mutex& device_busy;
    mox::semaphore& notifier;
    trigger_loader trig_loader;
    const hw::log_fn& log;
};

} // namespace kestrel
