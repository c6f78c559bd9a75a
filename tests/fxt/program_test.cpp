#include <gtest/gtest.h>

#include <string>

#include "fxt/program.h"
#include "fxt/word.h"
#include "fxt_helpers.h"

namespace {

using namespace fxt_test;
using fxt::program;
using E = fxt::event_t;

const fxt::capabilities caps(hw::model_t::kestrel_one);

program compile(const std::string& text) {
    return program::compile(text, caps);
}

// The message of a refused program.
std::string refusal(const std::string& text) {
    try {
        program::compile(text, caps);
    } catch (const fxt::program_error& e) {
        return e.what();
    }
    return "accepted";
}

struct shape {
    conds c;
    bool dont_wait;
    bool change_only;
    double t_min; // -1: no lower bound
    double t_max; // -1: no upper bound
};

void expect_steps(const program& p, const std::vector<shape>& want) {
    const auto& got = p.engine_steps();
    ASSERT_EQ(got.size(), want.size()) << p.describe();
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("engine step " + std::to_string(i + 1));
        EXPECT_EQ(conditions(got[i]), want[i].c);
        EXPECT_EQ(got[i].dont_wait_for_change, want[i].dont_wait);
        EXPECT_EQ(got[i].logic_change_only, want[i].change_only);
        EXPECT_EQ(got[i].ignore_tmin, want[i].t_min < 0);
        EXPECT_EQ(got[i].ignore_tmax, want[i].t_max < 0);
        if (want[i].t_min >= 0) {
            EXPECT_DOUBLE_EQ(got[i].t_min, want[i].t_min);
        }
        if (want[i].t_max >= 0) {
            EXPECT_DOUBLE_EQ(got[i].t_max, want[i].t_max);
        }
        EXPECT_FALSE(got[i].dont_reset_time);
    }
}

TEST(Program, EdgesLevelsAndChanges) {
    // An edge is its channel reaching the level after it through a change: the engine sees
    // the sample before, so an edge on the sample where the program starts counts, as a
    // change there does.
    const program rise = compile("ch3 rise");
    expect_steps(rise, {{{{3, E::LVL_1}}, false, false, -1, -1}});
    EXPECT_EQ(rise.trigger_clock(), 250000000u);

    // Qualifiers are checked on the sample where the edge happened: 0 ticks.
    expect_steps(compile("ch3 fall & ch5 high & ch6 low"),
                 {{{{3, E::LVL_0}}, false, false, -1, -1},
                  {{{3, E::LVL_0}, {5, E::LVL_1}, {6, E::LVL_0}}, true, false, -1, 0}});
    expect_steps(compile("ch17 high & ch0 low"),
                 {{{{0, E::LVL_0}, {17, E::LVL_1}}, true, false, -1, -1}});
    expect_steps(compile("ch4 change"), {{{{4, E::CHNG}}, false, true, -1, -1}});
    conds all;
    for (size_t ch = 0; ch < 18; ++ch)
        all.emplace_back(ch, E::CHNG);
    expect_steps(compile("any change & ch2 low"),
                 {{all, false, true, -1, -1}, {{{2, E::LVL_0}}, true, false, -1, 0}});
    // A qualifier keeps its 0 ticks whatever the clock a long time elsewhere needs.
    const program slow = compile("ch3 rise & ch5 high; ch4 fall within 1s");
    EXPECT_LT(slow.trigger_clock(), 2100u);
    const auto w = slow.words(caps, 0);
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(fxt::read_reg(w[1], caps.trig_word_map.ignore_tmax), 0u);
    EXPECT_EQ(fxt::read_reg(w[1], caps.trig_word_map.tmax), 0u);
    EXPECT_NE(slow.describe().find("2. ch3 high & ch5 high, on the same sample   [step 1: ch3 "
                                   "rise & ch5 high]"),
              std::string::npos)
        << slow.describe();
}

TEST(Program, SequencesCarryTheirTimesOnTheEvent) {
    const program two = compile("ch3 rise; ch4 fall within 10us");
    expect_steps(
        two, {{{{3, E::LVL_1}}, false, false, -1, -1}, {{{4, E::LVL_0}}, false, false, -1, 10e-6}});
    // The fastest clock whose 11-bit timers still reach 10 us: 250 MHz / 2.
    EXPECT_EQ(two.trigger_clock(), 125000000u);
    const auto w = two.words(caps, 0);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(fxt::read_reg(w[1], caps.trig_word_map.tmax), 1250u);
    EXPECT_EQ(fxt::read_reg(w[1], caps.trig_word_map.ignore_tmax), 0u);

    expect_steps(compile("ch0 fall; ch1 rise after 2us within 50us; ch2 high"),
                 {{{{0, E::LVL_0}}, false, false, -1, -1},
                  {{{1, E::LVL_1}}, false, false, 72 / 35714285.0, 1785 / 35714285.0},
                  {{{2, E::LVL_1}}, true, false, -1, -1}});
    // The same channel twice: reaching the level again is the second edge.
    expect_steps(compile("ch1 rise; ch1 rise after 1ms"),
                 {{{{1, E::LVL_1}}, false, false, -1, -1},
                  {{{1, E::LVL_1}}, false, false, 2033 / 2032520.0, -1}});
}

