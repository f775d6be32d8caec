// The device information report, through the built program and the
// simulated unit: the whole report of the default unit against a golden
// file, and the failures and odd answers a unit or driver can give.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/capture.h"

namespace {

using nlohmann::json;

struct Config {
    int threads = 0;
    int showDefectList = 1;
    int debug = 0;
    int sameSector = 0;
    std::string drive = "sim0";
    int cacheSpeed = 1;
    int requests = 512;
};

std::string RegText(const Config& c) {
    char text[1024];
    std::snprintf(text, sizeof text,
                  "Windows Registry Editor Version 5.00\n\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\n"
                  "\"NumberOfThreads\"=dword:%08x\n"
                  "\"ShowDefectList\"=dword:%08x\n"
                  "\"DebugOutput\"=dword:%08x\n"
                  "\"SameSectorIo\"=dword:%08x\n"
                  "\"DriveToTest\"=\"%s\"\n"
                  "\"ShowCacheSpeed\"=dword:%08x\n"
                  "\"NumberOfIoRequests\"=dword:%08x\n"
                  "\"SoftwareIo\"=dword:00000000\n"
                  "\"SingleStepInKBytes\"=dword:00004000\n",
                  static_cast<unsigned>(c.threads), static_cast<unsigned>(c.showDefectList),
                  static_cast<unsigned>(c.debug), static_cast<unsigned>(c.sameSector),
                  c.drive.c_str(), static_cast<unsigned>(c.cacheSpeed),
                  static_cast<unsigned>(c.requests));
    return text;
}

// Runs the program on a unit described by profile, with every delay
// removed; a null profile is the built-in default unit, delays and all.
testsupport::ProcessResult RunReport(const Config& config, const json* profile,
                                     const testsupport::TempDir& dir, int timeoutSeconds = 30) {
    std::string profilePath;  // empty: no variable, the default unit
    if (profile != nullptr) {
        json instant = *profile;
        instant["timing"]["instant"] = true;
        profilePath = dir.Write("unit.json", instant.dump());
    }
    const std::string reg = dir.Write("velkrand.reg", RegText(config));
    return testsupport::RunProgram(
        VELKRAND_BINARY, dir.path(),
        {{"VELKRAND_REGISTRY", reg}, {"VELKRAND_SIM_PROFILE", profilePath}}, timeoutSeconds);
}

testsupport::ProcessResult RunReport(const Config& config, const json& profile,
                                     int timeoutSeconds = 30) {
    testsupport::TempDir dir;
    return RunReport(config, &profile, dir, timeoutSeconds);
}

// What follows the first begin, up to the first end after it; a marker
// that is missing gives a text no expectation matches.
std::string Between(const std::string& out, const std::string& begin, const std::string& end) {
    const size_t from = out.find(begin);
    if (from == std::string::npos) {
        return "<no " + begin + ">";
    }
    const size_t start = from + begin.size();
    const size_t to = end.empty() ? out.size() : out.find(end, start);
    if (to == std::string::npos) {
        return "<no " + end + ">";
    }
    return out.substr(start, to - start);
}

// Replaces what follows label on its line, wherever it stands, by "#".
std::string MaskAfter(const std::string& text, const std::string& label) {
    std::string masked;
    size_t from = 0;
    for (size_t at = text.find(label); at != std::string::npos; at = text.find(label, from)) {
        masked.append(text, from, at + label.size() - from);
        masked += '#';
        from = text.find('\n', at);
        if (from == std::string::npos) {
            return masked;
        }
    }
    masked.append(text, from, std::string::npos);
    return masked;
}

// The system's text for an error code as the program prints it: the text
// with its own line end. Wine and Windows word them differently, so there
// the test asks the system itself.
std::string SystemText(unsigned code) {
#ifdef _WIN32
    char text[80];
    if (::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                         0, text, sizeof text, nullptr) == 0) {
        return "<no text for " + std::to_string(code) + ">";
    }
    return text;
#else
    switch (code) {
        case 1:
            return "Operation not permitted\n";
        case 2:
            return "No such file or directory\n";
        case 5:
            return "Input/output error\n";
        default:
            return "<no text for " + std::to_string(code) + ">";
    }
#endif
}

// The error code of a failed lookup of a code the system has no text for.
#ifdef _WIN32
constexpr int kLookupFailure = 317;  // ERROR_MR_MID_NOT_FOUND
#else
constexpr int kLookupFailure = 22;  // EINVAL
#endif

