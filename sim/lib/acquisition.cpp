#include "acquisition_engine.h"

#include "packet_encoder.h"
#include "stats.h"
#include "stream_cache.h"
#include "stream_model.h"
#include "trigger_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace kestrel_sim {

namespace {

using namespace std::chrono_literals;
using clock_t_ = std::chrono::steady_clock;

constexpr unsigned group_channels = 18;
constexpr auto status_period = 10ms;
// Candidates examined per slice of the trigger search; between slices the engine pushes
// status and sees a stop.
constexpr unsigned search_budget = 50000;
constexpr uint32_t ft_ok = 0;
constexpr uint32_t ft_timeout = 19;
constexpr uint32_t ft_operation_aborted = 20;
constexpr uint32_t unlimited_wait_ms = 60000;
constexpr double data_unit_bytes = 32000000.0;
// Samples of a trial run that estimate a paced stream's bytes per sample.
constexpr int64_t estimate_samples = 1 << 16;
// A read produces at most this much between looks at an abort and the time-out ...
constexpr size_t read_slice_bytes = 1 << 20;
// ... and waits at most this long between them for what the clock brings (a paced stream's
// samples, the end of a stall); an abort, a closed bridge or a restart wakes it at once.
constexpr auto interrupt_poll = 5ms;

int64_t round_up7(int64_t n) {
    return (n + 6) / 7 * 7;
}

signal_t default_external() {
    return signal_t::square(100e-6, 0.5, 37e-6);
}

} // namespace

// Activity on every input without any set-up: counters, a UART stream, square waves of
// spread periods and random toggles, a little different in each group.
signal_t default_signal(unsigned ch) {
    const unsigned g = ch / group_channels;
    const unsigned j = ch % group_channels;
    if (j < 8) return signal_t::counter(j, 32e-9 * (g + 1));
    if (j == 8) {
        const std::string text = "KESTREL " + std::to_string(g) + "\r\n";
        return signal_t::uart({text.begin(), text.end()}, 115200, 2, true, 3e-6 * g);
    }
    if (j < 17) {
        double period = 40e-9;
        for (unsigned k = 9; k < j; ++k)
            period *= 3;
        return signal_t::square(period * (1 + 0.25 * g), j % 2 == 0 ? 0.5 : 0.25, 16e-9 * g);
    }
    return signal_t::random(0x5EED0000u + ch, 2e-6);
}

enum class stream_state { more, paused, ended };

// One group's sample stream, produced packet by packet as the host reads it. Paced, the
// samples enter the device's memory at the sampling rate from the run's start and the
// stream ends early when the memory fills up.
struct stream_t {
    stream_t(std::shared_ptr<const setup_t> setup, unsigned g, int64_t trigger_abs,
             const stream_model_t& m, clock_t_::time_point run_start)
        : s(std::move(setup)), group(g), first_abs(trigger_abs - s->pre), trig_cap(s->pre),
          model(m), t0(run_start) {
        end = s->total;
        if (s->overrun_after[g] >= 0) {
            end = std::min(end, round_up7(s->overrun_after[g]));
            // An injected overrun is reported from the trigger on.
            overran = end < s->total;
        }
        lim = model.paced ? 0 : end;
    }

    size_t produce(uint8_t* out, size_t len, stream_state& st);
    // The encoder's, or the replayed recording's when the stream repeats the last run's.
    int64_t pos() const { return replay ? replay->pos() : enc.pos(); }
    int64_t whole_pos() const { return replay ? replay->whole_pos() : enc.whole_pos(); }
    size_t staged() const { return replay ? replay->staged() : enc.staged(); }
    // Paced: what the memory holds at `now`, and an overrun when it is full.
    void update(clock_t_::time_point now);
    double bytes_per_sample();

    const std::shared_ptr<const setup_t> s;
    const unsigned group;
    const int64_t first_abs; // device sample of capture sample 0
    const int64_t trig_cap;  // capture sample of the trigger
    const stream_model_t model;
    const clock_t_::time_point t0; // the run's start: device sample 0
    int64_t end = 0;               // the stream ends here (an overrun moves it)
    int64_t lim = 0;               // produced so far: the stream may go up to here

