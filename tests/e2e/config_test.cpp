// Reading the configuration, through the built program and a .reg file.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/capture.h"

namespace {

// The nine values in the order they are read.
const std::vector<std::pair<std::string, std::string>> kValues = {
    {"NumberOfThreads", "dword:00000002"},
    {"ShowDefectList", "dword:00000001"},
    {"DebugOutput", "dword:00000000"},
    {"SameSectorIo", "dword:00000000"},
    {"DriveToTest", "\"X:\""},
    {"ShowCacheSpeed", "dword:00000001"},
    {"NumberOfIoRequests", "dword:00000200"},
    {"SoftwareIo", "dword:00000000"},
    {"SingleStepInKBytes", "dword:00004000"},
};

// A complete configuration with some values changed; an empty data removes
// the value. Written in reverse order, so that the order of reading cannot
// come from the file.
std::string ConfigText(const std::map<std::string, std::string>& changes = {}) {
    std::string text =
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\n";
    for (auto value = kValues.rbegin(); value != kValues.rend(); ++value) {
        const auto changed = changes.find(value->first);
        const std::string& data = changed != changes.end() ? changed->second : value->second;
        if (!data.empty()) {
            text += "\"" + value->first + "\"=" + data + "\n";
        }
    }
    return text;
}

testsupport::ProcessResult RunWith(const std::string& regText) {
    testsupport::TempDir dir;
    const std::string path = dir.Write("velkrand.reg", regText);
    return testsupport::RunProgram(VELKRAND_BINARY, dir.path(), {{"VELKRAND_REGISTRY", path}}, 60);
}

std::string ReadMessage(const std::string& value, int code) {
    char line[128];
    std::snprintf(line, sizeof line, "Unable to read %s value with error code %d\n", value.c_str(),
                  code);
    return line;
}

TEST(ConfigurationRun, MissingKeys) {
#ifdef _WIN32
    GTEST_SKIP() << "the real registry always has a SOFTWARE key";
#endif
    struct Case {
        const char* label;
        std::string body;
        const char* out;
    };
    const Case cases[] = {
        {"no Velkrand key", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"NumberOfThreads\"=dword:2\n",
         "Unable to open Velkrand key with error code 2\n"},
        {"no SOFTWARE key",
         "[HKEY_CURRENT_USER\\SOFTWARE\\Velkrand]\n\"NumberOfThreads\"=dword:2\n",
         "Unable to open SOFTWARE key with error code 2\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const auto result = RunWith("Windows Registry Editor Version 5.00\n\n" + c.body);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 1);
    }
}

TEST(ConfigurationRun, FileMissingUnreadableOrInvalid) {
#ifdef _WIN32
    GTEST_SKIP() << "registry files are read by the non-Windows store alone";
#endif
    testsupport::TempDir dir;
    const std::string bad =
        dir.Write("bad.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"A\"\n");
    struct Case {
        std::string path;
        const char* out;
        std::string err;
    };
    const Case cases[] = {
        {dir.path() + "/none.reg", "Unable to open SOFTWARE key with error code 2\n",
         "velkrand: cannot read the configuration file " + dir.path() +
             "/none.reg: No such file or directory\n"},
        {dir.path(), "Unable to open SOFTWARE key with error code 5\n",
         "velkrand: the configuration file " + dir.path() +
             " is not a regular file: Is a directory\n"},
        {bad, "Unable to open SOFTWARE key with error code 1009\n",
         "velkrand: " + bad + ":4: no = after the value name\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const auto result = testsupport::RunProgram(VELKRAND_BINARY, dir.path(),
                                                    {{"VELKRAND_REGISTRY", c.path}}, 60);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.status, 1);
    }
}

// Each value missing alone, and each stored one byte longer than it is read:
// its own line with the registry's code, and nothing else.
TEST(ConfigurationRun, EveryValueFailsWithItsOwnMessage) {
    for (const auto& [name, data] : kValues) {
        SCOPED_TRACE(name);
        auto result = RunWith(ConfigText({{name, ""}}));
        EXPECT_EQ(result.out, ReadMessage(name, 2));
        EXPECT_EQ(result.status, 1);

        const std::string tooLong =
            name == "DriveToTest" ? "\"ABCDEFGHIJKLMNOP\"" : "hex:01,00,00,00,00";
        result = RunWith(ConfigText({{name, tooLong}}));
        EXPECT_EQ(result.out, ReadMessage(name, 234));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "");
    }
}

