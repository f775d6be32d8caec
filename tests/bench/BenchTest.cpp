// What whole runs on the virtual clock cannot reach: wrapping and negative
// addresses, figures of passes shorter than a tick, the probe's workload,
// progress pacing, a failed thread creation, the workers' buffers, an
// adapter page that holds one sector, and the priority of the waits.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sched.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bench/Bench.h"
#include "bench/BenchMath.h"
#include "bench/CpuCost.h"
#include "bench/Progress.h"
#include "bench/Workers.h"
#include "platform/testing.h"
#include "state/RunState.h"
#include "support/capture.h"
#include "support/recording_unit.h"

namespace {

using testsupport::CaptureStdout;

std::vector<uint8_t> Cdb(int32_t address, int32_t blockCount) {
    std::vector<uint8_t> cdb(10, 0xEE);
    WriteReadCdb(cdb.data(), address, blockCount);
    return cdb;
}

// 512-byte sectors, 16 physical pages, 512 requests, last block 4194303.
TEST(HardwareAddresses, WorkedExampleAndFailedCapacity) {
    const int32_t transferSize = ComputeTransferSize(16, 512);
    EXPECT_EQ(transferSize, 65024);
    const AddressTable sequential = MakeAddressTable(512, transferSize, 512, 4194303, false);
    const AddressTable sameSector = MakeAddressTable(512, transferSize, 512, 4194303, true);
    // Pass, addresses of its first and last request, the same-sector address.
    const int32_t cases[][4] = {{1, 0, 64897, 0},
                                {2, 4096511, 4161408, 4161535},
                                {3, 65024, 127, 65024},
                                {4, 4161535, 4096638, 4161535}};
    for (const auto& [pass, first, last, same] : cases) {
        EXPECT_EQ(PassAddress(sequential, pass, 0), first) << pass;
        EXPECT_EQ(PassAddress(sequential, pass, 511), last) << pass;
        EXPECT_EQ(PassAddress(sameSector, pass, 0), same) << pass;
        EXPECT_EQ(PassAddress(sameSector, pass, 511), same) << pass;
    }
    // Last block 0 and 256-byte sectors put pass 2 below block 0; the CDB
    // carries the address's 32-bit pattern.
    const AddressTable failed = MakeAddressTable(512, ComputeTransferSize(16, 256), 256, 0, false);
    EXPECT_EQ(PassAddress(failed, 2, 0), -196096);
    EXPECT_EQ(NearEndPosition(failed), -65791);
    EXPECT_EQ(Cdb(-196096, 255), testsupport::HexBytes("EE 00 FF FD 02 00 EE 00 FF EE"));
    // A sector size of 0 and the one quotient that does not fit never fault.
    EXPECT_EQ(Div32(12345, 0), 0);
    EXPECT_EQ(Div32(-7, -1), 7);
    EXPECT_EQ(Div32(INT32_MIN, -1), INT32_MIN);
}

// Rates across a wrap of the tick counter, of a pass faster than the tick
// and beyond 32-bit byte counts.
TEST(Figures, RatesAndLinearScan) {
    const std::tuple<int64_t, uint32_t, const char*> cases[] = {
        {HardwarePassBytes(512, 65024), TickDifference(0x7C0u, 0xFFFFFFF0u), "12484.6"},
        {HardwarePassBytes(512, 65024), 0, "0.0"},
        {HardwarePassBytes(40000, 65024), 1000, "2592636.9"},
    };
    for (const auto& [bytes, ticks, printed] : cases) {
        char text[64];
        std::snprintf(text, sizeof text, "%.1f", RateKBytesPerSec(bytes, ticks));
        EXPECT_STREQ(text, printed) << ticks;
    }
    // A step shorter than a tick; a step count whose table would not fit.
    uint32_t steps = 0;
    EXPECT_EQ(ScanRate(1048576, 0), 0u);
    EXPECT_FALSE(ScanStepCount(1ull << 40, 1024, &steps));  // 2^30 steps: L would be 2^32
}

// Per 2 x 2 tile (175 x 175), row pair after row pair: +1 when the two flags
// agree, else -1. A tile's cells: [r][c], [r][c+1], [r+1][c], [r+1][c+1].
TEST(CpuWorkload, SumOfOneRepetition) {
    using Tile = std::array<double, 4>;
    // Every tile but (0, 0) and (0, 1), those two, the sum.
    const std::tuple<Tile, Tile, Tile, double> cases[] = {
        {{0, 0, 10, 10}, {0, 0, 10, 10}, {0, 0, 10, 10}, -30625},  // lower row tens
        {{10, 20, 0, 0}, {10, 20, 0, 0}, {10, 20, 0, 0}, -30625},  // ten and twenty
        {{20, 0, 0, 20}, {20, 0, 0, 20}, {20, 0, 0, 20}, -30625},  // diagonal twenties
        {{0, 20, 20, 0}, {0, 20, 20, 0}, {0, 20, 20, 0}, -30625},  // anti-diagonal twenties
        {{10, 0, 0, 0}, {10, 10, 10, 10}, {10, 0, 0, 0}, -30625},  // first flag carries
        {{10, 0, 0, 0}, {10, 10, 10, 10}, {0, 0, 0, 0}, 30623},    // tiles in row order
        {{0, 0, 20, 0}, {20, 20, 20, 20}, {0, 0, 20, 0}, -30625},  // second flag carries
    };
    for (const auto& [tile, first, second, sum] : cases) {
        std::vector<double> array(kProbeCells);
        for (int r = 0; r < kProbeSide; ++r) {
            for (int col = 0; col < kProbeSide; ++col) {
                const Tile& t = r >= 2 || col >= 4 ? tile : col < 2 ? first : second;
                array[static_cast<size_t>(r * kProbeSide + col)] =
                    t[static_cast<size_t>(r % 2 * 2 + col % 2)];
            }
        }
        EXPECT_EQ(CpuWorkloadSum(array.data()), sum) << &tile - &std::get<0>(cases[0]);
    }
}

// An idle probe faster than the tick; passes all shorter than a tick (75 x
// 100 ns over 3 requests); probes within a tick of each other, either way,
// or an idle one of fewer than ten ticks mean little.
TEST(BenchOutput, FiguresWholeRunsCannotGive) {
    ResetRunState();
    State.IoTime = 37;
    EXPECT_EQ(CaptureStdout(PrintUtilization),
              "\n        CPU Utilization (in percent): 0.00\n                           void time: "
              "0\n                            I/O time: 37\n");
    ResetRunState();
    EXPECT_EQ(FormatWorkerCpu(50, 25, 0, 3),
              "velkrand: workers' CPU in timed passes: 2.50 us per request (3 requests), in "
              "passes shorter than one tick\n");
    EXPECT_TRUE(ProbeWithinTick(176, 160, 16));
    EXPECT_FALSE(ProbeWithinTick(160, 177, 16));
    EXPECT_TRUE(ProbeWithinTick(159, 200, 16));
}

// Percentages of what is done, rounded down; time left at the pace so far.
TEST(BenchOutput, ProgressTexts) {
    // 37 steps left at 100 s a step (whole runs draw no hours).
    EXPECT_EQ(ScanProgressText(1, 38, 1048576, 10, 100000),
              "velkrand: linear scan   2%, 0.00 of 0.04 GB, 10 KB/s, 1:01:40 left");
    EXPECT_EQ(WorkerProgressText(0, 320, 0.0, -1), "velkrand: workers   0%, 0 of 320 passes");
    EXPECT_EQ(WorkerProgressText(19, 20, 12484.6, 59999),
              "velkrand: workers  95%, 19 of 20 passes, 12484.6 KB/s, 0:00:59 left");
}

// The scan draws after a step once 250 ms of its clock have passed since
// the first step began or the last drawing, never after the last step; a
// shorter text blanks out the rest of the longer one, the end the line.
TEST(BenchOutput, ScanProgressPacing) {
    ScanProgress progress{true, 8, 2097152, 0, 0};
    const long times[] = {100, 150, 150, 300, 150, 150, 150, 150};
    ::testing::internal::CaptureStderr();
    long start = 1000;
    for (uint32_t k = 0; k < 8; ++k) {
        const long end = start + times[k];
        ShowScanProgress(&progress, k + 1, ScanRate(2097152, static_cast<uint32_t>(times[k])),
                         start, end);
        start = end;
    }
    EndProgress();
    // Steps of 2 MiB; drawn after 2 (250 ms), 4 (700 ms) and 6 (1000 ms).
    const std::string drawn[] = {
        "velkrand: linear scan  25%, 0.00 of 0.02 GB, 13981 KB/s, 0:00:00 left",
        "velkrand: linear scan  50%, 0.01 of 0.02 GB, 6990 KB/s, 0:00:00 left",
        "velkrand: linear scan  75%, 0.01 of 0.02 GB, 13981 KB/s, 0:00:00 left",
    };
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "\r" + drawn[0] + "\r\r" + drawn[1] + " \r\r" + drawn[2] + "\r\r" +
                  std::string(drawn[2].size(), ' ') + "\r");
}

