// Output program engines of the device, one per group: the loading form received on the
// group's pipe 0x02 decoded back into device words, the readiness that follows loading and
// the start flag, and the levels a running program drives onto the group's channels.
#pragma once

#include "kestrel_sim/acquisition.h"
#include "kestrel_sim/records.h"
#include "waves.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrel_sim {

// A decoded program as a timeline of held levels, in output periods (8 ns) from its start:
// `prefix`, then `body` repeated for ever when the program ends in an endless loop.
struct timeline_t {
    struct segment_t {
        uint64_t start = 0;  // period
        uint32_t levels = 0; // bit j: channel j of the group
    };
    std::vector<segment_t> prefix;
    uint64_t prefix_end = 0;
    std::vector<segment_t> body; // starts relative to the body
    uint64_t body_len = 0;
    // The engine keeps running without advancing (an endless loop that takes no time).
    bool spins = false;
    bool truncated = false; // longer than the engine model follows; holds afterwards

    bool endless() const { return body_len > 0 || spins; }
    uint32_t levels_at(uint64_t period) const;
};

// Follows the device's loop rules: a hold word whose marker is a loop level opens that level
// (the first time), a loop word closes the innermost open level and jumps back to its first
// word while repetitions remain (count + 1 passes; count 0 for ever); an end word stops.
timeline_t expand_program(const std::vector<uint32_t>& words);

// Time origin of a run's driven outputs, known at the trigger when the engine waits for it.
struct program_origin_t {
    std::atomic<int64_t> t0_ps{never};
};

// What one group drives during a run.
struct group_drive_t {
    bool running = false;
    oci_config_t params;
    std::array<port_config_t, 2> ports{};
    std::shared_ptr<const timeline_t> program;
};

class output_engines {
public:
    static constexpr int64_t period_ps = 8000;

    explicit output_engines(unsigned groups);

    // Bytes of the loading form on the group's pipe 0x02.
    void load(unsigned group, const uint8_t* data, size_t len);
    // Output parameters of every group (vector order), from either parameter payload.
    void set_params(const std::vector<oci_config_t>& params,
                    const std::vector<std::array<port_config_t, 2>>& ports);
    void set_start_flag(bool on);
    // Power-on: no program, no parameters.
    void reset();

    // Bit g: the engine of group g reports ready.
    uint8_t ready_mask() const;
    bool ready(unsigned group) const;
    output_status_t status(unsigned group) const;
    std::vector<uint32_t> words(unsigned group) const;
    group_drive_t drive(unsigned group) const;

private:
    struct group_t {
        oci_config_t params;
        std::array<port_config_t, 2> ports{};
        bool have_params = false;
        std::vector<uint32_t> loading;
        std::array<uint8_t, 4> partial{};
        size_t partial_len = 0;
        uint64_t position = 0; // loading values received
        std::vector<uint32_t> program;
        std::shared_ptr<const timeline_t> timeline;
        uint64_t ignored_bytes = 0;
        uint64_t bad_addresses = 0;
    };
    bool ready_locked(const group_t& g) const;

    mutable std::mutex m_;
    std::vector<group_t> groups_;
    bool start_flag_ = false;
};

// The level one output channel shows: its idle level until the program starts, then the
// program's level or the clock output.
class driven_wave : public wave_source {
public:
    enum class kind_t { program, clock, sync };
    driven_wave(kind_t kind, std::shared_ptr<const timeline_t> program, unsigned bit, bool idle,
                uint64_t clock_hz, std::shared_ptr<const program_origin_t> origin);

    bool at(int64_t t_ps) const override;
    int64_t next_change(int64_t t_ps) const override;

private:
    int64_t next_change_period(uint64_t p) const;
    bool program_level(uint64_t p) const;

    kind_t kind_;
    std::shared_ptr<const timeline_t> program_;
    unsigned bit_;
    bool idle_;
    int64_t clock_period_ps_ = 0;
    std::shared_ptr<const program_origin_t> origin_;
    // Periods (from the program start, or from the body start) where the level changes.
    std::vector<uint64_t> prefix_changes_;
    std::vector<uint64_t> body_changes_;
};

} // namespace kestrel_sim
