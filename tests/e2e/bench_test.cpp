// Whole runs of the benchmark, the scan and the result file through the built
// program on the virtual clock, every figure exact from the unit's timing
// model. A worker's transfer (17 pages less a 512-byte sector, 69120 bytes)
// takes 1 ms streamed at 69.12 MB/s, 5 ms more for half a revolution (6000
// rpm) anywhere else, 0.5 ms from the system cache; seeks and overheads take
// none, and the 64 KiB buffer never holds a transfer. The CPU probe takes 20
// ms idle and 5 ms more a worker; a command or read costs 3 us of user and 12
// us of system time. Faults fail with error 23.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <numeric>
#include <set>
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
const std::string kCannotOpen =
    "error opening ScsiPort. error: 2\n" + std::string(std::strerror(2)) + "\n\n";
#endif

// Microseconds: a transfer streamed, half a revolution, a transfer from
// the system cache, the pause after each hardware-level pass.
constexpr int64_t kMedia = 1000, kTurn = 5000, kCached = 500, kPause = 10000;
// The transfer, its blocks, and M - W: the last block less 16 MiB of blocks.
constexpr int32_t kTransfer = 69120, kBlocks = kTransfer / 512, kFarEnd = 2097151 - 32768;

// The volume, 32 MiB, is smaller than the medium the commands read.
const json kGoldenUnit = json::parse(R"({"volume_bytes": 33554432, "timing": {"clock": "virtual",
    "rpm": 6000, "outer_mb_s": 69.12, "inner_mb_s": 69.12, "average_seek_ms": 0,
    "command_overhead_us": 0, "cache_kb": 64, "interface_mb_s": 1000, "host_cache_mb_s": 138.24}})");

struct Config {
    uint32_t threads = 1, requests = 133, stepKBytes = 135;  // two transfers: 2 ms a step
    bool software = false, sameSector = false, cacheSpeed = true, debug = false;
};

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A rate as the workers print it: bytes per millisecond, 0.0 without time.
std::string Rate(int64_t bytes, int64_t micros) {
    return Format("%.1f", micros == 0 ? 0.0 : double(bytes) / double(micros / 1000));
}

// Microseconds of requests from to N - 1 of a hardware-level worker's pass.
// Passes 1 and 2 read forward and stream after their first request; passes
// 3 and 4 read backward and wait for every one, as same-sector reads do.
int64_t HardwarePass(const Config& config, int pass, int64_t from = 0) {
    int64_t micros = 0;
    for (int64_t i = from; i < config.requests; ++i) {
        micros += !config.sameSector && pass <= 2 && i > 0 ? kMedia : kTurn + kMedia;
    }
    return micros;
}

// A hardware-level worker's block: order, index, retries, failed attempts.
std::string HardwareWorker(const Config& config, const std::string& who = "1 0",
                           const std::string& retries = "0(1) 0(2) 0(3) 0(4)",
                           int64_t failedMicros = 0) {
    const int64_t n = config.requests;
    std::string block = "\n                        thread index: " + who + " " + retries +
                        " 0(5)\n    Single transfer size (in KBytes): 67.5\n" +
                        "                           Test mode: " +
                        (config.sameSector ? "Same Sector I/O\n" : "Sequental I/O\n");
    const char* heads[] = {"\n                  Cache hit mode (Read-ahead Enabled)\n", "",
                           "\n                 Cache miss mode (Read-ahead Disabled)\n", ""};
    int64_t micros = failedMicros;
    for (int pass = 1; pass <= 4; ++pass) {
        micros += HardwarePass(config, pass) + kPause;
        block += heads[pass - 1] + std::string("    Surface-to-Cache (in KBytes/sec): ") +
                 Rate((n - 128) * kTransfer, HardwarePass(config, pass, 128)) +
                 " (at logical block " + (pass % 2 == 1 ? "0" : std::to_string(kFarEnd - kBlocks)) +
                 ")\n";
    }
    if (config.cacheSpeed) {
        // Read 0 goes to the medium, the others (all timed) to the system cache.
        const int64_t timed = n > 1 ? (n - 1) * kCached : 0;
        micros += (n > 0 ? kTurn + kMedia : 0) + timed;
        block +=
            "\n       Cache-to-Host (in KBytes/sec): " + Rate((n - 1) * kTransfer, timed) + "\n\n";
    }
    return block + "                    thread exec time: " + std::to_string(micros / 1000) + "\n";
}

