// Whole runs of the benchmark, the linear scan and the result file, through
// the built program and a simulated unit on the virtual clock: every figure
// is compared exactly, worked out below from the unit's timing model.
//
// The golden unit is the built-in one with a plain timing model. A worker's
// transfer is 17 pages less one 512-byte sector, 69120 bytes, and the media
// rate 69.12 MB/s, so that:
// - a read that follows the head's stream takes 1 ms;
// - a read anywhere else waits half a revolution first (5 ms at 6000 rpm;
//   seeks and command overheads take no time), 6 ms in all;
// - the unit's buffer (64 KiB) never holds a whole transfer, so a read of
//   data read before is no faster;
// - a read served by the system cache takes 0.5 ms (138.24 MB/s);
// - the CPU probe takes 20 ms idle, and 25 % of that more for every worker.
// Every pass then takes whole milliseconds, so that no reading of the tick
// counter falls between two ticks.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdio>
#include <cstring>
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
constexpr int kNotFoundError = 2;         // ERROR_FILE_NOT_FOUND
constexpr int kIoError = 1117;            // ERROR_IO_DEVICE
#else
constexpr int kZeroAllocationError = 22;  // EINVAL
constexpr int kFileExistsError = 17;      // EEXIST
constexpr int kNotFoundError = 2;         // ENOENT
constexpr int kIoError = 5;               // EIO
#endif
// The same in a unit's fault, which fails with the platform's own code.
const std::string kIo = std::to_string(kIoError);

// Microseconds the golden unit takes.
constexpr int64_t kMedia = 1000;   // one transfer streamed from the medium
constexpr int64_t kTurn = 5000;    // half a revolution
constexpr int64_t kCached = 500;   // one transfer from the system cache
constexpr int64_t kPause = 10000;  // after each hardware-level pass
constexpr int32_t kTransfer = 69120;
constexpr int32_t kBlocks = kTransfer / 512;
constexpr int32_t kLastBlock = 2097151;
constexpr int32_t kFarEnd = kLastBlock - 16777216 / 512;  // M - W
constexpr uint64_t kVolume = 4194304;
constexpr uint32_t kStepKBytes = 135;  // two transfers: 2 ms a step

const json kGoldenUnit = json::parse(R"({"volume_bytes": 4194304, "timing": {
    "clock": "virtual", "rpm": 6000, "outer_mb_s": 69.12, "inner_mb_s": 69.12,
    "average_seek_ms": 0, "command_overhead_us": 0, "read_ahead_kb": 1024, "cache_kb": 64,
    "interface_mb_s": 1000, "host_cache_mb_s": 138.24, "cpu_probe_ms": 20,
    "cpu_probe_load_percent": 25}})");

struct Config {
    int threads = 1;
    bool software = false;
    int requests = 133;
    bool sameSector = false;
    bool cacheSpeed = true;
    bool debug = false;
    uint32_t stepKBytes = kStepKBytes;

    Values Registry() const {
        return {{"NumberOfThreads", Dword(static_cast<uint32_t>(threads))},
                {"SoftwareIo", Dword(software ? 1 : 0)},
                {"NumberOfIoRequests", Dword(static_cast<uint32_t>(requests))},
                {"SameSectorIo", Dword(sameSector ? 1 : 0)},
                {"ShowCacheSpeed", Dword(cacheSpeed ? 1 : 0)},
                {"DebugOutput", Dword(debug ? 1 : 0)},
                {"SingleStepInKBytes", Dword(stepKBytes)}};
    }
};

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A rate as the workers print it: bytes per millisecond, 0.0 with nothing
// to divide.
std::string Rate(int64_t bytes, int64_t micros) {
    EXPECT_EQ(micros % 1000, 0) << "a timed interval between two ticks";
    return Format("%.1f", bytes <= 0 || micros == 0
                              ? 0.0
                              : static_cast<double>(bytes) / static_cast<double>(micros / 1000));
}

// Microseconds of pass 1 to 4 of a hardware-level worker, whole and timed
// (requests 128 on). Passes 1 and 2 read forward and stream after their
// first request; passes 3 and 4 read backward and wait for every one, as
// do same-sector reads, whose data the buffer does not keep.
int64_t HardwareRequest(const Config& config, int pass, int i) {
    const bool streams = !config.sameSector && pass <= 2 && i > 0;
    return streams ? kMedia : kTurn + kMedia;
}
int64_t HardwarePass(const Config& config, int pass, int from = 0) {
    int64_t micros = 0;
    for (int i = from; i < config.requests; ++i) {
        micros += HardwareRequest(config, pass, i);
    }
    return micros;
}

// A hardware-level worker's report block, and how long the worker took.
struct Worker {
    std::string block;
    int64_t micros;
};

