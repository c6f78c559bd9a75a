// Signals chosen by a short text: the virtual device's KESTREL_SIM_SIGNALS.
#include "kestrel_sim/acquisition.h"
#include "waves.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrel_sim {

namespace {

constexpr unsigned max_channels = 54;

struct bad : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t from = 0;
    for (;;) {
        const auto at = s.find(sep, from);
        out.push_back(
            trim(s.substr(from, at == std::string::npos ? std::string::npos : at - from)));
        if (at == std::string::npos) return out;
        from = at + 1;
    }
}

std::string lower(std::string s) {
    for (auto& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A positive number with an optional suffix from `units` (suffix → scale), e.g. 1MHz, 250k.
double quantity(const std::string& text, const char* what,
                const std::vector<std::pair<std::string, double>>& units) {
    size_t used = 0;
    double v = 0;
    try {
        v = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0) throw bad(what + std::string(" '") + text + "' is not a number");
    const std::string rest = lower(text.substr(used));
    double scale = 0;
    for (const auto& [suffix, s] : units)
        if (rest == suffix) scale = s;
    if (scale == 0) throw bad(what + std::string(" '") + text + "' has an unknown unit");
    if (!(v > 0) || !std::isfinite(v * scale)) throw bad(what + std::string(" must be above 0"));
    return v * scale;
}

double frequency(const std::string& t) {
    return quantity(t, "frequency",
                    {{"", 1},
                     {"hz", 1},
                     {"k", 1e3},
                     {"khz", 1e3},
                     {"m", 1e6},
                     {"mhz", 1e6},
                     {"g", 1e9},
                     {"ghz", 1e9}});
}

double duration(const std::string& t) {
    return quantity(t, "time", {{"s", 1}, {"ms", 1e-3}, {"us", 1e-6}, {"ns", 1e-9}, {"ps", 1e-12}});
}

unsigned number(const std::string& t, const char* what, unsigned max) {
    size_t used = 0;
    unsigned long v = 0;
    try {
        v = std::stoul(t, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != t.size() || t[0] == '-' || v > max)
        throw bad(what + std::string(" '") + t + "' is not a number from 0 to " +
                  std::to_string(max));
    return static_cast<unsigned>(v);
}

// Text with escapes, or hexadecimal bytes: 0x81,0x3C.
std::vector<uint8_t> data(const std::string& t) {
    if (t.empty()) throw bad("the data is empty");
    std::vector<uint8_t> out;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        for (const auto& b : split(t, ','))
            out.push_back(static_cast<uint8_t>(number(b, "byte", 255)));
        return out;
    }
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i] != '\\') {
            out.push_back(static_cast<uint8_t>(t[i]));
            continue;
        }
        if (++i == t.size()) throw bad("the data ends with a lone '\\'");
        switch (t[i]) {
        case 'n':
            out.push_back('\n');
            break;
        case 'r':
            out.push_back('\r');
            break;
        case 't':
            out.push_back('\t');
            break;
        case '\\':
            out.push_back('\\');
            break;
        case 'x': {
            const std::string hex = t.substr(i + 1, 2);
            if (hex.size() != 2 || !std::isxdigit(static_cast<unsigned char>(hex[0])) ||
                !std::isxdigit(static_cast<unsigned char>(hex[1])))
                throw bad("'\\x' takes two hexadecimal digits");
            out.push_back(static_cast<uint8_t>(std::stoul(hex, nullptr, 16)));
            i += 2;
            break;
        }
        default:
            throw bad(std::string("unknown escape '\\") + t[i] + "'");
        }
    }
    return out;
}

// "5", "0-7" or "1,2,3".
std::vector<unsigned> channels(const std::string& t) {
    std::vector<unsigned> out;
    for (const auto& part : split(t, ',')) {
        const auto dash = part.find('-');
        if (dash == std::string::npos) {
            out.push_back(number(part, "channel", max_channels - 1));
            continue;
        }
        const unsigned a = number(trim(part.substr(0, dash)), "channel", max_channels - 1);
        const unsigned b = number(trim(part.substr(dash + 1)), "channel", max_channels - 1);
        if (b < a) throw bad("channel range '" + part + "' runs backwards");
        for (unsigned c = a; c <= b; ++c)
            out.push_back(c);
    }
    for (size_t i = 0; i < out.size(); ++i)
        if (std::count(out.begin(), out.end(), out[i]) > 1)
            throw bad("channel " + std::to_string(out[i]) + " is named twice");
    return out;
}

void arity(const std::vector<std::string>& f, size_t min, size_t max, const char* form) {
    if (f.size() < min || f.size() > max) throw bad(std::string("expected ") + form);
}

