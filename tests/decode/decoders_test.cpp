// The decoders on captures made from the protocols' own rules: words, flags, error cases,
// captures that begin inside a frame, decoding in pieces while a capture grows, and the
// refusal of malformed descriptions.
#include <kestrel_sim/acquisition.h>

#include "helpers.h"

#include <random>

namespace {

using namespace decode_test;
using decode::frame;
namespace k = decode::kind;
namespace fl = decode::flag;

// ---- UART: frames as a transmitter sends them, in half bits.

struct uart_line {
    int bits = 8;
    int parity = 0; // 0 none, 1 even, 2 odd
    int stop_halves = 2;
    bool msb = false;
    std::vector<uint8_t> halves; // levels, two per bit

    void idle(int bits_) { halves.insert(halves.end(), 2 * bits_, 1); }
    void bit(int b, int n = 2) { halves.insert(halves.end(), n, static_cast<uint8_t>(b)); }
    // One frame; `bad_parity` sends the wrong parity bit, `stop` the stop level.
    void word(unsigned v, bool bad_parity = false, int stop = 1) {
        bit(0);
        int ones = 0;
        for (int i = 0; i < bits; ++i) {
            const int b = (v >> (msb ? bits - 1 - i : i)) & 1;
            ones += b;
            bit(b);
        }
        if (parity) bit(((ones & 1) ^ (parity == 2 ? 1 : 0) ^ (bad_parity ? 1 : 0)));
        bit(stop, stop_halves);
    }
};

std::shared_ptr<decode::stored_capture> uart_capture(const uart_line& u, double samples_per_bit,
                                                     double offset, double rate = 1e6) {
    channel c;
    put_units(c, u.halves, samples_per_bit / 2, offset);
    const auto length = static_cast<uint64_t>(
        offset + samples_per_bit / 2 * static_cast<double>(u.halves.size()) + 4 * samples_per_bit);
    return make_capture({c}, length, rate, {"rx"});
}

TEST(uart, words_at_whole_and_fractional_bit_lengths) {
    const std::vector<unsigned> text = {'H', 'e', 'l', 'l', 'o', 0x00, 0xFF, 0x55, 0xAA};
    for (const double baud : {125000.0, 115200.0, 250000.0}) {
        SCOPED_TRACE(baud);
        uart_line u;
        u.idle(12);
        for (unsigned v : text) {
            u.word(v);
            u.idle(1);
        }
        const double per = 1e6 / baud;
        auto cap = uart_capture(u, per, 3.3);
        const auto f = decode_all(cap, "uart rx=rx baud=" + std::to_string(int(baud)));
        EXPECT_EQ(values(f, k::data), std::vector<uint64_t>(text.begin(), text.end()));
        for (const auto& x : f)
            EXPECT_EQ(x.flags, 0);
        // Each frame spans its start bit to the end of its stop bit.
        ASSERT_FALSE(f.empty());
        EXPECT_NEAR(double(f[0].start_sample), 3.3 + 12 * per, 1.0);
        EXPECT_NEAR(double(f[0].end_sample - f[0].start_sample), 10 * per, 1.5);
    }
}

TEST(uart, parity_framing_errors_and_break) {
    uart_line u;
    u.bits = 7;
    u.parity = 1;
    u.idle(12);
    u.word(0x41);
    u.idle(2);
    u.word(0x42, true); // wrong parity
    u.idle(2);
    u.word(0x43, false, 0); // stop bit low
    u.idle(3);
    u.bit(0, 2 * 14); // the line held low: a break
    u.idle(12);
    u.word(0x44);
    u.idle(2);
    const auto f = decode_all(uart_capture(u, 8, 0.5), "uart rx=0 baud=125000 bits=7 parity=even");
    const std::vector<item> want = {{k::data, 0x41, 0},
                                    {k::data, 0x42, fl::parity_error},
                                    {k::data, 0x43, fl::framing_error},
                                    {k::brk, 0, 0},
                                    {k::data, 0x44, 0}};
    EXPECT_EQ(items(f), want);
    // Odd parity reads the even-parity words as wrong.
    const auto odd = decode_all(uart_capture(u, 8, 0.5), "uart rx=0 baud=125000 bits=7 parity=odd");
    ASSERT_GE(odd.size(), 1u);
    EXPECT_EQ(odd[0].flags, fl::parity_error);
}

TEST(uart, glitches_partial_frames_and_a_quiet_line) {
    // A capture that begins in the middle of a frame: its bits must not be read as a word.
    uart_line u;
    u.bit(1, 3); // the tail of data bits
    u.bit(0, 4);
    u.bit(1, 2);
    u.bit(0, 2);
    u.bit(1, 4); // ... and its stop bit
    u.idle(12);
    u.word(0x5A);
    u.idle(3);
    u.bit(0, 1); // a glitch of half a bit
    u.idle(3);
    u.word(0xC3);
    u.idle(2);
    const auto f = decode_all(uart_capture(u, 8, 0), "uart rx=0 baud=125000");
    EXPECT_EQ(items(f), (std::vector<item>{{k::data, 0x5A, 0}, {k::data, 0xC3, 0}}));

    channel quiet;
    EXPECT_TRUE(decode_all(make_capture({quiet}, 100000, 1e6), "uart rx=0 baud=9600").empty());
    quiet.initial = 0;
    EXPECT_TRUE(decode_all(make_capture({quiet}, 100000, 1e6), "uart rx=0 baud=9600").empty());
}

TEST(uart, a_line_never_idle_for_a_frame_gives_no_wrong_word) {
    // Words two idle bits apart (the virtual device's framing): no idle long enough to
    // find the first start bit from. The capture begins at every offset of the first
    // frames; what is read is the text from some word on, never another word.
    const std::string text = "KESTREL 0\r\nThe quick brown fox jumps over the lazy dog.";
    uart_line whole;
    for (int rep = 0; rep < 4; ++rep)
        for (unsigned char c : text) {
            whole.word(c);
            whole.idle(2);
        }
    std::vector<uint64_t> sent;
    for (int rep = 0; rep < 4; ++rep)
        sent.insert(sent.end(), text.begin(), text.end());
    for (size_t cut = 0; cut < 60; cut += 1) {
        SCOPED_TRACE(cut);
        uart_line u = whole;
        u.halves.erase(u.halves.begin(), u.halves.begin() + static_cast<long>(cut));
        const auto got =
            values(decode_all(uart_capture(u, 8, 0), "uart rx=0 baud=125000"), k::data);
        ASSERT_GE(got.size(), sent.size() - 20);
        // A suffix of what was sent.
        EXPECT_TRUE(std::equal(got.rbegin(), got.rend(), sent.rbegin()))
            << ::testing::PrintToString(std::vector<uint64_t>(got.begin(), got.begin() + 8));
    }
}

TEST(uart, inverted_msb_first_nine_bits_and_two_stop_bits) {
    uart_line u;
    u.bits = 9;
    u.msb = true;
    u.stop_halves = 4;
    u.idle(14);
    for (unsigned v : {0x1FFu, 0x100u, 0x0A5u}) {
        u.word(v);
        u.idle(1);
    }
    auto inverted = u;
    for (auto& h : inverted.halves)
        h ^= 1;
    const auto f =
        decode_all(uart_capture(inverted, 10, 0), "uart rx=0 baud=100000 bits=9 msb stop=2 invert");
    EXPECT_EQ(values(f, k::data), (std::vector<uint64_t>{0x1FF, 0x100, 0x0A5}));
    for (const auto& x : f)
        EXPECT_EQ(x.flags, 0);
}

// ---- SPI: clock, data and chip select of a controller in each mode.

struct spi_bus {
    int mode = 0;
    int bits = 8;
    bool lsb = false;
    channel clk, mosi, miso, cs;
    uint64_t t = 0;
    int half = 2; // samples per half clock

