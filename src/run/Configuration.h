// The nine configuration values under HKEY_LOCAL_MACHINE\SOFTWARE\Velkrand.
#pragma once

#include <cstdint>

// Reads the nine values into the run state, builds ScsiPortName and returns
// the SingleStepInKBytes value. Any failure prints its line and ends the
// process with status 1.
uint32_t ReadConfiguration();

// The execution options block that follows the banner; the run's document
// keeps every configuration value.
void PrintExecutionOptions(uint32_t singleStepInKBytes);
