// The test helpers on Windows: captured output keeps the line ends the
// program printed, so that texts compare byte for byte on every platform.
#include <gtest/gtest.h>

#include <cstdio>

#include "support/capture.h"

namespace {

TEST(WindowsCapture, KeepsLineEndsAndRestoresStandardOutput) {
    const std::string first = testsupport::CaptureStdout([] {
        std::printf("\n  line one\n");
        std::printf("%s|%d\r\n", "two", 2);
        std::fputs("no end", stdout);
    });
    EXPECT_EQ(first, "\n  line one\ntwo|2\r\nno end");
    // Standard output is back, and a second capture starts empty.
    std::printf("%s", "");
    EXPECT_EQ(testsupport::CaptureStdout([] { std::printf("again\n"); }), "again\n");
}

}  // namespace