const std::string kAdapterBlock =
    "\n               Information about attached host adapter\n"
    "               ~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\n"
    "    Maximum transfer size (in Bytes): 0x00010000\n"
    "    Maximum physical pages in buffer: 17\n"
    "      Async calls from port to class: 0\n"
    "   Alignment mask for data transfers: DWORD\n"
    "     Supports tagged command queuing: Yes\n"
    "         Scans down for BIOS devices: No\n"
    "           Uses programmed I/O (PIO): No\n";
const std::string kOptionsEnd = "I/O Level: Hardware\n";
const std::string kAdapterEnd = "Uses programmed I/O (PIO): No\n";
const std::string kInquiryEnd = "Revision: 1.0 \n";
const std::string kCapacityStart = "\n                    Bytes per sector:";
const std::string kCapacityEnd = "Maximum logical block: 2097151\n";
const std::string kRefusal = "\n\n            Defect list(s) execution ability refused by User\n";
const std::string kFirstPage = "\n\n                  Read/Write error recovery page (0x01)\n";
const std::string kBenchmarkHeader =
    "\n\n                 Executing non-destructive tests\n"
    "                 ~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\n";
const std::string kCapacityFailed = "\n            READ CAPACITY failed: check is media present?\n";
const std::string kSenseRule = "--------------------------------------------------------------\n";
const std::string kDumpHead =
    "      00  01  02  03  04  05  06  07   08  09  0A  0B  0C  0D  0E  0F\n"
    "      ---------------------------------------------------------------\n";
// The unit's own answer to a page it doesn't have: ILLEGAL REQUEST, 24h.
const std::string kPageRejected = std::string("\nStrange reaction: SCSI Status: 02h\n\n") +
                                  "SCSI Sense Info:\n" + kSenseRule +
                                  "70 00 05 00 00 00 00 0A 00 00 00 00 24 00 00 00 00 00 \n\n";

// Full dump rows of zero bytes, from row offset first up to (not including) end.
std::string ZeroRows(unsigned first, unsigned end) {
    std::string rows;
    for (unsigned at = first; at < end; at += 16) {
        char offset[16];
        std::snprintf(offset, sizeof offset, " %03X  ", at);
        rows += offset;
        rows += "00  00  00  00  00  00  00  00   00  00  00  00  00  00  00  00   \n";
    }
    return rows;
}

// The default unit's inquiry data, with another vendor text.
std::vector<uint8_t> Inquiry(const std::string& vendor) {
    std::vector<uint8_t> bytes = testsupport::HexBytes(
        "00 00 02 02 1f 00 00 1a 56 45 4c 4b 52 41 4e 44 53 49 4d 55 4c 41 "
        "54 45 44 20 44 49 53 4b 20 20 31 2e 30 20");
    for (size_t i = 0; i < 8; ++i) {
        bytes[8 + i] = static_cast<uint8_t>(i < vendor.size() ? vendor[i] : ' ');
    }
    return bytes;
}

// The unit block that the default inquiry data print, at an address.
std::string UnitBlock(int bus, int id, int lun, const std::string& vendor) {
    char address[256];
    std::snprintf(address, sizeof address,
                  "\n                      Information about device\n"
                  "                      ~~~~~~~~~~~~~~~~~~~~~~~~\n"
                  "                                 Bus: %d\n"
                  "                                  ID: %d\n"
                  "                                 Lun: %d\n\n",
                  bus, id, lun);
    return address +
           std::string(
               "                         Device Type: Disk\n"
               "                           Removable: No\n"
               "                         ISO Version: 0\n"
               "                        ECMA Version: 0\n"
               "                       SCSI Revision: 2\n"
               "\n                 Relative addressing: No\n"
               "         32-bit data bus (Wide SCSI): No\n"
               "         16-bit data bus (Wide SCSI): No\n"
               "                Synchronous transfer: Yes\n"
               "                     Linked commands: Yes\n"
               "              Tagged command queuing: Yes\n"
               "                          Soft reset: No\n"
               "\n                              Vendor: ") +
           vendor +
           "\n                             Product: SIMULATED DISK  \n"
           "                            Revision: 1.0 \n";
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (const uint8_t byte : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, text.empty() ? "%02x" : " %02x", byte);
        text += pair;
    }
    return text;
}

