#include "hw/log.h"

#include <cstdio>
#include <iterator>

namespace hw {

log_fn stdout_log() {
    return [](const std::string& msg) {
        std::string line = msg;
        line.push_back('\n');
        // One write per line, so that lines from concurrent threads do not interleave.
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    };
}

namespace {

struct leveled_start {
    std::string_view start;
    log_level level;
};

// Every line a component writes that is more than a trace of its progress. A new line
// that reports a failure or a state a user should know about gets its start added here.
constexpr leveled_start known_starts[] = {
    // Failures: the operation does not complete.
    {"Allocation failed", log_level::error},
    {"reserve Failed!", log_level::error},
    {"Export failed: ", log_level::error},
    {"Configuration refused: ", log_level::error},
    {"Open refused: ", log_level::error},
    {"Libusb RX exception: ", log_level::error},
    {"Libusb TX exception: ", log_level::error},
    {"MOXCOM error: ", log_level::error},
    {"HW exceptionr: ", log_level::error},
    {"Unable to reopen", log_level::error},
    {"mbedTLS ", log_level::error},
    {"no message digest", log_level::error},
    {"com handler error: ", log_level::error},
    {"No response to CRC request", log_level::error},
    {"run flag not cleared: ", log_level::error},
    {"Clock output ", log_level::error},
    {"could not locate the function", log_level::error},
    // Something went wrong and was handled, or a wait a user may notice.
    {"No response after TX", log_level::warning},
    {"No response while waiting", log_level::warning},
    {"No data from group ", log_level::warning},
    {"no response de file op", log_level::warning},
    {"file op still busy", log_level::warning},
    {"CRC request resent", log_level::warning},
    {"Capture still running", log_level::warning},
    {"Device still busy", log_level::warning},
    // Steps of the device's life: opened, captured, rebooted, updated.
    {"Capture done", log_level::info},
    {"creating USB3 interfaces", log_level::info},
    {"Clearing USB3 interfaces", log_level::info},
    {"Openning Core ", log_level::info},
    {"Rebooting", log_level::info},
    {"Reopen", log_level::info},
    {"update done", log_level::info},
};

} // namespace

log_level level_of(std::string_view line) {
    for (const auto& k : known_starts)
        if (line.substr(0, k.start.size()) == k.start) return k.level;
    return log_level::debug;
}

} // namespace hw