// A software-level worker's print calls up to pass `passes`. Every read goes
// through the system cache: passes 1 and 2 stream from the medium, pass 3
// (one request above pass 1) finds all but its first request in the cache,
// pass 4 only its first one, pass 5 rereads a transfer of pass 1.
std::vector<std::string> SoftwareCalls(const Config& config, int64_t index, int passes = 5) {
    const int64_t n = config.requests;
    const int64_t first[] = {kTurn + kMedia, kTurn + kMedia, kTurn + kMedia, kCached, kCached};
    const int64_t each[] = {kMedia, kMedia, kCached, kTurn + kMedia, kCached};
    std::vector<std::string> calls = {
        "                        thread index: " + std::to_string(index) + "\n",
        "    Single transfer size (in KBytes): 67.0\n",
        "                           Test mode: Sequental I/O\n"};
    int64_t micros = 0;
    for (int pass = 1; pass <= passes; ++pass) {
        micros += first[pass - 1] + (n - 1) * each[pass - 1];
        const std::string rate = Rate((n - 1) * kTransfer, (n - 1) * each[pass - 1]);
        const std::string line = "    Surface-to-Cache (in KBytes/sec): " + rate + " ";
        if (pass == 1 || pass == 3) {
            calls.push_back(pass == 1 ? "\n                 Cache hit mode (Read-ahead Enabled)\n"
                                      : "                 Cache miss mode (Read-ahead Disabled)\n");
            calls.insert(calls.end(), {line, "at logical block 0\n"});
        } else if (pass == 5) {
            calls.push_back("       Cache-to-Host (in KBytes/sec): " + rate + "\n\n");
            calls.push_back(
                "                    thread exec time: " + std::to_string(micros / 1000) + "\n");
        } else {
            calls.insert(calls.end(), {line, "at logical block (?)\n\n"});
        }
    }
    return calls;
}

// Print calls of several workers interleave, each whole.
void ExpectInterleaved(std::string text, const std::vector<std::string>& calls) {
    for (const std::string& call : calls) {
        const size_t at = text.find(call);
        ASSERT_NE(at, std::string::npos) << call << " in " << text;
        text.erase(at, call.size());
    }
    EXPECT_EQ(text, "");
}

const std::string kGeometry =
    "                        Logical drive geometry\n"
    "                        ~~~~~~~~~~~~~~~~~~~~~~\n"
    "                           Cylinders: 4\n"  // 32 MiB of 255 x 63 sectors of 512 bytes
    "                               Heads: 255\n"
    "                             Sectors: 63\n"
    "                    Bytes per sector: 512\n"
    "         Logical capacity (in Bytes): 0x0000000002000000 (33554432)\n\n";

// The scan's 242 steps of two transfers (100352 bytes are left unread), 7 ms
// for the first, 2 ms each after it: its listing, or the result file (the
// table's length in bytes, then the rates, all little-endian).
std::string Scan(bool file) {
    std::string text;
    for (uint32_t k = 0; k <= 242; ++k) {
        const uint32_t value = k == 0 ? 242 * 4 : 138240 / (k == 1 ? 7u : 2u);
        char line[64];
        std::snprintf(line, sizeof line, "            %08u (in KBytes/sec): %08u\n", k - 1, value);
        for (int byte = 0; file && byte < 4; ++byte) {
            text += static_cast<char>(value >> (8 * byte));
        }
        text += file || k == 0 ? "" : line;
    }
    return text;
}
const std::string kListing = Scan(false);
const std::string kResultFile = Scan(true);

// The utilization lines of probes of 20 ms idle and ioTime loaded.
std::string Utilization(int64_t ioTime = 25) {
    return "\n        CPU Utilization (in percent): " +
           Format("%.2f", static_cast<double>(ioTime) * 5.0 - 100.0) +
           "\n                           void time: 20\n                            I/O time: " +
           std::to_string(ioTime) + "\n";
}

// The line end after the workers, the scan, and the utilization.
std::string ScanAndUtilization(int64_t workers = 1) {
    return "\n" + kGeometry + kListing + Utilization(20 + 5 * workers);
}

std::string Fault(const std::string& op, const std::string& rest) {
    return R"({"faults": [{"op": ")" + op + "\", " + rest + "}]}";
}

std::string Join(const std::vector<std::string>& calls) {
    return std::accumulate(calls.begin(), calls.end(), std::string());
}

// The workers' processor-time line: timed requests at 3 + 12 us each.
std::string CpuLine(int64_t requests, int64_t ms) {
    const auto share = [&](double us) {
        return Format("%.2f", us * static_cast<double>(requests) / static_cast<double>(ms * 10));
    };
    return "velkrand: workers' CPU in timed passes: " + share(15) + "% of " + std::to_string(ms) +
           " ms elapsed (user " + share(3) + "%, system " + share(12) +
           "%), 15.00 us per request (" + std::to_string(requests) + " requests)\n";
}

