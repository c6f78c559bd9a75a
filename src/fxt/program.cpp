#include "fxt/program.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "fxt/clock.h"
#include "fxt/steps_manager.h"

namespace fxt {

namespace {

struct token {
    enum kind_t { word, number, symbol, end } kind = end;
    std::string text;  // words lower-cased
    size_t column = 0; // 1-based
};

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

[[noreturn]] void refuse(const token& at, const std::string& why) {
    if (at.kind == token::end) throw program_error("at the end: " + why);
    throw program_error("column " + std::to_string(at.column) + " ('" + at.text + "'): " + why);
}

// Words are letters, numbers digits with an optional fraction ("1.5", not "1."), symbols
// "..", ";", "&", ":", ">" and "<". "ch3" is the word "ch" and the number 3.
std::vector<token> tokenize(std::string_view s) {
    std::vector<token> out;
    size_t i = 0;
    auto digit = [&](size_t k) {
        return k < s.size() && std::isdigit(static_cast<unsigned char>(s[k]));
    };
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        token t;
        t.column = i + 1;
        if (std::isspace(c)) {
            ++i;
            continue;
        }
        if (std::isalpha(c) || c == '_') {
            size_t j = i;
            while (j < s.size() && (std::isalpha(static_cast<unsigned char>(s[j])) || s[j] == '_'))
                ++j;
            t.kind = token::word;
            t.text = lower(s.substr(i, j - i));
            i = j;
        } else if (std::isdigit(c)) {
            size_t j = i;
            while (digit(j))
                ++j;
            if (j < s.size() && s[j] == '.' && digit(j + 1)) {
                ++j;
                while (digit(j))
                    ++j;
            }
            t.kind = token::number;
            t.text = std::string(s.substr(i, j - i));
            i = j;
        } else if (s.substr(i, 2) == "..") {
            t.kind = token::symbol;
            t.text = "..";
            i += 2;
        } else if (c == ';' || c == '&' || c == ':' || c == '>' || c == '<') {
            t.kind = token::symbol;
            t.text = std::string(1, static_cast<char>(c));
            ++i;
        } else {
            t.kind = token::symbol;
            t.text = std::string(1, static_cast<char>(c));
            refuse(t, "unexpected character");
        }
        out.push_back(std::move(t));
    }
    token e;
    e.column = s.size() + 1;
    out.push_back(e);
    return out;
}

// What one source step asks for, before it becomes engine steps.
struct source_step {
    enum class kind_t { level, edge, change, pulse } kind = kind_t::level;
    int channel = -1; // of the edge, change or pulse; -1 with a change: any channel
    bool high = true; // edge: rise; pulse: high
    std::array<event_t, n_conditions> levels{};
    std::optional<double> after, within;        // seconds, from the previous step
    std::optional<double> min_width, max_width; // of a pulse, seconds
    bool longer = false, shorter = false;       // '>T', '<T': the bound itself is outside
    std::string text;
};

class parser {
public:
    parser(std::string_view src, const capabilities& caps)
        : src_(src), toks_(tokenize(src)), n_channels_(caps.n_channels_per_engine) {}

    std::vector<source_step> parse() {
        std::vector<source_step> steps;
        while (true) {
            const size_t begin = peek().column - 1;
            source_step s = step(steps.empty());
            const size_t end = peek().column - 1;
            s.text = trim(src_.substr(begin, end - begin));
            steps.push_back(std::move(s));
            if (peek().kind == token::end) break;
            expect_symbol(";", "expected ';' between steps or the end of the program");
            if (peek().kind == token::end) refuse(peek(), "a step is missing after ';'");
        }
        return steps;
    }

private:
    static std::string trim(std::string_view s) {
        while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
            s.remove_prefix(1);
        while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
            s.remove_suffix(1);
        return std::string(s);
    }
    const token& peek(size_t ahead = 0) const {
        return toks_[std::min(pos_ + ahead, toks_.size() - 1)];
    }
    const token& next() {
        const token& t = toks_[pos_];
        if (pos_ + 1 < toks_.size()) ++pos_;
        return t;
    }
    bool is_word(const char* w, size_t ahead = 0) const {
        return peek(ahead).kind == token::word && peek(ahead).text == w;
    }
    bool is_symbol(const char* s, size_t ahead = 0) const {
        return peek(ahead).kind == token::symbol && peek(ahead).text == s;
    }
    void expect_symbol(const char* s, const char* why) {
        if (!is_symbol(s)) refuse(peek(), why);
        next();
    }

