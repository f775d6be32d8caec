// Reading the configuration, through the built program and a .reg file (on
// Windows, imported into the system registry, whose codes the lines carry).
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "e2e/e2e_util.h"
#include "support/capture.h"

namespace {

using namespace e2e;

testsupport::ProcessResult RunWith(const std::string& regText) {
    testsupport::TempDir dir;
    const std::string path = dir.Write("velkrand.reg", regText);
    return testsupport::RunProgram(VELKRAND_BINARY, dir.path(), {{"VELKRAND_REGISTRY", path}}, 60);
}

// Configurations refused before the banner: a key missing, a thread count
// outside the table of workers, a value missing or one byte longer than it
// is read.
TEST(ConfigurationRun, RefusedConfigurations) {
    std::vector<std::pair<std::string, std::string>> cases = {
        {RegText({}, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Other"),
         "Unable to open Velkrand key with error code 2\n"},
#ifndef _WIN32  // the real registry always has a SOFTWARE key
        {RegText({}, "HKEY_CURRENT_USER\\SOFTWARE\\Velkrand"),
         "Unable to open SOFTWARE key with error code 2\n"},
#endif
        {RegText({{"NumberOfThreads", Dword(65)}}),
         "NumberOfThreads value 65 is out of range: use 0 to 64\n"},
        {RegText({{"NumberOfThreads", Dword(0xffffffff)}}),
         "NumberOfThreads value -1 is out of range: use 0 to 64\n"},
    };
    // With every later value missing, the line names the value: each is
    // read, with its own size, before the ones after it.
    for (size_t first = 0; first < kValues.size(); ++first) {
        const std::string& name = kValues[first].first;
        Values changes;
        for (size_t later = first; later < kValues.size(); ++later) {
            changes.emplace_back(kValues[later].first, "");
        }
        cases.emplace_back(RegText(changes),
                           "Unable to read " + name + " value with error code 2\n");
        changes.front().second =
            name == "DriveToTest" ? "\"ABCDEFGHIJKLMNOP\"" : "hex:01,00,00,00,00";
        cases.emplace_back(RegText(changes),
                           "Unable to read " + name + " value with error code 234\n");
    }
    for (const auto& [reg, out] : cases) {
        SCOPED_TRACE(reg);
        const auto result = RunWith(reg);
        EXPECT_EQ(result.out, out);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 1);
    }
}

// The banner and options block of valid configurations, against those of the
// golden report; the run then fails to open drive X:.
TEST(ConfigurationRun, ExecutionOptionsBlock) {
    const std::string golden =
        testsupport::ReadFile(VELKRAND_SOURCE_DIR "/tests/golden/default-report.txt");
    const std::string head = golden.substr(0, golden.find("I/O Level: Hardware\n") + 20);
    struct Case {
        Values changes;
        Values lines;  // label, and what follows it instead
    };
    const Case cases[] = {
        {{}, {}},
        {{{"ShowDefectList", Dword(0)}}, {{"defect list: ", "No"}}},
        {{{"SoftwareIo", Dword(7)}}, {{"I/O Level: ", "Software"}}},
        {{{"DebugOutput", Dword(5)}, {"SameSectorIo", Dword(0x80000000)}},
         {{"debug output: ", "Yes"}, {"Same sector I/O: ", "Yes"}}},
        {{{"NumberOfThreads", Dword(64)}}, {{"I/O threads: ", "64"}}},
        {{{"NumberOfIoRequests", Dword(0xffffffff)}}, {{"in a thread: ", "-1"}}},
        // Shorter data replace the low bytes of the initial 512 (0x200), of
        // whatever type they are: 07, or "2" and its terminator.
        {{{"NumberOfIoRequests", "hex:07"}}, {{"in a thread: ", "519"}}},
        {{{"NumberOfIoRequests", "\"2\""}}, {{"in a thread: ", "50"}}},
        {{{"DriveToTest", "hex:6e,6f,64,72,69,76,65,5f,6e,6f,64,72,69,76,65,5f"}},
         {{"mapped name: ", "\\\\.\\nodrive_nodrive_"}}},
    };
    for (const Case& c : cases) {
        Values changes = {{"DriveToTest", "\"X:\""}};
        changes.insert(changes.end(), c.changes.begin(), c.changes.end());
        std::string expected = SetLine(head, "mapped name: ", "\\\\.\\X:");
        for (const auto& [label, value] : c.lines) {
            expected = SetLine(expected, label, value);
        }
        const auto result = RunWith(RegText(changes));
        EXPECT_EQ(result.out.substr(0, expected.size()), expected) << RegText(changes);
    }
}

}  // namespace
