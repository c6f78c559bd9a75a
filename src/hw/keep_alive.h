#pragma once
#include <string>

#include "mox/unique_list.h"

namespace hw {

// Process-wide record of the serial numbers of devices that long waits have been
// attempted on. Entries are only ever added.
class keep_alive {
public:
    static keep_alive& instance();

    bool push_unique(const std::string& sn) { return list.push_unique(sn); }

    mox::unique_list<std::string> list;

private:
    keep_alive() = default;
};

} // namespace hw
