// The benchmark, the linear scan and the result file, through the built
// program and the simulated unit without delays.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "e2e/bench_util.h"
#include "support/capture.h"

namespace {

using namespace benchtest;

std::string FailedAttempts(int from, int to) {
    std::string lines;
    for (int k = from; k < to; ++k) {
        lines += "pass " + std::to_string(k) + " failed\n";
    }
    return lines;
}

constexpr const char* kRetriesExceeded = "number of read retries exceeded maximum allowed\n";

std::set<int> Numbers(int first, int last) {
    std::set<int> numbers;
    for (int i = first; i <= last; ++i) {
        numbers.insert(i);
    }
    return numbers;
}

// The hardware-level workers' blocks at the start of masked: each whole and
// as expected, order numbers 1..n and indexes 0..n-1 once each. Returns what
// follows them.
std::string TakeHardwareBlocks(const std::string& masked, int n) {
    const std::string lead = "\n                        thread index: ";
    std::set<int> orders;
    std::set<int> indexes;
    size_t at = 0;
    for (int k = 0; k < n; ++k) {
        int order = -1;
        int index = -1;
        if (masked.compare(at, lead.size(), lead) != 0 ||
            std::sscanf(masked.c_str() + at + lead.size(), "%d %d", &order, &index) != 2) {
            ADD_FAILURE() << "no block " << k << " at " << at << ":\n" << masked.substr(at);
            return "";
        }
        const std::string block = HardwareBlock(order, index, {0, 0, 0, 0}, true);
        EXPECT_EQ(masked.substr(at, block.size()), block);
        orders.insert(order);
        indexes.insert(index);
        at += block.size();
    }
    EXPECT_EQ(orders, Numbers(1, n));
    EXPECT_EQ(indexes, Numbers(0, n - 1));
    return masked.substr(at);
}

// The software-level workers print as they go, so several workers' print
// calls interleave; each call comes out whole. Every worker's pieces must be
// there, as often as one worker prints them, and nothing else.
void ExpectSoftwareWorkers(const std::string& workers, int n) {
    struct Piece {
        std::string text;
        int count;
    };
    std::vector<Piece> pieces = {
        {"    Single transfer size (in KBytes): 63.0\n", n},
        {"                           Test mode: Sequental I/O\n", n},
        {SoftwarePass(1).substr(0, SoftwarePass(1).find(kRateLine)), n},
        {SoftwarePass(3).substr(0, SoftwarePass(3).find(kRateLine)), n},
        {kRateLine, 4 * n},
        {"at logical block 0\n", 2 * n},
        {"at logical block (?)\n\n", 2 * n},
        {SoftwarePass(5), n},
        {kExecTime, n},
    };
    for (int i = 0; i < n; ++i) {
        pieces.push_back({"                        thread index: " + std::to_string(i) + "\n", 1});
    }
    size_t covered = 0;
    for (const Piece& piece : pieces) {
        int found = 0;
        for (size_t at = workers.find(piece.text); at != std::string::npos;
             at = workers.find(piece.text, at + piece.text.size())) {
            ++found;
        }
        EXPECT_EQ(found, piece.count) << piece.text;
        covered += static_cast<size_t>(found) * piece.text.size();
    }
    EXPECT_EQ(covered, workers.size()) << workers;
}

// Every worker completes with its own index (and, at the hardware level, its
// own report order number), the run goes on to the scan and ends with 0.
TEST(BenchmarkRun, WorkersOfBothKindsComplete) {
    struct Case {
        int software;
        int threads;
    };
    const Case cases[] = {{0, 1}, {0, 2}, {0, 16}, {1, 1}, {1, 2}, {1, 16}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.software ? "software" : "hardware") + " x" +
                     std::to_string(c.threads));
        testsupport::TempDir dir;
        Config config;
        config.threads = c.threads;
        config.software = c.software;
        // 16 pages: a transfer of 65024 bytes, 63.5 KBytes, printed whole.
        const json unit =
            c.software ? json{{"adapter", {{"max_physical_pages", 16}}}} : json::object();
        const BenchRun run = RunBench(config, unit, dir);
        EXPECT_EQ(run.result.status, 0);
        const std::string masked = Mask(run.tail);
        if (c.software == 0) {
            EXPECT_EQ(TakeHardwareBlocks(masked, c.threads), ScanAndUtilization());
        } else if (c.threads == 1) {
            EXPECT_EQ(masked,
                      SoftwareHeader(0) + SoftwarePasses(5) + kExecTime + ScanAndUtilization());
        } else {
            const std::string finish = ScanAndUtilization();
            ASSERT_GT(masked.size(), finish.size());
            EXPECT_EQ(masked.substr(masked.size() - finish.size()), finish);
            ExpectSoftwareWorkers(masked.substr(0, masked.size() - finish.size()), c.threads);
        }
        ExpectResultFile(run, 2, 16 * 1024 * 1024);
    }
}

