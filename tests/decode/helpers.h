// Test helpers: captures made of level sequences, and the frames decoders give for them.
#pragma once
#include <gtest/gtest.h>

#include "decode/decoder.h"
#include "decode/store_source.h"

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace decode_test {

// One channel: its level at sample 0 and its changes, in order.
struct channel {
    uint8_t initial = 1;
    std::vector<std::pair<uint64_t, uint8_t>> changes;

    // Holds `level` from sample `at` on (nothing when it already holds).
    void set(uint64_t at, uint8_t level);
    uint8_t last() const { return changes.empty() ? initial : changes.back().second; }
};

// Levels each lasting `unit` samples (a fraction: the unit boundaries are rounded down),
// from `from` on.
void put_units(channel& c, const std::vector<uint8_t>& levels, double unit, double from);

// A complete capture of those channels at `rate_hz`, `length` samples long.
std::shared_ptr<decode::stored_capture> make_capture(const std::vector<channel>& chans,
                                                     uint64_t length, double rate_hz,
                                                     std::vector<std::string> names = {});

// The same capture shown up to a horizon that the test moves, as a running capture grows.
class growing_source final : public decode::source {
public:
    explicit growing_source(std::shared_ptr<decode::stored_capture> c) : inner_(std::move(c)) {}
    unsigned channels() const override { return inner_.channels(); }
    std::optional<unsigned> channel_named(const std::string& n) const override {
        return inner_.channel_named(n);
    }
    size_t read(unsigned ch, isamp from, uint64_t* s, uint8_t* l, size_t cap) const override;
    isamp covered() const override { return covered_; }
    bool growing() const override { return growing_; }
    double period() const override { return inner_.period(); }
    isamp trigger() const override { return -1; }
    void show(isamp upto, bool more) {
        covered_ = upto;
        growing_ = more;
    }

private:
    decode::stored_source inner_;
    isamp covered_ = 0;
    bool growing_ = true;
};

// Every frame of a session, read `piece` at a time.
std::vector<decode::frame> all_frames(decode::session& s, size_t piece = 1000);
// Every frame a description gives on a capture.
std::vector<decode::frame> decode_all(std::shared_ptr<decode::stored_capture> cap,
                                      const std::string& description);

// Frames reduced to what the tests compare: kind, value and flags.
struct item {
    uint16_t kind = 0;
    uint64_t value = 0;
    uint16_t flags = 0;
    bool operator==(const item&) const = default;
};
std::ostream& operator<<(std::ostream& o, const item& i);
std::vector<item> items(const std::vector<decode::frame>& f);
// Only the frames of one kind, their values.
std::vector<uint64_t> values(const std::vector<decode::frame>& f, uint16_t kind);

// The refusal a description gets on a capture, "" when it is accepted.
std::string refusal(std::shared_ptr<decode::stored_capture> cap, const std::string& description);

} // namespace decode_test