    std::mutex m; // the reader of the bridge
    packet_encoder enc{*s, group, first_abs, trig_cap};
    std::unique_ptr<stream_replay> replay;       // serves a recording instead of `enc`
    std::shared_ptr<stream_recording> recording; // what `enc` produced, for the next run
    double estimate = 0;      // paced: bytes per sample before the reader measured it
    int64_t stall_after = -1; // bytes
    std::chrono::milliseconds stall_for{0};
    bool stalling = false;
    clock_t_::time_point stall_until{};
    clock_t_::time_point bridge_free{}; // the bridge has carried every byte handed out by then

    std::atomic<bool> stopped{false};
    std::atomic<bool> overran{false};
    std::atomic<double> held_pub{0}; // paced: bytes in the device's memory
    std::atomic<int64_t> pos_pub{0};
    std::atomic<uint64_t> staged_pub{0};
    std::atomic<uint64_t> bytes{0};
    // Capture samples in the whole packets that reached the host, and the bytes an abort
    // of the pipe dropped on their way.
    std::atomic<int64_t> delivered{0};
    std::atomic<uint64_t> lost{0};
};

struct run_t {
    std::shared_ptr<const setup_t> setup;
    stream_model_t model;
    clock_t_::time_point t0;                // run flag 1: device sample 0
    std::unique_ptr<trigger_search> search; // engine thread only
    int64_t trigger_abs = -1;
    int64_t pending_trigger = -1; // paced: found, waiting for the wall clock to reach it
    bool trigged = false;
    std::vector<std::shared_ptr<stream_t>> streams; // from the trigger on
    // Per group, where its output program starts; only groups whose engine runs.
    std::vector<std::shared_ptr<program_origin_t>> origins;
    std::vector<bool> waits_for_trigger;
};

namespace {

// Channels configured as outputs show what the group's engine drives instead of their input.
void drive_outputs(setup_t& s, run_t& r, const output_engines& outputs) {
    r.origins.assign(s.groups, nullptr);
    r.waits_for_trigger.assign(s.groups, false);
    for (unsigned g = 0; g < s.groups; ++g) {
        const group_drive_t d = outputs.drive(g);
        if (!d.running) continue;
        auto origin = std::make_shared<program_origin_t>();
        // Without waiting for the trigger the program starts with the run.
        if (!d.params.wait_for_trig) origin->t0_ps = 0;
        r.origins[g] = origin;
        r.waits_for_trigger[g] = d.params.wait_for_trig;
        const unsigned base = s.base_channel(g);
        using kind = driven_wave::kind_t;
        for (unsigned j = 0; j < group_channels; ++j) {
            const unsigned port = j / 9, idx = j % 9;
            if (d.ports[port].io[idx] == 0) continue;
            const bool idle = (d.params.idle_state >> j) & 1;
            const bool clock = idx == 8 && d.params.clk_out_enable[port];
            s.waves[base + j] = wave(std::make_shared<driven_wave>(
                clock ? kind::clock : kind::program, d.program, j, idle,
                clock ? d.params.clk_out_freq[port] : 0, origin));
        }
        s.sync[g] = wave(std::make_shared<driven_wave>(kind::sync, d.program, 0, false, 0, origin));
    }
}

} // namespace

size_t stream_t::produce(uint8_t* out, size_t len, stream_state& st) {
    st = stream_state::more;
    size_t n = 0;
    const uint64_t before = bytes.load();
    while (n < len) {
        if (stopped.load()) {
            st = stream_state::ended;
            break;
        }
        size_t room = len - n;
        if (stall_after >= 0) {
            const uint64_t done = before + n;
            if (done >= static_cast<uint64_t>(stall_after)) {
                if (!stalling) {
                    stalling = true;
                    stall_until = clock_t_::now() + stall_for;
                }
                if (stall_for.count() < 0 || clock_t_::now() < stall_until) {
                    st = stream_state::paused;
                    break;
                }
                stall_after = -1;
                stalling = false;
            } else {
                room = std::min<size_t>(room, static_cast<uint64_t>(stall_after) - done);
            }
        }
        size_t k = 0;
        if (replay) {
            k = replay->produce(out + n, room);
        } else {
            k = enc.produce(out + n, room, lim);
            if (recording && !recording->complete) {
                recording->bytes.insert(recording->bytes.end(), out + n, out + n + k);
                recording->complete = enc.pos() >= end && enc.staged() == 0;
            }
        }
        n += k;
        if (k < room) {
            st = pos() >= end ? stream_state::ended : stream_state::paused;
            break;
        }
    }
    bytes.fetch_add(n);
    pos_pub.store(pos());
    staged_pub.store(staged());
    return n;
}