Worker HardwareWorker(const Config& config, const std::string& who,
                      const std::vector<int>& retries = {0, 0, 0, 0}, int64_t failedAttempts = 0) {
    const int n = config.requests;
    const int64_t timedBytes = n > 128 ? int64_t{n - 128} * kTransfer : 0;
    const std::string nearEnd = std::to_string(kFarEnd - kBlocks);
    std::string block = "\n                        thread index: " + who + " " +
                        std::to_string(retries[0]) + "(1) " + std::to_string(retries[1]) + "(2) " +
                        std::to_string(retries[2]) + "(3) " + std::to_string(retries[3]) +
                        "(4) 0(5)\n" + "    Single transfer size (in KBytes): 67.5\n" +
                        "                           Test mode: " +
                        (config.sameSector ? "Same Sector I/O\n" : "Sequental I/O\n");
    const char* heads[] = {"\n                  Cache hit mode (Read-ahead Enabled)\n", "",
                           "\n                 Cache miss mode (Read-ahead Disabled)\n", ""};
    int64_t micros = failedAttempts;
    for (int pass = 1; pass <= 4; ++pass) {
        micros += HardwarePass(config, pass) + kPause;
        block += heads[pass - 1];
        block += "    Surface-to-Cache (in KBytes/sec): " +
                 Rate(timedBytes, HardwarePass(config, pass, 128)) + " (at logical block " +
                 (pass % 2 == 1 ? std::string("0") : nearEnd) + ")\n";
    }
    if (config.cacheSpeed) {
        // Read 0 goes to the medium, the others to the system cache; 1 on
        // are timed.
        const int64_t timed = n > 1 ? (n - 1) * kCached : 0;
        micros += (n > 0 ? kTurn + kMedia : 0) + timed;
        block += "\n       Cache-to-Host (in KBytes/sec): " +
                 Rate(n > 1 ? int64_t{n - 1} * kTransfer : 0, timed) + "\n\n";
    }
    block += "                    thread exec time: " + std::to_string(micros / 1000) + "\n";
    return {block, micros};
}

// Microseconds of pass 1 to 5 of a software-level worker, timed (requests
// 1 on). Every read goes through the system cache: pass 1 and 2 stream
// from the medium, pass 3 (one request above pass 1's span) finds all but
// its first request in the cache, pass 4 only its first one, and pass 5
// rereads a transfer of pass 1.
int64_t SoftwareTimed(const Config& config, int pass) {
    const int64_t rest = config.requests - 1;
    const int64_t timed[] = {rest * kMedia, rest * kMedia, rest * kCached, rest * (kTurn + kMedia),
                             rest * kCached};
    return timed[pass - 1];
}