signal_choice_t item(const std::string& text) {
    const auto eq = text.find('=');
    if (eq == std::string::npos) throw bad("expected CHANNELS=SIGNAL");
    signal_choice_t c;
    c.channels = channels(trim(text.substr(0, eq)));
    const std::string item_signal = trim(text.substr(eq + 1));
    // The data field may hold ':' itself: it is always the last field.
    auto f = split(item_signal, ':');
    const std::string kind = lower(f[0]);
    auto rest_from = [&](size_t i) {
        size_t at = 0;
        for (size_t k = 0; k < i; ++k)
            at = item_signal.find(':', at) + 1;
        return item_signal.substr(at);
    };
    const size_t n = c.channels.size();
    auto each = [&](const signal_t& s) { c.signals.assign(n, s); };
    auto need_channels = [&](size_t want, const char* names) {
        if (n != want)
            throw bad(kind + " takes " + std::to_string(want) + " channels (" + names + "), not " +
                      std::to_string(n));
    };
    if (kind == "0" || kind == "low" || kind == "1" || kind == "high") {
        arity(f, 1, 1, "0, 1, low or high");
        each(signal_t::constant(kind == "1" || kind == "high"));
    } else if (kind == "clock") {
        arity(f, 2, 3, "clock:FREQ[:DUTY]");
        double duty = 0.5;
        if (f.size() == 3) {
            try {
                duty = std::stod(f[2]);
            } catch (const std::exception&) {
                duty = -1;
            }
            if (!(duty > 0 && duty < 1)) throw bad("duty '" + f[2] + "' must lie between 0 and 1");
        }
        each(signal_t::square(1 / frequency(f[1]), duty));
    } else if (kind == "counter") {
        arity(f, 2, 3, "counter:STEP[:BIT]");
        const double step = duration(f[1]);
        if (f.size() == 3) {
            const unsigned bit = number(f[2], "bit", 40);
            each(signal_t::counter(bit, step));
        } else {
            for (unsigned i = 0; i < n; ++i)
                c.signals.push_back(signal_t::counter(i, step));
        }
    } else if (kind == "uart") {
        if (f.size() < 3) throw bad("expected uart:BAUD:DATA");
        // Idle for ten bits before the message, so that a decoder finds the first start
        // bit wherever a capture begins.
        std::vector<uint8_t> levels(10, 1);
        for (const uint8_t byte : data(rest_from(2))) {
            levels.push_back(0);
            for (int i = 0; i < 8; ++i)
                levels.push_back((byte >> i) & 1);
            levels.insert(levels.end(), {1, 1});
        }
        each(signal_t::pattern(levels, 1 / frequency(f[1])));
    } else if (kind == "spi") {
        if (f.size() < 3) throw bad("expected CLK,DATA,CS=spi:FREQ:DATA");
        need_channels(3, "clock, data, chip select");
        const double hz = frequency(f[1]);
        const auto bytes = data(rest_from(2));
        using role = signal_t::spi_role_t;
        for (const auto r : {role::clk, role::data, role::cs})
            c.signals.push_back(signal_t::spi(r, bytes, hz));
    } else if (kind == "i2c") {
        if (f.size() < 4) throw bad("expected SCL,SDA=i2c:FREQ:ADDR:DATA");
        need_channels(2, "SCL, SDA");
        const double hz = frequency(f[1]);
        const auto address = static_cast<uint8_t>(number(f[2], "address", 127));
        const auto bytes = data(rest_from(3));
        using role = signal_t::i2c_role_t;
        for (const auto r : {role::scl, role::sda})
            c.signals.push_back(signal_t::i2c(r, address, bytes, hz));
    } else {
        throw bad("unknown signal '" + f[0] +
                  "' (clock, counter, uart, spi, i2c, 0, 1, low or high)");
    }
    return c;
}

} // namespace

std::vector<signal_choice_t> parse_signal_description(const std::string& text) {
    std::vector<signal_choice_t> out;
    std::vector<unsigned> seen;
    size_t line_no = 1;
    for (const auto& line : split(text, '\n')) {
        const std::string body = line.substr(0, line.find('#'));
        for (const auto& raw : split(body, ';')) {
            if (raw.empty()) continue;
            try {
                auto c = item(raw);
                for (const unsigned ch : c.channels) {
                    if (std::find(seen.begin(), seen.end(), ch) != seen.end())
                        throw bad("channel " + std::to_string(ch) + " was chosen before");
                    seen.push_back(ch);
                }
                out.push_back(std::move(c));
            } catch (const bad& e) {
                throw std::invalid_argument("signal description, line " + std::to_string(line_no) +
                                            ", '" + raw + "': " + e.what());
            }
        }
        ++line_no;
    }
    return out;
}

environment_description read_environment_signals() {
    const char* text = std::getenv("KESTREL_SIM_SIGNALS");
    const char* file = std::getenv("KESTREL_SIM_SIGNALS_FILE");
    environment_description out;
    if ((text == nullptr || *text == 0) && (file == nullptr || *file == 0)) return out;
    try {
        if (text != nullptr && *text != 0) {
            out.signals = parse_signal_description(text);
        } else {
            std::ifstream in(file);
            if (!in) throw std::invalid_argument(std::string("cannot read ") + file);
            std::stringstream ss;
            ss << in.rdbuf();
            out.signals = parse_signal_description(ss.str());
        }
    } catch (const std::invalid_argument& e) {
        out.mistake = std::string(text != nullptr && *text != 0 ? "KESTREL_SIM_SIGNALS"
                                                                : "KESTREL_SIM_SIGNALS_FILE") +
                      ": " + e.what();
    }
    return out;
}

std::vector<signal_choice_t> environment_signals() {
    return read_environment_signals().signals;
}

} // namespace kestrel_sim
