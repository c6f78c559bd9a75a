#include "waves.h"

#include <algorithm>
#include <cmath>

namespace kestrel_sim {

namespace {

int64_t to_ps(double s) {
    return static_cast<int64_t>(std::llround(s * 1e12));
}

int64_t floor_div(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

int64_t floor_mod(int64_t a, int64_t b) {
    return a - floor_div(a, b) * b;
}

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Time of unit boundary k of a frame grid that starts at `start`.
int64_t grid(int64_t start, double unit, int64_t k) {
    return start + static_cast<int64_t>(std::ceil(static_cast<double>(k) * unit));
}

} // namespace

signal_t signal_t::constant(bool level) {
    signal_t s;
    s.level = level;
    return s;
}

signal_t signal_t::square(double period_s, double duty, double phase_s) {
    signal_t s;
    s.kind = kind_t::square;
    s.period_ps = std::max<int64_t>(1, to_ps(period_s));
    s.high_ps = std::clamp<int64_t>(to_ps(period_s * duty), 0, s.period_ps);
    s.phase_ps = to_ps(phase_s);
    return s;
}

signal_t signal_t::counter(unsigned bit, double step_s) {
    signal_t s;
    s.kind = kind_t::counter;
    s.bit = std::min(bit, 40u);
    s.period_ps = std::max<int64_t>(1, to_ps(step_s));
    return s;
}

signal_t signal_t::uart(std::vector<uint8_t> bytes, double baud, unsigned gap_bits, bool repeat,
                        double start_s) {
    signal_t s;
    s.kind = kind_t::uart;
    s.bytes = std::move(bytes);
    s.rate_hz = baud;
    s.gap_bits = gap_bits;
    s.repeat = repeat;
    s.phase_ps = to_ps(start_s);
    return s;
}

signal_t signal_t::spi(spi_role_t role, std::vector<uint8_t> bytes, double clock_hz,
                       unsigned gap_clocks, bool repeat, double start_s) {
    signal_t s;
    s.kind = kind_t::spi;
    s.role = role;
    s.bytes = std::move(bytes);
    s.rate_hz = clock_hz;
    s.gap_bits = gap_clocks;
    s.repeat = repeat;
    s.phase_ps = to_ps(start_s);
    return s;
}

signal_t signal_t::random(uint64_t seed, double mean_interval_s, bool initial) {
    signal_t s;
    s.kind = kind_t::random;
    s.seed = seed;
    s.period_ps = std::max<int64_t>(1, to_ps(mean_interval_s));
    s.level = initial;
    return s;
}

signal_t signal_t::pattern(std::vector<uint8_t> levels, double unit_s, bool repeat,
                           double start_s) {
    signal_t s;
    s.kind = kind_t::pattern;
    for (auto& l : levels)
        l = l != 0 ? 1 : 0;
    s.bytes = std::move(levels);
    s.rate_hz = unit_s > 0 ? 1 / unit_s : 0;
    s.repeat = repeat;
    s.phase_ps = to_ps(start_s);
    return s;
}

signal_t signal_t::i2c(i2c_role_t role, uint8_t address, const std::vector<uint8_t>& bytes,
                       double clock_hz, bool repeat, double start_s) {
    // Quarter clock units: SCL low, high, high, low around each bit; SDA changes only
    // while SCL is low, except at start (falls under a high SCL) and stop (rises under it).
    std::vector<uint8_t> scl, sda;
    auto unit = [&](int c, int d) {
        scl.push_back(static_cast<uint8_t>(c));
        sda.push_back(static_cast<uint8_t>(d));
    };
    unit(1, 1);
    unit(1, 0); // start
    unit(1, 0);
    unit(0, 0);
    auto bit = [&](int b) {
        unit(0, b);
        unit(1, b);
        unit(1, b);
        unit(0, b);
    };
    std::vector<uint8_t> frame{static_cast<uint8_t>(address << 1)};
    frame.insert(frame.end(), bytes.begin(), bytes.end());
    for (const uint8_t byte : frame) {
        for (int i = 7; i >= 0; --i)
            bit((byte >> i) & 1);
        bit(0); // acknowledged
    }
    unit(0, 0);
    unit(1, 0);
    unit(1, 1); // stop
    for (int i = 0; i < 16; ++i)
        unit(1, 1);
    const double q = clock_hz > 0 ? 1 / (4 * clock_hz) : 0;
    return pattern(role == i2c_role_t::scl ? scl : sda, q, repeat, start_s);
}

std::vector<uint8_t> signal_t::can_bits(uint32_t id, bool extended,
                                        const std::vector<uint8_t>& bytes, bool remote) {
    // The frame before stuffing, most significant bit of every field first.
    std::vector<uint8_t> raw;
    auto put = [&](uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i)
            raw.push_back(static_cast<uint8_t>((v >> i) & 1));
    };
    const size_t n = std::min<size_t>(bytes.size(), 8);
    put(0, 1); // start of frame
    if (extended) {
        put(id >> 18, 11);
        put(1, 1); // substitute remote request
        put(1, 1); // identifier extension
        put(id & 0x3FFFF, 18);
        put(remote ? 1 : 0, 1);
        put(0, 2); // r1, r0
    } else {
        put(id & 0x7FF, 11);
        put(remote ? 1 : 0, 1);
        put(0, 1); // identifier extension: standard
        put(0, 1); // r0
    }
    put(n, 4);
    if (!remote)
        for (size_t k = 0; k < n; ++k)
            put(bytes[k], 8);
    // CRC-15 (x^15 + x^14 + x^10 + x^8 + x^7 + x^4 + x^3 + 1) of everything so far.
    uint32_t crc = 0;
    for (const uint8_t b : raw) {
        const uint32_t top = ((crc >> 14) & 1) ^ b;
        crc = (crc << 1) & 0x7FFF;
        if (top) crc ^= 0x4599;
    }
    put(crc, 15);
    // After five equal bits the transmitter inserts one of the other level; the inserted
    // bit starts the next run.
    std::vector<uint8_t> bus;
    int run = 0;
    uint8_t last = 2;
    for (const uint8_t b : raw) {
        bus.push_back(b);
        run = b == last ? run + 1 : 1;
        last = b;
        if (run == 5) {
            last = static_cast<uint8_t>(!b);
            bus.push_back(last);
            run = 1;
        }
    }
    bus.push_back(1);                // CRC delimiter
    bus.push_back(0);                // acknowledgement slot, driven by a receiver
    bus.push_back(1);                // acknowledgement delimiter
    bus.insert(bus.end(), 7 + 3, 1); // end of frame, intermission
    return bus;
}

signal_t signal_t::can(uint32_t id, bool extended, const std::vector<uint8_t>& bytes,
                       double bitrate, bool remote, bool repeat, double start_s) {
    std::vector<uint8_t> levels(11, 1);
    const auto frame = can_bits(id, extended, bytes, remote);
    levels.insert(levels.end(), frame.begin(), frame.end());
    return pattern(levels, bitrate > 0 ? 1 / bitrate : 0, repeat, start_s);
}

wave::wave(const signal_t& s) : s_(s) {
    // A framed signal without bytes or rate, or an empty square wave, is a constant.
    using k = signal_t::kind_t;
    if ((s_.kind == k::uart || s_.kind == k::spi) && (s_.bytes.empty() || !(s_.rate_hz > 0))) {
        const bool idle = s_.kind == k::uart || s_.role == signal_t::spi_role_t::cs;
        s_ = signal_t::constant(idle);
    }
    if (s_.kind == k::square && (s_.high_ps == 0 || s_.high_ps >= s_.period_ps))
        s_ = signal_t::constant(s_.high_ps != 0);
    if (s_.kind == k::pattern) {
        const auto& l = s_.bytes;
        if (l.empty() || !(s_.rate_hz > 0) ||
            std::all_of(l.begin(), l.end(), [&](uint8_t v) { return v == l[0]; })) {
            s_ = signal_t::constant(!l.empty() && l.back() != 0);
        } else {
            unit_ps_ = std::max(1.0, 1e12 / s_.rate_hz);
            frame_units_ = static_cast<int64_t>(l.size());
            // Units from each level to the next different one, around the pattern.
            auto steps = std::make_shared<std::vector<int64_t>>(l.size());
            const size_t n = l.size();
            for (size_t i = 0; i < n; ++i) {
                size_t d = 1;
                while (l[(i + d) % n] == l[i])
                    ++d;
                (*steps)[i] = static_cast<int64_t>(d);
            }
            steps_ = std::move(steps);
        }
    }
    if (s_.kind == k::uart) {
        unit_ps_ = std::max(1.0, 1e12 / s_.rate_hz);
        frame_units_ = 10 + s_.gap_bits;
    } else if (s_.kind == k::spi) {
        unit_ps_ = std::max(1.0, 1e12 / s_.rate_hz / 2);
        // Chip select leads by one half clock and trails by one; the gap is in clocks.
        frame_units_ =
            static_cast<int64_t>(1 + 16 * s_.bytes.size() + 1) + 2 * int64_t{s_.gap_bits};
    }
}

uint64_t wave::random_offset(int64_t block) const {
    return mix(s_.seed * 0x100000001B3ull ^ static_cast<uint64_t>(block)) %
           static_cast<uint64_t>(s_.period_ps);
}

bool wave::uart_at(int64_t t) const {
    if (t < s_.phase_ps) return true;
    const auto unit =
        static_cast<int64_t>(std::floor(static_cast<double>(t - s_.phase_ps) / unit_ps_));
    const int64_t frame = unit / frame_units_;
    if (!s_.repeat && frame >= static_cast<int64_t>(s_.bytes.size())) return true;
    const uint8_t byte =
        s_.bytes[static_cast<size_t>(frame % static_cast<int64_t>(s_.bytes.size()))];
    const int64_t j = unit % frame_units_;
    if (j == 0) return false;
    if (j <= 8) return (byte >> (j - 1)) & 1;
    return true;
}

bool wave::spi_at(int64_t t) const {
    using role = signal_t::spi_role_t;
    if (t < s_.phase_ps) return s_.role == role::cs;
    const auto unit =
        static_cast<int64_t>(std::floor(static_cast<double>(t - s_.phase_ps) / unit_ps_));
    const int64_t frame = unit / frame_units_;
    if (!s_.repeat && frame >= 1) return s_.role == role::cs;
    const int64_t q = unit % frame_units_;
    const int64_t bits = 8 * static_cast<int64_t>(s_.bytes.size());
    const bool in_frame = q <= 2 * bits + 1;
    switch (s_.role) {
    case role::cs:
        return !in_frame;
    case role::clk:
        return q >= 1 && q <= 2 * bits && (q - 1) % 2 == 1;
    case role::data: {
        if (!in_frame) return false;
        const int64_t i = std::min(bits - 1, q == 0 ? 0 : (q - 1) / 2);
        return (s_.bytes[static_cast<size_t>(i / 8)] >> (7 - i % 8)) & 1;
    }
    }
    return false;
}

bool wave::pattern_at(int64_t t) const {
    const auto& l = s_.bytes;
    if (t < s_.phase_ps) return l.back() != 0;
    const auto unit =
        static_cast<int64_t>(std::floor(static_cast<double>(t - s_.phase_ps) / unit_ps_));
    if (!s_.repeat && unit >= frame_units_) return l.back() != 0;
    return l[static_cast<size_t>(unit % frame_units_)] != 0;
}

bool wave::signal_at(int64_t t) const {
    using k = signal_t::kind_t;
    switch (s_.kind) {
    case k::constant:
        return s_.level;
    case k::square:
        return floor_mod(t - s_.phase_ps, s_.period_ps) < s_.high_ps;
    case k::counter:
        return (static_cast<uint64_t>(floor_div(t, s_.period_ps)) >> s_.bit) & 1;
    case k::uart:
        return uart_at(t);
    case k::spi:
        return spi_at(t);
    case k::pattern:
        return pattern_at(t);
    case k::random: {
        const int64_t block = floor_div(t, s_.period_ps);
        const int64_t in = t - block * s_.period_ps;
        const bool toggled = static_cast<uint64_t>(in) >= random_offset(block);
        return ((block + (toggled ? 1 : 0)) & 1) != (s_.level ? 1 : 0);
    }
    }
    return false;
}

int64_t wave::signal_next_change(int64_t t) const {
    using k = signal_t::kind_t;
    switch (s_.kind) {
    case k::constant:
        return never;
    case k::square: {
        const int64_t u = floor_mod(t - s_.phase_ps, s_.period_ps);
        return u < s_.high_ps ? t + (s_.high_ps - u) : t + (s_.period_ps - u);
    }
    case k::counter: {
        const int64_t span = s_.period_ps << s_.bit;
        return (floor_div(t, span) + 1) * span;
    }
    case k::uart:
    case k::spi: {
        if (t < s_.phase_ps) return s_.phase_ps;
        const auto unit =
            static_cast<int64_t>(std::floor(static_cast<double>(t - s_.phase_ps) / unit_ps_));
        const int64_t frame = unit / frame_units_;
        const int64_t frames = s_.kind == k::uart ? static_cast<int64_t>(s_.bytes.size()) : 1;
        if (!s_.repeat && frame >= frames) return never;
        // Idle units at the end of a frame hold one level up to the next frame.
        const int64_t q = unit % frame_units_;
        const int64_t busy =
            s_.kind == k::uart ? 9 : 16 * static_cast<int64_t>(s_.bytes.size()) + 2;
        const int64_t next_unit = q >= busy ? (frame + 1) * frame_units_ : unit + 1;
        return std::max(t + 1, grid(s_.phase_ps, unit_ps_, next_unit));
    }
    case k::pattern: {
        if (t < s_.phase_ps) return s_.phase_ps;
        const auto unit =
            static_cast<int64_t>(std::floor(static_cast<double>(t - s_.phase_ps) / unit_ps_));
        if (!s_.repeat && unit >= frame_units_) return never;
        int64_t next = unit + (*steps_)[static_cast<size_t>(unit % frame_units_)];
        if (!s_.repeat && next >= frame_units_) next = frame_units_;
        return std::max(t + 1, grid(s_.phase_ps, unit_ps_, next));
    }
    case k::random: {
        const int64_t block = floor_div(t, s_.period_ps);
        const int64_t in = t - block * s_.period_ps;
        const auto off = static_cast<int64_t>(random_offset(block));
        if (in < off) return block * s_.period_ps + off;
        return (block + 1) * s_.period_ps + static_cast<int64_t>(random_offset(block + 1));
    }
    }
    return never;
}

int64_t wave::period_ps() const {
    using k = signal_t::kind_t;
    if (driven_) return 0;
    if (s_.kind == k::square) return s_.period_ps;
    // Bit b of the count repeats every 2^(b+1) counts.
    if (s_.kind == k::counter && s_.period_ps <= (never >> (s_.bit + 2)))
        return s_.period_ps << (s_.bit + 1);
    return 0;
}

void cursor::load(int64_t n) {
    const int64_t t = tb_.time_of(n);
    level_ = w_->at(t);
    from_ = n;
    until_ = std::max(n + 1, tb_.sample_at_or_after(w_->next_change(t)));
}

} // namespace kestrel_sim
