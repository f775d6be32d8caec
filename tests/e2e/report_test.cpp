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
const std::string kCapacityStart = "\n                    Bytes per sector:";
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

struct Entry {
    uint32_t at;
    uint8_t targetId;
    uint8_t lun;
    uint32_t next;
    std::string vendor;
};

// An inquiry-data answer of length bytes: the bus count, each bus's first
// entry offset, and the entries, each with the default unit's inquiry data
// under its own vendor.
std::string BusInfo(uint8_t buses, const std::vector<uint32_t>& firsts,
                    const std::vector<Entry>& entries, size_t length) {
    std::vector<uint8_t> answer(length, 0);
    const auto put = [&](size_t at, uint32_t value) {
        for (size_t i = 0; i < 4; ++i) {
            answer[at + i] = static_cast<uint8_t>(value >> (8 * i));
        }
    };
    answer[0] = buses;
    for (size_t bus = 0; bus < firsts.size(); ++bus) {
        put(8 + 8 * bus, firsts[bus]);
    }
    for (const Entry& e : entries) {
        const std::string inquiry = std::string("\0\0\2\2\x1f\0\0\x1a", 8) +
                                    (e.vendor + "        ").substr(0, 8) + "SIMULATED DISK  1.0 ";
        answer[e.at + 1] = e.targetId;
        answer[e.at + 2] = e.lun;
        answer[e.at + 3] = 1;
        put(e.at + 4, 36);
        put(e.at + 8, e.next);
        std::copy(inquiry.begin(), inquiry.end(), answer.begin() + e.at + 12);
    }
    std::string hex;
    for (const uint8_t byte : answer) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x ", byte);
        hex += pair;
    }
    return hex;
}

// The default unit's device block, at another address and with another vendor.
std::string UnitBlock(int bus, int id, int lun, const std::string& vendor) {
    std::string block = Between(kGolden, kAdapterEnd, kCapacityStart);
    block = SetLine(SetLine(block, "Bus: ", std::to_string(bus)), "ID: ", std::to_string(id));
    return SetLine(SetLine(block, "Lun: ", std::to_string(lun)),
                   "Vendor: ", (vendor + "        ").substr(0, 8));
}

// The inquiry walk as the driver's answer leads it: every entry of the
// unit's bus with its target and logical unit prints, on that bus only, and
// no answer makes it read outside the answer or go round for ever.
TEST(ReportRun, InquiryAnswersFromTheDriver) {
    // Label, the unit's address, the answer, and what prints between the
    // adapter and the capacity.
    using Case = std::tuple<const char*, json, std::string, std::string>;
    const json unit0 = {{"path_id", 0}, {"target_id", 2}, {"lun", 0}};
    const Case cases[] = {
        {"listed twice on its bus, once on another",
         {{"path_id", 1}, {"target_id", 3}, {"lun", 1}},
         BusInfo(2, {20, 68},
                 {{20, 3, 1, 0, "DECOY"},
                  {68, 3, 1, 116, "FIRST"},
                  {116, 3, 0, 164, "OTHERLUN"},
                  {164, 3, 1, 0, "SECOND"}},
                 212),
         UnitBlock(1, 3, 1, "FIRST") + UnitBlock(1, 3, 1, "SECOND")},
        {"no entry matches", unit0,
         BusInfo(2, {20, 116},
                 {{20, 2, 1, 68, "LUN1"}, {68, 1, 0, 0, "ID1"}, {116, 2, 0, 0, "BUS1"}}, 164),
         ""},
        {"chains that loop", unit0,
         BusInfo(2, {20, 116},
                 {{20, 2, 0, 68, "LOOPED"}, {68, 5, 0, 20, "OTHER"}, {116, 2, 0, 116, "SELF"}},
                 164),
         UnitBlock(0, 2, 0, "LOOPED")},
        {"offsets outside the answer", unit0,
         BusInfo(3, {28, 3000, 60}, {{28, 2, 0, 0xFFFFFFF0, "INSIDE"}}, 100),
         UnitBlock(0, 2, 0, "INSIDE")},
    };
    for (const auto& [label, address, busInfo, blocks] : cases) {
        SCOPED_TRACE(label);
        // A walk that goes round for ever never gets to the end.
        const auto result = RunReport(
            {{"ShowDefectList", Dword(0)}},
            {{"address", address}, {"bus_info", busInfo}, {"mode_pages", json::object()}}, 10);
        EXPECT_EQ(Between(result.out, kAdapterEnd, kCapacityStart), blocks);
        EXPECT_EQ(result.status, 0);
    }
}

// The defect lists as the unit's sense leads them: a recovered error keeps a
// list, a recovered error with incorrect length (21h) drops it, and a list
// that announces more than it sends prints what fits the 65535-byte buffer.
TEST(ReportRun, DefectLists) {
    const auto grownFails = [](const char* key) {
        return json::parse(R"([{"op": "command", "list": "grown", "sense": "70 00 )" +
                           std::string(key) +
                           R"( 00 00 00 00 0a 00 00 00 00 1c 00 00 00 00 00"}])");
    };
    const std::string lists = Between(kGolden, kCapacityEnd, kFirstPage);
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
    const std::tuple<const char*, json, std::string> cases[] = {
        {"recovered error", {{"faults", grownFails("01")}}, lists},
        {"incorrect length",
         {{"faults", grownFails("21")}},
         lists.substr(lists.find(kPrimaryTitle))},
        {"more announced than sent",
         {{"defects", {{"primary", "00 15 ff ff 00 00 01 02 00 00 00 2a"}}}},
         truncated},
    };
    for (const auto& [label, profile, section] : cases) {
        SCOPED_TRACE(label);
        const auto result = RunReport({}, profile);
        EXPECT_EQ(Between(result.out, kCapacityEnd, kFirstPage), section);
        EXPECT_EQ(result.status, 0);
    }
}

// A unit without mode pages: nothing for any page, or with DebugOutput the
// unit's rejection of each of the eleven, page 0x09 included.
TEST(ReportRun, EveryModePageRejected) {
    std::string rejected;
    for (int page = 0; page < 11; ++page) {
        rejected +=
            "\nStrange reaction: SCSI Status: 02h\n\nSCSI Sense Info:\n"
            "--------------------------------------------------------------\n"
            "70 00 05 00 00 00 00 0A 00 00 00 00 24 00 00 00 00 00 \n\n";
    }
    for (const uint32_t debug : {0u, 1u}) {
        SCOPED_TRACE(debug);
        const auto result = RunReport({{"ShowDefectList", Dword(0)}, {"DebugOutput", Dword(debug)}},
                                      {{"mode_pages", json::object()}});
        EXPECT_EQ(Between(result.out, kRefusal, kBenchmarkHeader), debug ? rejected : "");
        EXPECT_EQ(result.status, 0);
    }
}

}  // namespace
