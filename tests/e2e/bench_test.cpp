// The benchmark, the linear scan and the result file, through the built
// program and the simulated unit without delays. Figures that depend on
// time are masked as "#".
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "e2e/e2e_util.h"
#include "support/capture.h"

namespace {

using namespace e2e;

#ifdef _WIN32
constexpr int kZeroAllocationError = 87;  // ERROR_INVALID_PARAMETER
constexpr int kFileExistsError = 80;      // ERROR_FILE_EXISTS
#else
constexpr int kZeroAllocationError = 22;  // EINVAL
constexpr int kFileExistsError = 17;      // EEXIST
#endif

struct BenchRun {
    testsupport::ProcessResult result;
    std::string tail;  // everything after the benchmark heading
    std::string resultFile;
};

// One hardware-level worker of 130 requests a pass on a unit of 32 MiB: two
// scan steps of 16 MBytes.
BenchRun RunBench(const Values& changes, const json& unit, const testsupport::TempDir& dir) {
    Values values = {{"NumberOfThreads", Dword(1)},
                     {"ShowDefectList", Dword(0)},
                     {"NumberOfIoRequests", Dword(130)}};
    values.insert(values.end(), changes.begin(), changes.end());
    json profile = {{"volume_bytes", 33554432}};
    profile.merge_patch(unit);
    BenchRun run{RunVelkrand(dir, values, &profile), "", ""};
    run.tail = Between(run.result.out,
                       "Executing non-destructive tests\n"
                       "                 ~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\n",
                       "");
    run.resultFile = testsupport::ReadFile(dir.path() + "/velkrand.rst");
    return run;
}

// Rates, times and the utilization (which alone may be negative) as "#".
std::string Mask(const std::string& text) {
    return MaskAfter(
        MaskAfter(text, {"(in KBytes/sec): ", "thread exec time: ", "void time: ", "I/O time: "}),
        {"CPU Utilization (in percent): "}, "-0123456789.");
}

const std::string kGeometry =
    "                        Logical drive geometry\n"
    "                        ~~~~~~~~~~~~~~~~~~~~~~\n"
    "                           Cylinders: 4\n"
    "                               Heads: 255\n"
    "                             Sectors: 63\n"
    "                    Bytes per sector: 512\n"
    "         Logical capacity (in Bytes): 0x0000000002000000 (33554432)\n\n";
const std::string kListing =
    "            00000000 (in KBytes/sec): #\n"
    "            00000001 (in KBytes/sec): #\n";
const std::string kUtilization =
    "\n        CPU Utilization (in percent): #\n"
    "                           void time: #\n"
    "                            I/O time: #\n";
// What follows the workers: the line end after the wait, and the scan.
const std::string kScan = "\n" + kGeometry + kListing + kUtilization;

// A hardware-level worker's report block. With 17 pages of the default unit:
// 135 blocks of 512 bytes a request, near the end at 2097151 - 32768 - 135.
std::string HardwareBlock(const std::string& who, const std::vector<int>& retries, bool cache,
                          const char* kbytes = "67.5", const std::string& nearEnd = "2064248") {
    char head[256];
    std::snprintf(head, sizeof head,
                  "\n                        thread index: %s %d(1) %d(2) %d(3) %d(4) 0(5)\n"
                  "    Single transfer size (in KBytes): %s\n"
                  "                           Test mode: Sequental I/O\n",
                  who.c_str(), retries[0], retries[1], retries[2], retries[3], kbytes);
    const std::string passes =
        "    Surface-to-Cache (in KBytes/sec): # (at logical block 0)\n"
        "    Surface-to-Cache (in KBytes/sec): # (at logical block " +
        nearEnd + ")\n";
    return head + ("\n                  Cache hit mode (Read-ahead Enabled)\n" + passes) +
           "\n                 Cache miss mode (Read-ahead Disabled)\n" + passes +
           (cache ? "\n       Cache-to-Host (in KBytes/sec): #\n\n" : "") +
           "                    thread exec time: #\n";
}

const std::string kWorker = HardwareBlock("1 0", {0, 0, 0, 0}, true);

// A software-level worker's print calls up to the given pass (16 pages:
// 65024 bytes a read).
std::vector<std::string> SoftwareCalls(int passes, const std::string& index) {
    std::vector<std::string> calls = {"                        thread index: " + index + "\n",
                                      "    Single transfer size (in KBytes): 63.0\n",
                                      "                           Test mode: Sequental I/O\n"};
    const std::string rate = "    Surface-to-Cache (in KBytes/sec): # ";
    const std::vector<std::string> each[] = {
        {"\n                 Cache hit mode (Read-ahead Enabled)\n", rate, "at logical block 0\n"},
        {rate, "at logical block (?)\n\n"},
        {"                 Cache miss mode (Read-ahead Disabled)\n", rate, "at logical block 0\n"},
        {rate, "at logical block (?)\n\n"},
        {"       Cache-to-Host (in KBytes/sec): #\n\n"},
    };
    for (int pass = 0; pass < passes; ++pass) {
        calls.insert(calls.end(), each[pass].begin(), each[pass].end());
    }
    return calls;
}

std::string Join(const std::vector<std::string>& calls) {
    return std::accumulate(calls.begin(), calls.end(), std::string());
}

int Count(const std::string& text, const std::string& piece) {
    int found = 0;
    for (size_t at = text.find(piece); at != std::string::npos;
         at = text.find(piece, at + piece.size())) {
        ++found;
    }
    return found;
}

// Print calls of several workers interleave, each whole: every call must be
// there as often as it was made, and together they must make up the text.
void ExpectInterleaved(const std::string& text, const std::vector<std::string>& calls) {
    std::map<std::string, int> made;
    for (const std::string& call : calls) {
        ++made[call];
    }
    size_t covered = 0;
    for (const auto& [call, count] : made) {
        EXPECT_EQ(Count(text, call), count) << call;
        covered += static_cast<size_t>(count) * call.size();
    }
    EXPECT_EQ(covered, text.size()) << text;
}

// The result file: the table's length in bytes, then the listed rates.
void ExpectResultFile(const BenchRun& run, uint32_t steps) {
    std::string expected;
    const auto put = [&](uint32_t value) {
        for (int byte = 0; byte < 4; ++byte) {
            expected += static_cast<char>(value >> (8 * byte));
        }
    };
    put(4 * steps);
    for (uint32_t k = 0; k < steps; ++k) {
        char label[48];
        std::snprintf(label, sizeof label, "            %08u (in KBytes/sec): ", k);
        const std::string rate = Between(run.result.out, label, "\n");
        put(rate.empty() ? 0u : static_cast<uint32_t>(std::stoul(rate)));
    }
    EXPECT_EQ(run.resultFile, expected);
}

// Every worker completes with its own index (and, at the hardware level, its
// own report order number), and the run goes on to the scan.
TEST(BenchmarkRun, WorkersOfBothKindsComplete) {
    for (const bool software : {false, true}) {
        for (const int threads : {1, 2, 16}) {
            SCOPED_TRACE(std::string(software ? "software x" : "hardware x") +
                         std::to_string(threads));
            testsupport::TempDir dir;
            const BenchRun run = RunBench(
                {{"NumberOfThreads", Dword(static_cast<uint32_t>(threads))},
                 {"SoftwareIo", Dword(software ? 1 : 0)}},
                software ? json{{"adapter", {{"max_physical_pages", 16}}}} : json::object(), dir);
            EXPECT_EQ(run.result.status, 0);
            // The first number is the index of a software-level worker and
            // the report order of a hardware-level one, whose index follows.
            const int first = software ? 0 : 1;
            for (int k = first; k < first + threads; ++k) {
                EXPECT_EQ(
                    Count(run.tail, "thread index: " + std::to_string(k) + (software ? "\n" : " ")),
                    1);
            }
            const std::string masked = Mask(MaskAfter(run.tail, {"thread index: "}));
            std::vector<std::string> calls;
            for (int k = 0; k < threads; ++k) {
                if (software) {
                    const std::vector<std::string> worker = SoftwareCalls(5, "#");
                    calls.insert(calls.end(), worker.begin(), worker.end());
                    calls.push_back("                    thread exec time: #\n");
                } else {
                    calls.push_back(HardwareBlock("# " + std::to_string(k), {0, 0, 0, 0}, true));
                }
            }
            if (threads == 1) {
                EXPECT_EQ(masked, Join(calls) + kScan);
            }
            ASSERT_GT(masked.size(), kScan.size());
            EXPECT_EQ(masked.substr(masked.size() - kScan.size()), kScan);
            ExpectInterleaved(masked.substr(0, masked.size() - kScan.size()), calls);
            ExpectResultFile(run, 2);
        }
    }
}

// One worker to its end: retries of a pass, a failed READ CAPACITY, failed
// reads, and scans that cannot start.
TEST(BenchmarkRun, OneWorkerToItsEnd) {
    const std::string retry =
        "\nStrange reaction: SCSI Status: 02h\n\nSCSI Sense Info:\n"
        "--------------------------------------------------------------\n"
        "70 00 03 00 00 00 00 0A 00 00 00 00 11 00 00 00 00 00 \n\nin read 4\n";
    std::string sixteen;
    for (int k = 0; k < 15; ++k) {
        sixteen += "pass " + std::to_string(k) + " failed\n";
    }
    sixteen += "number of read retries exceeded maximum allowed\n";
    // A failed read ends the worker, which still counts as complete; reads 1
    // to 130 are pass 1, 131 to 260 pass 2, and so on.
    const auto shortRead = [](int nth) {
        return json{{"faults", {{{"op", "read"}, {"nth", nth}, {"short", 512}}}},
                    {"adapter", {{"max_physical_pages", 16}}}};
    };
    const Values software = {{"SoftwareIo", Dword(1)}};
    const std::string shortLine = "Bytes readen 512 != RaidIoRequestSize 65024";
    // Label, configuration, unit, and the masked text after the heading.
    const std::tuple<const char*, Values, std::string, std::string> cases[] = {
        // Pass 4's last request reads block 2046968, which pass 2's request
        // 1 reads first. The GOOD answers before it must leave room for the
        // sense.
        {"pass 4 fails twice",
         {{"DebugOutput", Dword(1)}},
         R"({"faults": [{"op": "command", "lba": [2046968, 2046968], "nth": 2, "count": 2,
             "sense": "70 00 03 00 00 00 00 0a 00 00 00 00 11 00 00 00 00 00"}]})",
         retry + "pass 0 failed\n" + retry + "pass 1 failed\n" +
             HardwareBlock("1 0", {0, 0, 0, 2}, true) + kScan},
        // Only the last request of a pass decides it.
        {"an earlier request fails",
         {},
         R"({"faults": [{"op": "command", "lba": [0, 0], "status": 2}]})",
         kWorker + kScan},
        {"sixteen failures end the run",
         {},
         R"({"faults": [{"op": "command", "lba": [2064248, 2064248], "status": 2}]})",
         sixteen},
        // Then the workers see 256-byte sectors and last block 0: 271
        // sectors a request, and pass 2 ends at 0 - 65536 - 271, which
        // reaches this unit (of blocks up to 2^32 - 2) as 4294901489.
        {"READ CAPACITY fails",
         {{"ShowCacheSpeed", Dword(0)}},
         R"({"capacity": {"last_lba": 4294967294, "block_length": 256}, "faults": [
             {"op": "command", "opcode": "0x25", "error": 5},
             {"op": "command", "lba": [4294901489, 4294901489], "nth": 1, "status": 2}]})",
         "pass 0 failed\n" + HardwareBlock("1 0", {0, 1, 0, 0}, false, "67.8", "-65807") +
             SetLine(SetLine(kScan, "Cylinders: ", "8"), "Bytes per sector: ", "256")},
        {"last cache-to-host read short",
         {},
         shortRead(130).dump(),
         "Bytes readen 512 != TransferSize 65024\n" + kScan},
        {"software pass 4 short at request 7", software, shortRead(398).dump(),
         Join(SoftwareCalls(3, "0")) + shortLine + " in pass 7\n" + kScan},
        {"step of 0",
         {{"SingleStepInKBytes", Dword(0)}},
         "{}",
         kWorker + "\n" +
             "\nlinear scan refused: SingleStepInKBytes is 0, the step must be at least 1 KByte\n" +
             kUtilization},
        {"step larger than the volume",
         {{"SingleStepInKBytes", Dword(65536)}},
         "{}",
         kWorker + "\n\nerror " + std::to_string(kZeroAllocationError) + " allocating memory\n" +
             kUtilization},
    };
    for (const auto& [label, changes, unit, tail] : cases) {
        SCOPED_TRACE(label);
        testsupport::TempDir dir;
        const BenchRun run = RunBench(changes, json::parse(unit), dir);
        EXPECT_EQ(Mask(run.tail), tail);
        // Only a run that does not end fatally gets to the utilization.
        EXPECT_EQ(run.result.status, tail.ends_with(kUtilization) ? 0 : 1);
        if (tail.ends_with(kListing + kUtilization)) {
            ExpectResultFile(run, 2);
        } else {
            EXPECT_EQ(run.resultFile, "");
        }
    }
}