// One hardware-level worker of 130 requests a pass (0 to 127 untimed) and
// 135 blocks a request. Its passes read, by request i:
//   pass 1: 135 i                 (0 ... 17415)
//   pass 2: 2046833 + 135 i       (... 2064248, the near-end position)
//   pass 3: 135 (130 - i)         (17550 ... 135)
//   pass 4: 2064383 - 135 i       (... 2046968)
// Faults by block pick the one request of a pass that decides it: the last.
TEST(BenchmarkRun, HardwarePassRetries) {
    struct Case {
        const char* label;
        json faults;
        int debug;
        int sameSector;
        std::string printed;  // before the report block
        std::vector<int> retries;
        int status;
    };
    const std::string mediumError =
        "\nStrange reaction: SCSI Status: 02h\n\n"
        "SCSI Sense Info:\n"
        "--------------------------------------------------------------\n"
        "70 00 03 00 00 00 00 0A 00 00 00 00 11 00 00 00 00 00 \n\n";
    const Case cases[] = {
        {"pass 1 fails twice, counted over all READs",
         {{{"op", "command"}, {"opcode", "0x28"}, {"nth", 130}, {"status", 2}},
          {{"op", "command"}, {"opcode", "0x28"}, {"nth", 260}, {"status", 2}}},
         0,
         0,
         FailedAttempts(0, 2),
         {2, 0, 0, 0},
         0},
        {"pass 2 fails fifteen times",
         {{{"op", "command"}, {"lba", {2064248, 2064248}}, {"count", 15}, {"status", 2}}},
         0,
         0,
         FailedAttempts(0, 15),
         {0, 15, 0, 0},
         0},
        // Pass 1's request 1 reads block 135 first.
        {"pass 3 fails twice",
         {{{"op", "command"}, {"lba", {135, 135}}, {"nth", 2}, {"count", 2}, {"status", 2}}},
         0,
         0,
         FailedAttempts(0, 2),
         {0, 0, 2, 0},
         0},
        // Pass 2's request 1 reads block 2046968 first. The sense comes back
        // although the GOOD answers before it left the block's sense length
        // at 0.
        {"pass 4 fails once, with diagnostics",
         {{{"op", "command"},
           {"lba", {2046968, 2046968}},
           {"nth", 2},
           {"sense", "70 00 03 00 00 00 00 0a 00 00 00 00 11 00 00 00 00 00"}}},
         1,
         0,
         mediumError + "in read 4\npass 0 failed\n",
         {0, 0, 0, 1},
         0},
        {"only an earlier request fails",
         {{{"op", "command"}, {"lba", {0, 0}}, {"count", -1}, {"status", 2}}},
         0,
         0,
         "",
         {0, 0, 0, 0},
         0},
        {"sixteen failures end the run",
         {{{"op", "command"}, {"lba", {2064248, 2064248}}, {"count", -1}, {"status", 2}}},
         0,
         0,
         FailedAttempts(0, 15) + kRetriesExceeded,
         {},
         1},
        {"same sector: every request of pass 1 reads block 0",
         {{{"op", "command"}, {"lba", {0, 0}}, {"count", -1}, {"status", 2}}},
         0,
         1,
         FailedAttempts(0, 15) + kRetriesExceeded,
         {},
         1},
        {"unit not ready in the worker",
         {{{"op", "command"}, {"opcode", "0x00"}, {"nth", 2}, {"status", 2}}},
         0,
         0,
         "\nError: Unit not ready!",
         {},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        testsupport::TempDir dir;
        Config config;
        config.debug = c.debug;
        config.sameSector = c.sameSector;
        const BenchRun run = RunBench(config, {{"faults", c.faults}}, dir);
        EXPECT_EQ(run.result.status, c.status);
        if (c.status == 0) {
            EXPECT_EQ(Mask(run.tail), c.printed +
                                          HardwareBlock(1, 0, c.retries, true, c.sameSector != 0) +
                                          ScanAndUtilization());
        } else {
            EXPECT_EQ(run.tail, c.printed);
            EXPECT_FALSE(run.resultFileExists);
        }
    }
}

// After a failed READ CAPACITY the workers see 256-byte sectors and last
// block 0: W = 65536 blocks, 271 blocks a request, and every address of
// pass 2 below 0. The unit, with 256-byte blocks itself, rejects them.
TEST(BenchmarkRun, FailedCapacityDrivesPassTwoBelowBlockZero) {
    const json readCapacityFails = {{"op", "command"}, {"opcode", "0x25"}, {"error", 5}};
    // Pass 2's last request: 0 - 65536 - 271 x 130 + 271 x 129 = -65807.
    const json lastOfPassTwo = {
        {"op", "command"}, {"lba", {4294901489u, 4294901489u}}, {"count", -1}, {"status", 8}};
    std::string busy;
    for (int k = 0; k < 16; ++k) {
        busy += "\nStrange reaction: SCSI Status: 08h\n\nin read 2\n";
        busy += k < 15 ? FailedAttempts(k, k + 1) : kRetriesExceeded;
    }
    struct Case {
        const char* label;
        json faults;
        int debug;
        std::string printed;
    };
    const Case cases[] = {
        {"out of range", {readCapacityFails}, 0, FailedAttempts(0, 15) + kRetriesExceeded},
        {"the address as its 32-bit pattern", {readCapacityFails, lastOfPassTwo}, 1, busy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        testsupport::TempDir dir;
        Config config;
        config.debug = c.debug;
        const BenchRun run =
            RunBench(config, {{"capacity", {{"block_length", 256}}}, {"faults", c.faults}}, dir);
        EXPECT_EQ(run.tail, c.printed);
        EXPECT_EQ(run.result.status, 1);
    }
}

// A failed cache-to-host read ends the worker without a report; it still
// counts as complete, so the run goes on to the scan and ends with 0.
TEST(BenchmarkRun, CacheToHostFailures) {
    struct Case {
        const char* label;
        json fault;
        std::string printed;
    };
    const Case cases[] = {
        {"first read fails",
         {{"op", "read"}, {"nth", 1}, {"error", 5}},
         "Error 5 reading \\\\.\\sim0\n"},
        {"last read fails",
         {{"op", "read"}, {"nth", 130}, {"error", 5}},
         "Error 5 reading \\\\.\\sim0\n"},
        {"short read",
         {{"op", "read"}, {"nth", 2}, {"short", 512}},
         "Bytes readen 512 != TransferSize 69120\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        testsupport::TempDir dir;
        const BenchRun run = RunBench(Config{}, {{"faults", json::array({c.fault})}}, dir);
        EXPECT_EQ(Mask(run.tail), c.printed + ScanAndUtilization());
        EXPECT_EQ(run.result.status, 0);
        ExpectResultFile(run, 2, 16 * 1024 * 1024);
    }

    // Of two workers, the one that fails prints its line and the other its
    // block, as first to report.
    testsupport::TempDir dir;
    Config config;
    config.threads = 2;
    const BenchRun run =
        RunBench(config, {{"faults", {{{"op", "read"}, {"nth", 1}, {"error", 5}}}}}, dir);
    EXPECT_EQ(run.result.status, 0);
    std::string masked = Mask(run.tail);
    const std::string failure = "Error 5 reading \\\\.\\sim0\n";
    const size_t at = masked.find(failure);
    ASSERT_NE(at, std::string::npos) << masked;
    masked.erase(at, failure.size());
    const std::string block0 = HardwareBlock(1, 0, {0, 0, 0, 0}, true);
    const std::string block1 = HardwareBlock(1, 1, {0, 0, 0, 0}, true);
    const std::string finish = ScanAndUtilization();
    EXPECT_TRUE(masked == block0 + finish || masked == block1 + finish) << masked;
}

// The software-level worker with 16 pages (65024 bytes a read) and 130
// requests a pass: reads 1 to 130 are pass 1, 131 to 260 pass 2, and so on.
// Every read is checked; the first failure ends the worker, which counts as
// complete, and the run goes on.
TEST(BenchmarkRun, SoftwareWorkerFailures) {
    const auto shortRead = [](int nth) {
        return json::array({{{"op", "read"}, {"nth", nth}, {"short", 512}}});
    };
    // Pass 3 needs 131 requests' bytes; half a request less stops its first read.
    const uint64_t smallVolume = 130 * 65024 + 32512;
    struct Case {
        const char* label;
        json unit;
        int passesPrinted;
        std::string failure;
        uint32_t stepKBytes;
        uint64_t volume;
    };
    const Case cases[] = {
        {"pass 1 short",
         {{"faults", shortRead(3)}},
         0,
         "Bytes readen 512 != RaidIoRequestSize 65024\n",
         16384,
         kVolume},
        {"pass 2 short at request 5",
         {{"faults", shortRead(136)}},
         1,
         "Bytes readen 512 != RaidIoRequestSize 65024 in pass 5\n",
         16384,
         kVolume},
        {"pass 4 short at request 7",
         {{"faults", shortRead(398)}},
         3,
         "Bytes readen 512 != RaidIoRequestSize 65024 in pass 7\n",
         16384,
         kVolume},
        {"pass 5 short",
         {{"faults", shortRead(522)}},
         4,
         "Bytes readen 512 != RaidIoRequestSize 65024\n",
         16384,
         kVolume},
        {"pass 3 read fails",
         {{"faults", {{{"op", "read"}, {"nth", 261}, {"error", 5}}}}},
         2,
         "Error 5 reading \\\\.\\sim0\n",
         16384,
         kVolume},
        {"volume too small for pass 3",
         {{"volume_bytes", smallVolume}},
         2,
         "Bytes readen 32512 != RaidIoRequestSize 65024\n",
         1024,
         smallVolume},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        testsupport::TempDir dir;
        Config config;
        config.software = 1;
        config.stepKBytes = c.stepKBytes;
        json unit = c.unit;
        unit["adapter"] = {{"max_physical_pages", 16}};
        const BenchRun run = RunBench(config, unit, dir);
        EXPECT_EQ(Mask(run.tail), SoftwareHeader(0) + SoftwarePasses(c.passesPrinted) + c.failure +
                                      ScanAndUtilization(c.volume, c.stepKBytes));
        EXPECT_EQ(run.result.status, 0);
    }
}

TEST(BenchmarkRun, NoWorkersNoScan) {
    testsupport::TempDir dir;
    Config config;
    config.threads = 0;
    const BenchRun run = RunBench(config, json::object(), dir);
    EXPECT_EQ(MaskAfter(run.tail, {"void time: "}),
              "\n"
              "\n        CPU Utilization (in percent): -100.00\n"
              "                           void time: #\n"
              "                            I/O time: 0\n");
    EXPECT_EQ(run.result.status, 0);
    EXPECT_FALSE(run.resultFileExists);
}

// The scan after one hardware-level worker without the cache-to-host phase,
// so that the scan's reads are the run's only file reads. The volume of
// 4 MiB and three sectors holds four steps of 1024 KBytes; the tail is not
// read.
TEST(BenchmarkRun, LinearScan) {
    constexpr uint64_t kScanVolume = 4 * 1024 * 1024 + 1536;
    const std::string worker = HardwareBlock(1, 0, {0, 0, 0, 0}, false) + "\n";
    const Geometry own{1234, 16, 32, 4096};
    struct Case {
        const char* label;
        json unit;
        uint32_t stepKBytes;
        std::string printed;  // between the worker's block and the utilization
        bool file;
    };
    const Case cases[] = {
        {"geometry from the unit",
         {{"geometry",
           {{"cylinders", 1234},
            {"heads", 16},
            {"sectors_per_track", 32},
            {"bytes_per_sector", 4096}}}},
         1024,
         GeometryBlock(own, kScanVolume) + Listing(4),
         true},
        {"geometry unavailable",
         {{"faults", {{{"op", "geometry"}, {"error", 25}}}}},
         1024,
         "\nnon critical error 25 recieving drive geometry\n" + Listing(4),
         true},
        {"step larger than the volume", json::object(), 8192,
         "\nerror " + std::to_string(kZeroAllocationError) + " allocating memory\n", false},
        {"step of 0", json::object(), 0,
         "\nlinear scan refused: SingleStepInKBytes is 0, the step must be at least 1 KByte\n",
         false},
        {"volume size unknown",
         {{"faults", {{{"op", "disk_size"}, {"error", 5}}}}},
         1024,
         "\nerror 5 unable to get device size\n",
         false},
        {"third step unreadable",
         {{"faults", {{{"op", "read"}, {"nth", 3}, {"error", 5}}}}},
         1024,
         GeometryBlock(DefaultGeometry(kScanVolume), kScanVolume) + "error 5 reading \\\\.\\sim0\n",
         false},
        {"second step short",
         {{"faults", {{{"op", "read"}, {"nth", 2}, {"short", 512}}}}},
         1024,
         GeometryBlock(DefaultGeometry(kScanVolume), kScanVolume) +
             "\nbytes readen 512 != IoRequestSize 1048576\n",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        testsupport::TempDir dir;
        Config config;
        config.cache = 0;
        config.stepKBytes = c.stepKBytes;
        json unit = c.unit;
        unit["volume_bytes"] = kScanVolume;
        const BenchRun run = RunBench(config, unit, dir);
        EXPECT_EQ(Mask(run.tail), worker + c.printed + kUtilization);
        EXPECT_EQ(run.result.status, 0);
        if (c.file) {
            ExpectResultFile(run, 4, 1024 * 1024);
        } else {
            EXPECT_FALSE(run.resultFileExists);
        }
    }
}

// A result file already there, or a link in its place, is neither
// overwritten nor followed: the scan lists its steps, then fails to create
// the file, and the run still ends with 0.
TEST(BenchmarkRun, ExistingResultFileIsLeftAlone) {
    const std::string old("old result\0\xff\x01", 13);
    const std::string printed = HardwareBlock(1, 0, {0, 0, 0, 0}, false) + "\n" +
                                GeometryBlock(DefaultGeometry(kVolume), kVolume) + Listing(2) +
                                "\nfile velkrand.rst creation failed with error code " +
                                std::to_string(kFileExistsError) + "\n" + kUtilization;
    enum class Kind { kFile, kLinkToFile, kDanglingLink };
    for (const Kind kind : {Kind::kFile, Kind::kLinkToFile, Kind::kDanglingLink}) {
#ifdef _WIN32
        if (kind != Kind::kFile) {
            continue;  // links need rights a test cannot count on there
        }
#endif
        SCOPED_TRACE(static_cast<int>(kind));
        testsupport::TempDir dir;
        const std::string path = dir.path() + "/velkrand.rst";
        const std::string target = dir.path() + "/target.rst";
        if (kind == Kind::kFile) {
            dir.Write("velkrand.rst", old);
        } else {
            if (kind == Kind::kLinkToFile) {
                dir.Write("target.rst", old);
            }
            std::filesystem::create_symlink("target.rst", path);
        }
        Config config;
        config.cache = 0;
        const BenchRun run = RunBench(config, json::object(), dir);
        EXPECT_EQ(Mask(run.tail), printed);
        EXPECT_EQ(run.result.status, 0);
        EXPECT_EQ(ListedRates(run.result.out).size(), 2u);
        if (kind == Kind::kFile) {
            EXPECT_EQ(testsupport::ReadFile(path), old);
        } else {
            EXPECT_TRUE(std::filesystem::is_symlink(path));
            EXPECT_EQ(std::filesystem::read_symlink(path), "target.rst");
            EXPECT_EQ(std::filesystem::exists(target), kind == Kind::kLinkToFile);
            if (kind == Kind::kLinkToFile) {
                EXPECT_EQ(testsupport::ReadFile(target), old);
            }
        }
    }
}

}  // namespace
