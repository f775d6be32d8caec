// Runs of the built program against the simulated unit without delays, and
// the texts its benchmark, linear scan and utilization print, with the
// figures that depend on time masked as "#".
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/capture.h"

namespace benchtest {

using nlohmann::json;

#ifdef _WIN32
constexpr int kZeroAllocationError = 87;  // ERROR_INVALID_PARAMETER
constexpr int kFileExistsError = 80;      // ERROR_FILE_EXISTS
#else
constexpr int kZeroAllocationError = 22;  // EINVAL
constexpr int kFileExistsError = 17;      // EEXIST
#endif

// The nine configuration values; the drive is always the simulated unit.
struct Config {
    int threads = 1;
    int debug = 0;
    int sameSector = 0;
    int cache = 1;
    int requests = 130;
    int software = 0;
    uint32_t stepKBytes = 16384;
};

inline std::string RegistryText(const Config& c) {
    char text[1024];
    std::snprintf(text, sizeof text,
                  "Windows Registry Editor Version 5.00\n\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velkrand]\n"
                  "\"NumberOfThreads\"=dword:%08x\n"
                  "\"ShowDefectList\"=dword:00000000\n"
                  "\"DebugOutput\"=dword:%08x\n"
                  "\"SameSectorIo\"=dword:%08x\n"
                  "\"DriveToTest\"=\"sim0\"\n"
                  "\"ShowCacheSpeed\"=dword:%08x\n"
                  "\"NumberOfIoRequests\"=dword:%08x\n"
                  "\"SoftwareIo\"=dword:%08x\n"
                  "\"SingleStepInKBytes\"=dword:%08x\n",
                  static_cast<unsigned>(c.threads), static_cast<unsigned>(c.debug),
                  static_cast<unsigned>(c.sameSector), static_cast<unsigned>(c.cache),
                  static_cast<unsigned>(c.requests), static_cast<unsigned>(c.software),
                  c.stepKBytes);
    return text;
}

// The default unit without delays and with a 32 MiB volume (enough for the
// software-level passes of 130 requests, two steps of 16 MBytes for the
// scan); changes are merged in as a JSON merge patch.
constexpr uint64_t kVolume = 33554432;
inline json UnitProfile(const json& changes) {
    json profile = {{"timing", {{"instant", true}}}, {"volume_bytes", kVolume}};
    profile.merge_patch(changes);
    return profile;
}

struct BenchRun {
    testsupport::ProcessResult result;
    std::string tail;  // everything after the benchmark heading, unmasked
    bool resultFileExists = false;
    std::string resultFile;
};

inline constexpr const char* kHeading =
    "\n\n                 Executing non-destructive tests\n"
    "                 ~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\n";

// Runs the program in dir, which keeps the result file for the test.
inline BenchRun RunBench(const Config& config, const json& changes,
                         const testsupport::TempDir& dir) {
    const std::string reg = dir.Write("velkrand.reg", RegistryText(config));
    const std::string unit = dir.Write("unit.json", UnitProfile(changes).dump());
    BenchRun run;
    run.result =
        testsupport::RunProgram(VELKRAND_BINARY, dir.path(),
                                {{"VELKRAND_REGISTRY", reg}, {"VELKRAND_SIM_PROFILE", unit}}, 60);
    const size_t heading = run.result.out.find(kHeading);
    run.tail = heading == std::string::npos
                   ? "(no benchmark heading) " + run.result.out
                   : run.result.out.substr(heading + std::strlen(kHeading));
    const std::string file = dir.path() + "/velkrand.rst";
    if (FILE* f = std::fopen(file.c_str(), "rb")) {
        std::fclose(f);
        run.resultFileExists = true;
        run.resultFile = testsupport::ReadFile(file);
    }
    return run;
}

// The number after each of labels as "#"; figures holds the characters a
// number is made of.
inline std::string MaskAfter(std::string text, const std::vector<std::string>& labels,
                             const char* figures = "0123456789.") {
    for (const std::string& label : labels) {
        for (size_t at = text.find(label); at != std::string::npos; at = text.find(label, at)) {
            at += label.size();
            const size_t end = text.find_first_not_of(figures, at);
            const size_t length = (end == std::string::npos ? text.size() : end) - at;
            if (length > 0) {
                text.replace(at, length, 1, '#');
            }
        }
    }
    return text;
}

// Rates (of the workers and of the listing), times and the utilization as
// "#"; everything else stays. Only the utilization may be negative.
inline std::string Mask(const std::string& text) {
    return MaskAfter(
        MaskAfter(text, {"(in KBytes/sec): ", "thread exec time: ", "void time: ", "I/O time: "}),
        {"CPU Utilization (in percent): "}, "-0123456789.");
}

inline constexpr const char* kUtilization =
    "\n        CPU Utilization (in percent): #\n"
    "                           void time: #\n"
    "                            I/O time: #\n";

// A hardware-level worker's report block, masked. With the default unit and
// 17 pages: a transfer of 69120 bytes (135 blocks of 512), and the near-end
// position 2097151 - 32768 - 135.
inline std::string HardwareBlock(int order, int index, const std::vector<int>& retries, bool cache,
                                 bool sameSector = false) {
    char head[256];
    std::snprintf(head, sizeof head,
                  "\n                        thread index: %d %d %d(1) %d(2) %d(3) %d(4) 0(5)\n",
                  order, index, retries[0], retries[1], retries[2], retries[3]);
    std::string block = head;
    block += "    Single transfer size (in KBytes): 67.5\n";
    block += sameSector ? "                           Test mode: Same Sector I/O\n"
                        : "                           Test mode: Sequental I/O\n";
    block +=
        "\n                  Cache hit mode (Read-ahead Enabled)\n"
        "    Surface-to-Cache (in KBytes/sec): # (at logical block 0)\n"
        "    Surface-to-Cache (in KBytes/sec): # (at logical block 2064248)\n"
        "\n                 Cache miss mode (Read-ahead Disabled)\n"
        "    Surface-to-Cache (in KBytes/sec): # (at logical block 0)\n"
        "    Surface-to-Cache (in KBytes/sec): # (at logical block 2064248)\n";
    if (cache) {
        block += "\n       Cache-to-Host (in KBytes/sec): #\n\n";
    }
    block += "                    thread exec time: #\n";
    return block;
}

// The software-level worker's lines, one print call each, masked.
inline std::string SoftwareHeader(int index, const char* kbytes = "63.0") {
    char head[256];
    std::snprintf(head, sizeof head,
                  "                        thread index: %d\n"
                  "    Single transfer size (in KBytes): %s\n"
                  "                           Test mode: Sequental I/O\n",
                  index, kbytes);
    return head;
}
inline constexpr const char* kRateLine = "    Surface-to-Cache (in KBytes/sec): # ";
inline std::string SoftwarePass(int pass) {
    switch (pass) {
        case 1:
            return std::string("\n                 Cache hit mode (Read-ahead Enabled)\n") +
                   kRateLine + "at logical block 0\n";
        case 3:
            return std::string("                 Cache miss mode (Read-ahead Disabled)\n") +
                   kRateLine + "at logical block 0\n";
        case 2:
        case 4:
            return std::string(kRateLine) + "at logical block (?)\n\n";
        default:
            return "       Cache-to-Host (in KBytes/sec): #\n\n";
    }
}
inline std::string SoftwarePasses(int last) {
    std::string text;
    for (int pass = 1; pass <= last; ++pass) {
        text += SoftwarePass(pass);
    }
    return text;
}
inline constexpr const char* kExecTime = "                    thread exec time: #\n";

struct Geometry {
    long long cylinders;
    int heads = 255;
    int sectors = 63;
    int bytesPerSector = 512;
};
// The unit's geometry when the profile gives none.
inline Geometry DefaultGeometry(uint64_t volume) {
    return {static_cast<long long>(volume / (255 * 63 * 512))};
}

inline std::string GeometryBlock(const Geometry& g, uint64_t volume) {
    char text[1024];
    std::snprintf(text, sizeof text,
                  "                        Logical drive geometry\n"
                  "                        ~~~~~~~~~~~~~~~~~~~~~~\n"
                  "                           Cylinders: %lld\n"
                  "                               Heads: %d\n"
                  "                             Sectors: %d\n"
                  "                    Bytes per sector: %d\n"
                  "         Logical capacity (in Bytes): 0x%08X%08X (%llu)\n\n",
                  g.cylinders, g.heads, g.sectors, g.bytesPerSector,
                  static_cast<unsigned>(volume >> 32), static_cast<unsigned>(volume),
                  static_cast<unsigned long long>(volume));
    return text;
}

inline std::string Listing(uint32_t steps) {
    std::string text;
    for (uint32_t k = 0; k < steps; ++k) {
        char line[64];
        std::snprintf(line, sizeof line, "            %08u (in KBytes/sec): #\n", k);
        text += line;
    }
    return text;
}

// What follows the workers in a complete run: the line end after the wait,
// the geometry block, the listing and the utilization.
inline std::string ScanAndUtilization(uint64_t volume = kVolume, uint32_t stepKBytes = 16384) {
    std::string text = "\n";
    text += GeometryBlock(DefaultGeometry(volume), volume);
    text += Listing(static_cast<uint32_t>(volume / (uint64_t{stepKBytes} * 1024)));
    return text + kUtilization;
}

// The rates of the listing, in order, from the unmasked output.
inline std::vector<uint32_t> ListedRates(const std::string& out) {
    std::vector<uint32_t> rates;
    size_t start = 0;
    for (size_t end = out.find('\n'); end != std::string::npos;
         start = end + 1, end = out.find('\n', start)) {
        const std::string line = out.substr(start, end - start);
        unsigned step = 0;
        unsigned rate = 0;
        char again[64];
        if (std::sscanf(line.c_str(), "%u (in KBytes/sec): %u", &step, &rate) != 2 ||
            std::snprintf(again, sizeof again, "            %08u (in KBytes/sec): %08u", step,
                          rate) < 0 ||
            line != again) {
            continue;
        }
        EXPECT_EQ(step, rates.size());
        rates.push_back(rate);
    }
    return rates;
}

// The result file: the table length in bytes, then the listed rates, each
// a step's bytes divided by a whole number of milliseconds (0 for none).
inline void ExpectResultFile(const BenchRun& run, uint32_t steps, uint32_t stepBytes) {
    ASSERT_TRUE(run.resultFileExists);
    const std::string& file = run.resultFile;
    ASSERT_EQ(file.size(), 4 + 4 * size_t{steps});
    auto word = [&](size_t at) {
        return static_cast<uint32_t>(static_cast<uint8_t>(file[at])) |
               static_cast<uint32_t>(static_cast<uint8_t>(file[at + 1])) << 8 |
               static_cast<uint32_t>(static_cast<uint8_t>(file[at + 2])) << 16 |
               static_cast<uint32_t>(static_cast<uint8_t>(file[at + 3])) << 24;
    };
    EXPECT_EQ(word(0), 4 * steps);
    const std::vector<uint32_t> listed = ListedRates(run.result.out);
    ASSERT_EQ(listed.size(), steps);
    for (uint32_t k = 0; k < steps; ++k) {
        const uint32_t rate = word(4 + 4 * size_t{k});
        EXPECT_EQ(rate, listed[k]) << "step " << k;
        if (rate != 0) {
            ASSERT_LE(rate, stepBytes) << "step " << k;
            EXPECT_EQ(stepBytes / (stepBytes / rate), rate) << "step " << k;
        }
    }
}

}  // namespace benchtest
