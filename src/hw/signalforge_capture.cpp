#include "hw/signalforge_capture.h"

#include "hw/logic_trs.h"

namespace hw {

template class signalforge_capture<logic_trs<uint64_t, uint32_t>>;

} // namespace hw