// Workers against a recording unit whose adapter asks for 4-byte alignment,
// the third of four not created. Reports what the start loop did and how many
// reads of the two started went to page-aligned buffers, and ends.
[[noreturn]] void StartFourWorkersThirdFails(int softwareIo) {
    auto unit = testsupport::InstallRecordingUnit("recpages");
    unit->medium.assign(1 << 20, 0x5A);
    ResetRunState();
    State.RealNumberOfThreads = 4;
    State.SoftwareIo = softwareIo;
    State.NUMBER_OF_PASSES = 2;
    std::snprintf(State.DriveName, sizeof State.DriveName, "recpages");
    std::snprintf(State.ScsiPortName, sizeof State.ScsiPortName, "\\\\.\\recpages");
    State.IoScsiData.MaximumPhysicalPages = 1;  // one page still holds a 2048-byte sector
    State.IoScsiData.AlignmentMask = 3;
    State.SectorSize = 2048;
    State.MaxLogicalBlock = 511;
    os::testing::FailThreadCreation(3);
    bool started = true;
    const std::string out = CaptureStdout([&] { started = StartWorkers(); });
    while (State.Complete.load() < 2) {
    }
    std::vector<const void*> buffers = unit->readBuffers;
    for (const testsupport::RecordedCommand& sent : unit->commands) {
        buffers.push_back(sent.cdb[0] == SCSIOP_READ ? sent.data : nullptr);
    }
    std::erase(buffers, nullptr);
    const auto aligned = std::count_if(buffers.begin(), buffers.end(), [](const void* buffer) {
        return reinterpret_cast<uintptr_t>(buffer) % 4096 == 0;
    });
    // Software-level workers print as they go: the message is among their lines.
    const size_t at = out.find("thread creation failed\n");
    const bool once = at != std::string::npos && at == out.rfind("thread creation failed");
    std::fprintf(stderr, "message %s, started %d, slot 2 %s, %d of %zu reads page-aligned\n",
                 once ? "once" : "not once", State.Index,
                 State.ThreadIds[2].load() == nullptr ? "empty" : "taken",
                 static_cast<int>(aligned), buffers.size());
    std::_Exit(started ? 0 : 1);
}

