#include "state/Fatal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "state/RunDocument.h"

std::string PrintFailure(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    char text[512];
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length < 0) {
        return {};
    }
    std::fputs(text, stdout);
    return text;
}

void FatalExit(const std::string& message) {
    FinishRunDocument(1, message);
    std::fflush(stdout);
    std::_Exit(1);
}