    source_step step(bool first) {
        source_step s;
        s.levels.fill(event_t::DONT_CARE);
        bool has_event = false;
        const token* event_at = nullptr;
        while (true) {
            const bool had_event = has_event;
            const size_t begin = peek().column - 1;
            term(s, has_event, event_at);
            if (!had_event && has_event)
                event_text_ = trim(src_.substr(begin, peek().column - 1 - begin));
            if (!is_symbol("&")) break;
            next();
        }
        const token& timing_at = peek();
        if (is_word("after")) {
            next();
            s.after = time("after");
        }
        if (is_word("within")) {
            next();
            s.within = time("within");
        }
        if ((s.after || s.within) && first)
            refuse(timing_at, "the first step has no time bound: nothing precedes it");
        if (s.after && s.within && *s.after >= *s.within)
            refuse(timing_at, "'after' must be shorter than 'within'");
        if (s.kind == source_step::kind_t::pulse && (!first || peek().kind != token::end))
            refuse(*event_at, "a pulse is a program of its own: no other step goes with it");
        if (!at_end_of_step())
            refuse(peek(), "expected '&', 'after', 'within', ';' or the end of the program");
        return s;
    }
    bool at_end_of_step() const { return peek().kind == token::end || is_symbol(";"); }

    // One term; sets the step's event or adds a qualifying level.
    void term(source_step& s, bool& has_event, const token*& event_at) {
        const token& at = peek();
        auto set_event = [&](source_step::kind_t k, int ch, bool high) {
            if (has_event)
                refuse(at, "a step waits for one edge, change or pulse; '" + event_text_ +
                               "' at column " + std::to_string(event_at->column) +
                               " is already this step's event");
            has_event = true;
            event_at = &at;
            s.kind = k;
            s.channel = ch;
            s.high = high;
        };
        // Older forms: "rising:3", "3:falling", "change", "any:change", "change:any".
        if (alias(s, set_event)) return;
        if (is_word("any")) {
            next();
            if (!is_word("change")) refuse(peek(), "expected 'change' after 'any'");
            next();
            set_event(source_step::kind_t::change, -1, false);
            return;
        }
        if (!is_word("ch")) refuse(at, "expected a term such as 'ch3 rise' or 'any change'");
        next();
        const int ch = channel();
        const token& what = peek();
        if (what.kind != token::word)
            refuse(what, "expected rise, fall, change, high, low or pulse after the channel");
        next();
        if (what.text == "rise" || what.text == "rising")
            set_event(source_step::kind_t::edge, ch, true);
        else if (what.text == "fall" || what.text == "falling")
            set_event(source_step::kind_t::edge, ch, false);
        else if (what.text == "change")
            set_event(source_step::kind_t::change, ch, false);
        else if (what.text == "high" || what.text == "low")
            add_level(s, ch, what.text == "high", at);
        else if (what.text == "pulse") {
            if (!is_word("high") && !is_word("low"))
                refuse(peek(), "expected 'high' or 'low' after 'pulse'");
            const bool high = next().text == "high";
            set_event(source_step::kind_t::pulse, ch, high);
            width(s);
        } else {
            refuse(what, "expected rise, fall, change, high, low or pulse after the channel");
        }
        // A channel may appear once in a step: its event or its level, not both.
        if (s.channel == ch && s.levels[static_cast<size_t>(ch)] != event_t::DONT_CARE)
            refuse(at, "ch" + std::to_string(ch) + " appears twice in this step");
    }

    template <typename F> bool alias(source_step&, F& set_event) {
        auto edge_word = [](const std::string& w) {
            return w == "rising" || w == "falling" || w == "change";
        };
        auto apply = [&](const std::string& w, int ch) {
            if (w == "change")
                set_event(source_step::kind_t::change, ch, false);
            else
                set_event(source_step::kind_t::edge, ch, w == "rising");
        };
        const token& a = peek();
        if (a.kind == token::word && edge_word(a.text) && is_symbol(":", 1)) {
            next();
            next();
            if (a.text == "change" && is_word("any")) {
                next();
                apply("change", -1);
                return true;
            }
            apply(a.text, channel());
            return true;
        }
        if (a.kind == token::number && is_symbol(":", 1)) {
            const int ch = channel();
            next();
            if (peek().kind != token::word || !edge_word(peek().text))
                refuse(peek(), "expected rising, falling or change after '" + a.text + ":'");
            apply(next().text, ch);
            return true;
        }
        if (is_word("any") && is_symbol(":", 1) && is_word("change", 2)) {
            next();
            next();
            next();
            apply("change", -1);
            return true;
        }
        if (a.kind == token::word && a.text == "change" && !is_symbol(":", 1)) {
            next();
            apply("change", -1);
            return true;
        }
        if (a.kind == token::word &&
            (a.text == "ext" || a.text == "ext_rising" || a.text == "ext_falling"))
            refuse(a, "the external trigger input is not a program (use the simple trigger)");
        return false;
    }

