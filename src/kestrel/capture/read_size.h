#pragma once
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace kestrel {

// How many bytes the next read of one group's bridge asks for.
//
// Everything a group has read is parsed and stored before an aborted capture is ready, so
// what a group holds unparsed (the buffer under parse and the read under way, which the
// abort cuts) decides how long an abort takes. Each read asks for what the group's last
// parse would have got through in `parse_target`, measured by the wall clock, so that the
// bound follows the host's load; a slow host reads in smaller pieces, a fast one in larger.
// A loaded host's rate swings from one parse to the next, so a read grows at most to twice
// the last one's size, and shrinks at once. The ceiling bounds the buffers' memory.
class read_sizer {
public:
    // Below this, a read's own cost is no longer small against its bytes.
    static constexpr size_t smallest = 64 * 1024;
    // Two of these (the parse under way and the read it cut), at half the rate measured
    // last, fit in an abort's 100 ms with room for the end of the capture.
    static constexpr std::chrono::milliseconds parse_target{15};
    // Before any parse was timed: 15 ms at 64 MB/s, a group's share of a loaded host.
    static constexpr size_t first = 1 << 20;

    explicit read_sizer(size_t ceiling)
        : ceiling(std::max(ceiling, smallest)), size(std::min(first, this->ceiling)) {}

    size_t next() const { return size; }
    size_t limit() const { return ceiling; }

    // A parse of `bytes` took `took` (wall time: the other threads' share of the cores is
    // part of the rate the host parses at).
    void parsed(size_t bytes, std::chrono::nanoseconds took) {
        if (bytes == 0) return;
        const double ns = std::max<double>(static_cast<double>(took.count()), 1.0);
        const double target_ns =
            static_cast<double>(std::chrono::nanoseconds(parse_target).count());
        const double fits = static_cast<double>(bytes) * target_ns / ns;
        const size_t most = std::min(ceiling, 2 * size);
        size = fits >= static_cast<double>(most) ? most
                                                 : std::max(smallest, static_cast<size_t>(fits));
    }

    static size_t ceiling_for(uint64_t budget, size_t groups, size_t capacity) {
        if (budget == 0 || groups == 0) return capacity;
        // In whole steps of the smallest read, so that whole pages hold it.
        const uint64_t share = budget / 16 / (2 * groups) / smallest * smallest;
        return static_cast<size_t>(
            std::min<uint64_t>(capacity, std::max<uint64_t>(share, smallest)));
    }

private:
    size_t ceiling;
    size_t size;
};

} // namespace kestrel
