#include "hw/model.h"

#include "hw/exception.h"

namespace hw {

model_t get_model(const std::string& sn) {
    if (sn.starts_with(sn_kestrel_one_root)) return model_t::kestrel_one;
    if (sn.starts_with(sn_kestrel_two_root)) return model_t::kestrel_two;
    if (sn.starts_with(sn_kestrel_three_root)) return model_t::kestrel_three;
    throw exception(error::invalid_serial_number);
}

device_t get_device(const std::string& sn) {
    if (sn.starts_with(sn_kestrel_root)) return device_t::kestrel;
    throw exception(error::invalid_serial_number);
}

} // namespace hw