// A software-level worker's print calls, and its exec time: the timed
// passes and their untimed first requests.
std::vector<std::string> SoftwareCalls(const Config& config, int index, int passes = 5) {
    const int64_t n = config.requests;
    const int64_t whole[] = {kTurn + kMedia, kTurn + kMedia, kTurn + kMedia, kCached, kCached};
    std::vector<std::string> calls = {
        "                        thread index: " + std::to_string(index) + "\n",
        "    Single transfer size (in KBytes): 67.0\n",
        "                           Test mode: Sequental I/O\n"};
    int64_t micros = 0;
    for (int pass = 1; pass <= passes; ++pass) {
        micros += whole[pass - 1] + SoftwareTimed(config, pass);
        const std::string rate = Rate((n - 1) * kTransfer, SoftwareTimed(config, pass));
        const std::string line = "    Surface-to-Cache (in KBytes/sec): " + rate + " ";
        switch (pass) {
            case 1:
                calls.insert(calls.end(),
                             {"\n                 Cache hit mode (Read-ahead Enabled)\n", line,
                              "at logical block 0\n"});
                break;
            case 3:
                calls.insert(calls.end(),
                             {"                 Cache miss mode (Read-ahead Disabled)\n", line,
                              "at logical block 0\n"});
                break;
            case 5:
                calls.push_back("       Cache-to-Host (in KBytes/sec): " + rate + "\n\n");
                break;
            default:
                calls.insert(calls.end(), {line, "at logical block (?)\n\n"});
        }
    }
    if (passes == 5) {
        calls.push_back("                    thread exec time: " + std::to_string(micros / 1000) +
                        "\n");
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

const std::string kGeometry =
    "                        Logical drive geometry\n"
    "                        ~~~~~~~~~~~~~~~~~~~~~~\n"
    "                           Cylinders: 0\n"  // 4 MiB of 255 x 63 sectors of 512 bytes
    "                               Heads: 255\n"
    "                             Sectors: 63\n"
    "                    Bytes per sector: 512\n"
    "         Logical capacity (in Bytes): 0x0000000000400000 (4194304)\n\n";

// The scan's rates: the first step waits for half a revolution, the others
// stream. Steps are whole transfers of the golden unit.
std::vector<uint32_t> ScanRates(uint32_t stepKBytes, uint64_t volume = kVolume) {
    const uint32_t stepBytes = stepKBytes * 1024;
    EXPECT_EQ(stepBytes % kTransfer, 0u);
    const int64_t streamed = stepBytes / kTransfer * kMedia;
    std::vector<uint32_t> rates;
    for (uint64_t k = 0; k < volume / stepBytes; ++k) {
        const int64_t micros = (k == 0 ? kTurn : 0) + streamed;
        rates.push_back(static_cast<uint32_t>(stepBytes / (micros / 1000)));
    }
    return rates;
}

std::string Listing(const std::vector<uint32_t>& rates) {
    std::string text;
    for (size_t k = 0; k < rates.size(); ++k) {
        char line[64];
        std::snprintf(line, sizeof line, "            %08d (in KBytes/sec): %08u\n",
                      static_cast<int>(k), rates[k]);
        text += line;
    }
    return text;
}

// The result file: the table's length in bytes, then the rates, all
// little-endian.
std::string ResultFile(const std::vector<uint32_t>& rates) {
    std::string bytes;
    const auto put = [&](uint32_t value) {
        for (int byte = 0; byte < 4; ++byte) {
            bytes += static_cast<char>(value >> (8 * byte));
        }
    };
    put(static_cast<uint32_t>(rates.size() * 4));
    for (const uint32_t rate : rates) {
        put(rate);
    }
    return bytes;
}

std::string UtilizationLines(int voidTime, int ioTime) {
    return "\n        CPU Utilization (in percent): " +
           Format("%.2f", ioTime * 100.0 / voidTime - 100.0) + "\n" +
           "                           void time: " + std::to_string(voidTime) + "\n" +
           "                            I/O time: " + std::to_string(ioTime) + "\n";
}

// The utilization lines with workers started: the idle probe 20 ms, the
// loaded one 25 % more for each worker.
std::string Utilization(int workers) {
    return UtilizationLines(20, workers == 0 ? 0 : (20 * (100 + 25 * workers) + 50) / 100);
}

// What every command or read of the unit costs its thread in processor
// time, in microseconds: 3 and 12 unless the profile says otherwise.
struct CpuCost {
    double userUs = 3;
    double systemUs = 12;
};

// The workers' processor-time line: their timed requests, each at the
// unit's cost, as a share of their passes' timed intervals.
std::string WorkerCpuLine(const Config& config, CpuCost cost = {}) {
    const int64_t n = config.requests;
    int64_t requests = 0;
    int64_t micros = 0;
    if (config.software) {
        for (int pass = 1; pass <= 5 && n > 1; ++pass) {
            requests += n - 1;
            micros += SoftwareTimed(config, pass);
        }
    } else {
        for (int pass = 1; pass <= 4 && n > 128; ++pass) {
            requests += n - 128;
            micros += HardwarePass(config, pass, 128);
        }
        if (config.cacheSpeed && n > 1) {
            requests += n - 1;
            micros += (n - 1) * kCached;
        }
    }
    requests *= config.threads;
    micros *= config.threads;
    const std::string head = "velkrand: workers' CPU in timed passes: ";
    if (requests == 0) {
        return head + "none, no request was timed\n";
    }
    const double user = cost.userUs * static_cast<double>(requests);
    const double system = cost.systemUs * static_cast<double>(requests);
    const double elapsed = static_cast<double>(micros);
    return head + Format("%.2f", 100 * (user + system) / elapsed) + "% of " +
           std::to_string(micros / 1000) + " ms elapsed (user " +
           Format("%.2f", 100 * user / elapsed) + "%, system " +
           Format("%.2f", 100 * system / elapsed) + "%), " +
           Format("%.2f", cost.userUs + cost.systemUs) + " us per request (" +
           std::to_string(requests) + " requests)\n";
}

// The note after probes too short for the virtual clock's 1 ms tick.
std::string ProbeNote(int voidTime, int ioTime) {
    return "velkrand: the CPU utilization above is not significant: the probes took " +
           std::to_string(voidTime) + " ms idle and " + std::to_string(ioTime) +
           " ms loaded, on a tick counter that moves in steps of 1 ms\n";
}

// What follows the workers: the line end after the wait, the scan, and
// the utilization.
std::string ScanAndUtilization(const Config& config) {
    return "\n" + kGeometry + Listing(ScanRates(config.stepKBytes)) + Utilization(config.threads);
}

const std::string kGolden =
    testsupport::ReadFile(VELKRAND_SOURCE_DIR "/tests/golden/default-report.txt");
const std::string kHeading =
    "\n\n                 Executing non-destructive tests\n"
    "                 ~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\n";

// The golden report up to the benchmark heading, with the options block of
// the configuration.
std::string Report(const Config& config) {
    std::string report = kGolden.substr(0, kGolden.find(kHeading));
    report = SetLine(report, "Number of I/O threads: ", std::to_string(config.threads));
    report =
        SetLine(report, "Number of I/O requests in a thread: ", std::to_string(config.requests));
    report = SetLine(report, "Extended debug output: ", config.debug ? "Yes" : "No");
    report = SetLine(report, "Same sector I/O: ", config.sameSector ? "Yes" : "No");
    return SetLine(report, "I/O Level: ", config.software ? "Software" : "Hardware");
}

struct BenchRun {
    testsupport::ProcessResult result;
    std::string tail;  // everything after the benchmark heading
    std::string resultFile;
};

BenchRun RunBench(const Config& config, const json& changes, const testsupport::TempDir& dir,
                  bool onTerminal = false, const json& unit = kGoldenUnit) {
    json profile = unit;
    profile.merge_patch(changes);
    BenchRun run{RunVelkrand(dir, config.Registry(), &profile, 60, onTerminal), "", ""};
    run.tail = Between(run.result.out, kHeading, "");
    run.resultFile = testsupport::ReadFile(dir.path() + "/velkrand.rst");
    return run;
}

// Whole runs with 1, 2 and 16 workers of each kind: the report, every
// worker's figures, the scan and its result file, the utilization.
TEST(BenchmarkRun, WholeRunsAreExact) {
    for (const bool software : {false, true}) {
        for (const int threads : {1, 2, 16}) {
            SCOPED_TRACE(std::string(software ? "software x" : "hardware x") +
                         std::to_string(threads));
            const Config config{
                .threads = threads, .software = software, .requests = software ? 9 : 133};
            testsupport::TempDir dir;
            const BenchRun run = RunBench(config, json::object(), dir);
            EXPECT_EQ(run.result.status, 0);
            EXPECT_EQ(run.result.err, WorkerCpuLine(config));
            EXPECT_EQ(run.result.out.substr(0, run.result.out.find(kHeading)), Report(config));
            EXPECT_EQ(run.resultFile, ResultFile(ScanRates(kStepKBytes)));
            const std::string after = ScanAndUtilization(config);
            ASSERT_TRUE(run.tail.ends_with(after)) << run.tail;
            const std::string workers = run.tail.substr(0, run.tail.size() - after.size());
            // Every worker measures alike; they start and report in any order.
            std::vector<std::string> calls;
            for (int k = 0; k < threads; ++k) {
                if (software) {
                    const std::vector<std::string> worker = SoftwareCalls(config, k);
                    calls.insert(calls.end(), worker.begin(), worker.end());
                } else {
                    // The report order, first, as "#"; the index after it.
                    calls.push_back(HardwareWorker(config, "# " + std::to_string(k)).block);
                    EXPECT_EQ(Count(workers, "thread index: " + std::to_string(k + 1) + " "), 1);
                }
            }
            if (threads == 1) {
                EXPECT_EQ(workers, software ? Join(SoftwareCalls(config, 0))
                                            : HardwareWorker(config, "1 0").block);
            }
            ExpectInterleaved(software ? workers : MaskAfter(workers, {"thread index: "}), calls);
        }
    }
}

// One hardware-level worker in other modes, retrying, and failing.
TEST(BenchmarkRun, HardwareWorkerToItsEnd) {
    const Config plain;
    const std::string retry =
        "\nStrange reaction: SCSI Status: 02h\n\nSCSI Sense Info:\n"
        "--------------------------------------------------------------\n"
        "70 00 03 00 00 00 00 0A 00 00 00 00 11 00 00 00 00 00 \n\nin read 4\n";
    std::string sixteen;
    for (int k = 0; k < 15; ++k) {
        sixteen += "pass " + std::to_string(k) + " failed\n";
    }
    sixteen += "number of read retries exceeded maximum allowed\n";
    const auto lba = [](int32_t block) {
        return std::to_string(block) + ", " + std::to_string(block);
    };
    const int n = plain.requests;
    // Pass 4's last request reads from M - W - T(N - 1), where pass 2's
    // request 1 reads first. A failed request costs no time, and the
    // attempt pauses after it.
    const int32_t pass4Last = kFarEnd - (n - 1) * kBlocks;
    const int64_t failedPass4 = HardwarePass(plain, 4) - (kTurn + kMedia) + kPause;
    // Pass 2's last request: its region ends W blocks before the last one.
    const int32_t pass2Last = kFarEnd - kBlocks;

    const Config sameSector{.sameSector = true};
    const Config noCache{.cacheSpeed = false};
    const Config debug{.debug = true};
    const Config noRequests{.requests = 0};
    const Config untimed{.requests = 128, .cacheSpeed = false};
    // Configuration, the unit's changes, the text after the heading.
    const std::tuple<const char*, Config, std::string, std::string> cases[] = {
        {"same sector", sameSector, "{}",
         HardwareWorker(sameSector, "1 0").block + ScanAndUtilization(sameSector)},
        {"no cache-to-host", noCache, "{}",
         HardwareWorker(noCache, "1 0").block + ScanAndUtilization(noCache)},
        // Nothing timed: the figures are 0.0, and each pass still pauses.
        {"no requests", noRequests, "{}",
         HardwareWorker(noRequests, "1 0").block + ScanAndUtilization(noRequests)},
        {"128 requests", untimed, "{}",
         HardwareWorker(untimed, "1 0").block + ScanAndUtilization(untimed)},
        {"pass 4 fails twice", debug,
         R"({"faults": [{"op": "command", "lba": [)" + lba(pass4Last) +
             R"(], "nth": 2, "count": 2,
             "sense": "70 00 03 00 00 00 00 0a 00 00 00 00 11 00 00 00 00 00"}]})",
         retry + "pass 0 failed\n" + retry + "pass 1 failed\n" +
             HardwareWorker(debug, "1 0", {0, 0, 0, 2}, 2 * failedPass4).block +
             ScanAndUtilization(debug)},
        // Only the last request of a pass decides it; the failed first one
        // takes no time, and the second waits for the platter instead.
        {"an earlier request fails", plain,
         R"({"faults": [{"op": "command", "lba": [0, 0], "count": -1, "status": 2}]})",
         HardwareWorker(plain, "1 0", {0, 0, 0, 0}, -kMedia).block + ScanAndUtilization(plain)},
        {"sixteen failures end the run", plain,
         R"({"faults": [{"op": "command", "lba": [)" + lba(pass2Last) +
             R"(], "count": -1, "status": 2}]})",
         sixteen},
        // Every cache-to-host read is at byte 69120, block 135.
        {"cache-to-host read short", plain,
         R"({"faults": [{"op": "read", "lba": [135, 135], "nth": 133, "short": 512}]})",
         "Bytes readen 512 != TransferSize 69120\n" + ScanAndUtilization(plain)},
        // Its reads are at byte 69120 (block 135), which the scan's first
        // step also reads, once.
        {"cache-to-host read fails", plain,
         R"({"faults": [{"op": "read", "lba": [135, 135], "nth": 2, "error": )" + kIo + "}]}",
         "Error " + std::to_string(kIoError) + " reading \\\\.\\sim0\n" +
             ScanAndUtilization(plain)},
    };
    for (const auto& [label, config, unit, tail] : cases) {
        SCOPED_TRACE(label);
        testsupport::TempDir dir;
        const BenchRun run = RunBench(config, json::parse(unit), dir);
        EXPECT_EQ(run.tail, tail);
        const bool complete = tail.ends_with(Utilization(1));
        EXPECT_EQ(run.result.status, complete ? 0 : 1);
        EXPECT_EQ(run.resultFile, complete ? ResultFile(ScanRates(kStepKBytes)) : "");
    }
}

