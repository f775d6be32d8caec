// The one way a fatal failure ends the process, from whichever thread.
#pragma once

#include <cstdio>
#include <cstdlib>

// Flushes standard output and ends the process with status 1 at once:
// no destructors run and no other thread is waited for.
[[noreturn]] inline void FatalExit() {
    std::fflush(stdout);
    std::_Exit(1);
}
