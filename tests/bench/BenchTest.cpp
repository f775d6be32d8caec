// The benchmark's arithmetic and the figures the end-to-end tests mask, a
// failed thread creation, the request loop after an empty answer, the
// workers' buffers and the priority of the waits.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <pthread.h>
#include <sched.h>
#endif

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
#include "bench/BenchReport.h"
#include "bench/CpuCost.h"
#include "bench/Progress.h"
#include "bench/Workers.h"
#include "platform/testing.h"
#include "platform/units/sim/sim.h"
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
    EXPECT_EQ(NearEndPosition(sequential), 4161408);
    EXPECT_EQ(Cdb(4161408, 127), testsupport::HexBytes("EE 00 00 3F 7F 80 EE 00 7F EE"));
    // Last block 0 and 256-byte sectors put pass 2 below block 0; the CDB
    // carries the address's 32-bit pattern.
    const AddressTable failed = MakeAddressTable(512, ComputeTransferSize(16, 256), 256, 0, false);
    EXPECT_EQ(PassAddress(failed, 2, 0), -196096);
    EXPECT_EQ(NearEndPosition(failed), -65791);
    EXPECT_EQ(Cdb(-196096, 255), testsupport::HexBytes("EE 00 FF FD 02 00 EE 00 FF EE"));
    // A sector size of 0 and the one quotient that does not fit never fault.
    EXPECT_EQ(Div32(12345, 0), 0);
    EXPECT_EQ(Div32(INT32_MIN, -1), INT32_MIN);
}

TEST(Figures, RatesAndLinearScan) {
    const std::tuple<const char*, int64_t, uint32_t, const char*> cases[] = {
        {"hardware worked example", HardwarePassBytes(512, 65024), 2000, "12484.6"},
        {"tick counter wrapped", HardwarePassBytes(512, 65024), TickDifference(0x7C0u, 0xFFFFFFF0u),
         "12484.6"},
        {"software worked example", RaidPassBytes(100, 65024), 1000, "6437.4"},
        {"cache to host", CacheToHostBytes(512, 65024), 1000, "33227.3"},
        {"exactly 128 requests: nothing timed", HardwarePassBytes(128, 65024), 1000, "0.0"},
        {"one request above 128", HardwarePassBytes(129, 65024), 1, "65024.0"},
        {"faster than the tick", HardwarePassBytes(512, 65024), 0, "0.0"},
        {"beyond 32-bit byte counts", HardwarePassBytes(40000, 65024), 1000, "2592636.9"},
    };
    for (const auto& [name, bytes, ticks, printed] : cases) {
        char text[64];
        std::snprintf(text, sizeof text, "%.1f", RateKBytesPerSec(bytes, ticks));
        EXPECT_STREQ(text, printed) << name;
    }
    // 10 MiB and a tail never read, in 1 MiB steps: L = 40.
    uint32_t steps = 0;
    ASSERT_TRUE(ScanStepCount(10485760 + 1048575, 1048576, &steps));
    EXPECT_EQ(steps, 10u);
    EXPECT_EQ(ScanRate(1048576, 125), 8388u);
    EXPECT_FALSE(ScanStepCount(1ull << 40, 1024, &steps));  // 2^30 steps: L would be 2^32
}