// A READ CAPACITY that fails leaves the workers 256-byte sectors and last
// block 0: 271 sectors a request, and every request of pass 2 at a
// negative address, which reaches the unit as a 32-bit pattern far beyond
// its end: the pass fails sixteen times.
TEST(BenchmarkRun, FailedReadCapacity) {
    const Config config;
    std::string sixteen;
    for (int k = 0; k < 15; ++k) {
        sixteen += "pass " + std::to_string(k) + " failed\n";
    }
    testsupport::TempDir dir;
    const BenchRun run = RunBench(config, json::parse(R"({
        "capacity": {"last_lba": 2097151, "block_length": 256},
        "faults": [{"op": "command", "opcode": "0x25", "error": 5}]})"),
                                  dir);
    EXPECT_EQ(run.tail, sixteen + "number of read retries exceeded maximum allowed\n");
    EXPECT_EQ(run.result.status, 1);
    EXPECT_NE(run.result.out.find("\n            READ CAPACITY failed: check is media present?\n"),
              std::string::npos);
}

// One software-level worker failing in each way it can.
TEST(BenchmarkRun, SoftwareWorkerFailures) {
    const Config config{.software = true, .requests = 9};
    const auto upTo = [&](int passes) { return Join(SoftwareCalls(config, 0, passes)); };
    const std::string shortLine = "Bytes readen 512 != RaidIoRequestSize 69120";
    const auto read = [](int nth, const std::string& effect) {
        return R"({"faults": [{"op": "read", "nth": )" + std::to_string(nth) + ", " + effect +
               "}]}";
    };
    // Reads 1 to 9 are pass 1, 10 to 18 pass 2, and so on.
    const std::tuple<const char*, std::string, std::string, int> cases[] = {
        {"pass 1 short", read(4, R"("short": 512)"), upTo(0) + shortLine + "\n", 0},
        {"pass 2 short at request 3", read(13, R"("short": 512)"),
         upTo(1) + shortLine + " in pass 3\n", 0},
        {"pass 3 short", read(19, R"("short": 512)"), upTo(2) + shortLine + "\n", 0},
        {"pass 4 short at request 8", read(36, R"("short": 512)"),
         upTo(3) + shortLine + " in pass 8\n", 0},
        // Block 135 is read by pass 1's request 1, pass 3's last request
        // and then pass 5's, all one transfer in.
        {"pass 5 short",
         R"({"faults": [{"op": "read", "lba": [135, 135], "nth": 3, "short": 512}]})",
         upTo(4) + shortLine + "\n", 0},
        {"pass 2 fails", read(10, "\"error\": " + kIo),
         upTo(1) + "Error " + std::to_string(kIoError) + " reading \\\\.\\sim0\n", 0},
        // This one ends the whole run before the worker prints anything.
        {"volume size fails", R"({"faults": [{"op": "disk_size", "error": )" + kIo + "}]}",
         "\nError " + std::to_string(kIoError) + " to get \\\\.\\sim0 drive free space.\n", 1},
    };
    for (const auto& [label, unit, workerText, status] : cases) {
        SCOPED_TRACE(label);
        testsupport::TempDir dir;
        const BenchRun run = RunBench(config, json::parse(unit), dir);
        EXPECT_EQ(run.result.status, status);
        EXPECT_EQ(run.tail, status == 0 ? workerText + ScanAndUtilization(config) : workerText);
    }
}

