// Device side of the acquisition: started and stopped by the run flag, it finds the
// trigger, produces each group's sample packets when the host reads its bridge, and
// pushes status records while it runs.
#pragma once

#include "kestrel_sim/acquisition.h"
#include "kestrel_sim/bus.h"
#include "kestrel_sim/records.h"
#include "output_engine.h"
#include "waves.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace kestrel_sim {

struct run_t;
struct stream_t;
struct stream_recording;

class acquisition::engine {
public:
    explicit engine(unsigned groups);
    ~engine();
    engine(const engine&) = delete;
    engine& operator=(const engine&) = delete;

    // Called without the engine's lock held; the engine never calls it with its own held.
    void set_status_sink(std::function<void()> push);
    // Receives, when a run stops, the unread stream bytes left in a bridge's IN FIFO
    // (stream_model_t::fifo_bytes); same locking rule as the status sink.
    void set_fifo_sink(std::function<void(unsigned group, std::vector<uint8_t> bytes)> sink);

    // Trigger program words from the trigger loader (address in bytes, 8 per word).
    void load_trigger_word(unsigned group, unsigned engine_index, unsigned address, uint64_t word);
    void start(const device_config_t& cfg);
    void stop();
    // Ends the engine's thread for good (the owner is going away).
    void shutdown();
    bool running() const;

    // Status overlay per group.
    bool trigged() const;
    bool overrun(unsigned group) const;
    uint8_t data_available(unsigned group) const;

    // Bridge side. `active` tells whether reads of the group go to the sample stream.
    bool active(unsigned group) const;
    // Read fault for this read, 0 when none.
    uint32_t take_read_fault(unsigned group);
    // Blocking read of the sample stream into buf[got, len); `interrupted` returns a
    // non-zero FT status when the read must end (unplug, abort). Bounded by the time-out;
    // the bytes that arrived are kept in every case.
    uint32_t read(unsigned group, uint8_t* buf, uint32_t len, uint32_t timeout_ms,
                  uint32_t* transferred, const std::function<uint32_t()>& interrupted,
                  uint32_t got = 0);
    // Wakes the reads waiting in `read`, so that they look at `interrupted` at once (the
    // pipe was aborted, the bridge closed, the device restarted).
    void interrupt_reads();

    // Control interface (through the acquisition facade).
    void set_signal(unsigned ch, signal_t s);
    signal_t signal(unsigned ch) const;
    void set_external_input(signal_t s);
    void set_output_sync(unsigned group, signal_t s);
    void reset_signals();
    unsigned channels() const { return groups_ * 18; }
    void overrun_after(unsigned group, int64_t after);
    void never_trigger(bool on);
    void stall_stream(unsigned group, uint64_t after_bytes, std::chrono::milliseconds d);
    void fail_reads(unsigned group, unsigned count, uint32_t status);
    void clear_faults();
    capture_info_t capture() const;
    bool wait_trigger(std::chrono::milliseconds timeout) const;
    bool level(unsigned ch, int64_t capture_sample) const;
    bool external_level(int64_t capture_sample) const;
    bool output_sync_level(unsigned group, int64_t capture_sample) const;

    // The groups' output program engines; a run drives what they hold when it starts.
    output_engines& outputs() { return outputs_; }
    const output_engines& outputs() const { return outputs_; }

private:
    struct faults_t {
        std::vector<int64_t> overrun_after; // per group, -1: none
        bool never_trigger = false;
        std::vector<int64_t> stall_after; // per group, bytes, -1: none
        std::vector<std::chrono::milliseconds> stall_for;
        std::vector<unsigned> read_failures;
        std::vector<uint32_t> read_status;
    };

    void thread_main();
    void fire_trigger(run_t& r, int64_t abs);
    void ensure_thread();
    std::shared_ptr<stream_t> stream_of(unsigned group) const;
    // Takes the whole streams the last run recorded, for a run that repeats it.
    void keep_recordings();

    const unsigned groups_;
    output_engines outputs_;
    mutable std::mutex m_;
    mutable std::condition_variable cv_;
    std::vector<signal_t> signals_;
    signal_t external_;
    std::vector<signal_t> sync_;
    faults_t faults_;
    std::map<std::pair<unsigned, unsigned>, std::map<unsigned, uint64_t>> words_;
    std::shared_ptr<run_t> run_; // current or last capture
    bool running_ = false;
    uint64_t runs_ = 0;
    uint64_t read_wakes_ = 0;  // counts interrupt_reads
    uint64_t signals_gen_ = 0; // counts changes of the inputs
    // Per group, the last whole stream recorded.
    std::vector<std::shared_ptr<const stream_recording>> recordings_;
    std::function<void()> push_status_;
    std::function<void(unsigned, std::vector<uint8_t>)> fifo_sink_;
    bool quit_ = false;
    std::thread thread_;
};

} // namespace kestrel_sim