TEST(Program, PulsesTimeTheirWidthFromTheStart) {
    expect_steps(compile("ch2 pulse high 1us..5us"), {{{{2, E::LVL_1}}, false, false, -1, -1},
                                                      {{{2, E::LVL_0}}, false, false, 1e-6, 5e-6}});
    expect_steps(compile("ch2 pulse low >2us"), {{{{2, E::LVL_0}}, false, false, -1, -1},
                                                 {{{2, E::LVL_1}}, false, false, 501 / 250e6, -1}});
    expect_steps(compile("ch2 pulse high <300ns & ch9 high"),
                 {{{{2, E::LVL_1}}, false, false, -1, -1},
                  {{{2, E::LVL_0}}, false, false, -1, 74 / 250e6},
                  {{{2, E::LVL_0}, {9, E::LVL_1}}, true, false, -1, 0}});
}

// Bounds become whole ticks so that the engine never takes what the text excludes: 'after'
// and the shortest width rounded up, 'within' and the longest down; '>T' and '<T' leave T
// itself out, a range keeps both ends.
TEST(Program, BoundsRoundTowardsWhatTheTextAllows) {
    auto ticks = [](const std::string& text, size_t word, bool tmin) {
        const auto w = compile(text).words(caps, 0);
        return fxt::read_reg(w.at(word), tmin ? caps.trig_word_map.tmin : caps.trig_word_map.tmax);
    };
    // 4 ns ticks at 250 MHz.
    EXPECT_EQ(ticks("ch2 pulse high >2us", 1, true), 501u);
    EXPECT_EQ(ticks("ch2 pulse high <1us", 1, false), 249u);
    EXPECT_EQ(ticks("ch16 pulse low <300ns", 1, false), 74u);
    EXPECT_EQ(ticks("ch2 pulse high 1us..5us", 1, true), 250u);
    EXPECT_EQ(ticks("ch2 pulse high 1us..5us", 1, false), 1250u);
    EXPECT_EQ(ticks("ch2 pulse high 1002ns..1006ns", 1, true), 251u);  // 250.5 up
    EXPECT_EQ(ticks("ch2 pulse high 1002ns..1006ns", 1, false), 251u); // 251.5 down
    EXPECT_EQ(ticks("ch2 pulse high >2.001us", 1, true), 501u);        // 500.25: past it
    EXPECT_EQ(ticks("ch2 pulse high <1.001us", 1, false), 250u);       // 250.25: short of it
    EXPECT_EQ(ticks("ch0 rise; ch1 rise within 5ns", 1, false), 1u);
    // At 250 MHz / 7 a tick is 28 ns: 2 us is 71.4 ticks, 50 us 1785.7.
    const program p = compile("ch0 rise; ch1 rise after 2us within 50us");
    EXPECT_EQ(p.trigger_clock(), 35714285u);
    EXPECT_EQ(ticks("ch0 rise; ch1 rise after 2us within 50us", 1, true), 72u);
    EXPECT_EQ(ticks("ch0 rise; ch1 rise after 2us within 50us", 1, false), 1785u);
    const std::string d = p.describe();
    EXPECT_NE(d.find("after 72 ticks (2.016 us), within 1785 ticks (49.98 us)"), std::string::npos)
        << d;
    EXPECT_NE(compile("ch0 rise; ch1 rise within 5ns").describe().find("within 1 tick (4 ns)"),
              std::string::npos);

    // Below one tick, or bounds that leave no whole tick, are refused with the place.
    const std::pair<std::string, const char*> refused[] = {
        {"ch0 rise; ch1 rise within 3ns", "step 2: ch1 rise within 3ns: 3 ns is less than one "
                                          "tick (4 ns)"},
        {"ch2 pulse low <2ns", "step 1: ch2 pulse low <2ns: 2 ns is less than one tick"},
        {"ch2 pulse low >2ns", "2 ns is less than one tick"},
        {"ch2 pulse low <4ns", "step 1: ch2 pulse low <4ns: no whole tick of the trigger clock "
                               "(4 ns) is shorter than 4 ns"},
        {"ch2 pulse high 5ns..7ns", "no whole number of ticks of the trigger clock (4 ns) lies "
                                    "from 5 ns to 7 ns"},
        {"ch0 rise; ch1 fall after 5ns within 7ns", "step 2: ch1 fall after 5ns within 7ns: no "
                                                    "whole number of ticks"},
    };
    for (auto [text, why] : refused)
        EXPECT_NE(refusal(text).find(why), std::string::npos) << text << " -> " << refusal(text);
}

