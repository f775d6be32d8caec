// velkrand.exe under the system registry: the configuration is imported
// with the system's own tool and read back through the real registry, whose
// result codes the failure lines carry.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/capture.h"

namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

// The values of a complete configuration, as .reg data.
Values Complete() {
    return {
        {"NumberOfThreads", "dword:00000000"},
        {"ShowDefectList", "dword:00000001"},
        {"DebugOutput", "dword:00000000"},
        {"SameSectorIo", "dword:00000000"},
        {"DriveToTest", "\"sim0\""},
        {"ShowCacheSpeed", "dword:00000001"},
        {"NumberOfIoRequests", "dword:00000200"},
        {"SoftwareIo", "dword:00000000"},
        {"SingleStepInKBytes", "dword:00004000"},
    };
}

// Complete() with changes applied: an empty data removes the value.
Values With(const Values& changes) {
    Values values = Complete();
    for (const auto& [name, data] : changes) {
        for (auto it = values.begin(); it != values.end(); ++it) {
            if (it->first == name) {
                values.erase(it);
                break;
            }
        }
        if (!data.empty()) {
            values.emplace_back(name, data);
        }
    }
    return values;
}

std::string RegFile(const Values* values) {
    std::string text = "Windows Registry Editor Version 5.00\n\n";
    if (values != nullptr) {
        text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\n";
        for (const auto& [name, data] : *values) {
            text += "\"" + name + "\"=" + data + "\n";
        }
    }
    return text;
}

testsupport::ProcessResult RunVelkrand(const testsupport::TempDir& dir, const Values* values) {
    const std::string reg = dir.Write("velkrand.reg", RegFile(values));
    return testsupport::RunProgram(VELKRAND_BINARY, dir.path(), {{"VELKRAND_REGISTRY", reg}});
}

constexpr char kBannerFirstLine[] =
    "\n         Velkrand for Windows NT  Version 4.10  Release-4  Build 1540\n";

std::string OptionsBlock(const std::string& path, int threads, int requests, const char* defects) {
    return "\n                         Execution options\n"
           "                         ~~~~~~~~~~~~~~~~~\n"
           "           Testing drive mapped name: " +
           path +
           "\n"
           "               Number of I/O threads: " +
           std::to_string(threads) +
           "\n"
           "  Number of I/O requests in a thread: " +
           std::to_string(requests) +
           "\n"
           "                    Show defect list: " +
           defects +
           "\n"
           "               Extended debug output: No\n"
           "                     Same sector I/O: No\n"
           "                           I/O Level: Hardware\n";
}

// The options block as printed: from its title to its last line.
std::string PrintedOptions(const std::string& out) {
    const size_t start = out.find("\n                         Execution options\n");
    const size_t level = out.find("I/O Level: ", start);
    if (start == std::string::npos || level == std::string::npos) {
        return "";
    }
    return out.substr(start, out.find('\n', level) + 1 - start);
}

TEST(WindowsConfiguration, FailuresCarryTheRegistrysCodes) {
    struct Case {
        const char* what;
        bool keyPresent;
        Values changes;
        std::string out;
    };
    const Case cases[] = {
        {"no key", false, {}, "Unable to open Velkrand key with error code 2\n"},
        {"first value missing",
         true,
         {{"NumberOfThreads", ""}},
         "Unable to read NumberOfThreads value with error code 2\n"},
        {"last value missing",
         true,
         {{"SingleStepInKBytes", ""}},
         "Unable to read SingleStepInKBytes value with error code 2\n"},
        {"drive name of 16 characters",
         true,
         {{"DriveToTest", "\"sim4567890123456\""}},
         "Unable to read DriveToTest value with error code 234\n"},
        {"number of 5 bytes",
         true,
         {{"NumberOfIoRequests", "hex:00,02,00,00,00"}},
         "Unable to read NumberOfIoRequests value with error code 234\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::TempDir dir;
        const Values values = With(c.changes);
        const auto result = RunVelkrand(dir, c.keyPresent ? &values : nullptr);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 1);
    }
}

TEST(WindowsConfiguration, ValuesAsTheRegistryHoldsThem) {
    struct Case {
        const char* what;
        Values changes;
        std::string options;
    };
    const Case cases[] = {
        {"drive name of 15 characters",
         {{"DriveToTest", "\"nosuch789012345\""}},
         OptionsBlock("\\\\.\\nosuch789012345", 0, 512, "Yes")},
        {"drive letter", {{"DriveToTest", "\"Q:\""}}, OptionsBlock("\\\\.\\Q:", 0, 512, "Yes")},
        // Fewer than 4 bytes replace the low bytes of the initial 16 and 512.
        {"short numbers",
         {{"NumberOfThreads", "hex:00"}, {"NumberOfIoRequests", "hex:40"}},
         OptionsBlock("\\\\.\\sim0", 0, 0x240, "Yes")},
        // The type is not looked at: the bytes of "2" and its terminator
        // replace the low two bytes of 512.
        {"number stored as a string",
         {{"NumberOfIoRequests", "\"2\""}, {"DriveToTest", "\"Q:\""}},
         OptionsBlock("\\\\.\\Q:", 0, '2', "Yes")},
        {"flag off",
         {{"ShowDefectList", "dword:00000000"}, {"DriveToTest", "\"Q:\""}},
         OptionsBlock("\\\\.\\Q:", 0, 512, "No")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::TempDir dir;
        const Values values = With(c.changes);
        const auto result = RunVelkrand(dir, &values);
        EXPECT_EQ(result.out.rfind(kBannerFirstLine, 0), 0u) << result.out;
        EXPECT_EQ(PrintedOptions(result.out), c.options);
    }
}

TEST(WindowsConfiguration, SimulatedUnitRunsWithoutWorkers) {
    testsupport::TempDir dir;
    const Values values = Complete();
    const auto result = RunVelkrand(dir, &values);
    EXPECT_EQ(result.out.rfind(kBannerFirstLine, 0), 0u) << result.out;
    EXPECT_EQ(PrintedOptions(result.out), OptionsBlock("\\\\.\\sim0", 0, 512, "Yes"));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
}

}  // namespace
