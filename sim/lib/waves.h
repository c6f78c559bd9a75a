// Evaluation of input signals: level at a time, and how long that level holds; plus the
// mapping between sample indexes and times at a sampling frequency.
#pragma once

#include "kestrel_sim/acquisition.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace kestrel_sim {

inline constexpr int64_t never = std::numeric_limits<int64_t>::max();

// What natural channel `ch` carries without any set-up.
signal_t default_signal(unsigned ch);
// What KESTREL_SIM_SIGNALS or KESTREL_SIM_SIGNALS_FILE chooses, or the mistake (naming
// the variable, the item and what is wrong) that refuses the whole choice.
struct environment_description {
    std::vector<signal_choice_t> signals;
    std::string mistake; // empty when none
};
environment_description read_environment_signals();
// The signals chosen; none when the choice has a mistake (the bus then refuses to be
// listed, saying why: see bus_core::environment_mistake).
std::vector<signal_choice_t> environment_signals();

// A level over time that the device produces itself (its outputs), with the contract of
// wave::at and wave::next_change.
class wave_source {
public:
    virtual ~wave_source() = default;
    virtual bool at(int64_t t_ps) const = 0;
    virtual int64_t next_change(int64_t t_ps) const = 0;
};

// A signal_t with its derived constants, checked once; or a level the device drives.
class wave {
public:
    wave() = default;
    explicit wave(const signal_t& s);
    explicit wave(std::shared_ptr<const wave_source> driven) : driven_(std::move(driven)) {}

    bool at(int64_t t_ps) const { return driven_ ? driven_->at(t_ps) : signal_at(t_ps); }
    // The first time after t_ps where the level may differ from at(t_ps); the level holds
    // on [t_ps, next_change(t_ps)). `never` when it holds for ever.
    int64_t next_change(int64_t t_ps) const {
        return driven_ ? driven_->next_change(t_ps) : signal_next_change(t_ps);
    }
    // P > 0 when at(t + P) == at(t) for every t (square waves and counter bits); else 0.
    int64_t period_ps() const;

private:
    bool signal_at(int64_t t_ps) const;
    int64_t signal_next_change(int64_t t_ps) const;

    bool uart_at(int64_t t) const;
    bool spi_at(int64_t t) const;
    bool pattern_at(int64_t t) const;
    uint64_t random_offset(int64_t block) const;

    std::shared_ptr<const wave_source> driven_;
    signal_t s_;
    double unit_ps_ = 0; // uart: bit time; spi: half clock period; pattern: one level
    int64_t frame_units_ = 0;
    std::shared_ptr<const std::vector<int64_t>> steps_; // pattern: units to the next change
};

// Sample n is taken at floor(n * 1e12 / f) picoseconds.
struct timebase {
    uint32_t freq = 250000000;
    // Picoseconds per sample when that is a whole number (the usual frequencies), which
    // keeps the wide arithmetic off the streaming path; else its whole part and remainder.
    int64_t ps_per_sample = 4000;
    int64_t whole_ps = 4000, rest = 0;

    timebase() = default;
    explicit timebase(uint32_t f)
        : freq(f == 0 ? 1 : f),
          ps_per_sample(1000000000000LL % freq == 0 ? 1000000000000LL / freq : 0),
          whole_ps(1000000000000LL / freq), rest(1000000000000LL % freq) {}

    int64_t time_of(int64_t n) const {
        if (ps_per_sample != 0 && n < never / ps_per_sample) return n * ps_per_sample;
        // n * 1e12 / f = n * whole + n * rest / f, in 64 bits while n * rest fits.
        if (n >= 0 && n < (int64_t{1} << 31)) return n * whole_ps + n * rest / freq;
        return static_cast<int64_t>(static_cast<__int128>(n) * 1000000000000LL / freq);
    }
    // The first sample taken at or after t.
    int64_t sample_at_or_after(int64_t t) const {
        if (t == never) return never;
        if (t <= 0) return 0;
        if (ps_per_sample != 0) return (t + ps_per_sample - 1) / ps_per_sample;
        if (t < (int64_t{1} << 62) / freq * 1000) {
            // An estimate in floating point, settled exactly on time_of.
            auto n = static_cast<int64_t>(static_cast<long double>(t) * freq / 1e12L);
            while (n > 0 && time_of(n - 1) >= t)
                --n;
            while (time_of(n) < t)
                ++n;
            return n;
        }
        const __int128 num = static_cast<__int128>(t) * freq;
        const __int128 n = (num + 999999999999LL) / 1000000000000LL;
        return n > never ? never : static_cast<int64_t>(n);
    }
};

// Level of one wave sample by sample, remembering how long the last level holds so that
// walking forward costs one evaluation per change.
class cursor {
public:
    cursor() = default;
    cursor(const wave* w, timebase tb) : w_(w), tb_(tb) {}

    bool at(int64_t n) {
        if (n < from_ || n >= until_) load(n);
        return level_;
    }
    // First sample after n whose level may differ from sample n.
    int64_t next_change(int64_t n) {
        if (n < from_ || n >= until_) load(n);
        return until_;
    }

private:
    void load(int64_t n);

    const wave* w_ = nullptr;
    timebase tb_;
    int64_t from_ = 0, until_ = 0;
    bool level_ = false;
};

} // namespace kestrel_sim