void PutLe32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
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
// entry offset, and the entries, each with the default inquiry data.
std::string BusInfo(uint8_t buses, const std::vector<uint32_t>& firstEntries,
                    const std::vector<Entry>& entries, size_t length) {
    std::vector<uint8_t> answer(length, 0);
    answer[0] = buses;
    for (size_t bus = 0; bus < firstEntries.size(); ++bus) {
        PutLe32(answer, 8 + 8 * bus, firstEntries[bus]);
    }
    for (const Entry& e : entries) {
        answer[e.at + 1] = e.targetId;
        answer[e.at + 2] = e.lun;
        answer[e.at + 3] = 1;
        PutLe32(answer, e.at + 4, 36);
        PutLe32(answer, e.at + 8, e.next);
        const std::vector<uint8_t> inquiry = Inquiry(e.vendor);
        std::copy(inquiry.begin(), inquiry.end(), answer.begin() + e.at + 12);
    }
    return Hex(answer);
}

// The built-in unit, its whole report, then no workers: only the CPU figures
// depend on time.
TEST(ReportRun, DefaultUnitPrintsTheGoldenReport) {
    testsupport::TempDir dir;
    const auto result = RunReport(Config{}, nullptr, dir);
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.err, "");

    const std::string voidTime = Between(result.out, "void time: ", "\n");
    const std::string utilization = Between(result.out, "CPU Utilization (in percent): ", "\n");
    // No loaded probe ran: the I/O time is 0, so 100 % less than any idle time.
    if (voidTime != "0") {
        EXPECT_EQ(utilization, "-100.00");
    }
    const std::string printed =
        MaskAfter(MaskAfter(result.out, "CPU Utilization (in percent): "), "void time: ");
    EXPECT_EQ(printed, testsupport::ReadFile(std::string(VELKRAND_SOURCE_DIR) +
                                             "/tests/golden/default-report.txt"));
    // No worker, so no linear scan and no result file.
    EXPECT_EQ(testsupport::ReadFile(dir.path() + "/velkrand.rst"), "");
}

// The four failures that end the report, each with its own last lines.
TEST(ReportRun, FatalFailuresEndTheRunWithTheirTail) {
    struct Case {
        const char* label;
        std::string drive;
        json faults;
        std::string tail;  // everything after the options block
    };
    const Case cases[] = {
        {"open fails", "sim0", json::parse(R"([{"op": "open", "error": 2}])"),
         "error opening sim0. Error: 2\n" + SystemText(2) + "\n"},
        {"no such drive", "nosuch", json::array(),
         "error opening nosuch. Error: 2\n" + SystemText(2) + "\n"},
        {"capabilities control fails", "sim0",
         json::parse(R"([{"op": "capabilities", "error": 1}])"),
         "error in I/O control number 1\n" + SystemText(1) + "\n"},
        {"a code without a text", "sim0",
         json::parse(R"([{"op": "capabilities", "error": 99999}])"),
         "error in I/O control number 99999\nformat message failed. error: " +
             std::to_string(kLookupFailure) + "\n"},
        {"unit not ready", "sim0", json::parse(R"([{"op": "command", "opcode": "0x00", "status": 2,
                          "sense": "70 00 02 00 00 00 00 0a 00 00 00 00 04 01 00 00 00 00"}])"),
         kAdapterBlock + "\nError: Unit not ready with status code 2\n"},
        {"unit busy", "sim0", json::parse(R"([{"op": "command", "opcode": "0x00", "status": 8}])"),
         kAdapterBlock + "\nError: Unit not ready with status code 8\n"},
        {"inquiry control fails", "sim0", json::parse(R"([{"op": "inquiry_data", "error": 5}])"),
         kAdapterBlock + "\nError reading inquiry data information, error was 5\n" + SystemText(5) +
             "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Config config;
        config.drive = c.drive;
        const auto result = RunReport(config, json{{"faults", c.faults}});
        EXPECT_EQ(Between(result.out, kOptionsEnd, ""), c.tail);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 1);
    }
}

