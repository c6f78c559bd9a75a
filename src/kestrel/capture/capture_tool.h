#pragma once
#include "hw/signalforge_capture.h"
#include "kestrel/capture/buffer_parser.h"

namespace hw {
extern template class signalforge_capture<logic_trs<uint64_t, uint32_t>>;
}

namespace kestrel {

// The capture tool the device core streams into.
using capture_tool = hw::signalforge_capture<kestrel_trs>;

} // namespace kestrel
