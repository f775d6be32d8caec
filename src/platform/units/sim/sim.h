// The simulated unit's process-wide state, seen from tests.
#pragma once

#include <string>

namespace os::units::sim {

// The environment variable naming the profile file.
inline constexpr const char* kProfileVariable = "VELKRAND_SIM_PROFILE";

// Forgets the loaded unit: the next open loads a profile afresh, from
// profilePath when it isn't empty, else as a first open does. Handles
// already open keep the unit they reached.
void ResetForTesting(const std::string& profilePath = {});

}  // namespace os::units::sim
