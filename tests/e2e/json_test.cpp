// The run's document (VELKRAND_JSON) through the built program; the schema
// check and the fatal ends are json/validate.py's.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

#include "e2e/e2e_util.h"
#include "support/capture.h"

namespace {

using namespace e2e;

// Distinct values on every page (and an Unlimited burst), on the virtual clock.
const json kUnit = json::parse(R"({"volume_bytes": 4194304, "address": {"target_id": 6},
  "adapter": {"max_transfer_length": 1114112, "max_physical_pages": 17, "async_events": 5,
              "alignment_mask": 1, "tagged_queuing": false, "scans_down": true, "uses_pio": true},
  "inquiry": "00 80 5b 02 1f 00 00 b5 56 45 4e 44 20 20 20 20 50 52 4f 44 55 43 54 20 4e 41 4d 45 20 20 20 20 52 45 56 31",
  "mode_pages": {
    "0x01": "01 0a a5 11 12 13 14 ff 15 fe 16 17", "0x07": "07 0a 05 61 62 ff ff ff ff ff 00 63",
    "0x02": "02 0e 21 22 23 24 25 26 27 28 00 00 00 00 00 00", "0x0a": "0a 06 01 13 84 00 00 81",
    "0x03": "03 16 00 31 00 32 00 33 00 34 00 35 02 36 00 37 00 38 00 39 a0 00 00 00",
    "0x04": "04 16 01 02 03 41 04 05 06 07 08 09 00 42 0a 0b 0c ff ff ff 1c 21 00 00",
    "0x05": "05 1e 01 f4 51 52 00 53 00 54 00 55 00 56 00 57 58 00 59 5a 5b 80 f3 5c 5d 5e 00 00 01 2c",
    "0x08": "08 12 05 3c 00 71 00 72 00 73 00 74 ff ff ff ff ff ff ff ff",
    "0x09": "09 0a 00 03 00 00 00 00 00 00 00 00", "0x0b": "0b 06 00 00 91 92 93 94",
    "0x0c": "0c 16 80 00 00 a1 00 a2 00 01 00 00 00 02 00 00 ff ff ff ff ff ff ff ff"},
  "timing": {"clock": "virtual", "rpm": 6000, "outer_mb_s": 69.12, "inner_mb_s": 69.12,
    "average_seek_ms": 0, "command_overhead_us": 0, "cache_kb": 64, "host_cache_mb_s": 138.24}})");

const Values kRun = {{"NumberOfThreads", Dword(2)},
                     {"NumberOfIoRequests", Dword(133)},
                     {"SingleStepInKBytes", Dword(135)},
                     {"DebugOutput", Dword(3)}};

// The tables of docs/json.md under each heading (up to its comma): each
// row's name, and its line's label (up to its colon).
std::map<std::string, std::vector<std::pair<std::string, std::string>>> DocumentedNames() {
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> names;
    std::istringstream doc(testsupport::ReadFile(VELKRAND_SOURCE_DIR "/docs/json.md"));
    std::string heading;
    for (std::string line; std::getline(doc, line);) {
        if (line.starts_with("#")) {
            heading = line.substr(line.find(' ') + 1, line.find(',') - line.find(' ') - 1);
        } else if (line.starts_with("| `")) {
            const size_t name = line.find('`', 3), at = line.find("| ", line.find("| ", name) + 2);
            const std::string label = line.substr(at + 2, line.find(" |", at + 2) - at - 2);
            names[heading].emplace_back(line.substr(3, name - 3), label.substr(0, label.find(':')));
        }
    }
    return names;
}

// What text prints after "label: " at the start of a line (after blanks), as
// the document holds it: a number (decimal or 0x hex), a flag, or a text.
json PrintedValue(const std::string& text, const std::string& label) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find_first_not_of(' ');
        if (at != std::string::npos && line.compare(at, label.size() + 2, label + ": ") == 0) {
            const std::string printed = line.substr(at + label.size() + 2);
            char* end = nullptr;
            const long long number = std::strtoll(printed.c_str(), &end, 0);
            return printed == "Yes" || printed == "No"      ? json(printed == "Yes")
                   : *end == '\0' && end != printed.c_str() ? json(number)
                                                            : json(printed);
        }
    }
    return "<no line " + label + ">";
}