double stream_t::bytes_per_sample() {
    // Measured on what the host read; before that, on a trial run of the stream's start.
    const int64_t pos = this->pos();
    if (pos >= estimate_samples)
        return static_cast<double>(bytes.load() + staged()) / static_cast<double>(pos);
    if (estimate == 0) {
        packet_encoder trial(*s, group, first_abs, trig_cap);
        std::vector<uint8_t> scratch(estimate_samples / 7 * 48);
        const int64_t upto = std::min(end, estimate_samples);
        const size_t n = trial.produce(scratch.data(), scratch.size(), upto);
        estimate =
            std::max(1.0, static_cast<double>(n)) / static_cast<double>(std::max<int64_t>(upto, 7));
    }
    return estimate;
}

void stream_t::update(clock_t_::time_point now) {
    if (!model.paced) return;
    const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - t0).count();
    // Samples taken so far: sample n at n / f after the run started.
    const int64_t taken =
        ns < 0 ? 0 : static_cast<int64_t>(static_cast<__int128>(ns) * s->tb.freq / 1000000000) + 1;
    const int64_t pos = this->pos();
    int64_t avail = std::clamp<int64_t>(taken - first_abs, pos, end);
    if (avail < end) avail = std::max(pos, avail / 7 * 7);
    const double per_sample = bytes_per_sample();
    const double staged = static_cast<double>(this->staged());
    const auto memory = static_cast<double>(model.memory_bytes);
    if (!overran && staged + static_cast<double>(avail - pos) * per_sample > memory) {
        // The memory filled up: the samples that still fitted are the last of the stream.
        const auto fits = static_cast<int64_t>(std::max(0.0, memory - staged) / per_sample);
        end = std::min(end, pos + fits / 7 * 7);
        overran = true;
    }
    lim = std::min(avail, end);
    held_pub = staged + static_cast<double>(lim - pos) * per_sample;
}

acquisition::engine::engine(unsigned groups)
    : groups_(groups), outputs_(groups), recordings_(groups) {
    reset_signals();
    clear_faults();
}

acquisition::engine::~engine() {
    shutdown();
}

