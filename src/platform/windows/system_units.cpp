// On Windows the system opens its own disks: CreateFileA sends only the
// names this layer serves to the unit backends, so no system unit backend
// exists here.
#include "platform/errors.h"
#include "platform/units/unit.h"

namespace os::units {

std::shared_ptr<Unit> OpenSystemUnit(const std::string&, const OpenOptions&, uint32_t& error) {
    error = errors::kNotSupported;
    return nullptr;
}

}  // namespace os::units
