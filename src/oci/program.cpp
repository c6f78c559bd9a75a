#include "oci/program.h"

namespace oci {

std::string malformed(const std::vector<word>& words, size_t max_levels) {
    size_t depth = 0;    // loops open
    bool ended = false;  // past the first end word
    bool closed = false; // the whole program's loop came: only its end may follow
    for (size_t i = 0; i < words.size(); ++i) {
        const word& w = words[i];
        const std::string at = "word " + std::to_string(i) + ": ";
        if (static_cast<uint8_t>(w.cmd) > static_cast<uint8_t>(command::rfu_pause))
            return at + "unknown command";
        if (w.cmd == command::puthold && (w.hold < 0 || w.hold > max_hold))
            return at + "hold beyond its 9-bit field";
        if (w.cmd == command::loop && w.loop_count > max_loop_count)
            return at + "loop count beyond its 28-bit field";
        if (ended || w.cmd == command::rfu_pause) continue;
        if (w.cmd == command::end) {
            ended = true;
            continue;
        }
        if (closed) return at + "follows the loop that closes the whole program";
        if (w.cmd == command::puthold) {
            if (w.loop_marker == word::no_loop) continue;
            if (++depth > max_levels) return at + "loops nested deeper than the engine's levels";
            continue;
        }
        if (depth > 0)
            --depth;
        else
            closed = true;
    }
    if (depth > 0) return "a loop is opened and never closed";
    return {};
}

} // namespace oci
