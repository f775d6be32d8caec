// Hooks for tests of the platform layer's callers.
#pragma once

namespace os::testing {

// Makes the nth thread creation from now on fail (1-based); 0 disables.
void FailThreadCreation(int nth);

}  // namespace os::testing