// Each worker started reads 4 passes of 2 requests, 5 at the software level.
TEST(WorkerStartDeathTest, ThirdOfFourCreationsFails) {
    EXPECT_EXIT(StartFourWorkersThirdFails(0), ::testing::ExitedWithCode(1),
                "message once, started 2, slot 2 empty, 16 of 16 reads page-aligned");
    EXPECT_EXIT(StartFourWorkersThirdFails(1), ::testing::ExitedWithCode(1),
                "message once, started 2, slot 2 empty, 20 of 20 reads page-aligned");
}

#ifndef _WIN32
std::atomic<int> policyAfterWait{-1};

DWORD WINAPI FinishFirstOfTwo(LPVOID) {
    FinishWorker(0);
    policyAfterWait = sched_getscheduler(0);
    return 0;
}

// Nothing waits idle where it is measured: neither a finished worker while
// the loaded probe runs, nor the main thread once the scan follows.
TEST(WaitPriority, NormalWhereMeasured) {
    ResetRunState();
    State.RealNumberOfThreads = 2;
    State.ThreadIds[0] = os::CreateThread(nullptr, 0, FinishFirstOfTwo, nullptr, 2, nullptr);
    std::thread other([] {
        while (State.Complete.load() != 1) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the main thread waits
        State.Complete.fetch_add(1);
    });
    WaitForWorkers();
    other.join();
    while (policyAfterWait == -1) {
    }
    EXPECT_EQ(policyAfterWait, SCHED_OTHER);
    EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER);
    ResetRunState();
}
#endif

}  // namespace
