#include "hw/keep_alive.h"

namespace hw {

keep_alive& keep_alive::instance() {
    // Never destroyed: a capture thread may still record a device while the process exits.
    static keep_alive& k = *new keep_alive;
    return k;
}

} // namespace hw
