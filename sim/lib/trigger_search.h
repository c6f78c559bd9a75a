// The trigger of a capture: the master group's two slots (fast trigger, external input or
// step program) combined by the group's order, searched forward from the arming sample in
// bounded slices.
#pragma once

#include "kestrel_sim/records.h"
#include "waves.h"

#include <array>
#include <memory>
#include <vector>

namespace kestrel_sim {

struct slot_t {
    enum class kind_t { off, fast, external, flex };
    kind_t kind = kind_t::off;
    fast_config_t fast;
    std::vector<uint64_t> words; // step program of a flex slot
    uint32_t clk = 0;            // its trigger clock
};

// What a capture was started with; never changed afterwards.
struct setup_t {
    timebase tb;
    unsigned groups = 1;
    unsigned master = 0;     // vector (bridge) index
    std::vector<wave> waves; // per natural channel
    wave ext;
    std::vector<wave> sync; // per group
    int64_t pre = 0, post = 0, total = 0;
    std::array<slot_t, 2> slots{};
    uint8_t order = 0;
    std::vector<int64_t> overrun_after;

    unsigned base_channel(unsigned group) const { return (groups - 1 - group) * 18; }
};

// First event of one slot at or after a sample.
class slot_search {
public:
    virtual ~slot_search() = default;
    // Examines candidates while `budget` lasts, taking one unit per candidate.
    virtual void step(unsigned& budget) = 0;
    bool done() const { return found_ >= 0 || never_; }
    int64_t found() const { return found_; }
    bool never() const { return never_; }
    // Every sample before this one has been examined.
    int64_t progress() const { return next_; }

protected:
    int64_t next_ = 0;
    int64_t found_ = -1;
    bool never_ = false;
};

std::unique_ptr<slot_search> make_slot_search(const setup_t& s, const slot_t& slot, int64_t from);

class trigger_search {
public:
    trigger_search(const setup_t& s, int64_t arm);
    void step(unsigned budget);
    int64_t found() const { return found_; }
    bool never() const { return never_; }

private:
    const setup_t& s_;
    std::vector<unsigned> active_;
    std::array<std::unique_ptr<slot_search>, 2> search_;
    bool second_phase_ = false;
    int64_t found_ = -1;
    bool never_ = false;
};

} // namespace kestrel_sim