TEST(Program, SpellingIsFreeAndOldFormsAreAliases) {
    auto same = [](const std::string& a, const std::string& b) {
        SCOPED_TRACE(a + " / " + b);
        EXPECT_EQ(compile(a).words(caps, 0), compile(b).words(caps, 0));
    };
    same("  CH3   Rise&ch5 HIGH;ch4 FALL WITHIN 1.5Us ",
         "ch3 rise & ch5 high; ch4 fall within 1500ns");
    same("rising:3", "ch3 rise");
    same("3:rising", "ch3 rise");
    same("falling:17", "ch17 fall");
    same("5:falling", "ch5 fall");
    same("change:4", "ch4 change");
    same("4:change", "ch4 change");
    same("change", "any change");
    same("any:change", "any change");
    same("ch3 rising", "ch3 rise");
    for (const char* off : {"", "   ", "none", " NONE "}) {
        EXPECT_TRUE(compile(off).empty()) << off;
        EXPECT_EQ(compile(off).describe(), "no trigger program: the engine is off\n");
    }
}

TEST(Program, RefusalsNameThePlaceAndTheReason) {
    const std::pair<std::string, const char*> cases[] = {
        {"ch18 rise", "column 3 ('18'): channel outside 0..17"},
        {"ch3 rise & ch4 fall", "column 12 ('ch'): a step waits for one edge, change or pulse"},
        {"ch3 change & any change", "'ch3 change' at column 1 is already this step's event"},
        {"ch3 rise & ch3 high", "ch3 appears twice in this step"},
        {"ch3 high & ch3 low", "ch3 appears twice in this step"},
        {"ch3 rise within 1us", "column 10 ('within'): the first step has no time bound"},
        {"ch3 rise; ch4 rise within 2s",
         "2 s is beyond the step timer, which reaches at most 1.02"},
        {"ch0 rise; ch1 rise within 1s; ch2 rise within 100ns", "100 ns is less than one tick"},
        {"ch0 rise; ch1 rise within 1ns", "1 ns is less than one tick (4 ns)"},
        {"ch0 rise; ch1 rise after 5us within 5us", "'after' must be shorter than 'within'"},
        {"ch0 rise; ch1 rise within 10", "expected a unit after the number"},
        {"ch0 rise; ch1 rise within 0us", "a time must be more than 0"},
        {"ch0 rise; ch1 rise within 1" + std::string(400, '0') + "s",
         "the time is beyond any the step timer reaches"},
        {"ch0 rise;", "at the end: a step is missing after ';'"},
        {"ch0 rise ch1 fall", "column 10 ('ch'): expected '&', 'after', 'within'"},
        {"ch0 jump", "expected rise, fall, change, high, low or pulse"},
        {"ch1 rise; ch2 pulse high >1us", "a pulse is a program of its own"},
        {"ch2 pulse high >1us; ch1 rise", "a pulse is a program of its own"},
        {"ch2 pulse high 5us..1us", "the shortest width exceeds the longest"},
        {"ch2 pulse high", "expected a width"},
        {"ext:rising", "the external trigger input is not a program"},
        {"ch3 rise $", "column 10 ('$'): unexpected character"},
        {"9:sideways", "expected rising, falling or change after '9:'"},
    };
    for (auto [text, why] : cases)
        EXPECT_NE(refusal(text).find(why), std::string::npos) << text << " -> " << refusal(text);
}

TEST(Program, ProgramsFitTheEngine) {
    // One word for each edge: 255 words, the most an engine loads; one more edge is
    // refused.
    std::string text = "ch0 rise";
    for (int i = 0; i < 254; ++i)
        text += i % 2 ? "; ch0 rise" : "; ch0 fall";
    ASSERT_EQ(compile(text).engine_steps().size(), 255u);
    EXPECT_EQ(refusal(text + "; ch1 rise; ch2 rise"),
              "step 256: the program needs 256 engine words from here; an engine holds at most "
              "255");
}

TEST(Program, DescriptionShowsClockAndTicks) {
    const std::string d = compile("ch3 rise; ch4 fall after 2us within 10us").describe();
    EXPECT_NE(d.find("trigger clock: 125000000 Hz (one tick = 8 ns)"), std::string::npos) << d;
    EXPECT_NE(d.find("engine words: 2"), std::string::npos) << d;
    EXPECT_NE(d.find("2. ch4 low, reached by a change, after 250 ticks (2 us), within 1250 ticks "
                     "(10 us)   [step 2: ch4 fall after 2us within 10us]"),
              std::string::npos)
        << d;
    // A time the clock cannot hold exactly shows what the timer will count.
    const std::string r = compile("ch0 rise; ch1 rise within 1ms; ch2 fall within 3us").describe();
    EXPECT_NE(r.find("trigger clock: 2032520 Hz"), std::string::npos) << r;
    EXPECT_NE(r.find("within 6 ticks (2.952 us)"), std::string::npos) << r;
}

} // namespace