struct BenchRun {
    testsupport::ProcessResult result;
    std::string tail;  // everything after the benchmark heading's underline
    std::string resultFile;
};

BenchRun RunBench(const Config& c, const std::string& changes = "{}",
                  const testsupport::TempDir& dir = testsupport::TempDir(),
                  bool onTerminal = false) {
    json profile = kGoldenUnit;
    profile.merge_patch(json::parse(changes));
    const Values values = {
        {"NumberOfThreads", Dword(c.threads)},      {"SoftwareIo", Dword(c.software)},
        {"NumberOfIoRequests", Dword(c.requests)},  {"SameSectorIo", Dword(c.sameSector)},
        {"ShowCacheSpeed", Dword(c.cacheSpeed)},    {"DebugOutput", Dword(c.debug)},
        {"SingleStepInKBytes", Dword(c.stepKBytes)}};
    BenchRun run{RunVelkrand(dir, values, &profile, onTerminal), "", ""};
    run.tail = Between(run.result.out, " ~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\n", "");
    run.resultFile = testsupport::ReadFile(dir.path() + "/velkrand.rst");
    return run;
}

// Whole runs with 1, 2 and 16 workers of each kind. A hardware-level worker
// of 133 requests times 5 in each surface pass (5, 5, 30 and 30 ms) and 132
// cache-to-host reads (66 ms); a software-level one 8 of 9 in each pass (8,
// 8, 4, 48 and 4 ms).
TEST(BenchmarkRun, WholeRunsAreExact) {
    for (const bool software : {false, true}) {
        for (const uint32_t threads : {1u, 2u, 16u}) {
            SCOPED_TRACE(testing::Message() << "software " << software << ", " << threads);
            const Config config{
                .threads = threads, .requests = software ? 9u : 133u, .software = software};
            const BenchRun run = RunBench(config);
            EXPECT_EQ(run.result.status, 0);
            EXPECT_EQ(run.result.err, software ? CpuLine(40 * threads, 72 * threads)
                                               : CpuLine(152 * threads, 136 * threads));
            EXPECT_EQ(run.resultFile, kResultFile);
            const std::string after = ScanAndUtilization(threads);
            ASSERT_TRUE(run.tail.ends_with(after)) << run.tail;
            const std::string workers = run.tail.substr(0, run.tail.size() - after.size());
            // Every worker measures alike; they start and report in any order,
            // a hardware-level report numbered as it is made, then its index.
            std::vector<std::string> calls;
            std::set<int> indices, expected;
            for (uint32_t k = 0; k < threads; ++k) {
                expected.insert(int(k));
                if (software) {
                    const std::vector<std::string> worker = SoftwareCalls(config, k);
                    calls.insert(calls.end(), worker.begin(), worker.end());
                    continue;
                }
                const std::string order = "index: " + std::to_string(k + 1) + " ";
                int index = -1;
                if (const size_t at = workers.find(order); at != std::string::npos) {
                    std::sscanf(workers.c_str() + at, (order + "%d").c_str(), &index);
                }
                indices.insert(index);
                calls.push_back(HardwareWorker(config, order.substr(7) + std::to_string(index)));
            }
            EXPECT_EQ(software ? expected : indices, expected);
            EXPECT_EQ(threads == 1 ? workers : Join(calls), Join(calls));
            ExpectInterleaved(workers, calls);
        }
    }
}

