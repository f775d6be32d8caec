#include <cctype>
#include <cstdio>
#include <map>
#include <mutex>

#include "platform/errors.h"
#include "platform/units/unit.h"
#include "platform/virtual_clock.h"

namespace os::units {
namespace {

std::string Lower(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

struct Routes {
    std::mutex mutex;
    std::map<std::string, UnitFactory> factories;  // by lower-case prefix
};

// Never destroyed: workers may still open units while the process ends.
Routes& TheRoutes() {
    static Routes* routes = new Routes;
    return *routes;
}

bool IsSimName(const std::string& name) {
    return Lower(name).rfind("sim", 0) == 0;
}

UnitFactory FindFactory(const std::string& name) {
    Routes& routes = TheRoutes();
    std::lock_guard<std::mutex> lock(routes.mutex);
    const std::string lower = Lower(name);
    for (const auto& [prefix, factory] : routes.factories) {
        if (lower.rfind(prefix, 0) == 0) {
            return factory;
        }
    }
    return nullptr;
}

}  // namespace

void RegisterUnitFactory(const std::string& prefix, UnitFactory factory) {
    Routes& routes = TheRoutes();
    std::lock_guard<std::mutex> lock(routes.mutex);
    if (factory) {
        routes.factories[Lower(prefix)] = std::move(factory);
    } else {
        routes.factories.erase(Lower(prefix));
    }
}

bool IsLayerUnitName(const std::string& name) {
    return IsSimName(name) || FindFactory(name) != nullptr;
}

std::shared_ptr<Unit> OpenUnit(const std::string& name, const OpenOptions& options,
                               uint32_t& error) {
    if (UnitFactory factory = FindFactory(name)) {
        return factory(name, options, error);
    }
    if (IsSimName(name)) {
        return OpenSimulatedUnit(name, options, error);
    }
    if (RefusedOnVirtualClock(error)) {
        return nullptr;
    }
    return OpenSystemUnit(name, options, error);
}

bool RefusedOnVirtualClock(uint32_t& error) {
    if (!vclock::Active()) {
        return false;
    }
    std::fprintf(stderr, "%s\n", vclock::RefusalOfSystemUnits().c_str());
    error = errors::kInvalidArgument;
    return true;
}

}  // namespace os::units
