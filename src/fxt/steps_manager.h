#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fxt/bytes.h"
#include "fxt/capabilities.h"
#include "fxt/clock.h"
#include "fxt/mode.h"
#include "fxt/step.h"
#include "mox/mutex.h"

namespace fxt {

inline constexpr const char* msg_no_steps = "No any trigger steps defined";
inline constexpr const char* msg_multiple_transitions =
    "One or more trigger step contains multiple transitions. Only one transition is allowed "
    "in a single step";
inline constexpr const char* msg_unexpected_event = "unexpected event type in trigger step";

// The step program of one trigger core and its translation into engine words. Mode,
// clock and capabilities belong to the core; every operation on the steps takes mutex.
class steps_manager {
public:
    steps_manager(const capabilities& caps, const std::atomic<mode_t>& mode, clock& clk)
        : my_caps(caps), mode(mode), my_clk(clk) {}
    steps_manager(const steps_manager&) = delete;
    steps_manager& operator=(const steps_manager&) = delete;

    void load(const std::vector<step_t>& steps);
    void append(const step_t& step);
    void clear();
    size_t count();
    // Throws std::out_of_range for an index past the last step.
    step_t get(uint16_t index);

    // True when the list can be expanded; otherwise msg tells why.
    bool evaluate(std::string& msg);

    // Longest bounded time (t_max or t_min) the engine's timers must count; 0 for none.
    period max_period();

    // Engine steps for the source steps: edges become level pairs, delay elements are
    // folded into the next step unless skip_first_parse. Throws std::runtime_error for a
    // step the engine cannot execute (pulse event, several edges in one step).
    std::vector<step_t> expand(bool skip_first_parse, std::vector<step_t> source_steps) const;

    // One word per engine step for the group whose first channel is start_channel; sets
    // the core's clock so that the step times fit. Instantiated for uint32_t and uint64_t.
    // Throws std::runtime_error for a program the engine cannot run and
    // hw::exception(invalid_configration) for more words than max_program_words(); the
    // steps are then unchanged.
    template <typename T> std::vector<T> build_device_data(size_t start_channel);

    // Step list form: marker 2, uint64 count, the step records.
    void push_to_vector(bytes& dest);
    // Appends the list read at index to the present steps. A truncated or malformed list
    // throws hw::exception(invalid_argument); steps and index are then unchanged.
    void pull_from_vector(const bytes& src, size_t& index);
    // Reads a list without touching any manager; same failures as pull_from_vector.
    static std::vector<step_t> read_list(const bytes& src, size_t& index);

    // Longest time among the bounds the steps use (t_max or t_min); 0 for none.
    static period longest_bound(const std::vector<step_t>& steps);

private:
    std::vector<step_t> pulse_steps() const;

    mox::mutex mutex;
    const capabilities& my_caps;
    const std::atomic<mode_t>& mode;
    clock& my_clk;
    std::vector<step_t> my_steps;
};

// The word of one engine step (levels, changes and flags only, as expand gives them) for
// the group whose first natural channel is start_channel, with times in ticks of clk,
// clamped to the timers. Throws std::runtime_error for a condition a word cannot hold.
template <typename T>
T encode_step(step_t s, size_t start_channel, const capabilities& caps, const clock& clk);

extern template uint64_t encode_step<uint64_t>(step_t, size_t, const capabilities&, const clock&);
extern template std::vector<uint32_t> steps_manager::build_device_data<uint32_t>(size_t);
extern template std::vector<uint64_t> steps_manager::build_device_data<uint64_t>(size_t);

} // namespace fxt
