#include "hw/log.h"

#include <cstdio>

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

} // namespace hw