// The inquiry walk as the driver's answer leads it: every entry of the
// unit's bus with its target and logical unit prints, on that bus only, and
// no answer makes it read outside the answer or go round for ever.
TEST(ReportRun, InquiryAnswersFromTheDriver) {
    struct Case {
        const char* label;
        json profile;
        std::string blocks;  // what prints between the adapter and the capacity
    };
    const json unit0 = {{"path_id", 0}, {"target_id", 2}, {"lun", 0}};
    const Case cases[] = {
        {"listed twice on its bus, once on another",
         {{"address", {{"path_id", 1}, {"target_id", 3}, {"lun", 1}}},
          {"bus_info", BusInfo(2, {20, 68},
                               {{20, 3, 1, 0, "DECOY"},
                                {68, 3, 1, 116, "FIRST"},
                                {116, 3, 0, 164, "OTHERLUN"},
                                {164, 3, 1, 0, "SECOND"}},
                               212)}},
         UnitBlock(1, 3, 1, "FIRST   ") + UnitBlock(1, 3, 1, "SECOND  ")},
        {"no entry matches",
         {{"address", unit0},
          {"bus_info",
           BusInfo(2, {20, 116},
                   {{20, 2, 1, 68, "LUN1"}, {68, 1, 0, 0, "ID1"}, {116, 2, 0, 0, "BUS1"}}, 164)}},
         ""},
        {"chains that loop",
         {{"address", unit0},
          {"bus_info",
           BusInfo(2, {20, 116},
                   {{20, 2, 0, 68, "LOOPED"}, {68, 5, 0, 20, "OTHER"}, {116, 2, 0, 116, "SELF"}},
                   164)}},
         UnitBlock(0, 2, 0, "LOOPED  ")},
        {"offsets outside the answer",
         {{"address", unit0},
          {"bus_info", BusInfo(3, {28, 3000, 60}, {{28, 2, 0, 0xFFFFFFF0, "INSIDE"}}, 100)}},
         UnitBlock(0, 2, 0, "INSIDE  ")},
        // The call's failure goes unnoticed; the address read back is 0/0/0,
        // which is not where the unit is listed.
        {"unit check call fails",
         {{"faults", json::parse(R"([{"op": "command", "opcode": "0x00", "error": 5}])")}},
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Config config;
        config.showDefectList = 0;
        json profile = c.profile;
        profile["mode_pages"] = json::object();
        // A walk that goes round for ever never gets to the end.
        const auto result = RunReport(config, profile, 10);
        EXPECT_EQ(Between(result.out, kAdapterEnd, kCapacityStart), c.blocks);
        EXPECT_EQ(result.status, 0);
    }
}

// A failed READ CAPACITY: its line, the diagnostics with DebugOutput, and
// the report goes on.
TEST(ReportRun, ReadCapacityFailure) {
    if (sizeof(void*) != 8) {
        GTEST_SKIP() << "the expected dump is the 64-bit request block";
    }
    const std::string rule = kSenseRule;
    struct Case {
        const char* label;
        int debug;
        json fault;
        std::string printed;  // between the inquiry block and the refusal line
    };
    const Case cases[] = {
        {"quiet", 0, json::parse(R"({"op": "command", "opcode": "0x25", "error": 5})"),
         kCapacityFailed},
        {"no medium", 1, json::parse(R"({"op": "command", "opcode": "0x25", "status": 2,
                         "sense": "70 00 02 00 00 00 00 0a 00 00 00 00 3a 00 00 00 00 00"})"),
         kCapacityFailed + "\nStrange reaction: SCSI Status: 02h\n\n" + "SCSI Sense Info:\n" +
             rule + "70 00 02 00 00 00 00 0A 00 00 00 00 3A 00 00 00 00 00 \n\n"},
        // The direct block of 96 bytes, its buffer address (bytes 18h to 1Fh) masked.
        {"driver fails the call", 1,
         json::parse(R"({"op": "command", "opcode": "0x25", "error": 5})"),
         kCapacityFailed + "error: 5  " + SystemText(5) + "\n" +
             "\nerror: Scsi status: 00h, Bytes returned: 0h, data buffer length: 8h\n\n\n" +
             kDumpHead +
             " 000  38  00  00  00  00  00  0A  18   01  00  00  00  08  00  00  00   \n"
             " 010  C8  00  00  00  00  00  00  00   ..  ..  ..  ..  ..  ..  ..  ..   \n"
             " 020  3C  00  00  00  25  00  00  00   00  00  00  00  00  00  00  00   \n" +
             ZeroRows(0x30, 0x60) + "\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Config config;
        config.showDefectList = 0;
        config.debug = c.debug;
        const auto result = RunReport(
            config, json{{"mode_pages", json::object()}, {"faults", json::array({c.fault})}});
        std::string printed = Between(result.out, kInquiryEnd, kRefusal);
        const size_t address = printed.find(" 010  C8  00  00  00  00  00  00  00   ");
        if (address != std::string::npos) {
            for (size_t byte = 0; byte < 8; ++byte) {
                printed.replace(address + 39 + 4 * byte, 2, "..");
            }
        }
        EXPECT_EQ(printed, c.printed);
        EXPECT_EQ(result.status, 0);
    }
}

// Without a capacity the workers go on with 256-byte sectors and last
// block 0: transfers of 17 pages less one sector (69376 bytes, 271
// sectors), and a near-end position of 0 - 65536 - 271. The unit here has
// such sectors and blocks up to 2^32 - 2, so every read succeeds.
TEST(ReportRun, WorkersGoOnWithoutCapacity) {
    Config config;
    config.threads = 1;
    config.showDefectList = 0;
    config.sameSector = 1;
    config.cacheSpeed = 0;
    config.requests = 16;
    const json profile = {
        {"capacity", {{"last_lba", 4294967294u}, {"block_length", 256}}},
        {"volume_bytes", 16777216},
        {"mode_pages", json::object()},
        {"faults", json::parse(R"([{"op": "command", "opcode": "0x25", "status": 2,
                        "sense": "70 00 02 00 00 00 00 0a 00 00 00 00 3a 00 00 00 00 00"}])")}};
    const auto result = RunReport(config, profile);
    std::string printed = Between(result.out, kInquiryEnd, "thread exec time: ");
    printed = MaskAfter(printed, "Surface-to-Cache (in KBytes/sec): ");
    EXPECT_EQ(printed, kCapacityFailed + kRefusal + kBenchmarkHeader +
                           "\n                        thread index: 1 0 0(1) 0(2) 0(3) 0(4) 0(5)\n"
                           "    Single transfer size (in KBytes): 67.8\n"
                           "                           Test mode: Same Sector I/O\n"
                           "\n                  Cache hit mode (Read-ahead Enabled)\n"
                           "    Surface-to-Cache (in KBytes/sec): #\n"
                           "    Surface-to-Cache (in KBytes/sec): #\n"
                           "\n                 Cache miss mode (Read-ahead Disabled)\n"
                           "    Surface-to-Cache (in KBytes/sec): #\n"
                           "    Surface-to-Cache (in KBytes/sec): #\n"
                           "                    ");
    std::string positions;
    for (size_t at = result.out.find("(at logical block "); at != std::string::npos;
         at = result.out.find("(at logical block ", at + 1)) {
        positions += result.out.substr(at, result.out.find('\n', at) - at + 1);
    }
    EXPECT_EQ(positions,
              "(at logical block 0)\n(at logical block -65807)\n"
              "(at logical block 0)\n(at logical block -65807)\n");
    EXPECT_EQ(result.status, 0) << result.out;
}

// The defect list section, between the capacity and the first mode page.
TEST(ReportRun, DefectLists) {
    const std::string recovered = "70 00 01 00 00 00 00 0a 00 00 00 00 1c 00 00 00 00 00";
    const std::string lengthError = "70 00 21 00 00 00 00 0a 00 00 00 00 1c 00 00 00 00 00";
    const json lists = {{"grown", json::parse("[[1, 2, 42], [5, 1, 4294967295]]")},
                        {"primary", json::parse("[[12, 0, 640]]")}};
    const auto grownFault = [](const std::string& sense) {
        return json::array({{{"op", "command"}, {"list", "grown"}, {"sense", sense}}});
    };
    const std::string grownTitle = "\n\n                  Grown defect list (User defects)\n";
    const std::string primaryTitle = "\n\n                 Primary defect list (OEM defects)\n";
    const std::string grownList = grownTitle +
                                  "\n       Defect list length (in Bytes): 16\n"
                                  "             Number of bad sector(s): 2\n\n"
                                  "               Cylinder: 00001  Head: 02  Sector: 00042\n"
                                  "               Cylinder: 00005  Head: 01  Sector: -0001\n";
    const std::string primaryList = primaryTitle +
                                    "\n       Defect list length (in Bytes): 8\n"
                                    "             Number of bad sector(s): 1\n\n"
                                    "               Cylinder: 00012  Head: 00  Sector: 00640\n";
    // A list that announces 65535 bytes and sends one entry: the entries
    // that fit the 65535-byte buffer print, the rest of it zeros.
    std::string truncated = primaryTitle +
                            "\n       Defect list length (in Bytes): 65535\n"
                            "             Number of bad sector(s): 8191\n\n"
                            "               Cylinder: 00001  Head: 02  Sector: 00042\n";
    for (int entry = 1; entry < 8191; ++entry) {
        truncated += "               Cylinder: 00000  Head: 00  Sector: 00000\n";
    }
    struct Case {
        const char* label;
        int showDefectList;
        int debug;
        json defects;
        json faults;
        std::string section;
    };
    const Case cases[] = {
        {"refused by the user", 2, 0, lists, json::array(), kRefusal},
        {"not asked for", 0, 1, lists, json::array(), kRefusal},
        {"both lists", 1, 0, lists, json::array(), grownList + primaryList},
        {"recovered error", 1, 0, lists, grownFault(recovered), grownList + primaryList},
        {"recovered error with incorrect length", 1, 0, lists, grownFault(lengthError),
         primaryList},
        // The list the unit sent in spite of the error is dumped as far as
        // the transfer went: 4 + 16 bytes.
        {"rejected with diagnostics", 1, 1, lists, grownFault(lengthError),
         "\nStrange reaction: SCSI Status: 02h\n\nSCSI Sense Info:\n" + std::string(kSenseRule) +
             "70 00 21 00 00 00 00 0A 00 00 00 00 1C 00 00 00 00 00 \n\n" + kDumpHead +
             " 000  00  0D  00  10  00  00  01  02   00  00  00  2A  00  00  05  01   \n"
             " 010  FF  FF  FF  FF  \n\n" +
             primaryList},
        {"empty lists", 1, 0, json::object(), json::array(),
         grownTitle +
             "\n       Defect list length (in Bytes): 0\n"
             "             Number of bad sector(s): 0\n" +
             primaryTitle +
             "\n       Defect list length (in Bytes): 0\n"
             "             Number of bad sector(s): 0\n"},
        {"more announced than sent",
         1,
         0,
         {{"primary", "00 15 ff ff 00 00 01 02 00 00 00 2a"}},
         json::array(),
         grownTitle +
             "\n       Defect list length (in Bytes): 0\n"
             "             Number of bad sector(s): 0\n" +
             truncated},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Config config;
        config.showDefectList = c.showDefectList;
        config.debug = c.debug;
        const auto result = RunReport(config, {{"defects", c.defects}, {"faults", c.faults}});
        EXPECT_EQ(Between(result.out, kCapacityEnd, kFirstPage), c.section);
        EXPECT_EQ(result.status, 0);
    }
}

// A unit without mode pages: nothing for any page, or with DebugOutput the
// diagnostics of each of the eleven, page 0x09 included.
TEST(ReportRun, EveryModePageRejected) {
    if (sizeof(void*) != 8) {
        GTEST_SKIP() << "the expected dump is the 64-bit request block";
    }
    std::string elevenRejected;
    for (int page = 0; page < 11; ++page) {
        elevenRejected += kPageRejected;
    }
    // A page whose call fails at the driver: the buffered block of 284
    // bytes is dumped, header, sense area and data area.
    std::string failedCall =
        "error: 5  " + SystemText(5) + "\n" +
        "\nerror: Scsi status: 00h, Bytes returned: 0h, "
        "data buffer length: C0h\n\n\n" +
        kDumpHead +
        " 000  38  00  00  00  00  00  06  18   01  00  00  00  C0  00  00  00   \n"
        " 010  C8  00  00  00  00  00  00  00   5C  00  00  00  00  00  00  00   \n"
        " 020  3C  00  00  00  1A  00  01  00   C0  00  00  00  00  00  00  00   \n" +
        ZeroRows(0x30, 0x110) + " 110  00  00  00  00  00  00  00  00   00  00  00  00  \n\n";
    for (int page = 1; page < 11; ++page) {
        failedCall += kPageRejected;
    }
    struct Case {
        const char* label;
        int debug;
        json faults;
        std::string section;  // between the refusal line and the benchmark header
    };
    const Case cases[] = {
        {"quiet", 0, json::array(), ""},
        {"with diagnostics", 1, json::array(), elevenRejected},
        {"first page fails at the driver", 1,
         json::parse(R"([{"op": "command", "page": 1, "error": 5}])"), failedCall},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Config config;
        config.showDefectList = 0;
        config.debug = c.debug;
        const auto result =
            RunReport(config, {{"mode_pages", json::object()}, {"faults", c.faults}});
        EXPECT_EQ(Between(result.out, kRefusal, kBenchmarkHeader), c.section);
        EXPECT_EQ(result.status, 0);
    }
}

}  // namespace