// Per 2 x 2 tile (175 x 175), row pair after row pair: +1 when the two flags
// agree, else -1. A tile's cells: [r][c], [r][c+1], [r+1][c], [r+1][c+1].
TEST(CpuWorkload, SumOfOneRepetition) {
    using Tile = std::array<double, 4>;
    // Every tile but (0, 0) and (0, 1), those two, the sum.
    const std::tuple<const char*, Tile, Tile, Tile, double> cases[] = {
        {"lower row tens", {0, 0, 10, 10}, {0, 0, 10, 10}, {0, 0, 10, 10}, -30625},
        {"ten and twenty", {10, 20, 0, 0}, {10, 20, 0, 0}, {10, 20, 0, 0}, -30625},
        {"diagonal twenties", {20, 0, 0, 20}, {20, 0, 0, 20}, {20, 0, 0, 20}, -30625},
        {"anti-diagonal twenties", {0, 20, 20, 0}, {0, 20, 20, 0}, {0, 20, 20, 0}, -30625},
        {"first flag carries", {10, 0, 0, 0}, {10, 10, 10, 10}, {10, 0, 0, 0}, -30625},
        {"tiles in row order", {10, 0, 0, 0}, {10, 10, 10, 10}, {0, 0, 0, 0}, 30623},
        {"second flag carries", {0, 0, 20, 0}, {20, 20, 20, 20}, {0, 0, 20, 0}, -30625},
    };
    for (const auto& [name, tile, first, second, sum] : cases) {
        std::vector<double> array(kProbeCells);
        for (int r = 0; r < kProbeSide; ++r) {
            for (int col = 0; col < kProbeSide; ++col) {
                const Tile& t = r >= 2 || col >= 4 ? tile : col < 2 ? first : second;
                array[static_cast<size_t>(r * kProbeSide + col)] =
                    t[static_cast<size_t>(r % 2 * 2 + col % 2)];
            }
        }
        EXPECT_EQ(CpuWorkloadSum(array.data()), sum) << name;
    }
}

TEST(BenchOutput, UtilizationLines) {
    ResetRunState();
    const std::tuple<uint32_t, uint32_t, const char*> cases[] = {
        {1000, 1250, "25.00"},
        {1000, 900, "-10.00"},
        {1000, 0, "-100.00"},
        {0, 37, "0.00"},  // an idle probe faster than the tick
    };
    for (const auto& [voidTime, ioTime, percent] : cases) {
        State.VoidTime = voidTime;
        State.IoTime = ioTime;
        EXPECT_EQ(CaptureStdout(PrintUtilization),
                  std::string("\n        CPU Utilization (in percent): ") + percent +
                      "\n                           void time: " + std::to_string(voidTime) +
                      "\n                            I/O time: " + std::to_string(ioTime) + "\n");
    }
    ResetRunState();
}

// The workers' line when every pass was shorter than a tick: only the time
// per request, 75 units of 100 ns over 3 requests. (The other forms are
// compared in whole runs.)
TEST(BenchOutput, WorkersLineWithoutElapsedTime) {
    EXPECT_EQ(FormatWorkerCpu(50, 25, 0, 3),
              "velkrand: workers' CPU in timed passes: 2.50 us per request (3 requests), in "
              "passes shorter than one tick\n");
}

// The probes mean little when they differ by no more than a tick, whichever
// is longer, or when the idle one is shorter than ten ticks.
TEST(BenchOutput, ProbeWithinTheTick) {
    const std::tuple<uint32_t, uint32_t, uint32_t, bool> cases[] = {
        {176, 160, 16, true},   // one tick apart, the loaded one faster
        {160, 177, 16, false},  // more than a tick, idle probe of ten ticks
        {159, 200, 16, true},   // idle probe of less than ten ticks
    };
    for (const auto& [voidTime, ioTime, tick, note] : cases) {
        EXPECT_EQ(ProbeWithinTick(voidTime, ioTime, tick), note)
            << voidTime << " " << ioTime << " " << tick;
    }
}

// The progress lines: percentages of what is done, rounded down, and the
// time left at the pace so far, in hours, minutes and seconds.
TEST(BenchOutput, ProgressTexts) {
    // 2999 of 3000 steps of 1 MiB in 3000 s: one second left.
    EXPECT_EQ(ScanProgressText(2999, 3000, 1048576, 349, 2999000),
              "velkrand: linear scan  99%, 3.14 of 3.15 GB, 349 KB/s, 0:00:01 left");
    // 37 steps left at 100 s a step.
    EXPECT_EQ(ScanProgressText(1, 38, 1048576, 10, 100000),
              "velkrand: linear scan   2%, 0.00 of 0.04 GB, 10 KB/s, 1:01:40 left");
    EXPECT_EQ(WorkerProgressText(0, 320, 0.0, -1), "velkrand: workers   0%, 0 of 320 passes");
    EXPECT_EQ(WorkerProgressText(19, 20, 12484.6, 59999),
              "velkrand: workers  95%, 19 of 20 passes, 12484.6 KB/s, 0:00:59 left");
}