// The system's text for an error code, as the program prints it after its
// own line: with the text's line end and one of its own.
std::string SystemText(int code) {
#ifdef _WIN32
    char text[80];
    EXPECT_NE(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, static_cast<DWORD>(code), 0, text,
                             sizeof text, nullptr),
              0u);
    return std::string(text) + "\n";
#else
    return std::string(std::strerror(code)) + "\n\n";
#endif
}

// A worker that cannot open the unit, or finds it not ready, ends the run.
// The second open or TEST UNIT READY of the process is the first worker's.
TEST(BenchmarkRun, WorkersThatCannotStart) {
    const std::string openFails = R"({"faults": [{"op": "open", "nth": 2, "error": 2}]})";
    const std::tuple<const char*, bool, std::string, std::string> cases[] = {
        {"hardware open", false, openFails,
         "error opening ScsiPort. error: " + std::to_string(kNotFoundError) + "\n" +
             SystemText(kNotFoundError)},
        {"software open", true, openFails,
         "error opening ScsiPort. error: " + std::to_string(kNotFoundError) + "\n" +
             SystemText(kNotFoundError)},
        {"not ready", false,
         R"({"faults": [{"op": "command", "opcode": "0x00", "nth": 2, "status": 2}]})",
         "\nError: Unit not ready!"},
    };
    for (const auto& [label, software, unit, tail] : cases) {
        SCOPED_TRACE(label);
        testsupport::TempDir dir;
        const BenchRun run = RunBench(Config{.software = software}, json::parse(unit), dir);
        EXPECT_EQ(run.tail, tail);
        EXPECT_EQ(run.result.status, 1);
    }
}