    spi_bus(int m) : mode(m) {
        clk.initial = static_cast<uint8_t>(m >> 1);
        mosi.initial = miso.initial = 0;
        cs.initial = 1;
        t = 10;
    }
    void select(bool on) {
        cs.set(t, on ? 0 : 1);
        t += static_cast<uint64_t>(half);
    }
    // One word, or only its first `cut` bits.
    void word(uint64_t out, uint64_t in, int cut = -1) {
        const uint8_t idle = static_cast<uint8_t>(mode >> 1);
        const bool cpha = mode & 1;
        const int n = cut < 0 ? bits : cut;
        for (int i = 0; i < n; ++i) {
            const int b = lsb ? i : bits - 1 - i;
            // CPHA 0: data before the leading edge; CPHA 1: at the leading edge, sampled on
            // the trailing one.
            if (!cpha) {
                mosi.set(t, (out >> b) & 1);
                miso.set(t, (in >> b) & 1);
            }
            t += static_cast<uint64_t>(half);
            clk.set(t, idle ^ 1);
            if (cpha) {
                mosi.set(t, (out >> b) & 1);
                miso.set(t, (in >> b) & 1);
            }
            t += static_cast<uint64_t>(half);
            clk.set(t, idle);
        }
        t += static_cast<uint64_t>(half);
    }
};

TEST(spi, words_on_both_lines_in_every_mode) {
    const std::vector<uint64_t> out = {0x81, 0x3C, 0x00, 0xFF, 0xA5},
                                in = {0x12, 0x34, 0x56, 0x78, 0x9A};
    for (int mode = 0; mode < 4; ++mode) {
        SCOPED_TRACE(mode);
        spi_bus b(mode);
        b.select(true);
        for (size_t i = 0; i < out.size(); ++i)
            b.word(out[i], in[i]);
        b.select(false);
        auto cap = make_capture({b.clk, b.mosi, b.miso, b.cs}, b.t + 10, 1e6,
                                {"sck", "mosi", "miso", "cs"});
        const auto f =
            decode_all(cap, "spi clk=sck mosi=1 miso=miso cs=3 mode=" + std::to_string(mode));
        EXPECT_EQ(values(f, k::data), out);
        EXPECT_EQ(values(f, k::data_miso), in);
    }
}

TEST(spi, chip_select_cuts_and_partial_frames) {
    spi_bus b(0);
    // The capture begins inside a frame: chip select is already active.
    b.cs.initial = 0;
    b.word(0xFF, 0, 5);
    b.select(false);
    b.select(true);
    b.word(0x5A, 0);
    b.word(0x3C, 0, 5); // cut short by chip select
    b.select(false);
    b.select(true);
    b.word(0xC3, 0);
    b.select(false);
    auto cap = make_capture({b.clk, b.mosi, b.cs}, b.t + 10, 1e6);
    const auto f = decode_all(cap, "spi clk=0 mosi=1 cs=2");
    EXPECT_EQ(items(f), (std::vector<item>{{k::data, 0x5A, 0},
                                           {k::data, 0x3C >> 3, fl::framing_error},
                                           {k::data, 0xC3, 0}}));
}

TEST(spi, long_words_lsb_first_without_chip_select) {
    spi_bus b(3);
    b.bits = 12;
    b.lsb = true;
    for (uint64_t v : {0xABCu, 0x001u, 0x800u})
        b.word(v, 0);
    spi_bus c(1);
    c.bits = 64;
    c.word(0x0123456789ABCDEFull, 0);
    EXPECT_EQ(values(decode_all(make_capture({b.clk, b.mosi}, b.t + 5, 1e6),
                                "spi clk=0 mosi=1 mode=3 bits=12 lsb"),
                     k::data),
              (std::vector<uint64_t>{0xABC, 0x001, 0x800}));
    EXPECT_EQ(values(decode_all(make_capture({c.clk, c.mosi}, c.t + 5, 1e6),
                                "spi clk=0 mosi=1 mode=1 bits=64"),
                     k::data),
              (std::vector<uint64_t>{0x0123456789ABCDEFull}));
}

// ---- I2C: a controller's conditions and bits in quarter clocks, a target's
// acknowledgements.

struct i2c_bus {
    channel scl, sda;
    uint64_t t = 20;
    static constexpr uint64_t q = 3; // samples per quarter clock

