// The run's document (VELKRAND_JSON), through the built program: every value
// the text shows is in the document with the same value, under the name
// docs/json.md gives it; fatal ends keep what was gathered; a document that
// cannot be created stops the run before it starts.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/e2e_util.h"
#include "support/capture.h"

namespace {

using namespace e2e;

// A unit whose every page has distinct values, so that a name put to the
// wrong line shows; on the virtual clock, so that every figure is exact.
const json kUnit = json::parse(R"({"volume_bytes": 4194304,
  "adapter": {"max_transfer_length": 1114112, "max_physical_pages": 17, "async_events": 5,
              "alignment_mask": 1, "tagged_queuing": false, "scans_down": true, "uses_pio": true},
  "address": {"path_id": 0, "target_id": 6, "lun": 0},
  "inquiry": "00 80 5b 02 1f 00 00 b5 56 45 4e 44 20 20 20 20 50 52 4f 44 55 43 54 20 4e 41 4d 45 20 20 20 20 52 45 56 31",
  "mode_pages": {
    "0x01": "01 0a a5 11 12 13 14 ff 15 fe 16 17",
    "0x02": "02 0e 21 22 23 24 25 26 27 28 00 29 00 00 00 00",
    "0x03": "03 16 00 31 00 32 00 33 00 34 00 35 02 36 00 37 00 38 00 39 a0 00 00 00",
    "0x04": "04 16 01 02 03 41 04 05 06 07 08 09 00 42 0a 0b 0c ff ff ff 1c 21 00 00",
    "0x05": "05 1e 01 f4 51 52 00 53 00 54 00 55 00 56 00 57 58 00 59 5a 5b 80 f3 5c 5d 5e 00 00 01 2c",
    "0x07": "07 0a 05 61 62 ff ff ff ff ff 00 63",
    "0x08": "08 12 05 3c 00 71 00 72 00 73 00 74 ff ff ff ff ff ff ff ff",
    "0x09": "09 0a 00 03 00 00 00 00 00 00 00 00",
    "0x0a": "0a 06 01 13 84 00 00 81",
    "0x0b": "0b 06 00 00 91 92 93 94",
    "0x0c": "0c 16 80 00 00 a1 00 a2 00 01 00 00 00 02 00 00 ff ff ff ff ff ff ff ff"
  },
  "timing": {"clock": "virtual", "rpm": 6000, "outer_mb_s": 69.12, "inner_mb_s": 69.12,
             "average_seek_ms": 0, "command_overhead_us": 0, "cache_kb": 64,
             "host_cache_mb_s": 138.24}})");

const Values kRun = {{"NumberOfThreads", Dword(2)},
                     {"NumberOfIoRequests", Dword(133)},
                     {"SingleStepInKBytes", Dword(135)},
                     {"DebugOutput", Dword(3)},
                     {"ShowDefectList", Dword(1)}};

struct DocumentRun {
    testsupport::ProcessResult result;
    json document;
};

DocumentRun RunWithDocument(const Values& changes, const json& unit) {
    testsupport::TempDir dir;
    const std::string path = dir.path() + "/run.json";
    testsupport::SetEnv("VELKRAND_JSON", path);
    DocumentRun run{RunVelkrand(dir, changes, &unit), json()};
    testsupport::SetEnv("VELKRAND_JSON", "");
    run.document = json::parse(testsupport::ReadFile(path), nullptr, false);
    return run;
}

// The names and lines of docs/json.md: for each heading, the rows of its
// table as name and the line's label (the text before its colon).
std::map<std::string, std::vector<std::pair<std::string, std::string>>> DocumentedNames() {
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> names;
    std::istringstream doc(testsupport::ReadFile(VELKRAND_SOURCE_DIR "/docs/json.md"));
    std::string heading;
    for (std::string line; std::getline(doc, line);) {
        if (line.starts_with("#")) {
            heading = line.substr(line.find(' ') + 1);
        } else if (line.starts_with("| `")) {
            const size_t nameEnd = line.find('`', 3);
            const size_t labelStart = line.find("| ", line.find("| ", nameEnd) + 2) + 2;
            std::string label = line.substr(labelStart, line.find(" |", labelStart) - labelStart);
            label = label.substr(0, label.find(':'));
            names[heading].emplace_back(line.substr(3, nameEnd - 3), label);
        }
    }
    return names;
}

// The value the text prints after "label: " in section, as the document
// would hold it: a number (decimal or 0x hex), a flag, null for Unlimited;
// a word stands for itself.
json PrintedValue(const std::string& section, const std::string& label) {
    // The line whose label, after the blanks that align it, is this one.
    size_t at = section.find(" " + label + ": ");
    while (at != std::string::npos &&
           section.find_first_not_of(' ', section.rfind('\n', at) + 1) != at + 1) {
        at = section.find(" " + label + ": ", at + 1);
    }
    if (at == std::string::npos) {
        return "<no line " + label + ">";
    }
    const size_t start = at + label.size() + 3;
    const std::string printed = section.substr(start, section.find('\n', start) - start);
    if (printed == "Yes" || printed == "No") {
        return printed == "Yes";
    }
    if (printed == "Unlimited") {
        return nullptr;
    }
    char* end = nullptr;
    const long long number = std::strtoll(printed.c_str(), &end, 0);
    if (end != printed.c_str() && *end == '\0') {
        return number;
    }
    if (printed.starts_with("0x") && printed.size() <= 10) {
        return std::stoll(printed, nullptr, 16);
    }
    return printed;
}

