// The whole run, in its fixed order of phases.
#pragma once

// Returns the process exit status: 0 after a complete run, 1 after a fatal
// failure of the sequence itself (fatal failures inside a phase end the
// process there).
int RunVelkrand();