    void both(int c, int d) {
        scl.set(t, static_cast<uint8_t>(c));
        sda.set(t, static_cast<uint8_t>(d));
        t += q;
    }
    void start() {
        both(scl.last(), 1);
        both(1, 1);
        both(1, 0);
        both(0, 0);
    }
    void bit(int b) {
        both(0, b);
        both(1, b);
        both(1, b);
        both(0, b);
    }
    void byte(unsigned v, bool ack = true) {
        for (int i = 7; i >= 0; --i)
            bit((v >> i) & 1);
        bit(ack ? 0 : 1);
    }
    void stop() {
        both(0, 0);
        both(1, 0);
        both(1, 1);
        both(1, 1);
    }
};

TEST(i2c, writes_reads_repeated_starts_and_ten_bit_addresses) {
    i2c_bus b;
    b.bit(1); // bits before any start: not a transfer
    b.bit(0);
    b.start();
    b.byte(0x50 << 1);
    b.byte(0x12);
    b.byte(0x34);
    b.stop();
    b.start();
    b.byte(0x50 << 1);
    b.byte(0x00);
    b.start(); // repeated
    b.byte((0x50 << 1) | 1);
    b.byte(0xA7);
    b.byte(0x5E, false); // the controller ends the read
    b.stop();
    // 10-bit address 0x2A5: 11110 10 W, then 0xA5.
    b.start();
    b.byte(0xF0 | (0x2 << 1));
    b.byte(0xA5);
    b.byte(0x99);
    b.start();
    b.byte(0xF0 | (0x2 << 1) | 1);
    b.byte(0x42, false);
    b.stop();
    auto cap = make_capture({b.scl, b.sda}, b.t + 20, 1e6, {"scl", "sda"});
    const auto f = decode_all(cap, "i2c scl=scl sda=sda");
    const std::vector<item> want = {{k::start, 0, 0},
                                    {k::address, 0x50, 0},
                                    {k::ack, 0, 0},
                                    {k::data, 0x12, 0},
                                    {k::ack, 0, 0},
                                    {k::data, 0x34, 0},
                                    {k::ack, 0, 0},
                                    {k::stop, 0, 0},
                                    {k::start, 0, 0},
                                    {k::address, 0x50, 0},
                                    {k::ack, 0, 0},
                                    {k::data, 0x00, 0},
                                    {k::ack, 0, 0},
                                    {k::repeated_start, 0, 0},
                                    {k::address, 0x50, fl::read},
                                    {k::ack, 0, 0},
                                    {k::data, 0xA7, fl::read},
                                    {k::ack, 0, 0},
                                    {k::data, 0x5E, fl::read},
                                    {k::nack, 0, 0},
                                    {k::stop, 0, 0},
                                    {k::start, 0, 0},
                                    {k::address, 0x2A5, 0},
                                    {k::ack, 0, 0},
                                    {k::ack, 0, 0},
                                    {k::data, 0x99, 0},
                                    {k::ack, 0, 0},
                                    {k::repeated_start, 0, 0},
                                    {k::address, 0x2A5, fl::read},
                                    {k::ack, 0, 0},
                                    {k::data, 0x42, fl::read},
                                    {k::nack, 0, 0},
                                    {k::stop, 0, 0}};
    EXPECT_EQ(items(f), want);
    for (size_t i = 1; i < f.size(); ++i)
        EXPECT_LE(f[i - 1].start_sample, f[i].start_sample) << i;
}

// ---- CAN: frames as the virtual device's bus writes them.

std::shared_ptr<decode::stored_capture> can_capture(const std::vector<std::vector<uint8_t>>& frames,
                                                    double per_bit, double offset) {
    std::vector<uint8_t> bits(11, 1);
    for (const auto& f : frames)
        bits.insert(bits.end(), f.begin(), f.end());
    bits.insert(bits.end(), 20, 1);
    channel c;
    put_units(c, bits, per_bit, offset);
    return make_capture({c}, static_cast<uint64_t>(offset + per_bit * double(bits.size())), 8e6,
                        {"can"});
}

TEST(can, standard_extended_and_remote_frames) {
    using kestrel_sim::signal_t;
    const std::vector<std::vector<uint8_t>> frames = {
        signal_t::can_bits(0x123, false, {0xDE, 0xAD, 0xBE, 0xEF}),
        signal_t::can_bits(0x1ABCDE01, true, {0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x01, 0x80}),
        signal_t::can_bits(0x7FF, false, {}, true),
        signal_t::can_bits(0x00000042, true, {0x55}),
        signal_t::can_bits(0x000, false, {0x00, 0x00}),
    };
    for (const double per : {8.0, 10.3}) {
        SCOPED_TRACE(per);
        const auto f = decode_all(can_capture(frames, per, 5.5),
                                  "can rx=can bitrate=" + std::to_string(int(8e6 / per + 0.5)));
        std::vector<item> ids, dlcs;
        for (const auto& x : f) {
            if (x.kind == k::can_id) ids.push_back({x.kind, x.value, x.flags});
            if (x.kind == k::can_dlc) dlcs.push_back({x.kind, x.value, x.flags});
            EXPECT_EQ(x.flags & (fl::crc_error | fl::stuff_error), 0)
                << item{x.kind, x.value, x.flags};
        }
        EXPECT_EQ(ids, (std::vector<item>{{k::can_id, 0x123, 0},
                                          {k::can_id, 0x1ABCDE01, fl::extended},
                                          {k::can_id, 0x7FF, fl::remote},
                                          {k::can_id, 0x42, fl::extended},
                                          {k::can_id, 0x000, 0}}));
        EXPECT_EQ(values(f, k::can_dlc), (std::vector<uint64_t>{4, 8, 0, 1, 2}));
        EXPECT_EQ(values(f, k::data), (std::vector<uint64_t>{0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 0xFF,
                                                             0xFF, 0xFF, 0x01, 0x80, 0x55, 0, 0}));
        EXPECT_EQ(values(f, k::ack).size(), 5u);
        EXPECT_EQ(values(f, k::can_crc).size(), 5u);
    }
}

TEST(can, every_standard_identifier_with_stuff_bits_anywhere_up_to_the_crc_end) {
    using kestrel_sim::signal_t;
    std::vector<std::vector<uint8_t>> frames;
    for (uint32_t id = 0; id < 0x800; ++id)
        frames.push_back(signal_t::can_bits(id, false, {uint8_t(id * 7), uint8_t(~id)}));
    const auto f = decode_all(can_capture(frames, 8, 1), "can rx=0 bitrate=1M");
    std::vector<uint64_t> ids(0x800);
    for (uint32_t id = 0; id < 0x800; ++id)
        ids[id] = id;
    EXPECT_EQ(values(f, k::can_id), ids);
    EXPECT_EQ(values(f, k::ack).size(), 0x800u);
    for (const auto& x : f)
        ASSERT_EQ(x.flags, 0) << item{x.kind, x.value, x.flags};
}

TEST(can, crc_and_stuffing_errors_are_flagged) {
    using kestrel_sim::signal_t;
    auto good = signal_t::can_bits(0x321, false, {0x0F, 0xF0});
    // A data bit flipped: the frame still ends, with a CRC that does not match (or, when the
    // flip makes six equal bits, a stuffing error).
    auto flipped = good;
    flipped[25] ^= 1;
    // Seven dominant bits in the identifier.
    auto stuck = good;
    for (int i = 2; i < 9; ++i)
        stuck[static_cast<size_t>(i)] = 0;
    const auto f =
        decode_all(can_capture({flipped, stuck, good}, 8, 0), "can rx=0 bitrate=1000000");
    int flagged = 0;
    for (const auto& x : f)
        if (x.flags & (fl::crc_error | fl::stuff_error)) ++flagged;
    EXPECT_GE(flagged, 2);
    bool stuff_in_id = false;
    for (const auto& x : f)
        if (x.kind == k::can_id && (x.flags & fl::stuff_error)) stuff_in_id = true;
    EXPECT_TRUE(stuff_in_id);
    // The good frame after them is read whole.
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(f.back().kind, k::ack);
    const auto ids = values(f, k::can_id);
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(ids.back(), 0x321u);
    // A NACK: the acknowledgement slot left recessive.
    auto nacked = good;
    nacked[nacked.size() - 12] = 1;
    const auto n = decode_all(can_capture({nacked}, 8, 0), "can rx=0 bitrate=1000000");
    ASSERT_FALSE(n.empty());
    EXPECT_EQ(n.back().kind, k::nack);
}

// The frames of a capture decoded while it grows by `step` samples at a time: with a small
// step no frame is whole within one horizon, so each goes through the decoder bit by bit.
std::vector<frame> decode_stepped(std::shared_ptr<decode::stored_capture> cap,
                                  const std::string& description, isamp step) {
    auto src = std::make_shared<growing_source>(cap);
    decode::session s(src, description);
    std::vector<frame> got, buf(64);
    bool more = true;
    for (isamp upto = 0; more;) {
        const bool growing = upto < cap->length;
        src->show(std::min(upto, cap->length), growing);
        const size_t n = s.read(buf.data(), buf.size(), more);
        got.insert(got.end(), buf.begin(), buf.begin() + long(n));
        if (n < buf.size()) upto += step;
    }
    return got;
}

// The same frames, to their first and last samples.
testing::AssertionResult same_frames(const std::vector<frame>& got,
                                     const std::vector<frame>& want) {
    if (items(got) != items(want))
        return testing::AssertionFailure() << "the frames' kinds, values or flags differ";
    for (size_t x = 0; x < want.size(); ++x)
        if (got[x].start_sample != want[x].start_sample || got[x].end_sample != want[x].end_sample)
            return testing::AssertionFailure()
                   << "frame " << x << ": samples " << got[x].start_sample << ".."
                   << got[x].end_sample << " against " << want[x].start_sample << ".."
                   << want[x].end_sample;
    return testing::AssertionSuccess();
}

// Frames read whole (the edges of each at hand at once) and bit by bit (a capture growing a
// few samples at a time) are the same frames, to the sample: on frames with every one of
// their bits flipped in turn (stuff bits lost and made, stuffing errors in every field, CRC
// errors, frames cut short or run long, NACKs), on frames of every data length with stuff
// bits at each place, and with a glitch shorter than a bit inside each bit.
TEST(can, whole_frames_and_bit_by_bit_give_the_same_frames) {
    using kestrel_sim::signal_t;
    const std::vector<std::vector<uint8_t>> bases = {
        signal_t::can_bits(0x7C1, false, {0x00, 0xFF, 0x0F}),
        signal_t::can_bits(0x1F0F0F0F, true, {0xF8, 0x07}),
        signal_t::can_bits(0x000, false, {}, true),
        signal_t::can_bits(0x1FFFFFFF, true, {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00}),
    };
    std::vector<std::vector<uint8_t>> flipped;
    const std::vector<uint8_t> idle(11, 1);
    for (const auto& b : bases)
        for (size_t p = 0; p < b.size(); ++p) {
            auto f = b;
            f[p] ^= 1;
            f.insert(f.end(), idle.begin(), idle.end());
            flipped.push_back(f);
        }
    std::vector<std::vector<uint8_t>> lengths;
    for (unsigned n = 0; n <= 8; ++n)
        for (unsigned id : {0x000u, 0x7FFu, 0x3E0u, 0x41Fu}) {
            std::vector<uint8_t> data(n);
            for (unsigned j = 0; j < n; ++j)
                data[j] = static_cast<uint8_t>((id >> j) * 0x1F + j * 0x83);
            lengths.push_back(signal_t::can_bits(id, n % 2, data, false));
        }
    for (const double per : {8.0, 10.3}) {
        SCOPED_TRACE(per);
        const std::string description = "can rx=0 bitrate=" + std::to_string(int(8e6 / per + 0.5));
        for (const auto* set : {&flipped, &lengths}) {
            const auto cap = can_capture(*set, per, 2.5);
            const auto whole = decode_all(cap, description);
            ASSERT_GT(whole.size(), set->size());
            const auto stepped = decode_stepped(cap, description, 37);
            ASSERT_TRUE(same_frames(stepped, whole));
        }
        // A pulse of the other level, shorter than a bit, inside each bit of a frame.
        const auto& b = bases[0];
        std::vector<std::vector<uint8_t>> one{b};
        const auto cap = can_capture(one, per, 2.5);
        for (size_t p = 1; p < b.size(); ++p) {
            channel c;
            std::vector<uint8_t> bits(11, 1);
            bits.insert(bits.end(), b.begin(), b.end());
            bits.insert(bits.end(), 20, 1);
            put_units(c, bits, per, 2.5);
            const auto at = static_cast<uint64_t>(2.5 + per * double(11 + p)) + 2;
            std::vector<std::pair<uint64_t, uint8_t>> ch;
            for (const auto& e : c.changes)
                if (e.first < at) ch.push_back(e);
            const uint8_t lv = b[p];
            ch.push_back({at, uint8_t(!lv)});
            ch.push_back({at + 2, lv});
            for (const auto& e : c.changes)
                if (e.first > at + 2) ch.push_back(e);
            channel g;
            g.initial = c.initial;
            for (const auto& e : ch)
                g.set(e.first, e.second);
            const auto gcap = make_capture({g}, uint64_t(cap->length), 8e6, {"can"});
            const auto whole = decode_all(gcap, description);
            const auto stepped = decode_stepped(gcap, description, 37);
            ASSERT_EQ(items(stepped), items(whole)) << "glitch in bit " << p;
            for (size_t x = 0; x < whole.size(); ++x)
                ASSERT_EQ(stepped[x].start_sample, whole[x].start_sample) << p << " " << x;
        }
    }
}

// Random frames, back to back over many of the edge core's blocks (so that frames straddle
// its refills), at bit lengths of whole and fractional samples. Clean, they give exactly the
// frames sent; with random faults (bits flipped, pulses shorter than a bit, bits stretched
// or cut by a few samples, idle gaps too short for a start of frame) read whole and bit by
// bit they give the same frames, to the sample.
TEST(can, random_frames_clean_and_faulted_whole_and_bit_by_bit_agree) {
    using kestrel_sim::signal_t;
    std::mt19937 rng(34);
    for (const double per : {8.0, 10.3, 6.6}) {
        SCOPED_TRACE(per);
        const std::string description = "can rx=0 bitrate=" + std::to_string(int(8e6 / per + 0.5));
        std::vector<std::vector<uint8_t>> frames;
        std::vector<item> sent;
        std::vector<uint64_t> sent_data;
        for (int f = 0; f < 700; ++f) {
            const bool ext = rng() % 2, remote = rng() % 6 == 0;
            const uint32_t id = rng() & (ext ? 0x1FFFFFFFu : 0x7FFu);
            std::vector<uint8_t> data(rng() % 9);
            for (auto& d : data) // runs of equal bits (stuffing) as often as random bytes
                d = rng() % 3 == 0 ? uint8_t(rng() % 2 ? 0xFF : 0x00) : uint8_t(rng());
            frames.push_back(signal_t::can_bits(id, ext, data, remote));
            sent.push_back(
                {k::can_id, id, uint16_t((ext ? fl::extended : 0) | (remote ? fl::remote : 0))});
            if (!remote) sent_data.insert(sent_data.end(), data.begin(), data.end());
        }
        const auto clean = decode_all(can_capture(frames, per, 1.5), description);
        std::vector<item> ids;
        for (const auto& x : clean) {
            if (x.kind == k::can_id) ids.push_back({x.kind, x.value, x.flags});
            ASSERT_EQ(x.flags & (fl::crc_error | fl::stuff_error), 0);
        }
        EXPECT_EQ(ids, sent);
        EXPECT_EQ(values(clean, k::data), sent_data);
        EXPECT_EQ(values(clean, k::ack).size(), frames.size());

        // The same bits as levels per sample, faults written into them.
        std::vector<uint8_t> bits(11, 1);
        for (const auto& f : frames)
            bits.insert(bits.end(), f.begin(), f.end());
        bits.insert(bits.end(), 20, 1);
        const auto length = static_cast<uint64_t>(1.5 + per * double(bits.size()));
        std::vector<uint8_t> line(length);
        for (size_t b = 0; b < bits.size(); ++b)
            for (auto t = static_cast<uint64_t>(1.5 + per * double(b));
                 t < std::min<uint64_t>(length, static_cast<uint64_t>(1.5 + per * double(b + 1)));
                 ++t)
                line[t] = bits[b];
        const auto span = [&](uint64_t at, uint64_t n, uint8_t lv) {
            for (uint64_t t = at; t < std::min(length, at + n); ++t)
                line[t] = lv;
        };
        for (int n = 0; n < 900; ++n) {
            const uint64_t at = rng() % length;
            switch (rng() % 4) {
            case 0: // a bit flipped
                span(at, static_cast<uint64_t>(per), uint8_t(!line[at]));
                break;
            case 1: // a pulse shorter than a bit
                span(at, 1 + rng() % static_cast<uint64_t>(per / 2), uint8_t(!line[at]));
                break;
            case 2: // a level held a few samples longer
                span(at, 1 + rng() % 3, line[at]);
                break;
            default: // an idle stretch just too short for a start of frame, or just long enough
                span(at, static_cast<uint64_t>(per * (10 + rng() % 3)), 1);
                break;
            }
        }
        channel c;
        c.initial = line[0];
        for (uint64_t t = 1; t < length; ++t)
            c.set(t, line[t]);
        const auto cap = make_capture({c}, length, 8e6, {"can"});
        const auto whole = decode_all(cap, description);
        ASSERT_GT(whole.size(), frames.size());
        for (const isamp step : {isamp{37}, isamp{1009}}) {
            SCOPED_TRACE(step);
            const auto stepped = decode_stepped(cap, description, step);
            ASSERT_TRUE(same_frames(stepped, whole));
        }
    }
}

// At a bit rate low against the sampling rate the grid's table covers only the first bits
// after an edge (runs of equal bits reach past it): frames read whole and bit by bit still
// agree, clean ones and ones with a bit flipped in each field.
TEST(can, bits_longer_than_the_grids_table_whole_and_bit_by_bit_agree) {
    using kestrel_sim::signal_t;
    const auto good = signal_t::can_bits(0x1F0F0F0F, true, {0x00, 0xFF, 0x0F, 0xF0});
    std::vector<std::vector<uint8_t>> frames{good};
    for (const size_t p : {3u, 20u, 40u, 60u, 90u, 100u}) {
        auto f = good;
        f[p] ^= 1;
        f.insert(f.end(), 11, 1);
        frames.push_back(f);
    }
    frames.push_back(good);
    for (const double per : {1500.0, 2047.5}) {
        SCOPED_TRACE(per);
        const std::string description =
            "can rx=0 bitrate=" + std::to_string(int(8e6 / per + 0.5)) + " sample_point=60";
        const auto cap = can_capture(frames, per, 3);
        const auto whole = decode_all(cap, description);
        ASSERT_GT(whole.size(), frames.size());
        EXPECT_EQ(values(whole, k::can_id).back(), 0x1F0F0F0Fu);
        const auto stepped = decode_stepped(cap, description, 4099);
        ASSERT_TRUE(same_frames(stepped, whole));
    }
}

TEST(can, a_capture_beginning_inside_a_frame_skips_it) {
    using kestrel_sim::signal_t;
    const auto a = signal_t::can_bits(0x555, false, {0x11, 0x22});
    std::vector<uint8_t> bits(a.begin() + 9, a.end()); // from the middle of the identifier
    bits.insert(bits.end(), a.begin(), a.end());
    bits.insert(bits.end(), 20, 1);
    channel c;
    c.initial = bits[0];
    put_units(c, bits, 8, 0);
    const auto f = decode_all(make_capture({c}, bits.size() * 8, 8e6), "can rx=0 bitrate=1M");
    EXPECT_EQ(values(f, k::can_id), std::vector<uint64_t>{0x555});
    EXPECT_EQ(values(f, k::data), (std::vector<uint64_t>{0x11, 0x22}));
}

// ---- Decoding while a capture grows gives what one read of the whole gives.

// The edge core refilled keeping the edges from one it went past: they move to the front,
// the next edges follow them in order without a gap or a repeat, and a buffer that holds
// nothing but kept edges has no room for more.
TEST(edges, a_refill_keeps_the_edges_asked_for) {
    channel c;
    c.initial = 0;
    for (uint64_t t = 1; t <= 10000; ++t)
        c.set(3 * t, uint8_t(t % 2));
    const auto src = std::make_shared<decode::stored_source>(make_capture({c}, 30010, 1e6));
    decode::edges e(*src, 0);
    e.set_horizon(30010);
    auto v = e.get();
    ASSERT_TRUE(e.has(v));
    // The first block: the level at sample 0 is read with it, not handed out.
    ASSERT_EQ(v.n, decode::edges::block - 1);
    EXPECT_EQ(v.s[0], 3u);
    std::vector<uint64_t> seen;
    for (; v.pos < v.n; ++v.pos)
        seen.push_back(v.s[v.pos]);
    ASSERT_TRUE(e.refill_keep(v, 4000));
    EXPECT_EQ(v.pos, decode::edges::block - 1 - 4000);
    EXPECT_EQ(v.n, decode::edges::block);
    EXPECT_EQ(v.s[0], seen[4000]);
    EXPECT_EQ(v.l[0], 4001 % 2);
    for (size_t i = 0; i < v.pos; ++i)
        ASSERT_EQ(v.s[i], seen[4000 + i]);
    // On from there, every edge once, until the horizon.
    for (;;) {
        for (; v.pos < v.n; ++v.pos)
            seen.push_back(v.s[v.pos]);
        if (!e.refill(v)) break;
    }
    ASSERT_EQ(seen.size(), 10000u);
    for (size_t i = 0; i < seen.size(); ++i)
        ASSERT_EQ(seen[i], 3 * (i + 1));
    // Keeping a whole buffer leaves no room.
    decode::edges f(*src, 0);
    f.set_horizon(30010);
    auto w = f.get();
    ASSERT_TRUE(f.has(w));
    w.pos = w.n;
    ASSERT_TRUE(f.refill_keep(w, 0)); // the one more that fits
    ASSERT_EQ(w.n, decode::edges::block);
    w.pos = w.n;
    EXPECT_FALSE(f.refill_keep(w, 0));
    EXPECT_EQ(w.n, decode::edges::block);
    EXPECT_EQ(w.s[0], 3u);
}

TEST(session, pieces_of_a_growing_capture_give_the_frames_of_the_whole) {
    uart_line u;
    u.idle(12);
    for (unsigned v = 0; v < 200; ++v) {
        u.word(v * 7 & 0xFF);
        u.idle(v % 3);
    }
    spi_bus b(0);
    b.select(true);
    for (unsigned v = 0; v < 200; ++v)
        b.word(v, 255 - v);
    b.select(false);
    i2c_bus i;
    i.start();
    i.byte(0x3C << 1);
    for (unsigned v = 0; v < 100; ++v)
        i.byte(v);
    i.stop();
    using kestrel_sim::signal_t;
    std::vector<std::vector<uint8_t>> frames;
    for (unsigned v = 0; v < 30; ++v)
        frames.push_back(signal_t::can_bits(v * 37, v % 2, {uint8_t(v), uint8_t(v * 3)}));
    // The same with a bit flipped in every third frame: CRC and stuffing errors, frames cut
    // short, cut by a horizon at every place.
    auto broken = frames;
    for (size_t v = 0; v < broken.size(); v += 3)
        broken[v][7 + v * 5 % (broken[v].size() - 20)] ^= 1;
    struct c {
        std::shared_ptr<decode::stored_capture> cap;
        std::string description;
    };
    const std::vector<c> cases = {
        {uart_capture(u, 8.5, 2), "uart rx=0 baud=117647"},
        {make_capture({b.clk, b.mosi, b.miso, b.cs}, b.t + 5, 1e6), "spi clk=0 mosi=1 miso=2 cs=3"},
        {make_capture({i.scl, i.sda}, i.t + 5, 1e6), "i2c scl=0 sda=1"},
        {can_capture(frames, 8, 3), "can rx=0 bitrate=1M"},
        {can_capture(broken, 10.3, 3), "can rx=0 bitrate=776699"},
    };
    for (const auto& [cap, description] : cases) {
        SCOPED_TRACE(description);
        const auto whole = decode_all(cap, description);
        ASSERT_GT(whole.size(), 20u);
        auto src = std::make_shared<growing_source>(cap);
        decode::session s(src, description);
        std::vector<frame> got, buf(7);
        bool more = true;
        // The capture grows by an odd number of samples at a time; reads of 7 frames.
        for (isamp upto = 0; more;) {
            const bool growing = upto < cap->length;
            src->show(std::min(upto, cap->length), growing);
            const size_t n = s.read(buf.data(), buf.size(), more);
            got.insert(got.end(), buf.begin(), buf.begin() + long(n));
            if (n == 0 && growing) upto += 97;
            ASSERT_TRUE(more || !growing);
        }
        EXPECT_EQ(items(got), items(whole));
        ASSERT_EQ(got.size(), whole.size());
        for (size_t x = 0; x < got.size(); ++x) {
            EXPECT_EQ(got[x].start_sample, whole[x].start_sample);
            EXPECT_EQ(got[x].end_sample, whole[x].end_sample);
        }
    }
}

// ---- Descriptions.

TEST(description, refusals_name_the_column_and_the_reason) {
    channel c;
    auto cap = make_capture({c, c, c}, 1000, 1e6, {"rx", "", ""});
    EXPECT_EQ(refusal(cap, "uart rx=rx baud=9600"), "");
    EXPECT_EQ(refusal(cap, "UART rx=0 baud=9600 parity=EVEN"), "");
    EXPECT_EQ(refusal(cap, ""), "column 1 (''): no protocol (uart, spi, i2c or can)");
    EXPECT_EQ(refusal(cap, "usb dp=1"),
              "column 1 ('usb'): unknown protocol (uart, spi, i2c or can)");
    EXPECT_EQ(refusal(cap, "uart rx=3 baud=9600"), "column 6 ('rx=3'): channel outside 0..2");
    EXPECT_EQ(refusal(cap, "uart rx=tx baud=9600"), "column 6 ('rx=tx'): no channel is named 'tx'");
    EXPECT_EQ(refusal(cap, "uart rx=0"), "column 10 (''): baud= is missing");
    EXPECT_EQ(refusal(cap, "uart rx=0 baud=fast"),
              "column 11 ('baud=fast'): not a number; expected 1..1000000000 baud");
    EXPECT_EQ(refusal(cap, "uart rx=0 baud=9600 bits=10"), "column 21 ('bits=10'): outside 5..9");
    EXPECT_EQ(refusal(cap, "uart rx=0 baud=9600 parity=yes"),
              "column 21 ('parity=yes'): expected parity=none, even, odd, mark or space");
    EXPECT_EQ(refusal(cap, "uart rx=0 baud=9600 speed=1"),
              "column 21 ('speed=1'): unknown option of uart (rx, baud, bits, parity, stop, "
              "invert, msb)");
    EXPECT_EQ(refusal(cap, "uart rx=0 rx=1 baud=9600"), "column 11 ('rx=1'): given twice");
    EXPECT_EQ(refusal(cap, "uart rx=0 baud=600000"),
              "column 11 ('baud=600000'): needs a sampling rate of at least twice that (the "
              "capture's is 1000000 Hz)");
    EXPECT_EQ(refusal(cap, "spi clk=0 cs=1"), "column 5 ('clk=0'): mosi= or miso= is missing");
    EXPECT_EQ(refusal(cap, "spi clk=0 mosi=1 mode=4"), "column 18 ('mode=4'): outside 0..3");
    EXPECT_EQ(refusal(cap, "i2c scl=0"), "column 10 (''): sda= is missing");
    EXPECT_EQ(refusal(cap, "can rx=0 bitrate=125k sample_point=100"),
              "column 23 ('sample_point=100'): outside 1..99 %");
    EXPECT_EQ(refusal(cap, "uart rx=0 baud=9600 invert=1"),
              "column 21 ('invert=1'): invert takes no value");
}

} // namespace