// Every documented name of the report's sections and mode pages holds the
// value its line prints.
TEST(JsonRun, EveryShownValueIsInTheDocument) {
    const DocumentRun run = RunWithDocument(kRun, kUnit);
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    const json& d = run.document;
    const std::string& out = run.result.out;
    auto names = DocumentedNames();
    const std::string report = out.substr(0, out.find("Executing non-destructive tests"));
    for (const char* section : {"adapter", "unit", "capacity", "cpu"}) {
        const auto& rows = names["`" + std::string(section) + "`"];
        ASSERT_FALSE(rows.empty()) << section;
        for (const auto& [name, label] : rows) {
            const json printed = PrintedValue(section == std::string("cpu") ? out : report, label);
            if (!printed.is_string()) {
                EXPECT_EQ(d[section][name], printed) << section << "/" << name;
            }
        }
    }
    // A page's lines, from its title to the next one.
    std::vector<int> codes;
    for (const json& page : d["mode_pages"]) {
        const int code = page["code"];
        codes.push_back(code);
        char heading[32];
        std::snprintf(heading, sizeof heading, "Page 0x%02X, ", code);
        auto found = std::find_if(names.begin(), names.end(),
                                  [&](const auto& n) { return n.first.starts_with(heading); });
        ASSERT_NE(found, names.end()) << heading;
        char title[16];
        std::snprintf(title, sizeof title, "(0x%02X)\n", code);
        const size_t begin = report.find(title);
        const std::string lines = report.substr(begin, report.find(" page (0x", begin + 1) - begin);
        EXPECT_EQ(page["fields"].size(), found->second.size()) << heading;
        for (const auto& [name, label] : found->second) {
            const json printed = PrintedValue(lines, label);
            EXPECT_TRUE(page["fields"].contains(name)) << heading << name;
            if (!printed.is_string()) {
                EXPECT_EQ(page["fields"][name], printed) << heading << name;
            }
        }
    }
    EXPECT_EQ(codes, (std::vector<int>{1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12}));
    // The words a line shows, from the page's own values.
    EXPECT_EQ(d["mode_pages"][4]["fields"]["transfer_rate_kbits_per_sec"], 500);
    EXPECT_EQ(d["mode_pages"][7]["fields"]["interface_identifier"], 3);
    EXPECT_EQ(d["mode_pages"][8]["fields"]["queue_algorithm_modifier"], 1);
    EXPECT_EQ(d["mode_pages"][0]["bytes"], "01 0a a5 11 12 13 14 ff 15 fe 16 17");
    EXPECT_EQ(d["unit"]["device_type_name"], "Disk");
    EXPECT_EQ(d["unit"]["vendor"], "VEND");  // trailing blanks trimmed
    EXPECT_EQ(d["unit"]["product"], "PRODUCT NAME");
}