// The scan draws after a step once 250 ms of its clock have passed since
// the first step began or since the last drawing, never after the last
// step; a shorter text blanks out the rest of the longer one, and the end
// blanks the line. 8 steps of 2 MiB: 100 ms, 150 ms, 150 ms, a slow one of
// 300 ms, then 150 ms each.
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
    // After 2 steps (250 ms: 750 left), 4 (700 ms: 700 left) and 6 (1000 ms:
    // 333 left).
    const std::string drawn[] = {
        "velkrand: linear scan  25%, 0.00 of 0.02 GB, 13981 KB/s, 0:00:00 left",
        "velkrand: linear scan  50%, 0.01 of 0.02 GB, 6990 KB/s, 0:00:00 left",
        "velkrand: linear scan  75%, 0.01 of 0.02 GB, 13981 KB/s, 0:00:00 left",
    };
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "\r" + drawn[0] + "\r\r" + drawn[1] + " \r\r" + drawn[2] + "\r\r" +
                  std::string(drawn[2].size(), ' ') + "\r");
}

// Four workers against the instant simulated unit, the third not created.
// Reports on standard error what the start loop did and ends, workers and all.
[[noreturn]] void StartFourWorkersThirdFails(int softwareIo) {
    ResetRunState();
    os::units::sim::ResetForTesting(VELKRAND_SOURCE_DIR "/examples/profiles/instant.json");
    State.RealNumberOfThreads = 4;
    State.SoftwareIo = softwareIo;
    State.NUMBER_OF_PASSES = 130;
    std::snprintf(State.DriveName, sizeof State.DriveName, "sim0");
    std::snprintf(State.ScsiPortName, sizeof State.ScsiPortName, "\\\\.\\sim0");
    State.IoScsiData.MaximumPhysicalPages = 17;
    State.IoScsiData.AlignmentMask = 3;
    State.SectorSize = 512;
    State.MaxLogicalBlock = 2097151;
    os::testing::FailThreadCreation(3);
    bool started = true;
    const std::string out = testsupport::CaptureStdout([&] { started = StartWorkers(); });
    // Software-level workers print as they go: the message is among their lines.
    const size_t at = out.find("thread creation failed\n");
    const bool once =
        at != std::string::npos && out.find("thread creation failed", at + 1) == std::string::npos;
    std::fprintf(stderr, "message %s, started %d, slot 2 %s\n", once ? "once" : "not once",
                 State.Index, State.ThreadIds[2].load() == nullptr ? "empty" : "taken");
    std::_Exit(started ? 0 : 1);
}

TEST(WorkerStartDeathTest, ThirdOfFourCreationsFails) {
    for (const int softwareIo : {0, 1}) {
        SCOPED_TRACE(softwareIo);
        EXPECT_EXIT(StartFourWorkersThirdFails(softwareIo), ::testing::ExitedWithCode(1),
                    "message once, started 2, slot 2 empty");
    }
}

