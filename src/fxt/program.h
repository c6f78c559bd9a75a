#pragma once
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "fxt/capabilities.h"
#include "fxt/step.h"

namespace fxt {

// A trigger program the engine cannot run; the message names the place and the reason.
class program_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One engine's trigger program, compiled from the trigger language:
//
//   program   := step { ";" step }
//   step      := condition [ timing ]
//   condition := term { "&" term }      at most one edge, change or pulse; levels qualify it
//   term      := "ch" N ( "rise" | "fall" | "change" | "high" | "low" )
//              | "ch" N "pulse" ( "high" | "low" ) width     (the whole program)
//              | "any change"
//   timing    := "within" T | "after" T | "after" T "within" T   (not on the first step)
//   width     := ">" T | "<" T | T ".." T
//   T         := decimal number with "ns", "us", "ms" or "s"
//
// The older trigger forms are aliases: "rising:3", "3:rising", "falling:3", "change:3",
// "change" and "any:change"; "none" or a blank text is no trigger.
//
// The result is the list of steps the engine executes, with levels, changes and timer
// flags only (nothing is expanded further), and the trigger clock its longest time needs.
// The engine compares each sample with the one before it, and a step's timer measures whole
// ticks against the sample instants. How each form runs:
// - an edge is one step that waits for its channel to reach the level after the edge, so
//   that an edge counts on the sample where the program starts as a change does;
// - qualifying levels are one further step bounded by 0 ticks: they must hold on the sample
//   where the edge or change happened, else the program starts over on the next sample;
// - a level step completes as soon as its levels hold, from where the previous step
//   completed (with 'after': from the bound on);
// - a pulse is its level reached by a change, then the other level reached again with the
//   width as the time bounds, measured from the pulse's start;
// - "within" and "after" bound the step's event from the previous step's; an event before
//   'after' starts the program over on that sample, a 'within' that runs out on the first
//   sample past it;
// - bounds are rounded to ticks so that the engine never takes what the text excludes:
//   'after' and the shortest width up ('>T' past T), 'within' and the longest down ('<T'
//   short of T); a time below one tick, or a bound that leaves no tick, is refused.
class program {
public:
    // Throws program_error for a text the engine cannot run.
    static program compile(std::string_view text, const capabilities& caps);

    // No trigger: the engine is off.
    bool empty() const { return steps_.empty(); }
    const std::vector<step_t>& engine_steps() const { return steps_; }
    // The trigger clock, Hz: the fastest whose timers reach the program's longest time.
    freq trigger_clock() const { return clk_; }
    const std::string& source() const { return source_; }

    // One word per engine step, for the group whose first natural channel is start_channel.
    std::vector<uint64_t> words(const capabilities& caps, size_t start_channel) const;

    // What the engine runs: each step, the trigger clock and every time bound in ticks.
    std::string describe() const;

private:
    std::string source_;
    std::vector<step_t> steps_;
    freq clk_ = 0;
    double longest_ = 0; // the time the clock was chosen for
    size_t n_channels_ = 0;
    std::vector<std::string> origin_; // the source step each engine step comes from
};

} // namespace fxt