    int channel() {
        const token& t = peek();
        if (t.kind != token::number || t.text.find('.') != std::string::npos)
            refuse(t, "expected a channel number");
        if (t.text.size() > 3 || std::stoi(t.text) >= static_cast<int>(n_channels_))
            refuse(t, "channel outside 0.." + std::to_string(n_channels_ - 1) +
                          " (the channels of the master group)");
        next();
        return std::stoi(t.text);
    }

    void add_level(source_step& s, int ch, bool high, const token& at) {
        event_t& e = s.levels[static_cast<size_t>(ch)];
        if (e != event_t::DONT_CARE || s.channel == ch)
            refuse(at, "ch" + std::to_string(ch) + " appears twice in this step");
        e = high ? event_t::LVL_1 : event_t::LVL_0;
    }

    void width(source_step& s) {
        if (is_symbol(">")) {
            next();
            s.min_width = time("the pulse width");
            s.longer = true;
        } else if (is_symbol("<")) {
            next();
            s.max_width = time("the pulse width");
            s.shorter = true;
        } else if (peek().kind == token::number) {
            const token& at = peek();
            s.min_width = time("the pulse width");
            expect_symbol("..", "expected '..' between the shortest and the longest width");
            s.max_width = time("the pulse width");
            if (*s.min_width > *s.max_width) refuse(at, "the shortest width exceeds the longest");
        } else {
            refuse(peek(), "expected a width: '>T', '<T' or 'T..T' (e.g. 1us..5us)");
        }
    }

    double time(const char* what) {
        const token& n = peek();
        if (n.kind != token::number)
            refuse(n, std::string("expected a time for ") + what + ", e.g. 10us");
        next();
        const token& u = peek();
        static constexpr std::pair<const char*, double> units[] = {
            {"ns", 1e-9}, {"us", 1e-6}, {"ms", 1e-3}, {"s", 1.0}};
        double scale = 0;
        if (u.kind == token::word)
            for (auto [name, f] : units)
                if (u.text == name) scale = f;
        if (scale == 0) refuse(u, "expected a unit after the number: ns, us, ms or s");
        next();
        // Digits only, so strtod cannot fail; a count too large for a double is infinite.
        const double t = std::strtod(n.text.c_str(), nullptr) * scale;
        if (!std::isfinite(t)) refuse(n, "the time is beyond any the step timer reaches");
        if (!(t > 0)) refuse(n, "a time must be more than 0");
        return t;
    }

