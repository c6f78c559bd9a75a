// The device core's firmware and serial-number work.
#include "kestrel/core.h"

namespace kestrel {

// Until the updater exists the core has none; the maintenance calls are not yet offered.
std::unique_ptr<update, updater_deleter> core::make_updater(core&) {
    return nullptr;
}

void updater_deleter::operator()(update*) const {}

} // namespace kestrel
