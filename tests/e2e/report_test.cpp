// The device information report, through the built program and the
// simulated unit: the whole report of the default unit against a golden
// file, and the failures and odd answers a unit or driver can give.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "e2e/e2e_util.h"
#include "support/capture.h"

namespace {

using namespace e2e;

const std::string kGolden =
    testsupport::ReadFile(VELKRAND_SOURCE_DIR "/tests/golden/default-report.txt");
const std::string kOptionsEnd = "I/O Level: Hardware\n";
const std::string kAdapterEnd = "Uses programmed I/O (PIO): No\n";
const std::string kCapacityEnd = "Maximum logical block: 2097151\n";
const std::string kPrimaryTitle = "\n\n                 Primary defect list (OEM defects)\n";
const std::string kFirstPage = "\n\n                  Read/Write error recovery page (0x01)\n";
const std::string kRefusal = "\n\n            Defect list(s) execution ability refused by User\n";
const std::string kBenchmarkHeader = "\n\n                 Executing non-destructive tests\n";

testsupport::ProcessResult RunReport(const Values& changes, const json& profile,
                                     int timeoutSeconds = 30) {
    testsupport::TempDir dir;
    return RunVelkrand(dir, changes, &profile, timeoutSeconds);
}

// The built-in unit, its whole report, then no workers, no scan and no
// result file: only the CPU figures depend on time.
TEST(ReportRun, DefaultUnitPrintsTheGoldenReport) {
    testsupport::TempDir dir;
    const auto result = RunVelkrand(dir, {});
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.err, "");
    // No loaded probe ran: the I/O time is 0, so 100 % less than any idle time.
    if (Between(result.out, "void time: ", "\n") != "0") {
        EXPECT_EQ(Between(result.out, "CPU Utilization (in percent): ", "\n"), "-100.00");
    }
    EXPECT_EQ(
        MaskAfter(result.out, {"CPU Utilization (in percent): ", "void time: "}, "-0123456789."),
        kGolden);
    EXPECT_EQ(testsupport::ReadFile(dir.path() + "/velkrand.rst"), "");
}

// The system's text for error 5, with its line end; wine and Windows word it
// differently, so there the test asks the system itself.
std::string Text5() {
#ifdef _WIN32
    char text[80] = "";
    ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5, 0,
                     text, sizeof text, nullptr);
    return text;
#else
    return "Input/output error\n";
#endif
}

// The four failures that end the report, each with its own last lines.
TEST(ReportRun, FatalFailuresEndTheRunWithTheirTail) {
    const std::string adapter = Between(kGolden, kOptionsEnd, kAdapterEnd) + kAdapterEnd;
    const std::pair<const char*, std::string> cases[] = {
        {R"({"op": "open", "error": 5})", "error opening sim0. Error: 5\n" + Text5() + "\n"},
        {R"({"op": "capabilities", "error": 5})",
         "error in I/O control number 5\n" + Text5() + "\n"},
        {R"({"op": "command", "opcode": "0x00", "status": 8})",
         adapter + "\nError: Unit not ready with status code 8\n"},
        {R"({"op": "inquiry_data", "error": 5})",
         adapter + "\nError reading inquiry data information, error was 5\n" + Text5() + "\n"},
    };
    for (const auto& [fault, tail] : cases) {
        SCOPED_TRACE(fault);
        const auto result = RunReport({}, {{"faults", json::array({json::parse(fault)})}});
        EXPECT_EQ(Between(result.out, kOptionsEnd, ""), tail);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 1);
    }
}

const std::string kDumpHeader =
    "      00  01  02  03  04  05  06  07   08  09  0A  0B  0C  0D  0E  0F\n"
    "      ---------------------------------------------------------------\n";
const std::string kZeroRow =
    "  00  00  00  00  00  00  00  00   00  00  00  00  00  00  00  00   \n";

