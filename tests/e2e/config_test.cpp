// Reading the configuration, through the built program and a .reg file (on
// Windows, imported into the system registry, whose codes the lines carry).
#include <gtest/gtest.h>

#include "e2e/e2e_util.h"
#include "support/capture.h"

namespace {

using namespace e2e;

// A run on the configuration under key with changes fails after printing expected.
void ExpectRun(const Values& changes, const std::string& expected,
               const std::string& key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand") {
    const testsupport::TempDir dir;
    const std::string reg = RegText(changes, key);
    const auto result = testsupport::RunProgram(
        VELKRAND_BINARY, dir.path(), {{"VELKRAND_REGISTRY", dir.Write("v.reg", reg)}}, 60);
    EXPECT_EQ(result.out.substr(0, result.out.find("error opening ")), expected) << reg;
    EXPECT_EQ(result.err + std::to_string(result.status), "1") << reg;
}

// Refused before the banner: a key missing, a thread count outside the
// table of workers, a value missing or one byte longer than it is read.
TEST(ConfigurationRun, RefusedConfigurations) {
    ExpectRun({}, "Unable to open Velkrand key with error code 2\n",
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Other");
#ifndef _WIN32  // the real registry always has a SOFTWARE key
    ExpectRun({}, "Unable to open SOFTWARE key with error code 2\n",
              "HKEY_CURRENT_USER\\SOFTWARE\\Velkrand");
#endif
    ExpectRun({{"NumberOfThreads", Dword(65)}},
              "NumberOfThreads value 65 is out of range: use 0 to 64\n");
    ExpectRun({{"NumberOfThreads", Dword(0xffffffff)}},
              "NumberOfThreads value -1 is out of range: use 0 to 64\n");
    // Each value is read, with its own size, before the ones after it.
    for (size_t first = 0; first < kValues.size(); ++first) {
        const std::string& name = kValues[first].first;
        Values changes;
        for (size_t later = first; later < kValues.size(); ++later) {
            changes.emplace_back(kValues[later].first, "");
        }
        ExpectRun(changes, "Unable to read " + name + " value with error code 2\n");
        changes.front().second =
            name == "DriveToTest" ? "\"ABCDEFGHIJKLMNOP\"" : "hex:01,00,00,00,00";
        ExpectRun(changes, "Unable to read " + name + " value with error code 234\n");
    }
}

// The golden report's banner and options, with the lines a change makes. Shorter
// data replace the low bytes of the initial 512 (0x200): 07, or "2" and a NUL.
TEST(ConfigurationRun, ExecutionOptionsBlock) {
    const std::string golden =
        testsupport::ReadFile(VELKRAND_SOURCE_DIR "/tests/golden/default-report.txt");
    auto expect = [&](Values changes, const Values& lines) {
        std::string head = golden.substr(0, golden.find("I/O Level: Hardware\n") + 20);
        head = SetLine(head, "mapped name: ", "\\\\.\\X:");
        for (const auto& [label, value] : lines) {
            head = SetLine(head, label, value);
        }
        changes.insert(changes.begin(), {"DriveToTest", "\"X:\""});
        ExpectRun(changes, head);
    };
    expect({{"ShowDefectList", Dword(0)}, {"SameSectorIo", Dword(0x80000000)}},
           {{"defect list: ", "No"}, {"Same sector I/O: ", "Yes"}});
    expect({{"DebugOutput", Dword(5)}, {"SoftwareIo", Dword(7)}},
           {{"debug output: ", "Yes"}, {"I/O Level: ", "Software"}});
    expect({{"NumberOfThreads", Dword(64)}, {"NumberOfIoRequests", Dword(0xffffffff)}},
           {{"I/O threads: ", "64"}, {"in a thread: ", "-1"}});
    expect({{"NumberOfIoRequests", "hex:07"}}, {{"in a thread: ", "519"}});
    expect({{"NumberOfIoRequests", "\"2\""}}, {{"in a thread: ", "50"}});
}

}  // namespace
