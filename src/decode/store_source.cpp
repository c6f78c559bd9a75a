#include "decode/store_source.h"

namespace decode {

std::optional<unsigned> stored_source::channel_named(const std::string& name) const {
    for (size_t k = 0; k < cap_->names.size(); ++k)
        if (cap_->names[k] == name) return static_cast<unsigned>(k);
    return std::nullopt;
}

} // namespace decode
