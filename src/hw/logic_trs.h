#pragma once
#include <cstdint>

namespace hw {

// One run-length capture record: the levels a group reached and how many samples the
// group's time advanced to get there.
template <typename LEVELS, typename DELTA> struct logic_trs {
    LEVELS levels = 0;
    DELTA delta_samples = 0;
    bool trigged = false; // the group's trigger marker was seen at or before this record
};

} // namespace hw