// A transfer of the adapter's pages less one sector must hold a whole
// sector: the run ends before any worker starts otherwise. One page still
// holds one 2048-byte block.
TEST(BenchmarkRun, AdapterLimitsTheTransfer) {
    const std::tuple<int, int, std::string, int> cases[] = {
        {0, 512,
         "\nbenchmark refused: MaximumPhysicalPages 0 x 4096 - SectorSize 512 leaves no whole "
         "sector to read\n",
         1},
        {1, 4096,
         "\nbenchmark refused: MaximumPhysicalPages 1 x 4096 - SectorSize 4096 leaves no whole "
         "sector to read\n",
         1},
        {1, 2048,
         "\n                        thread index: 1 0 0(1) 0(2) 0(3) 0(4) 0(5)\n"
         "    Single transfer size (in KBytes): 2.0\n",
         0},
    };
    for (const auto& [pages, block, start, status] : cases) {
        SCOPED_TRACE(block);
        testsupport::TempDir dir;
        const BenchRun run = RunBench(Config{.requests = 129},
                                      json{{"adapter", {{"max_physical_pages", pages}}},
                                           {"capacity", {{"block_length", block}}}},
                                      dir);
        EXPECT_TRUE(run.tail.starts_with(start)) << run.tail;
        EXPECT_EQ(run.result.status, status);
        EXPECT_EQ(run.tail == start, status == 1);
    }
}

// The linear scan's own endings: steps it refuses, a volume smaller than a
// step, reads and controls that fail, a volume of 4 GiB or more.
TEST(BenchmarkRun, ScanEndings) {
    const Config plain;
    const std::string worker = HardwareWorker(plain, "1 0").block + "\n";
    const std::string listing = Listing(ScanRates(kStepKBytes));
    const std::string utilization = Utilization(1);
    // The scan's open is the third of the run, after the report's and the
    // worker's; its reads come after the worker's 133 cache-to-host reads.
    const std::tuple<const char*, uint32_t, std::string, std::string> cases[] = {
        {"step of 0", 0, "{}",
         "\nlinear scan refused: SingleStepInKBytes is 0, the step must be at least 1 KByte\n"},
        {"step too large", 4194304, "{}",
         "\nlinear scan refused: SingleStepInKBytes 4194304 is above the largest step of "
         "4194303 KBytes\n"},
        {"volume smaller than a step", 8192, "{}",
         "\nerror " + std::to_string(kZeroAllocationError) + " allocating memory\n"},
        {"cannot open", kStepKBytes, R"({"faults": [{"op": "open", "nth": 3, "error": 2}]})",
         "\nunable to get valid handle to \\\\.\\sim0\n"},
        {"no size", kStepKBytes, R"({"faults": [{"op": "disk_size", "error": )" + kIo + "}]}",
         "\nerror " + std::to_string(kIoError) + " unable to get device size\n"},
        {"no geometry", kStepKBytes, R"({"faults": [{"op": "geometry", "error": )" + kIo + "}]}",
         "\nnon critical error " + std::to_string(kIoError) + " recieving drive geometry\n" +
             listing},
        {"read fails at step 2", kStepKBytes,
         R"({"faults": [{"op": "read", "nth": 136, "error": )" + kIo + "}]}",
         kGeometry + "error " + std::to_string(kIoError) + " reading \\\\.\\sim0\n"},
        {"read short at step 1", kStepKBytes,
         R"({"faults": [{"op": "read", "nth": 135, "short": 4096}]})",
         kGeometry + "\nbytes readen 4096 != IoRequestSize 138240\n"},
        // 6 GiB in steps of 1 GiB: the capacity's upper half shows; the
        // first read fails.
        {"6 GiB", 1048576,
         R"({"volume_bytes": 6442450944, "faults": [{"op": "read", "nth": 134, "error": )" + kIo +
             "}]}",
         SetLine(SetLine(kGeometry, "Cylinders: ", "783"),
                 "Logical capacity (in Bytes): ", "0x0000000180000000 (6442450944)") +
             "error " + std::to_string(kIoError) + " reading \\\\.\\sim0\n"},
    };
    for (const auto& [label, step, unit, scan] : cases) {
        SCOPED_TRACE(label);
        testsupport::TempDir dir;
        const Config config{.stepKBytes = step};
        const BenchRun run = RunBench(config, json::parse(unit), dir);
        EXPECT_EQ(run.tail, worker + scan + utilization);
        EXPECT_EQ(run.result.status, 0);
        EXPECT_EQ(run.resultFile, scan.ends_with(listing) ? ResultFile(ScanRates(step)) : "");
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
        const Config plain;
        const BenchRun run = RunBench(plain, json::object(), dir);
        EXPECT_EQ(run.tail, HardwareWorker(plain, "1 0").block + "\n" + kGeometry +
                                Listing(ScanRates(kStepKBytes)) +
                                "\nfile velkrand.rst creation failed with error code " +
                                std::to_string(kFileExistsError) + "\n" + Utilization(1));
        EXPECT_EQ(run.result.status, 0);
        EXPECT_EQ(std::filesystem::is_symlink(path), kind != kFile);
        EXPECT_EQ(run.resultFile, kind == kDanglingLink ? "" : old);
        EXPECT_EQ(std::filesystem::exists(dir.path() + "/target.rst"), kind == kLink);
    }
}