// Every documented name of the report's sections and mode pages holds the
// value its line prints; the rest what the configuration and the unit give.
TEST(JsonRun, EveryShownValueIsInTheDocument) {
    const testsupport::TempDir dir;
    const auto run = RunVelkrand(dir, kRun, &kUnit, false, dir.path() + "/run.json");
    ASSERT_EQ(run.status, 0) << run.err;
    const json d = json::parse(testsupport::ReadFile(dir.path() + "/run.json"));
    const std::string report = run.out.substr(0, run.out.find("Executing non-destructive tests"));
    // Each object, its heading in docs/json.md and the text that shows it.
    std::vector<std::tuple<json, std::string, std::string>> shown;
    for (const std::string section : {"adapter", "unit", "capacity", "cpu"}) {
        shown.emplace_back(d[section], "`" + section + "`", section == "cpu" ? run.out : report);
    }
    for (const json& page : d["mode_pages"]) {
        const std::string hex = {"0123456789ABCDEF"[page["code"].get<int>() >> 4],
                                 "0123456789ABCDEF"[page["code"].get<int>() & 15]};
        const size_t begin = report.find("(0x" + hex + ")\n");  // to the next page's title
        shown.emplace_back(page["fields"], "Page 0x" + hex,
                           report.substr(begin, report.find(" page (0x", begin + 1) - begin));
    }
    EXPECT_EQ(shown.size(), 4u + 11);
    auto names = DocumentedNames();  // heading: name, label
    for (const auto& [object, heading, text] : shown) {
        EXPECT_EQ(object.size(), names[heading].size()) << heading;
        for (const auto& [name, label] : names[heading]) {
            const json printed = PrintedValue(text, label);
            EXPECT_TRUE(object.contains(name) && (printed.is_string() || object[name] == printed))
                << heading << " " << name << ": " << printed;
        }
    }
    // Values whose line shows a word, or none, or shows them on standard error.
    EXPECT_EQ(
        json({d["mode_pages"][0]["bytes"], d["mode_pages"][1]["fields"]["maximum_burst_bytes"],
              d["unit"]["device_type_name"], d["unit"]["vendor"]}),
        json({"01 0a a5 11 12 13 14 ff 15 fe 16 17", nullptr, "Disk", "VEND"}));
    EXPECT_EQ(d["tool"], json::parse(R"({"name": "velkrand", "version": "4.10", "release": 4,
        "build": 1540})"));
    EXPECT_EQ(d["configuration"],
              json::parse(R"({"device_path": "\\\\.\\sim0", "number_of_threads": 2,
                "number_of_io_requests": 133, "show_defect_list": 1, "debug_output": 3,
                "same_sector_io": 0, "software_io": 0, "drive_to_test": "sim0",
                "show_cache_speed": 1, "single_step_kbytes": 135})"));
    EXPECT_EQ(d["defect_lists"]["grown"]["entries"],
              json::parse(R"([{"cylinder": 17, "head": 2, "sector": 1033},
                {"cylinder": 203, "head": 0, "sector": 77}])"));
    // A stream at 69.12 MB/s, 5 ms more a request without read-ahead, the cache 138.24 MB/s.
    json worker = d["workers"][0], expected = json::parse(R"({"level": "hardware", "index": 0,
        "retries": [0, 0, 0, 0], "transfer_bytes": 69120, "test_mode": "sequential", "passes": [
          {"pass": 1, "read_ahead": true, "kbytes_per_sec": 69120.0, "at_block": 0},
          {"pass": 2, "read_ahead": true, "kbytes_per_sec": 69120.0, "at_block": 2064248},
          {"pass": 3, "read_ahead": false, "kbytes_per_sec": 11520.0, "at_block": 0},
          {"pass": 4, "read_ahead": false, "kbytes_per_sec": 11520.0, "at_block": 2064248}],
        "cache_to_host_kbytes_per_sec": 138240.0, "complete": true})");
    expected["exec_time_ms"] = std::stoi(Between(run.out, "thread exec time: ", "\n"));
    EXPECT_EQ(worker.erase("order"), 1u);  // 1 or 2, whichever reports first
    EXPECT_EQ(worker, expected);
    EXPECT_EQ(d["scan"]["geometry"], json::parse(R"({"cylinders": 0, "heads": 255,
        "sectors_per_track": 63, "bytes_per_sector": 512})"));
    // Per worker 5 requests a pass (5, 5, 30, 30 ms), 132 from the cache (66 ms), 3 + 12 us each.
    EXPECT_EQ(d["cpu"], json::parse(R"({"utilization_percent": 50.0, "void_time_ms": 20,
        "io_time_ms": 30, "tick_ms": 1, "probe_within_tick": false, "workers_user_us": 912,
        "workers_system_us": 3648, "workers_timed_ms": 272, "workers_timed_requests": 304})"));
}

// A document that cannot be created stops the run before the banner with
// one line on standard error, and an existing file stays as it was.
TEST(JsonRun, UnusablePathsAreRefused) {
    testsupport::TempDir dir;
    const std::string existing = dir.Write("old.json", "keep me");
    std::filesystem::create_directory(dir.path() + "/folder");
    for (const std::string& path :
         {existing, dir.path() + "/folder", dir.path() + "/no/run.json"}) {
        const auto run = RunVelkrand(dir, {}, &kUnit, false, path);
        const std::string line =
            "velkrand: VELKRAND_JSON names " + path + ", which cannot be created: ";
        EXPECT_EQ(run.out + std::to_string(run.status) + run.err.substr(0, line.size()),
                  "1" + line);
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    }
    EXPECT_EQ(testsupport::ReadFile(existing), "keep me");
}

}  // namespace
