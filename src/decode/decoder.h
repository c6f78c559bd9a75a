#pragma once

// Protocol decoders over a source's transitions (UART, SPI, I2C, CAN), and the session
// that hands their frames out in pieces while the capture may still grow.

#include "decode/description_reader.h"
#include "decode/edges.h"
#include "decode/frame.h"
#include "decode/source.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace decode {

class decoder {
public:
    virtual ~decoder() = default;
    // Decodes the edges before `horizon` (the source's covered samples), appending frames to
    // `out`. Returns true when it stopped because `out` holds `enough` frames with work
    // left before the horizon, false when everything before the horizon is decoded. A
    // frame the horizon cuts is finished under a later one; one the capture's end cuts is
    // never reported.
    virtual bool run(isamp horizon, std::vector<frame>& out, size_t enough) = 0;
};

// The decoder a description asks for ("uart rx=8 baud=115200"); throws description_error.
std::unique_ptr<decoder> make_decoder(const source& src, const std::string& text);

// One decoder per protocol, each reading its options from the description.
std::unique_ptr<decoder> make_uart(const source& src, description_reader& s);
std::unique_ptr<decoder> make_spi(const source& src, description_reader& s);
std::unique_ptr<decoder> make_i2c(const source& src, description_reader& s);
std::unique_ptr<decoder> make_can(const source& src, description_reader& s);

// A decoder over its source, read in pieces: each read continues where the last stopped.
// Reads may come from any thread, one at a time (a mutex orders them).
class session {
public:
    session(std::shared_ptr<const source> src, const std::string& text);

    // Copies up to `capacity` frames completed so far; `more` stays true while frames are
    // left or the capture may still add some.
    size_t read(frame* out, size_t capacity, bool& more);
    const source& src() const { return *src_; }

private:
    std::mutex m_;
    std::shared_ptr<const source> src_;
    std::unique_ptr<decoder> dec_;
    std::vector<frame> queue_;
    size_t queue_pos_ = 0;
    bool work_left_ = true;
};

// Samples per unit (bit) of a rate, from the source's sampling period; refused when a unit
// would be shorter than two samples.
double samples_per_unit(const source& src, description_reader& s, const char* key, uint64_t rate);

// Appends a frame from sample a to sample b.
inline void emit(std::vector<frame>& out, uint64_t a, uint64_t b, uint16_t kind, uint64_t value,
                 uint16_t flags) {
    frame f;
    f.start_sample = a;
    f.end_sample = b;
    f.kind = kind;
    f.value = value;
    f.flags = flags;
    out.push_back(f);
}

// The low `n` bits of v in reverse order.
inline uint64_t reverse_bits(uint64_t v, int n) {
    uint64_t r = 0;
    for (int i = 0; i < n; ++i)
        r |= ((v >> i) & 1) << (n - 1 - i);
    return r;
}

} // namespace decode
