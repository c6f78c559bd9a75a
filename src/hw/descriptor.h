#pragma once
#include <string>

namespace hw {

// A device seen on a bus; two descriptors name the same device when their serial
// numbers match, whatever their descriptions say.
struct descriptor {
    std::string sn;
    std::string description;

    bool operator==(const descriptor& other) const { return sn == other.sn; }
};

} // namespace hw
