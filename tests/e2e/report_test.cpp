// The device report through the built program: the default unit's whole run
// against the golden file, and the failures that end a run early.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <string>
#include <utility>

#include "e2e/e2e_util.h"
#include "support/capture.h"

namespace {

using namespace e2e;

const std::string kGolden =
    testsupport::ReadFile(VELKRAND_SOURCE_DIR "/tests/golden/default-report.txt");

// The built-in unit on the virtual clock: its report, no workers, no scan, no
// result file; an idle probe of 20 ms and no loaded one, so an I/O time of 0.
TEST(ReportRun, DefaultUnitPrintsTheGoldenReport) {
    testsupport::TempDir dir;
    const json profile = {{"timing", {{"clock", "virtual"}}}};
    const auto result = RunVelkrand(dir, {}, &profile);
    EXPECT_EQ(result.out, kGolden);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(testsupport::ReadFile(dir.path() + "/velkrand.rst"), "");
}

// The four failures that end the report, each with its own last lines after
// the options, and status 1. Wine and Windows word error 5 their own way.
TEST(ReportRun, FatalFailuresEndTheRunWithTheirTail) {
#ifdef _WIN32
    char text[80] = "";
    ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5, 0,
                     text, sizeof text, nullptr);
    const std::string text5 = text + std::string("\n");
#else
    const std::string text5 = "Input/output error\n\n";
#endif
    const std::string options = "I/O Level: Hardware\n";
    const std::string pio = "Uses programmed I/O (PIO): No\n";
    const std::string adapter = Between(kGolden, options, pio) + pio;
    const std::pair<const char*, std::string> cases[] = {
        {R"({"op": "open", "error": 5})", "error opening sim0. Error: 5\n" + text5},
        {R"({"op": "capabilities", "error": 5})", "error in I/O control number 5\n" + text5},
        {R"({"op": "command", "opcode": "0x00", "status": 24})",
         adapter + "\nError: Unit not ready with status code 24\n"},
        {R"({"op": "inquiry_data", "error": 5})",
         adapter + "\nError reading inquiry data information, error was 5\n" + text5},
    };
    for (const auto& [fault, tail] : cases) {
        testsupport::TempDir dir;
        const json profile = {{"faults", json::array({json::parse(fault)})}};
        const auto result = RunVelkrand(dir, {}, &profile);
        EXPECT_EQ(Between(result.out, options, ""), tail) << fault;
        EXPECT_EQ(result.err, "") << fault;
        EXPECT_EQ(result.status, 1) << fault;
    }
}

}  // namespace