// The defect lists as the unit's sense leads them: a recovered error keeps a
// list, a recovered error with incorrect length (21h) drops it, a medium error
// drops it too and with DebugOutput shows the sense and the list's bytes that
// came (the grown list of the default unit: 17/2/1033 and 203/0/77), and a
// list that announces more than it sends prints what fits the 65535-byte
// buffer.
TEST(ReportRun, DefectLists) {
    const auto grownFails = [](const char* key, const char* more = "") {
        return json::parse(R"([{"op": "command", "list": "grown", "sense": "70 00 )" +
                           std::string(key) + R"( 00 00 00 00 0a 00 00 00 00 1c 00 00 00 00 00")" +
                           more + "}]");
    };
    const std::string lists = Between(kGolden, kCapacityEnd, kFirstPage);
    const std::string primary = lists.substr(lists.find(kPrimaryTitle));
    std::string truncated = lists.substr(0, lists.find("\n       Defect list")) +
                            "\n       Defect list length (in Bytes): 0\n"
                            "             Number of bad sector(s): 0\n" +
                            kPrimaryTitle +
                            "\n       Defect list length (in Bytes): 65535\n"
                            "             Number of bad sector(s): 8191\n\n"
                            "               Cylinder: 00001  Head: 02  Sector: 00042\n";
    for (int entry = 1; entry < 8191; ++entry) {
        truncated += "               Cylinder: 00000  Head: 00  Sector: 00000\n";
    }
    const std::tuple<const char*, uint32_t, json, std::string> cases[] = {
        {"recovered error", 0, {{"faults", grownFails("01")}}, lists},
        {"incorrect length", 0, {{"faults", grownFails("21")}}, primary},
        {"medium error, shown",
         7,
         {{"faults", grownFails("03", R"(, "data": true)")}},
         "\nStrange reaction: SCSI Status: 02h\n\nSCSI Sense Info:\n"
         "--------------------------------------------------------------\n"
         "70 00 03 00 00 00 00 0A 00 00 00 00 1C 00 00 00 00 00 \n\n" +
             kDumpHeader +
             " 000  00  0D  00  10  00  00  11  02   00  00  04  09  00  00  CB  00   \n"
             " 010  00  00  00  4D  \n\n" +
             primary},
        {"more announced than sent",
         0,
         {{"defects", {{"primary", "00 15 ff ff 00 00 01 02 00 00 00 2a"}}}},
         truncated},
    };
    for (const auto& [label, debug, profile, section] : cases) {
        SCOPED_TRACE(label);
        const auto result = RunReport({{"DebugOutput", Dword(debug)}}, profile);
        EXPECT_EQ(Between(result.out, kCapacityEnd, kFirstPage), section);
        EXPECT_EQ(result.status, 0);
    }
}

// A unit without mode pages, whose driver also fails the call for page 0x0C:
// nothing for any page, or with DebugOutput (any nonzero value) the unit's
// rejection of each, page 0x09 included, and for page 0x0C the call's error
// and the request block dumped over its header, sense area and data. A
// ShowDefectList of 2 shows as set and still refuses the lists.
TEST(ReportRun, EveryModePageRejected) {
    if (sizeof(void*) != 8) {
        GTEST_SKIP() << "the dump is of the 64-bit layout";
    }
    std::string rejected;
    for (int page = 0; page < 10; ++page) {
        rejected +=
            "\nStrange reaction: SCSI Status: 02h\n\nSCSI Sense Info:\n"
            "--------------------------------------------------------------\n"
            "70 00 05 00 00 00 00 0A 00 00 00 00 24 00 00 00 00 00 \n\n";
    }
    // The block as filled: the 56-byte header (length 38h, CDB length 6,
    // 24 sense bytes, data in, 192 data bytes, 200 s, data at 5Ch, sense at
    // 3Ch, the CDB), filler, sense area and data area: 284 bytes, all 0 past
    // the header.
    rejected += "error: 5  " + Text5() +
                "\n\nerror: Scsi status: 00h, Bytes returned: 0h, data buffer length: C0h\n\n\n" +
                kDumpHeader +
                " 000  38  00  00  00  00  00  06  18   01  00  00  00  C0  00  00  00   \n"
                " 010  C8  00  00  00  00  00  00  00   5C  00  00  00  00  00  00  00   \n"
                " 020  3C  00  00  00  1A  00  0C  00   C0  00  00  00  00  00  00  00   \n";
    for (const char* row : {" 030", " 040", " 050", " 060", " 070", " 080", " 090", " 0A0", " 0B0",
                            " 0C0", " 0D0", " 0E0", " 0F0", " 100"}) {
        rejected += row + kZeroRow;
    }
    rejected += " 110  00  00  00  00  00  00  00  00   00  00  00  00  \n\n";
    const json profile = {
        {"mode_pages", json::object()},
        {"faults", json::array({json::parse(R"({"op": "command", "page": 12, "error": 5})")})}};
    for (const uint32_t debug : {0u, 5u}) {
        SCOPED_TRACE(debug);
        const auto result =
            RunReport({{"ShowDefectList", Dword(2)}, {"DebugOutput", Dword(debug)}}, profile);
        EXPECT_EQ(Between(result.out, "Show defect list: ", "\n"), "Yes");
        EXPECT_EQ(Between(result.out, kRefusal, kBenchmarkHeader), debug ? rejected : "");
        EXPECT_EQ(result.status, 0);
    }
}

}  // namespace