// A driver writes back the lengths it moved. An answer without data or
// sense must not leave the next request of the pass asking for none.
TEST(HardwareRequestLoop, EveryRequestAsksForTheWholeTransfer) {
    auto unit = testsupport::InstallRecordingUnit("recloop");
    unit->answer.status = 2;  // CHECK CONDITION, no sense, nothing moved
    HANDLE device = os::CreateFileA("\\\\.\\recloop", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    static uint8_t buffer[65024];
    PassThruDirBlock block;
    const uint8_t read[10] = {SCSIOP_READ};
    FillPassThruDir(&block, 0, 0, read, 10, sizeof buffer, buffer);
    PassAttempt attempt{};
    SendPassRequests(device, &block, MakeAddressTable(3, 65024, 512, 2097151, false), 1, 3, 127,
                     &attempt);
    os::CloseHandle(device);
    ASSERT_EQ(unit->commands.size(), 3u);
    for (const testsupport::RecordedCommand& sent : unit->commands) {
        EXPECT_EQ(sent.dataLength, sizeof buffer);
        EXPECT_EQ(sent.senseCapacity, 24);
    }
}

// A worker's transfer, from a buffer wherever a 4-byte aligned allocation
// puts it, spans no more pages than the adapter reports, and the buffer
// keeps the adapter's own alignment and stays within the allocation.
TEST(WorkerBuffers, TransferFitsTheReportedPages) {
    // Pages, sector size, the adapter's mask.
    const std::tuple<uint32_t, int32_t, uint32_t> adapters[] = {
        {96, 512, 3}, {62, 512, 3}, {1, 512, 0}, {17, 512, 7}, {95, 4096, 511}, {16, 512, 8191}};
    for (const auto& [pages, sectorSize, adapterMask] : adapters) {
        const uint32_t mask = WorkerBufferMask(adapterMask);
        const uint64_t length = static_cast<uint64_t>(ComputeTransferSize(pages, sectorSize));
        int misplaced = 0;
        for (uintptr_t offset = 0; offset < 4096; offset += 4) {
            // High address bits that a mask cut to 32 bits would lose.
            const uintptr_t base = (uintptr_t{0x7F3A} << 32) + 0x5000 + offset;
            const uintptr_t buffer = AlignAddress(base, mask);
            const uint64_t spanned = (buffer + length + 4095) / 4096 - buffer / 4096;
            misplaced += (buffer & adapterMask) != 0 || buffer - base > mask || spanned > pages;
        }
        EXPECT_EQ(misplaced, 0) << pages << " pages, mask " << adapterMask;
    }
}

// One worker of the given kind against a recording unit whose adapter asks
// for 4-byte alignment only. Reports on standard error how many of its reads
// went to page-aligned buffers and ends, worker and all (it never joins).
[[noreturn]] void RunOneWorker(int softwareIo) {
    ResetRunState();
    auto unit = testsupport::InstallRecordingUnit("recpages");
    unit->medium.assign(1 << 20, 0x5A);
    State.RealNumberOfThreads = 1;
    State.SoftwareIo = softwareIo;
    State.NUMBER_OF_PASSES = 2;
    std::snprintf(State.DriveName, sizeof State.DriveName, "recpages");
    std::snprintf(State.ScsiPortName, sizeof State.ScsiPortName, "\\\\.\\recpages");
    State.IoScsiData.MaximumPhysicalPages = 3;
    State.IoScsiData.AlignmentMask = 3;
    State.SectorSize = 512;
    State.MaxLogicalBlock = 2047;
    testsupport::CaptureStdout([] {
        if (StartWorkers()) {
            WaitForWorkers();
        }
    });
    std::vector<const void*> buffers = unit->readBuffers;
    for (const testsupport::RecordedCommand& sent : unit->commands) {
        if (sent.cdb[0] == SCSIOP_READ) {
            buffers.push_back(sent.data);
        }
    }
    size_t aligned = 0;
    for (const void* buffer : buffers) {
        aligned += reinterpret_cast<uintptr_t>(buffer) % 4096 == 0;
    }
    std::fprintf(stderr, "%zu of %zu reads page-aligned\n", aligned, buffers.size());
    std::_Exit(0);
}

// Both kinds of worker read into page-aligned buffers, whatever the
// adapter's own mask: four passes of two reads, five at the software level.
TEST(WorkerBuffersDeathTest, BothWorkersReadIntoPageAlignedBuffers) {
    EXPECT_EXIT(RunOneWorker(0), ::testing::ExitedWithCode(0), "8 of 8 reads page-aligned");
    EXPECT_EXIT(RunOneWorker(1), ::testing::ExitedWithCode(0), "10 of 10 reads page-aligned");
}

constexpr int kUnknownPriority = 99;

int CurrentPriority() {
#ifdef _WIN32
    return ::GetThreadPriority(::GetCurrentThread());
#else
    return sched_getscheduler(0) == SCHED_IDLE ? THREAD_PRIORITY_IDLE : THREAD_PRIORITY_NORMAL;
#endif
}

// Whether this process may put a thread in the idle class and take it out
// again (on Linux only with CAP_SYS_NICE or a permissive RLIMIT_NICE); the
// platform layer lowers a thread only then.
bool IdleIsReversible() {
#ifdef _WIN32
    return true;
#else
    bool reversible = false;
    std::thread([&] {
        const sched_param parameters{};
        reversible = sched_setscheduler(0, SCHED_IDLE, &parameters) == 0 &&
                     sched_setscheduler(0, SCHED_OTHER, &parameters) == 0;
    }).join();
    return reversible;
#endif
}

std::atomic<int> priorityAfterWait{kUnknownPriority};

DWORD WINAPI FinishFirstOfTwo(LPVOID) {
    FinishWorker(0);
    priorityAfterWait = CurrentPriority();
    return 0;
}

// A finished worker waits at the normal priority while the loaded probe
// runs and at the idle one once it has been taken.
TEST(WaitPriority, FinishedWorkerLowersItselfOnceTheProbeIsTaken) {
    const int lowered = IdleIsReversible() ? THREAD_PRIORITY_IDLE : THREAD_PRIORITY_NORMAL;
    for (const auto& [probeTaken, expected] :
         {std::pair{0, THREAD_PRIORITY_NORMAL}, std::pair{1, lowered}}) {
        SCOPED_TRACE(probeTaken);
        ResetRunState();
        State.RealNumberOfThreads = 2;
        State.ProbeTaken = probeTaken;
        priorityAfterWait = kUnknownPriority;
        HANDLE thread = os::CreateThread(nullptr, 0, FinishFirstOfTwo, nullptr, 2, nullptr);
        ASSERT_NE(thread, nullptr);
        State.ThreadIds[0] = thread;
        while (State.Complete.load() != 1) {
        }
        State.Complete.store(2);  // the other worker
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (priorityAfterWait == kUnknownPriority &&
               std::chrono::steady_clock::now() < deadline) {
        }
        EXPECT_EQ(priorityAfterWait, expected);
    }
    ResetRunState();
}

// The main thread waits for the workers at the idle priority and goes on
// to the scan at the normal one.
TEST(WaitPriority, MainThreadWaitsIdleAndScansNormal) {
    ResetRunState();
    State.RealNumberOfThreads = 1;
#ifdef _WIN32
    std::thread worker([] { State.Complete.store(1); });
#else
    int whileWaiting = kUnknownPriority;
    const bool reversible = IdleIsReversible();
    const pthread_t main = pthread_self();
    std::thread worker([&] {
        // Watches the main thread until it has gone idle, or for ten seconds.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int policy = SCHED_OTHER;
        sched_param parameters{};
        while (reversible && policy != SCHED_IDLE && std::chrono::steady_clock::now() < deadline) {
            pthread_getschedparam(main, &policy, &parameters);
        }
        whileWaiting = policy == SCHED_IDLE ? THREAD_PRIORITY_IDLE : THREAD_PRIORITY_NORMAL;
        State.Complete.store(1);
    });
#endif
    WaitForWorkers();
    worker.join();
#ifndef _WIN32
    EXPECT_EQ(whileWaiting, reversible ? THREAD_PRIORITY_IDLE : THREAD_PRIORITY_NORMAL);
#endif
    EXPECT_EQ(CurrentPriority(), THREAD_PRIORITY_NORMAL);
    ResetRunState();
}

}  // namespace
