#include "platform/errors.h"
#include "platform/units/unit.h"

namespace os::units {

std::shared_ptr<Unit> OpenSimulatedUnit(const std::string&, const OpenOptions&, uint32_t& error) {
    error = errors::kNotFound;
    return nullptr;
}

}  // namespace os::units
