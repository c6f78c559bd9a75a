// The process-wide stream model of the virtual bus (see kestrel_sim::stream_model_t).
#pragma once

#include "kestrel_sim/bus.h"

namespace kestrel_sim {

stream_model_t current_stream_model();
void set_current_stream_model(const stream_model_t& m);

} // namespace kestrel_sim
