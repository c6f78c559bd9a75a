#include "api/trycatch.h"

#include "drivers/d3xx/exception.h"
#include "drivers/libusb/exception.h"
#include "hw/exception.h"

namespace api_utils {

ohwapi_err_code_t trycatch(const std::function<void()>& fn) noexcept {
    try {
        fn();
        return OHWAPI_OK;
    } catch (const hw::exception& e) {
        return static_cast<ohwapi_err_code_t>(OHWAPI_HW_ERRORS + static_cast<int>(e.code()));
    } catch (const libusb::exception& e) {
        return static_cast<ohwapi_err_code_t>(OHWAPI_USB_ERRORS + e.code());
    } catch (const d3xx::exception& e) {
        return static_cast<ohwapi_err_code_t>(OHWAPI_USB3_ERRORS + static_cast<int>(e.code()));
    } catch (...) {
        return OHWAPI_UNKNOWN_ERROR;
    }
}

} // namespace api_utils