// Workers in other modes, retrying and failing, and workers that cannot start.
TEST(BenchmarkRun, WorkersToTheirEnd) {
    const Config plain;
    const Config software{.requests = 9, .software = true};
    const Config debug{.debug = true};
    const Config sameSector{.sameSector = true};
    const Config noRequests{.requests = 0, .cacheSpeed = false};
    const std::string retry =
        "\nStrange reaction: SCSI Status: 02h\n\nSCSI Sense Info:\n"
        "--------------------------------------------------------------\n"
        "70 00 03 00 00 00 00 0A 00 00 00 00 11 00 00 00 00 00 \n\nin read 4\n";
    std::string sixteen;
    for (int k = 0; k < 15; ++k) {
        sixteen += "pass " + std::to_string(k) + " failed\n";
    }
    sixteen += "number of read retries exceeded maximum allowed\n";
    // Pass 4's last request reads where pass 2's request 1 does; pass 2's
    // last ends W blocks before the last one. A failed request takes no time.
    const std::string pass4Last = std::to_string(kFarEnd - 132 * kBlocks);
    const std::string pass2Last = std::to_string(kFarEnd - kBlocks);
    const int64_t failedPass4 = HardwarePass(plain, 4) - (kTurn + kMedia) + kPause;
    const auto upTo = [&](int passes) { return Join(SoftwareCalls(software, 0, passes)); };
    const std::string readen = "Bytes readen 512 != RaidIoRequestSize 69120";
    const std::string refused = "\nbenchmark refused: MaximumPhysicalPages 1 x 4096 - SectorSize ";
    const std::string ok = ScanAndUtilization();
    const std::string util = Utilization();
    const std::tuple<const char*, Config, std::string, std::string> cases[] = {
        {"same sector", sameSector, "{}", HardwareWorker(sameSector) + ok},
        // Nothing timed: the figures are 0.0, and each pass still pauses.
        {"no requests", noRequests, "{}", HardwareWorker(noRequests) + ok},
        {"pass 4 fails twice", debug,
         Fault("command", R"("lba": [)" + pass4Last + ", " + pass4Last + R"(], "nth": 2,
             "count": 2, "sense": "70 00 03 00 00 00 00 0a 00 00 00 00 11 00 00 00 00 00")"),
         retry + "pass 0 failed\n" + retry + "pass 1 failed\n" +
             HardwareWorker(plain, "1 0", "0(1) 0(2) 0(3) 2(4)", 2 * failedPass4) + ok},
        // Only the last request of a pass decides it; the failed first one
        // takes no time, and the second waits for the platter instead.
        {"an earlier request fails", plain,
         Fault("command", R"("lba": [0, 0], "count": -1, "status": 2)"),
         HardwareWorker(plain, "1 0", "0(1) 0(2) 0(3) 0(4)", -kMedia) + ok},
        {"sixteen failures end the run", plain,
         Fault("command",
               R"("lba": [)" + pass2Last + ", " + pass2Last + R"(], "count": -1, "status": 2)"),
         sixteen},
        // Every cache-to-host read is at byte 69120, block 135, which the
        // scan's first step also reads, once.
        {"cache-to-host read short", plain,
         Fault("read", R"("lba": [135, 135], "nth": 133, "short": 512)"),
         "Bytes readen 512 != TransferSize 69120\n" + ok},
        {"cache-to-host read fails", plain,
         Fault("read", R"("lba": [135, 135], "nth": 2, "error": 23)"),
         "Error 23 reading \\\\.\\sim0\n" + ok},
    // The second open or TEST UNIT READY is the first worker's; the system's
    // text for the error follows (worded differently by wine and Windows).
#ifndef _WIN32
        {"hardware open", plain, Fault("open", R"("nth": 2, "error": 2)"), kCannotOpen},
        {"software open", software, Fault("open", R"("nth": 2, "error": 2)"), kCannotOpen},
#endif
        {"not ready", plain, Fault("command", R"("opcode": "0x00", "nth": 2, "status": 2)"),
         "\nError: Unit not ready!"},
        {"one page of 4096 bytes", plain,
         R"({"adapter": {"max_physical_pages": 1}, "capacity": {"block_length": 4096}})",
         refused + "4096 leaves no whole sector to read\n"},
        // A software-level worker's reads 1 to 9 are pass 1, 10 to 18 pass 2.
        {"pass 2 short at request 3", software, Fault("read", R"("nth": 13, "short": 512)"),
         upTo(1) + readen + " in pass 3\n" + ok},
        {"pass 4 short at request 8", software, Fault("read", R"("nth": 36, "short": 512)"),
         upTo(3) + readen + " in pass 8\n" + ok},
        // Block 135 is read by pass 1's request 1, pass 3's last request
        // and then pass 5's, all one transfer in.
        {"pass 5 short", software, Fault("read", R"("lba": [135, 135], "nth": 3, "short": 512)"),
         upTo(4) + readen + "\n" + ok},
        {"pass 2 fails", software, Fault("read", R"("nth": 10, "error": 23)"),
         upTo(1) + "Error 23 reading \\\\.\\sim0\n" + ok},
        {"volume size fails", software, Fault("disk_size", R"("error": 23)"),
         "\nError 23 to get \\\\.\\sim0 drive free space.\n"},
    };
    for (const auto& [label, config, unit, tail] : cases) {
        SCOPED_TRACE(label);
        const BenchRun run = RunBench(config, unit);
        EXPECT_EQ(run.tail, tail);
        EXPECT_EQ(run.result.status, tail.ends_with(util) ? 0 : 1);
        EXPECT_EQ(run.resultFile, tail.ends_with(kListing + util) ? kResultFile : "");
    }
}

