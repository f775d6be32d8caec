#include "platform/units/unit_control.h"

#include "platform/errors.h"

namespace os::units {

bool IsReadOnlyCommand(const uint8_t*, uint8_t, uint8_t, uint32_t) {
    return false;
}

uint32_t UnitDeviceControl(Unit&, DWORD, const void*, DWORD, void*, DWORD, DWORD& returned) {
    returned = 0;
    return errors::kNotSupported;
}

}  // namespace os::units
