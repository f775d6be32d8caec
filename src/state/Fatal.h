// The one way a fatal failure ends the process, from whichever thread.
#pragma once

#include <string>

// Prints a failure's text (printf-style) and returns it, so that the run's
// document can carry it as the run's message.
std::string PrintFailure(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Writes the run's document with status 1 and message, flushes standard output and ends the process
// with status 1 at once: no destructors run and no other thread is waited for.
[[noreturn]] void FatalExit(const std::string& message);