// The scan's own endings, and a result file in its place, which stays as it
// is. Its open is the run's third, its reads follow 133 of the worker.
TEST(BenchmarkRun, ScanEndings) {
    const std::string refused = "\nlinear scan refused: SingleStepInKBytes ";
    const std::tuple<const char*, uint32_t, std::string, std::string> cases[] = {
        {"step of 0", 0, "{}", refused + "is 0, the step must be at least 1 KByte\n"},
        {"step too large", 4194304, "{}",
         refused + "4194304 is above the largest step of 4194303 KBytes\n"},
        {"volume smaller than the largest step", 4194303, "{}",
         "\nerror " + std::to_string(kZeroAllocationError) + " allocating memory\n"},
        {"cannot open", 135, Fault("open", R"("nth": 3, "error": 2)"),
         "\nunable to get valid handle to \\\\.\\sim0\n"},
        {"no size", 135, Fault("disk_size", R"("error": 23)"),
         "\nerror 23 unable to get device size\n"},
        {"no geometry", 135, Fault("geometry", R"("error": 23)"),
         "\nnon critical error 23 recieving drive geometry\n" + kListing},
        {"read fails at step 2", 135, Fault("read", R"("nth": 136, "error": 23)"),
         kGeometry + "error 23 reading \\\\.\\sim0\n"},
        {"read short at step 1", 135, Fault("read", R"("nth": 135, "short": 4096)"),
         kGeometry + "\nbytes readen 4096 != IoRequestSize 138240\n"},
        // 6 GiB in steps of 1 GiB: the capacity's upper half shows.
        {"6 GiB", 1048576,
         R"({"volume_bytes": 6442450944, "faults": [{"op": "read", "nth": 134, "error": 23}]})",
         SetLine(SetLine(kGeometry, "Cylinders: ", "783"),
                 "Logical capacity (in Bytes): ", "0x0000000180000000 (6442450944)") +
             "error 23 reading \\\\.\\sim0\n"},
        {"file exists", 135, "{}",
         kGeometry + kListing + "\nfile velkrand.rst creation failed with error code " +
             std::to_string(kFileExistsError) + "\n"},
    };
    const std::string old("old result\0\xff\x01", 13);
    for (const auto& [label, step, unit, scan] : cases) {
        SCOPED_TRACE(label);
        const testsupport::TempDir dir;
        const bool exists = std::string(label) == "file exists";
        if (exists) {
            dir.Write("velkrand.rst", old);
        }
        const BenchRun run = RunBench({.stepKBytes = step}, unit, dir);
        EXPECT_EQ(run.tail, HardwareWorker(Config()) + "\n" + scan + Utilization());
        EXPECT_EQ(run.result.status, 0);
        EXPECT_EQ(run.resultFile, exists ? old : scan.ends_with(kListing) ? kResultFile : "");
    }
}

// On a terminal the scan draws its progress between steps and removes it when
// a read fails; then a note for probes a tick (1 ms) apart, and the workers'
// processor time.
TEST(BenchmarkRun, ScanProgressOnATerminal) {
#ifdef _WIN32
    GTEST_SKIP() << "needs a pseudo-terminal";
#else
    // Media at 6.912 MB/s: 20 s a step of 2000 transfers, the first 5 ms more;
    // the worker reads nothing through the file interface; step 5 fails.
    const Config config{.requests = 1, .stepKBytes = 135000, .cacheSpeed = false};
    const BenchRun run = RunBench(config, R"({"volume_bytes": 691200000, "faults": [{"op": "read",
        "nth": 5, "error": 23}], "timing": {"outer_mb_s": 6.912, "inner_mb_s": 6.912,
        "cpu_probe_load_percent": 5}})",
                                  testsupport::TempDir(), true);
    EXPECT_TRUE(run.tail.ends_with("error 23 reading \\\\.\\sim0\n" + Utilization(21)));
    // After k of 5 steps, in 20005 + 20000 (k - 1) ms: as long again per step
    // left by k; 138240000 bytes / 20005 and / 20000 per millisecond.
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
    const std::string notes =
        "velkrand: the CPU utilization above is not significant: the probes took 20 ms idle and "
        "21 ms loaded, on a tick counter that moves in steps of 1 ms\n"
        "velkrand: workers' CPU in timed passes: none, no request was timed\n";
    EXPECT_EQ(run.result.err, progress + "\r" + std::string(drawn[3].size(), ' ') + "\r" + notes);
#endif
}

}  // namespace
