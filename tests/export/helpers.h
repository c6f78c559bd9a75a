// Test helpers: an independent VCD reader, a temporary directory and sigrok-cli.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace export_test {

struct change {
    uint64_t sample;
    int level;
    bool operator==(const change&) const = default;
};
inline std::ostream& operator<<(std::ostream& o, const change& c) {
    return o << c.sample << ":" << c.level;
}

// What a VCD file holds, read without the library's code.
struct vcd_file {
    std::string timescale;                            // e.g. "1 ns"
    double timescale_s = 0;                           // seconds per tick
    std::vector<std::string> names;                   // wires in declaration order
    std::map<std::string, std::vector<change>> wires; // by name, times in ticks
    std::vector<uint64_t> trigger_ticks;
    std::vector<std::string> comments;
    uint64_t last_tick = 0;
};
vcd_file read_vcd(const std::string& path);

// Ticks to samples for a sampling period; fails the test when a tick is off the grid.
std::vector<change> in_samples(const std::vector<change>& ticks, double tick_s, double period_s);

class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::vector<std::string> entries() const;

private:
    std::string path_;
};

// Output and exit status of a shell command.
struct run_result {
    int status = -1;
    std::string out;
};
run_result run(const std::string& command);

// sigrok-cli is there (installing it with apt-get when it is missing and that is possible);
// otherwise the reason.
bool have_sigrok(std::string& why);

// The bytes a sigrok-cli decoder annotation row prints ("uart-1: 4B" lines).
std::vector<uint8_t> decoded_bytes(const std::string& sigrok_output);

std::string read_file(const std::string& path);

} // namespace export_test