// A result file, or a link, already in its place is neither overwritten nor
// followed: the scan lists its steps, fails to create the file, and the run
// still ends with 0.
TEST(BenchmarkRun, ExistingResultFileIsLeftAlone) {
    const std::string old("old result\0\xff\x01", 13);
    enum Kind { kFile, kLink, kDanglingLink };
    for (const Kind kind : {kFile, kLink, kDanglingLink}) {
#ifdef _WIN32
        if (kind != kFile) {
            continue;  // links need rights a test cannot count on there
        }
#endif
        SCOPED_TRACE(kind);
        testsupport::TempDir dir;
        const std::filesystem::path path = dir.path() + "/velkrand.rst";
        if (kind != kDanglingLink) {
            dir.Write(kind == kFile ? "velkrand.rst" : "target.rst", old);
        }
        if (kind != kFile) {
            std::filesystem::create_symlink("target.rst", path);
        }
        const BenchRun run = RunBench({}, json::object(), dir);
        EXPECT_EQ(Mask(run.tail), kWorker + "\n" + kGeometry + kListing +
                                      "\nfile velkrand.rst creation failed with error code " +
                                      std::to_string(kFileExistsError) + "\n" + kUtilization);
        EXPECT_EQ(run.result.status, 0);
        EXPECT_EQ(std::filesystem::is_symlink(path), kind != kFile);
        EXPECT_EQ(run.resultFile, kind == kDanglingLink ? "" : old);
        EXPECT_EQ(std::filesystem::exists(dir.path() + "/target.rst"), kind == kLink);
    }
}

}  // namespace
