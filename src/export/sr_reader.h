#pragma once

// Reader of sigrok session files (srzip, versions 1 and 2, as sigrok itself reads them):
// the logic channels of the first device, whatever device wrote them (1 to 64 channels,
// unit sizes 1..8 bytes, one capture file or numbered chunks), into one transition store
// per channel. Analog channels are left out.

#include "hw/types.h"
#include "trs/store.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace xport {

// A file that is not a session sigrok could read: the message names the path and why.
class format_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct session_file {
    std::vector<std::unique_ptr<trs::store>> stores; // channel k: bit k of each sample
    std::vector<std::string> names; // per channel; "" for a channel the file leaves out
    isamp length = 0;               // samples
    double period = 0;              // seconds per sample; 0 when the file gives no rate
    isamp trigger = -1;
};

// Throws file_error when the file cannot be read, format_error when it is not a session.
session_file read_sr(const std::string& path);

// "250 MHz", "1.5 kHz", "9600", "1 GHz" as sigrok writes and reads rates; 0 when not one.
uint64_t parse_samplerate(const std::string& text);

} // namespace xport