// With a value and every later one missing, the message names that value:
// each is read before the ones after it.
TEST(ConfigurationRun, ValuesAreReadInOrder) {
    for (size_t first = 0; first < kValues.size(); ++first) {
        SCOPED_TRACE(kValues[first].first);
        std::map<std::string, std::string> changes;
        for (size_t i = first; i < kValues.size(); ++i) {
            changes[kValues[i].first] = "";
        }
        const auto result = RunWith(ConfigText(changes));
        EXPECT_EQ(result.out, ReadMessage(kValues[first].first, 2));
        EXPECT_EQ(result.status, 1);
    }
}

TEST(ConfigurationRun, ThreadCountOutsideTheTableIsRefusedBeforeTheBanner) {
    struct Case {
        const char* data;
        const char* out;
    };
    const Case cases[] = {
        {"dword:00000041", "NumberOfThreads value 65 is out of range: use 0 to 64\n"},
        {"dword:ffffffff", "NumberOfThreads value -1 is out of range: use 0 to 64\n"},
        {"dword:80000000", "NumberOfThreads value -2147483648 is out of range: use 0 to 64\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data);
        const auto result = RunWith(ConfigText({{"NumberOfThreads", c.data}}));
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.status, 1);
    }
}

struct Options {
    std::string path = "\\\\.\\X:";
    int threads = 2;
    int requests = 512;
    const char* defects = "Yes";
    const char* debug = "No";
    const char* sameSector = "No";
    const char* level = "Hardware";
};

// The banner and the execution options block, as the run starts.
std::string Head(const Options& o) {
    char block[1024];
    std::snprintf(block, sizeof block,
                  "\n         Velkrand for Windows NT  Version 4.10  Release-4  Build 1540\n"
                  "         Read benchmark and device report for SCSI disk units\n"
                  "         (C) The Velkrand developers. Nothing on the unit is ever written.\n"
                  "\n                         Execution options\n"
                  "                         ~~~~~~~~~~~~~~~~~\n"
                  "           Testing drive mapped name: %s\n"
                  "               Number of I/O threads: %d\n"
                  "  Number of I/O requests in a thread: %d\n"
                  "                    Show defect list: %s\n"
                  "               Extended debug output: %s\n"
                  "                     Same sector I/O: %s\n"
                  "                           I/O Level: %s\n",
                  o.path.c_str(), o.threads, o.requests, o.defects, o.debug, o.sameSector, o.level);
    return block;
}

// Valid configurations: the run goes on past the options block (to a drive
// that is not there), so only the start of the output is compared.
TEST(ConfigurationRun, ExecutionOptionsBlock) {
    struct Case {
        const char* label;
        std::map<std::string, std::string> changes;
        Options options;
    };
    const Case cases[] = {
        {"drive letter and colon", {}, {}},
        {"ShowDefectList 0", {{"ShowDefectList", "dword:00000000"}}, {.defects = "No"}},
        {"ShowDefectList 2", {{"ShowDefectList", "dword:00000002"}}, {.defects = "Yes"}},
        {"SoftwareIo 1", {{"SoftwareIo", "dword:00000001"}}, {.level = "Software"}},
        {"SoftwareIo 7", {{"SoftwareIo", "dword:00000007"}}, {.level = "Software"}},
        {"debug and same sector",
         {{"DebugOutput", "dword:00000001"}, {"SameSectorIo", "dword:80000000"}},
         {.debug = "Yes", .sameSector = "Yes"}},
        {"no threads", {{"NumberOfThreads", "dword:00000000"}}, {.threads = 0}},
        {"64 threads", {{"NumberOfThreads", "dword:00000040"}}, {.threads = 64}},
        {"requests as a signed number",
         {{"NumberOfIoRequests", "dword:ffffffff"}},
         {.requests = -1}},
        // One byte replaces the low byte of the initial 512 (0x200).
        {"one-byte value", {{"NumberOfIoRequests", "hex:07"}}, {.requests = 0x207}},
        {"fifteen characters",
         {{"DriveToTest", "\"nodrivenodriveX\""}},
         {.path = "\\\\.\\nodrivenodriveX"}},
        {"sixteen bytes without a NUL",
         {{"DriveToTest", "hex:6e,6f,64,72,69,76,65,5f,6e,6f,64,72,69,76,65,5f"}},
         {.path = "\\\\.\\nodrive_nodrive_"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const auto result = RunWith(ConfigText(c.changes));
        const std::string head = Head(c.options);
        EXPECT_EQ(result.out.substr(0, head.size()), head);
    }
}

}  // namespace
