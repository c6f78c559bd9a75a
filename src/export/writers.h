#pragma once

// Writers of a capture to files. Each walks the stores transition by transition (the .sr
// writer in bounded chunks of samples), never holding the whole capture expanded, and
// writes under a temporary name that is renamed to `path` once complete. A file-system
// failure throws file_error.

#include "export/capture.h"

#include <string>

namespace xport {

// IEEE 1364 value change dump: one 1-bit wire per channel, a `trigger` event.
void write_vcd(const capture_t& cap, const std::string& path);

// sigrok session (srzip): version, metadata, logic-1-1.. chunks of `chunk_bytes` at most.
void write_sr(const capture_t& cap, const std::string& path, size_t chunk_bytes = 4 << 20);

// One row per level change: sample,time,channel,level; the initial levels at sample 0 and
// a `trigger` row at the trigger.
void write_csv(const capture_t& cap, const std::string& path);

// The layout sigrok's CSV input reads: comment lines with the rate and the trigger, a
// caption row (sample,time,<channel names>), then a row of every channel's level at
// sample 0 and at each sample where one changes.
void write_csv_columns(const capture_t& cap, const std::string& path);

// The writer the extension of `path` names (.vcd, .sr, .csv, in any case); false, writing
// nothing, for any other.
bool write_by_extension(const capture_t& cap, const std::string& path);

// VCD timescale for a sampling period: the largest of 1, 10, 100 s..fs that divides it
// (or 1 fs), and the ticks of one sample.
struct timescale_t {
    int multiplier = 1; // 1, 10 or 100
    const char* unit = "s";
    uint64_t ticks = 0;  // ticks per sample when exact, else 0
    double fs_ticks = 0; // ticks per sample as a fraction, used when not exact
    uint64_t time_of(isamp sample) const;
};
timescale_t vcd_timescale(hw::period period);

// Samplerate as sigrok writes it: "250 MHz", "3 kHz", "123456 Hz".
std::string sr_samplerate(uint64_t hz);

} // namespace xport