// After the utilization lines, on standard error: a note when the probes
// lie within one tick of each other or the idle one took fewer than ten
// (a tick is 1 ms on the virtual clock), and the workers' processor time.
TEST(BenchmarkRun, ProcessorTimeLines) {
    const Config hardware;
    const Config software{.software = true, .requests = 9};
    const Config untimed{.requests = 128, .cacheSpeed = false};
    struct Case {
        const char* label;
        Config config;
        json timing;
        int voidTime;
        int ioTime;
        bool note;
        CpuCost cost;
        const char* line = nullptr;  // the workers' line, where the helper cannot work it out
    };
    const Case cases[] = {
        {"a tick apart", hardware, {{"cpu_probe_load_percent", 5}}, 20, 21, true, {}},
        {"two ticks apart", hardware, {{"cpu_probe_load_percent", 10}}, 20, 22, false, {}},
        {"idle probe of nine ticks",
         hardware,
         {{"cpu_probe_ms", 9}, {"cpu_probe_load_percent", 100}},
         9,
         18,
         true,
         {}},
        {"idle probe of ten ticks",
         software,
         {{"cpu_probe_ms", 10}, {"cpu_probe_load_percent", 100}},
         10,
         20,
         false,
         {}},
        {"other costs",
         software,
         {{"cpu_user_us", 7.5}, {"cpu_system_us", 0.5}},
         20,
         25,
         false,
         {7.5, 0.5}},
        {"nothing timed", untimed, json::object(), 20, 25, false, {}},
        // The surface passes time nothing; the cache-to-host pass times 127
        // reads of 1 ms each from a system cache at 69.12 MB/s.
        {"only cache-to-host timed",
         Config{.requests = 128},
         {{"host_cache_mb_s", 69.12}},
         20,
         25,
         false,
         {},
         "velkrand: workers' CPU in timed passes: 1.50% of 127 ms elapsed (user 0.30%, system "
         "1.20%), 15.00 us per request (127 requests)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        testsupport::TempDir dir;
        const BenchRun run = RunBench(c.config, {{"timing", c.timing}}, dir);
        EXPECT_TRUE(run.result.out.ends_with(UtilizationLines(c.voidTime, c.ioTime)))
            << run.result.out;
        EXPECT_EQ(run.result.err, (c.note ? ProbeNote(c.voidTime, c.ioTime) : "") +
                                      (c.line ? c.line : WorkerCpuLine(c.config, c.cost)));
    }
}

// With a terminal as standard error the scan draws its progress between
// steps, at most every 250 ms of its clock and never after the last one,
// and removes it before the listing. Standard output stays as it is with a
// pipe, and a pipe gets no progress.
TEST(BenchmarkRun, ScanProgressOnATerminal) {
#ifdef _WIN32
    GTEST_SKIP() << "needs a pseudo-terminal";
#else
    // Media at 6.912 MB/s: 10 ms a transfer, 20 s a step of 2000 transfers
    // (138240000 bytes), the first 5 ms more for half a revolution.
    const Config config{.requests = 1, .cacheSpeed = false, .stepKBytes = 135000};
    const json unit = {{"volume_bytes", 5 * 138240000},
                       {"timing", {{"outer_mb_s", 6.912}, {"inner_mb_s", 6.912}}}};
    testsupport::TempDir piped;
    testsupport::TempDir terminal;
    const BenchRun pipeRun = RunBench(config, unit, piped);
    const BenchRun terminalRun = RunBench(config, unit, terminal, true);
    EXPECT_EQ(terminalRun.result.status, 0);
    EXPECT_EQ(terminalRun.result.out, pipeRun.result.out);
    // 138240000 / 20005 and / 20000 bytes per millisecond.
    EXPECT_NE(pipeRun.result.out.find(Listing({6910, 6912, 6912, 6912, 6912})), std::string::npos);
    // After k of 5 steps, in 20005 + 20000 (k - 1) ms: that much again for
    // each step left, by the steps done so far.
    const std::string drawn[] = {
        "velkrand: linear scan  20%, 0.14 of 0.69 GB, 6910 KB/s, 0:01:20 left",  // 80020 ms
        "velkrand: linear scan  40%, 0.28 of 0.69 GB, 6912 KB/s, 0:01:00 left",  // 60007
        "velkrand: linear scan  60%, 0.41 of 0.69 GB, 6912 KB/s, 0:00:40 left",  // 40003
        "velkrand: linear scan  80%, 0.55 of 0.69 GB, 6912 KB/s, 0:00:20 left",  // 20001
    };
    std::string progress;
    for (const std::string& line : drawn) {
        progress += "\r" + line + "\r";
    }
    progress += "\r" + std::string(drawn[3].size(), ' ') + "\r";
    EXPECT_EQ(terminalRun.result.err, progress + WorkerCpuLine(config));
    EXPECT_EQ(pipeRun.result.err, WorkerCpuLine(config));
#endif
}

// On the real clock the figures vary, but not their form: the workers' line
// counts exactly the timed requests, and each worker used at most all of
// one processor; what the main thread draws of the workers' progress while
// it waits is removed before the lines.
TEST(BenchmarkRun, RealClockProcessorTimeAndProgress) {
#ifdef _WIN32
    GTEST_SKIP() << "needs a pseudo-terminal";
#else
    // At 300 rpm, the slowest a profile may give, half a revolution takes
    // 100 ms: each of the four timed reads of pass 4 waits for it, in both
    // workers (which share the medium on the real clock), and so does the
    // first read of most other passes. No scan follows, so the workers' line must
    // be gone by the time the lines below come.
    const Config config{.threads = 2, .software = true, .requests = 5, .stepKBytes = 0};
    testsupport::TempDir dir;
    const BenchRun run =
        RunBench(config, json::object(), dir, true,
                 {{"volume_bytes", 4194304}, {"timing", {{"clock", "real"}, {"rpm", 300}}}});
    EXPECT_EQ(run.result.status, 0);
    // Drawings of the workers' line, each "\r", the text and "\r", then the
    // blanking of the longest: returns with texts between them.
    const std::string& err = run.result.err;
    const size_t lines = err.rfind('\r') + 1;
    std::vector<std::string> texts;
    for (size_t at = 1; at < lines; at = err.find('\r', at) + 2) {
        texts.push_back(err.substr(at, err.find('\r', at) - at));
    }
    // The main thread waits at the idle priority: on a busy machine it may
    // never get to draw. What it draws has its form, and is removed.
    EXPECT_NE(texts.size(), 1u) << err;
    if (!texts.empty()) {
        EXPECT_EQ(texts.back().find_first_not_of(' '), std::string::npos) << err;
    }
    int done = 0;
    for (size_t k = 0; k + 1 < texts.size(); ++k) {
        int percent = 0;
        int passes = 0;
        EXPECT_EQ(std::sscanf(texts[k].c_str(), "velkrand: workers %d%%, %d of %d passes", &percent,
                              &done, &passes),
                  3)
            << texts[k];
        EXPECT_EQ(passes, 10);
        EXPECT_EQ(percent, done * 10);
    }
    // A drawing comes at the earliest 250 ms into the wait, after the
    // first passes ended.
    EXPECT_TRUE(texts.empty() || done >= 1);
    // Then the note, perhaps, and the workers' processor time.
    std::string rest = err.substr(lines);
    const char* note =
        "velkrand: the CPU utilization above is not significant: the probes took %*u ms idle and "
        "%*u ms loaded, on a tick counter that moves in steps of %*u ms\n%n";
    int length = 0;
    if (std::sscanf(rest.c_str(), note, &length) == 0 && length > 0) {
        rest.erase(0, static_cast<size_t>(length));
    }
    double share = 0;
    int elapsed = 0;
    double user = 0;
    double system = 0;
    int requests = 0;
    length = 0;
    ASSERT_EQ(std::sscanf(rest.c_str(),
                          "velkrand: workers' CPU in timed passes: %lf%% of %d ms elapsed (user "
                          "%lf%%, system %lf%%), %*f us per request (%d requests)\n%n",
                          &share, &elapsed, &user, &system, &requests, &length),
              5)
        << rest;
    EXPECT_EQ(static_cast<size_t>(length), rest.size()) << rest;
    EXPECT_EQ(requests, 40);
    EXPECT_LE(share, 200.0);
    EXPECT_GE(elapsed, 600);  // 2 x 4 x 100 ms, less what sleeps carry over
    EXPECT_NEAR(user + system, share, 0.015);
#endif
}

}  // namespace
