#include "hw/keep_alive.h"

namespace hw {

keep_alive& keep_alive::instance() {
    static keep_alive k;
    return k;
}

} // namespace hw