// The configuration, the defect lists, the workers and the scan hold what
// the text shows, figure by figure.
TEST(JsonRun, BenchmarkFiguresMatchTheText) {
    const DocumentRun run = RunWithDocument(kRun, kUnit);
    const json& d = run.document;
    const std::string& out = run.result.out;
    EXPECT_EQ(d["configuration"],
              json::parse(R"({"device_path": "\\\\.\\sim0", "number_of_threads": 2,
                "number_of_io_requests": 133, "show_defect_list": 1, "debug_output": 3,
                "same_sector_io": 0, "software_io": 0, "drive_to_test": "sim0",
                "show_cache_speed": 1, "single_step_kbytes": 135})"));
    // The built-in unit's lists, entry by entry.
    EXPECT_EQ(d["defect_lists"]["grown"],
              json::parse(R"({"accepted": true, "length_bytes": 16, "bad_sectors": 2, "entries": [
                {"cylinder": 17, "head": 2, "sector": 1033},
                {"cylinder": 203, "head": 0, "sector": 77}]})"));
    EXPECT_EQ(d["defect_lists"]["primary"]["entries"].size(), 12u);
    ASSERT_EQ(d["workers"].size(), 2u);
    for (const json& worker : d["workers"]) {
        const std::string block = Between(
            out, "thread index: " + std::to_string(worker["order"].get<int>()) + " ", "exec time");
        EXPECT_TRUE(block.starts_with(std::to_string(worker["index"].get<int>()) + " 0(1) 0(2)"));
        EXPECT_EQ(worker["retries"], json::parse("[0, 0, 0, 0]"));
        EXPECT_EQ(worker["transfer_bytes"], 69120);
        EXPECT_EQ(worker["test_mode"], "sequential");
        ASSERT_EQ(worker["passes"].size(), 4u);
        std::string rates;
        for (const json& pass : worker["passes"]) {
            char line[96];
            std::snprintf(line, sizeof line,
                          "%d %s (in KBytes/sec): %.1f (at logical block %lld)\n",
                          pass["pass"].get<int>(), pass["read_ahead"] ? "ahead" : "behind",
                          pass["kbytes_per_sec"].get<double>(), pass["at_block"].get<long long>());
            rates += line;
        }
        // The rates the golden unit's timing gives (see the benchmark tests).
        EXPECT_EQ(rates,
                  "1 ahead (in KBytes/sec): 69120.0 (at logical block 0)\n"
                  "2 ahead (in KBytes/sec): 69120.0 (at logical block 2064248)\n"
                  "3 behind (in KBytes/sec): 11520.0 (at logical block 0)\n"
                  "4 behind (in KBytes/sec): 11520.0 (at logical block 2064248)\n");
        EXPECT_EQ(worker["cache_to_host_kbytes_per_sec"], 138240.0);
        EXPECT_EQ(Between(out, "thread exec time: ", "\n"),
                  std::to_string(worker["exec_time_ms"].get<int>()));
        EXPECT_EQ(worker["complete"], true);
    }
    const json& scan = d["scan"];
    EXPECT_EQ(scan["step_kbytes"], 135);
    EXPECT_EQ(scan["volume_bytes"], 4194304);
    EXPECT_EQ(scan["geometry"], json::parse(R"({"cylinders": 0, "heads": 255,
        "sectors_per_track": 63, "bytes_per_sector": 512})"));
    ASSERT_EQ(scan["rates_kbytes_per_sec"].size(), 30u);
    for (size_t k = 0; k < 30; ++k) {
        char label[48];
        std::snprintf(label, sizeof label, "%08zu (in KBytes/sec): ", k);
        EXPECT_EQ(std::to_string(scan["rates_kbytes_per_sec"][k].get<long long>()),
                  std::to_string(std::stoll(Between(out, label, "\n"))));
    }
    EXPECT_EQ(scan["result_file"], "velkrand.rst");
    // Each worker times 5 requests in each of passes 1 to 4 (5, 5, 30 and 30
    // ms) and 132 cache-to-host reads (66 ms); each request costs 3 us of
    // user and 12 us of system time by default.
    EXPECT_EQ(d["cpu"], json::parse(R"({"utilization_percent": 50.0, "void_time_ms": 20,
        "io_time_ms": 30, "tick_ms": 1, "probe_within_tick": false, "workers_user_us": 912,
        "workers_system_us": 3648, "workers_timed_ms": 272, "workers_timed_requests": 304})"));
    EXPECT_EQ(d["exit"], json::parse(R"({"status": 0, "message": null})"));
    EXPECT_EQ(d["format"], 1);
}

// A fatal end writes the document with what was gathered, the status and
// the message as printed.
TEST(JsonRun, FatalEndsKeepWhatWasGathered) {
    json notReady = kUnit;
    notReady["faults"] = json::parse(R"([{"op": "command", "opcode": "0x00", "status": 2}])");
    const DocumentRun report = RunWithDocument(kRun, notReady);
    EXPECT_EQ(report.result.status, 1);
    EXPECT_EQ(
        report.document["exit"],
        json::parse(R"({"status": 1, "message": "Error: Unit not ready with status code 2"})"));
    EXPECT_EQ(report.document["adapter"]["async_events"], 5);
    EXPECT_FALSE(report.document.contains("unit"));

    json failing = kUnit;
    failing["faults"] =
        json::parse(R"([{"op": "command", "opcode": "0x28", "count": -1, "status": 2}])");
    const DocumentRun worker = RunWithDocument({{"NumberOfThreads", Dword(1)}}, failing);
    EXPECT_EQ(worker.result.status, 1);
    EXPECT_EQ(worker.document["exit"]["message"],
              "number of read retries exceeded maximum allowed");
    EXPECT_EQ(worker.document["mode_pages"].size(), 11u);
    EXPECT_FALSE(worker.document.contains("scan"));
}

// A document that cannot be created stops the run before the banner: one
// line on standard error, nothing on standard output, status 1, and an
// existing file untouched.
TEST(JsonRun, UnusablePathsAreRefused) {
    testsupport::TempDir dir;
    const std::string existing = dir.Write("old.json", "keep me");
    std::filesystem::create_directory(dir.path() + "/folder");
#ifdef _WIN32
    const std::vector<std::string> paths = {existing, dir.path() + "\\folder",
                                            dir.path() + "\\missing\\run.json"};
#else
    std::filesystem::create_symlink("nowhere.json", dir.path() + "/link.json");
    const std::vector<std::string> paths = {existing, dir.path() + "/folder",
                                            dir.path() + "/missing/run.json",
                                            dir.path() + "/link.json"};
#endif
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        testsupport::SetEnv("VELKRAND_JSON", path);
        const auto result = RunVelkrand(dir, {}, &kUnit);
        testsupport::SetEnv("VELKRAND_JSON", "");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_TRUE(result.err.starts_with("velkrand: VELKRAND_JSON names " + path +
                                           ", which cannot be created: "))
            << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1);
    }
    EXPECT_EQ(testsupport::ReadFile(existing), "keep me");
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/nowhere.json"));
}

}  // namespace