    std::string_view src_;
    std::vector<token> toks_;
    size_t pos_ = 0;
    size_t n_channels_;
    std::string event_text_; // the present step's event term, for messages
};

step_t level_step(const std::array<event_t, n_conditions>& levels) {
    step_t s;
    s.bit_event_type = levels;
    return s;
}

step_t single(int ch, event_t e) {
    step_t s;
    s.bit_event_type[static_cast<size_t>(ch)] = e;
    return s;
}

// The written times of an engine step, in seconds, until the clock turns them into ticks.
// `longer` and `shorter` exclude the bound itself ('>T', '<T').
struct bounds {
    std::optional<double> min, max;
    bool longer = false, shorter = false;
};

bool has_levels(const source_step& s) {
    return std::any_of(s.levels.begin(), s.levels.end(),
                       [](event_t e) { return e != event_t::DONT_CARE; });
}

// Levels checked on the sample where the step's event happened: a bound of 0 ticks lets
// the engine step complete only on the sample where its timer started.
step_t qualifier(std::array<event_t, n_conditions> levels, int ch, event_t at_event) {
    step_t q = level_step(levels);
    if (ch >= 0) q.bit_event_type[static_cast<size_t>(ch)] = at_event;
    q.dont_wait_for_change = true;
    q.ignore_tmax = false;
    q.t_max = 0;
    return q;
}

std::string time_text(double s) {
    char b[48];
    const double a = std::fabs(s);
    if (a >= 1)
        std::snprintf(b, sizeof b, "%.6g s", s);
    else if (a >= 1e-3)
        std::snprintf(b, sizeof b, "%.6g ms", s * 1e3);
    else if (a >= 1e-6)
        std::snprintf(b, sizeof b, "%.6g us", s * 1e6);
    else
        std::snprintf(b, sizeof b, "%.6g ns", s * 1e9);
    return b;
}

std::string ticks_text(uint64_t n) {
    return std::to_string(n) + (n == 1 ? " tick" : " ticks");
}

// Whole ticks of `clk` in `t`, rounded down or up; a time that is a whole number of ticks
// to the precision of its decimal text is that number either way.
double whole_ticks(double t, freq clk, bool up) {
    const double exact = t * static_cast<double>(clk);
    const double nearest = std::round(exact);
    if (std::fabs(exact - nearest) <= 1e-9 * std::max(1.0, exact)) return nearest;
    return up ? std::ceil(exact) : std::floor(exact);
}

std::string conditions_text(const step_t& s, size_t n) {
    std::string out;
    size_t changes = 0;
    for (size_t ch = 0; ch < n; ++ch)
        if (s.bit_event_type[ch] == event_t::CHNG) ++changes;
    if (changes == n) out = "any channel changes";
    for (size_t ch = 0; ch < n; ++ch) {
        const event_t e = s.bit_event_type[ch];
        if (e == event_t::DONT_CARE || (e == event_t::CHNG && changes == n)) continue;
        if (!out.empty()) out += " & ";
        out += "ch" + std::to_string(ch) +
               (e == event_t::LVL_1   ? " high"
                : e == event_t::LVL_0 ? " low"
                                      : " changes");
    }
    return out.empty() ? "any levels" : out;
}

} // namespace

program program::compile(std::string_view text, const capabilities& caps) {
    program p;
    p.source_ = std::string(text);
    p.n_channels_ = caps.n_channels_per_engine;
    clock clk(caps);
    {
        const std::string t = lower(text);
        const auto blank = t.find_first_not_of(" \t\r\n");
        if (blank == std::string::npos ||
            t.substr(blank, t.find_last_not_of(" \t\r\n") - blank + 1) == "none") {
            p.clk_ = clk.autoset(0);
            return p;
        }
    }
    const std::vector<source_step> src = parser(text, caps).parse();

    std::vector<bounds> times; // per engine step
    auto add = [&](const step_t& st, bounds b = {}) {
        p.steps_.push_back(st);
        times.push_back(b);
    };
    for (size_t k = 0; k < src.size(); ++k) {
        const source_step& s = src[k];
        const size_t before = p.steps_.size();
        const int ch = s.channel;
        const bounds timing{s.after, s.within};
        switch (s.kind) {
        case source_step::kind_t::level: {
            step_t l = level_step(s.levels);
            l.dont_wait_for_change = true;
            add(l, timing);
            break;
        }
        case source_step::kind_t::edge: {
            // The level after the edge, reached by a change: the engine compares each sample
            // with the one before it, so an edge counts on the very sample where the program
            // starts, as a change does.
            const event_t after = s.high ? event_t::LVL_1 : event_t::LVL_0;
            add(single(ch, after), timing);
            if (has_levels(s)) add(qualifier(s.levels, ch, after));
            break;
        }
        case source_step::kind_t::change: {
            step_t c;
            for (size_t i = 0; i < caps.n_channels_per_engine; ++i)
                if (ch < 0 || static_cast<size_t>(ch) == i) c.bit_event_type[i] = event_t::CHNG;
            c.logic_change_only = true;
            add(c, timing);
            if (has_levels(s)) add(qualifier(s.levels, -1, event_t::DONT_CARE));
            break;
        }
        case source_step::kind_t::pulse: {
            const event_t idle = s.high ? event_t::LVL_0 : event_t::LVL_1;
            const event_t active = s.high ? event_t::LVL_1 : event_t::LVL_0;
            // Its start, then its end with the width as the bounds: the timer restarts where
            // the pulse starts.
            add(single(ch, active));
            add(single(ch, idle), {s.min_width, s.max_width, s.longer, s.shorter});
            if (has_levels(s)) add(qualifier(s.levels, ch, idle));
            break;
        }
        }
        p.origin_.insert(p.origin_.end(), p.steps_.size() - before,
                         "step " + std::to_string(k + 1) + ": " + s.text);
        if (p.steps_.size() > caps.max_program_words())
            throw program_error("step " + std::to_string(k + 1) + ": the program needs " +
                                std::to_string(p.steps_.size()) +
                                " engine words from here; an engine holds at most " +
                                std::to_string(caps.max_program_words()));
    }

    // The clock follows the longest time; every bound then becomes whole ticks, rounded so
    // that the engine never accepts what the text excludes: a lower bound up ('after',
    // '>T' past T itself), an upper bound down ('within', '<T' short of T itself).
    for (const bounds& b : times)
        for (const auto& t : {b.min, b.max})
            if (t) p.longest_ = std::max(p.longest_, *t);
    p.clk_ = clk.autoset(p.longest_);
    const double hz = static_cast<double>(p.clk_);
    const double max_ticks = static_cast<double>((uint64_t{1} << caps.delta_time_bits) - 1);
    for (size_t i = 0; i < p.steps_.size(); ++i) {
        const bounds& b = times[i];
        auto refuse_at = [&](const std::string& why) {
            throw program_error(p.origin_[i] + ": " + why);
        };
        for (const auto& t : {b.min, b.max}) {
            if (!t) continue;
            if (whole_ticks(*t, p.clk_, true) > max_ticks)
                refuse_at(time_text(*t) + " is beyond the step timer, which reaches at most " +
                          time_text(max_ticks / hz));
            if (whole_ticks(*t, p.clk_, false) < 1)
                refuse_at(time_text(*t) + " is less than one tick (" + time_text(1 / hz) +
                          ") of the " + std::to_string(p.clk_) +
                          " Hz trigger clock the program's longest time (" + time_text(p.longest_) +
                          ") needs");
        }
        step_t& st = p.steps_[i];
        double low = 0, high = 0;
        if (b.min) {
            low = b.longer ? whole_ticks(*b.min, p.clk_, false) + 1
                           : whole_ticks(*b.min, p.clk_, true);
            st.ignore_tmin = false;
            st.t_min = low / hz;
        }
        if (b.max) {
            high = b.shorter ? whole_ticks(*b.max, p.clk_, true) - 1
                             : whole_ticks(*b.max, p.clk_, false);
            if (high < 1)
                refuse_at("no whole tick of the trigger clock (" + time_text(1 / hz) +
                          ") is shorter than " + time_text(*b.max));
            st.ignore_tmax = false;
            st.t_max = high / hz;
        }
        if (b.min && b.max && low > high)
            refuse_at("no whole number of ticks of the trigger clock (" + time_text(1 / hz) +
                      ") lies from " + time_text(*b.min) + " to " + time_text(*b.max));
    }
    return p;
}