void acquisition::engine::shutdown() {
    {
        std::lock_guard lk(m_);
        quit_ = true;
        running_ = false;
        if (run_)
            for (auto& s : run_->streams)
                s->stopped = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void acquisition::engine::set_status_sink(std::function<void()> push) {
    std::lock_guard lk(m_);
    push_status_ = std::move(push);
}

void acquisition::engine::ensure_thread() {
    if (!thread_.joinable()) thread_ = std::thread([this] { thread_main(); });
}

void acquisition::engine::load_trigger_word(unsigned group, unsigned engine_index, unsigned address,
                                            uint64_t word) {
    std::lock_guard lk(m_);
    words_[{group, engine_index}][address / 8] = word;
}

void acquisition::engine::start(const device_config_t& cfg) {
    {
        std::lock_guard lk(m_);
        if (running_) return;
        if (cfg.sampling_freq == 0 || cfg.groups.empty() || cfg.groups.size() != groups_) return;
        auto s = std::make_shared<setup_t>();
        s->tb = timebase(cfg.sampling_freq);
        s->groups = groups_;
        s->master = groups_ - 1;
        for (unsigned g = 0; g < groups_; ++g)
            if (cfg.groups[g].is_master_group) {
                s->master = g;
                break;
            }
        for (const auto& sig : signals_)
            s->waves.emplace_back(sig);
        s->ext = wave(external_);
        for (const auto& sig : sync_)
            s->sync.emplace_back(sig);
        s->post = std::max<int64_t>(0, cfg.post_trig_depth);
        s->pre = std::max<int64_t>(0, cfg.sampling_depth - s->post);
        s->total = round_up7(s->pre + 1 + s->post);
        const auto& trig = cfg.groups[s->master].trigger;
        for (unsigned i = 0; i < 2; ++i) {
            auto& slot = s->slots[i];
            slot.fast = trig.fast[i];
            slot.clk = trig.flex[i].clk;
            if (trig.select_fast[i]) {
                slot.kind =
                    trig.fast[i].ext_enable ? slot_t::kind_t::external : slot_t::kind_t::fast;
            } else if (trig.flex[i].max_steps > 0) {
                slot.kind = slot_t::kind_t::flex;
                const auto it = words_.find({s->master, i});
                for (unsigned w = 0; w < trig.flex[i].max_steps; ++w) {
                    uint64_t word = 0;
                    if (it != words_.end())
                        if (auto wi = it->second.find(w); wi != it->second.end()) word = wi->second;
                    slot.words.push_back(word);
                }
            }
        }
        s->order = trig.order;
        s->overrun_after = faults_.overrun_after;

        keep_recordings();
        auto r = std::make_shared<run_t>();
        drive_outputs(*s, *r, outputs_);
        r->setup = s;
        r->model = current_stream_model();
        r->t0 = clock_t_::now();
        if (!faults_.never_trigger) r->search = std::make_unique<trigger_search>(*s, s->pre);
        run_ = std::move(r);
        running_ = true;
        ++runs_;
        if (!quit_) ensure_thread();
    }
    cv_.notify_all();
}

void acquisition::engine::stop() {
    std::vector<std::shared_ptr<stream_t>> streams;
    std::function<void(unsigned, std::vector<uint8_t>)> sink;
    {
        std::lock_guard lk(m_);
        if (!running_) return;
        running_ = false;
        streams = run_->streams;
        if (run_->model.fifo_bytes > 0) sink = fifo_sink_;
        // Unread samples go with the run: the next capture starts on an empty memory ...
        for (auto& s : streams)
            s->stopped = true;
    }
    cv_.notify_all();
    // ... but what already went into a bridge's FIFO stays there until the host flushes
    // or aborts the pipe.
    if (sink)
        for (auto& s : streams) {
            std::vector<uint8_t> left;
            {
                std::lock_guard sl(s->m);
                s->update(clock_t_::now());
                left.resize(s->model.fifo_bytes);
                s->stopped = false;
                stream_state st;
                left.resize(s->produce(left.data(), left.size(), st));
                s->stopped = true;
            }
            if (!left.empty()) sink(s->group, std::move(left));
        }
}

void acquisition::engine::set_fifo_sink(std::function<void(unsigned, std::vector<uint8_t>)> sink) {
    std::lock_guard lk(m_);
    fifo_sink_ = std::move(sink);
}

bool acquisition::engine::running() const {
    std::lock_guard lk(m_);
    return running_;
}

void acquisition::engine::thread_main() {
    std::unique_lock lk(m_);
    auto next_push = clock_t_::now();
    bool was_running = false;
    while (!quit_) {
        const auto now = clock_t_::now();
        // One record when the run starts and ends, and every period while it runs.
        if (running_ != was_running || (running_ && now >= next_push)) {
            was_running = running_;
            next_push = now + status_period;
            auto push = push_status_;
            lk.unlock();
            if (push) push();
            lk.lock();
            continue;
        }
        auto r = run_;
        if (running_ && r && !r->trigged && r->search) {
            lk.unlock();
            r->search->step(search_budget);
            lk.lock();
            if (r != run_ || !running_) continue;
            if (r->search->never()) {
                r->search.reset();
            } else if (r->search->found() >= 0) {
                const int64_t found = r->search->found();
                r->search.reset();
                if (r->model.paced)
                    r->pending_trigger = found;
                else
                    fire_trigger(*r, found);
                next_push = clock_t_::now(); // tell the host at once
            } else {
                // Leave the other cores a share while a far trigger is searched.
                cv_.wait_for(lk, 1ms);
            }
            continue;
        }
        if (running_ && r && !r->trigged && r->pending_trigger >= 0) {
            // Paced, the trigger happens when the wall clock reaches its sample.
            const auto at =
                r->t0 +
                std::chrono::nanoseconds(static_cast<int64_t>(
                    static_cast<__int128>(r->pending_trigger) * 1000000000 / r->setup->tb.freq));
            if (now >= at) {
                fire_trigger(*r, r->pending_trigger);
                next_push = now;
            } else {
                cv_.wait_until(lk, std::min(at, next_push));
            }
            continue;
        }
        if (running_)
            cv_.wait_until(lk, next_push);
        else
            cv_.wait_for(lk, 200ms);
    }
}

void acquisition::engine::fire_trigger(run_t& r, int64_t abs) {
    r.trigger_abs = abs;
    r.pending_trigger = -1;
    r.trigged = true;
    for (size_t g = 0; g < r.origins.size(); ++g)
        if (r.origins[g] && r.waits_for_trigger[g])
            r.origins[g]->t0_ps = r.setup->tb.time_of(r.trigger_abs);
    // Outputs driven by a program and a paced stream are not kept: their bytes depend on
    // more than the key.
    const bool keepable =
        !r.model.paced && std::none_of(r.origins.begin(), r.origins.end(),
                                       [](const auto& o) { return o != nullptr; });
    for (unsigned g = 0; g < groups_; ++g) {
        auto st = std::make_shared<stream_t>(r.setup, g, r.trigger_abs, r.model, r.t0);
        st->stall_after = faults_.stall_after[g];
        st->stall_for = faults_.stall_for[g];
        const setup_t& s = *r.setup;
        const stream_key key{signals_gen_, s.tb.freq, s.groups, s.master,      g,
                             s.pre,        s.post,    s.total,  st->first_abs, st->end};
        if (keepable && recordings_[g] && recordings_[g]->key == key) {
            st->replay = std::make_unique<stream_replay>(recordings_[g]);
            ++stats().streams_replayed;
        } else if (keepable && stream_recording::estimate(st->end) <= stream_recording::max_bytes) {
            st->recording = std::make_shared<stream_recording>(key);
            st->recording->bytes.reserve(stream_recording::estimate(st->end));
        }
        r.streams.push_back(std::move(st));
    }
    cv_.notify_all();
}

void acquisition::engine::keep_recordings() {
    if (!run_) return;
    for (const auto& st : run_->streams) {
        std::lock_guard sl(st->m);
        if (st->recording && st->recording->complete) recordings_[st->group] = st->recording;
    }
}

bool acquisition::engine::trigged() const {
    std::lock_guard lk(m_);
    return running_ && run_ && run_->trigged;
}

std::shared_ptr<stream_t> acquisition::engine::stream_of(unsigned group) const {
    if (!running_ || !run_ || !run_->trigged || group >= run_->streams.size()) return nullptr;
    return run_->streams[group];
}

bool acquisition::engine::overrun(unsigned group) const {
    std::shared_ptr<stream_t> s;
    {
        std::lock_guard lk(m_);
        s = stream_of(group);
    }
    if (!s) return false;
    if (s->model.paced) {
        std::lock_guard sl(s->m);
        s->update(clock_t_::now());
    }
    return s->overran;
}

uint8_t acquisition::engine::data_available(unsigned group) const {
    std::shared_ptr<stream_t> s;
    {
        std::lock_guard lk(m_);
        s = stream_of(group);
    }
    if (!s) return 0;
    if (s->model.paced) {
        double held = 0;
        {
            std::lock_guard sl(s->m);
            s->update(clock_t_::now());
            held = s->held_pub;
        }
        return held <= 0 ? 0
                         : static_cast<uint8_t>(std::min(255.0, std::ceil(held / data_unit_bytes)));
    }
    const int64_t left = std::max<int64_t>(0, s->end - s->pos_pub.load());
    const double bytes = static_cast<double>(s->staged_pub.load()) +
                         16.0 * static_cast<double>((left + 6) / 7) * 1.1;
    if (bytes <= 0) return 0;
    // Any remainder counts as a unit, so that the host asks for a large read.
    return static_cast<uint8_t>(std::min(255.0, std::ceil(bytes / data_unit_bytes)));
}

bool acquisition::engine::active(unsigned group) const {
    std::lock_guard lk(m_);
    return running_ && group < groups_;
}

uint32_t acquisition::engine::take_read_fault(unsigned group) {
    std::lock_guard lk(m_);
    if (group >= groups_ || faults_.read_failures[group] == 0) return ft_ok;
    --faults_.read_failures[group];
    return faults_.read_status[group];
}

uint32_t acquisition::engine::read(unsigned group, uint8_t* buf, uint32_t len, uint32_t timeout_ms,
                                   uint32_t* transferred,
                                   const std::function<uint32_t()>& interrupted, uint32_t got) {
    const auto deadline = clock_t_::now() + std::chrono::milliseconds(
                                                timeout_ms == 0 ? unlimited_wait_ms : timeout_ms);
    auto finish = [&](uint32_t status) {
        *transferred = got;
        return status;
    };
    // Taken before each look at `interrupted`, so that an interruption after the look
    // ends the wait that follows it.
    uint64_t seen = 0;
    auto wait = [&](clock_t_::time_point until) {
        std::unique_lock lk(m_);
        cv_.wait_until(lk, until, [&] { return read_wakes_ != seen; });
    };
    for (;;) {
        std::shared_ptr<stream_t> s;
        {
            std::lock_guard lk(m_);
            seen = read_wakes_;
            s = stream_of(group);
        }
        if (const uint32_t st = interrupted(); st != ft_ok) return finish(st);
        stream_state state = stream_state::paused;
        size_t n = 0;
        int64_t whole = 0;
        auto arrival = clock_t_::now();
        if (s) {
            std::lock_guard sl(s->m);
            const auto now = clock_t_::now();
            // Produced in slices, so that an abort or the time-out ends the read soon.
            size_t room = std::min<size_t>(len - got, read_slice_bytes);
            const uint64_t rate = s->model.bridge_bytes_per_s;
            const auto start = std::max(now, s->bridge_free);
            if (rate > 0) {
                // Only what the bridge can carry before the time-out.
                const double secs = std::chrono::duration<double>(deadline - start).count();
                room = secs <= 0 ? 0 : std::min<size_t>(room, static_cast<size_t>(secs * rate));
            }
            if (room > 0) {
                s->update(now);
                n = s->produce(buf + got, room, state);
            } else {
                state = stream_state::more;
            }
            if (n > 0 && rate > 0)
                s->bridge_free =
                    start + std::chrono::nanoseconds(static_cast<int64_t>(
                                static_cast<double>(n) * 1e9 / static_cast<double>(rate)));
            arrival = std::max(now, s->bridge_free);
            whole = s->whole_pos();
        }
        got += static_cast<uint32_t>(n);
        // The bytes are the host's once the bridge has carried them: an abort meanwhile
        // drops them, as a bridge drops the transfer under way.
        for (auto now = clock_t_::now(); now < arrival && now < deadline; now = clock_t_::now()) {
            {
                std::lock_guard lk(m_);
                seen = read_wakes_;
            }
            if (const uint32_t st = interrupted(); st != ft_ok) {
                if (st == ft_operation_aborted) {
                    got -= static_cast<uint32_t>(n);
                    s->lost += n;
                }
                return finish(st);
            }
            wait(std::min({arrival, deadline, now + interrupt_poll}));
        }
        if (s && n > 0) s->delivered.store(whole);
        if (got == len) return finish(ft_ok);
        // Like the bridge, a transfer that has data ends with a short packet once the
        // device has nothing more for the moment.
        if (got > 0 && state != stream_state::more) return finish(ft_ok);
        const auto now = clock_t_::now();
        if (now >= deadline) return finish(ft_timeout);
        if (n == 0 && state != stream_state::more) wait(std::min(deadline, now + interrupt_poll));
    }
}

void acquisition::engine::interrupt_reads() {
    {
        std::lock_guard lk(m_);
        ++read_wakes_;
    }
    cv_.notify_all();
}

void acquisition::engine::set_signal(unsigned ch, signal_t s) {
    std::lock_guard lk(m_);
    ++signals_gen_;
    if (ch < signals_.size()) signals_[ch] = std::move(s);
}

signal_t acquisition::engine::signal(unsigned ch) const {
    std::lock_guard lk(m_);
    return ch < signals_.size() ? signals_[ch] : signal_t{};
}

void acquisition::engine::set_external_input(signal_t s) {
    std::lock_guard lk(m_);
    ++signals_gen_;
    external_ = std::move(s);
}

void acquisition::engine::set_output_sync(unsigned group, signal_t s) {
    std::lock_guard lk(m_);
    ++signals_gen_;
    if (group < sync_.size()) sync_[group] = std::move(s);
}

void acquisition::engine::reset_signals() {
    const auto chosen = environment_signals();
    std::lock_guard lk(m_);
    ++signals_gen_;
    signals_.clear();
    for (unsigned ch = 0; ch < groups_ * group_channels; ++ch)
        signals_.push_back(default_signal(ch));
    // Channels beyond this model's are for the larger ones on the same bus.
    for (const auto& c : chosen)
        for (size_t i = 0; i < c.channels.size(); ++i)
            if (c.channels[i] < signals_.size()) signals_[c.channels[i]] = c.signals[i];
    external_ = default_external();
    sync_.assign(groups_, signal_t::constant(false));
}

void acquisition::engine::overrun_after(unsigned group, int64_t after) {
    std::lock_guard lk(m_);
    if (group < groups_) faults_.overrun_after[group] = after;
}

void acquisition::engine::never_trigger(bool on) {
    std::lock_guard lk(m_);
    faults_.never_trigger = on;
}

void acquisition::engine::stall_stream(unsigned group, uint64_t after_bytes,
                                       std::chrono::milliseconds d) {
    {
        std::lock_guard lk(m_);
        if (group >= groups_) return;
        faults_.stall_after[group] = static_cast<int64_t>(after_bytes);
        faults_.stall_for[group] = d;
        if (auto s = stream_of(group)) {
            std::lock_guard sl(s->m);
            s->stall_after = static_cast<int64_t>(after_bytes);
            s->stall_for = d;
            s->stalling = false;
        }
    }
    cv_.notify_all();
}

void acquisition::engine::fail_reads(unsigned group, unsigned count, uint32_t status) {
    std::lock_guard lk(m_);
    if (group >= groups_) return;
    faults_.read_failures[group] = count;
    faults_.read_status[group] = status;
}

void acquisition::engine::clear_faults() {
    {
        std::lock_guard lk(m_);
        faults_.overrun_after.assign(groups_, -1);
        faults_.never_trigger = false;
        faults_.stall_after.assign(groups_, -1);
        faults_.stall_for.assign(groups_, std::chrono::milliseconds(0));
        faults_.read_failures.assign(groups_, 0);
        faults_.read_status.assign(groups_, ft_ok);
        if (run_)
            for (auto& s : run_->streams) {
                std::lock_guard sl(s->m);
                s->stall_after = -1;
                s->stalling = false;
            }
    }
    cv_.notify_all();
}

capture_info_t acquisition::engine::capture() const {
    std::lock_guard lk(m_);
    capture_info_t c;
    c.runs = runs_;
    c.running = running_;
    if (!run_) return c;
    const auto& s = *run_->setup;
    c.trigged = run_->trigged;
    c.sampling_freq = s.tb.freq;
    c.pre_trig_samples = s.pre;
    c.post_trig_samples = s.post;
    c.total_samples = s.total;
    if (run_->trigged) {
        c.trigger_sample = s.pre;
        c.first_sample = run_->trigger_abs - s.pre;
    }
    for (const auto& o : run_->origins) {
        if (!o || o->t0_ps.load() == never) continue;
        const int64_t first = run_->trigged ? run_->trigger_abs - s.pre : 0;
        c.outputs_running = true;
        c.program_start_sample = s.tb.sample_at_or_after(o->t0_ps.load()) - first;
        break;
    }
    c.streamed.assign(groups_, 0);
    c.bytes.assign(groups_, 0);
    c.delivered.assign(groups_, 0);
    c.lost_bytes.assign(groups_, 0);
    for (size_t g = 0; g < run_->streams.size(); ++g) {
        c.streamed[g] = run_->streams[g]->pos_pub.load();
        c.bytes[g] = run_->streams[g]->bytes.load();
        c.delivered[g] = run_->streams[g]->delivered.load();
        c.lost_bytes[g] = run_->streams[g]->lost.load();
    }
    return c;
}

bool acquisition::engine::wait_trigger(std::chrono::milliseconds timeout) const {
    std::unique_lock lk(m_);
    return cv_.wait_for(lk, timeout, [&] { return run_ && run_->trigged; });
}

bool acquisition::engine::level(unsigned ch, int64_t capture_sample) const {
    std::lock_guard lk(m_);
    if (!run_) {
        const timebase tb;
        return ch < signals_.size() && wave(signals_[ch]).at(tb.time_of(capture_sample));
    }
    const auto& s = *run_->setup;
    if (ch >= s.waves.size()) return false;
    const int64_t first = run_->trigged ? run_->trigger_abs - s.pre : 0;
    return s.waves[ch].at(s.tb.time_of(first + capture_sample));
}

bool acquisition::engine::external_level(int64_t capture_sample) const {
    std::lock_guard lk(m_);
    if (!run_) return wave(external_).at(timebase().time_of(capture_sample));
    const auto& s = *run_->setup;
    const int64_t first = run_->trigged ? run_->trigger_abs - s.pre : 0;
    return s.ext.at(s.tb.time_of(first + capture_sample));
}

bool acquisition::engine::output_sync_level(unsigned group, int64_t capture_sample) const {
    std::lock_guard lk(m_);
    if (group >= groups_) return false;
    if (!run_) return wave(sync_[group]).at(timebase().time_of(capture_sample));
    const auto& s = *run_->setup;
    const int64_t first = run_->trigged ? run_->trigger_abs - s.pre : 0;
    return s.sync[group].at(s.tb.time_of(first + capture_sample));
}

// The facade tests hold.

output_status_t acquisition::output_status(unsigned group) const {
    return e_->outputs().status(group);
}
std::vector<uint32_t> acquisition::output_words(unsigned group) const {
    return e_->outputs().words(group);
}
uint32_t acquisition::output_levels(unsigned group, uint64_t period) const {
    const auto d = e_->outputs().drive(group);
    return d.program ? d.program->levels_at(period) : 0;
}

acquisition::acquisition(unsigned groups) : e_(std::make_unique<engine>(groups)) {}
acquisition::~acquisition() = default;

void acquisition::set_signal(unsigned ch, signal_t s) {
    e_->set_signal(ch, std::move(s));
}
signal_t acquisition::signal(unsigned ch) const {
    return e_->signal(ch);
}
void acquisition::set_signals(const std::string& description) {
    const auto chosen = parse_signal_description(description);
    for (const auto& c : chosen)
        for (const unsigned ch : c.channels)
            if (ch >= channels())
                throw std::invalid_argument("signal description: channel " + std::to_string(ch) +
                                            " is not on this device (" +
                                            std::to_string(channels()) + " channels)");
    for (const auto& c : chosen)
        for (size_t i = 0; i < c.channels.size(); ++i)
            e_->set_signal(c.channels[i], c.signals[i]);
}
void acquisition::set_spi(unsigned clk_channel, unsigned data_channel, unsigned cs_channel,
                          std::vector<uint8_t> bytes, double clock_hz, unsigned gap_clocks) {
    using role = signal_t::spi_role_t;
    e_->set_signal(clk_channel, signal_t::spi(role::clk, bytes, clock_hz, gap_clocks));
    e_->set_signal(data_channel, signal_t::spi(role::data, bytes, clock_hz, gap_clocks));
    e_->set_signal(cs_channel, signal_t::spi(role::cs, std::move(bytes), clock_hz, gap_clocks));
}
void acquisition::set_external_input(signal_t s) {
    e_->set_external_input(std::move(s));
}
void acquisition::set_output_sync(unsigned group, signal_t s) {
    e_->set_output_sync(group, std::move(s));
}
void acquisition::reset_signals() {
    e_->reset_signals();
}
unsigned acquisition::channels() const {
    return e_->channels();
}
void acquisition::overrun_after(unsigned group, int64_t after_samples) {
    e_->overrun_after(group, after_samples);
}
void acquisition::never_trigger(bool on) {
    e_->never_trigger(on);
}
void acquisition::stall_stream(unsigned group, uint64_t after_bytes,
                               std::chrono::milliseconds duration) {
    e_->stall_stream(group, after_bytes, duration);
}
void acquisition::fail_reads(unsigned group, unsigned count, uint32_t ft_status) {
    e_->fail_reads(group, count, ft_status);
}
void acquisition::clear_faults() {
    e_->clear_faults();
}
capture_info_t acquisition::capture() const {
    return e_->capture();
}
bool acquisition::wait_trigger(std::chrono::milliseconds timeout) const {
    return e_->wait_trigger(timeout);
}
bool acquisition::level(unsigned ch, int64_t capture_sample) const {
    return e_->level(ch, capture_sample);
}
bool acquisition::external_level(int64_t capture_sample) const {
    return e_->external_level(capture_sample);
}
bool acquisition::output_sync_level(unsigned group, int64_t capture_sample) const {
    return e_->output_sync_level(group, capture_sample);
}

} // namespace kestrel_sim