std::vector<uint64_t> program::words(const capabilities& caps, size_t start_channel) const {
    // The same clock as at compiling, from the same longest time.
    clock clk(caps);
    clk.autoset(longest_);
    std::vector<uint64_t> out;
    out.reserve(steps_.size());
    for (const step_t& s : steps_)
        out.push_back(encode_step<uint64_t>(s, start_channel, caps, clk));
    return out;
}

std::string program::describe() const {
    if (steps_.empty()) return "no trigger program: the engine is off\n";
    std::string out = "program: " + source_ + "\n";
    out += "trigger clock: " + std::to_string(clk_) + " Hz (one tick = " + time_text(1.0 / clk_) +
           ")\n";
    out += "engine words: " + std::to_string(steps_.size()) + "\n";
    auto bound = [&](const char* name, double t) {
        const auto n = static_cast<uint64_t>(std::llround(t * clk_));
        return std::string(name) + " " + ticks_text(n) + " (" +
               time_text(static_cast<double>(n) / clk_) + ")";
    };
    for (size_t i = 0; i < steps_.size(); ++i) {
        const step_t& s = steps_[i];
        std::string line = "  " + std::to_string(i + 1) + ". " + conditions_text(s, n_channels_);
        const bool same_sample = !s.ignore_tmax && s.t_max == 0;
        if (s.logic_change_only)
            line += ", on a change";
        else if (same_sample)
            line += ", on the same sample";
        else if (s.dont_wait_for_change)
            line += ", as soon as the levels hold";
        else
            line += ", reached by a change";
        if (!s.ignore_tmin) line += ", " + bound("after", s.t_min);
        if (!s.ignore_tmax && !same_sample) line += ", " + bound("within", s.t_max);
        out += line + "   [" + origin_[i] + "]\n";
    }
    return out;
}

} // namespace fxt
