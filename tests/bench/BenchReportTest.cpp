#include "bench/BenchReport.h"

#include <gtest/gtest.h>

#include <string>

#include "bench/Bench.h"
#include "bench/BenchMath.h"
#include "run/RunState.h"
#include "support/capture.h"

namespace {

using testsupport::CaptureStdout;

HardwareReport WorkedExampleReport() {
    HardwareReport report{};
    report.OrderNumber = 2;
    report.Index = 0;
    report.Retries[0] = 0;
    report.Retries[1] = 2;
    report.Retries[2] = 0;
    report.Retries[3] = 15;
    report.TransferSize = 65024;
    report.PassRates[0] = RateKBytesPerSec(HardwarePassBytes(512, 65024), 2000);
    report.PassRates[1] = 9876.54;
    report.PassRates[2] = 0.0;
    report.PassRates[3] = 1.24;
    report.NearEndPosition = 4161408;
    report.CacheToHostRate = 33227.3;
    report.ExecTime = 12345;
    return report;
}

TEST(HardwareReportBlock, WithoutCacheToHost) {
    const std::string expected =
        "\n                        thread index: 2 0 0(1) 2(2) 0(3) 15(4) 0(5)\n"
        "    Single transfer size (in KBytes): 63.5\n"
        "                           Test mode: Sequental I/O\n"
        "\n                  Cache hit mode (Read-ahead Enabled)\n"
        "    Surface-to-Cache (in KBytes/sec): 12484.6 (at logical block 0)\n"
        "    Surface-to-Cache (in KBytes/sec): 9876.5 (at logical block 4161408)\n"
        "\n                 Cache miss mode (Read-ahead Disabled)\n"
        "    Surface-to-Cache (in KBytes/sec): 0.0 (at logical block 0)\n"
        "    Surface-to-Cache (in KBytes/sec): 1.2 (at logical block 4161408)\n"
        "                    thread exec time: 12345\n";
    EXPECT_EQ(FormatHardwareReport(WorkedExampleReport()), expected);
}

TEST(HardwareReportBlock, SameSectorWithCacheToHostAndNegativePosition) {
    HardwareReport report = WorkedExampleReport();
    report.SameSector = true;
    report.ShowCacheSpeed = true;
    report.NearEndPosition = -65791;
    report.TransferSize = 130560;
    const std::string expected =
        "\n                        thread index: 2 0 0(1) 2(2) 0(3) 15(4) 0(5)\n"
        "    Single transfer size (in KBytes): 127.5\n"
        "                           Test mode: Same Sector I/O\n"
        "\n                  Cache hit mode (Read-ahead Enabled)\n"
        "    Surface-to-Cache (in KBytes/sec): 12484.6 (at logical block 0)\n"
        "    Surface-to-Cache (in KBytes/sec): 9876.5 (at logical block -65791)\n"
        "\n                 Cache miss mode (Read-ahead Disabled)\n"
        "    Surface-to-Cache (in KBytes/sec): 0.0 (at logical block 0)\n"
        "    Surface-to-Cache (in KBytes/sec): 1.2 (at logical block -65791)\n"
        "\n       Cache-to-Host (in KBytes/sec): 33227.3\n\n"
        "                    thread exec time: 12345\n";
    EXPECT_EQ(FormatHardwareReport(report), expected);
}

TEST(SoftwareWorkerOutput, HeaderAndAllFivePasses) {
    const double rate = RateKBytesPerSec(RaidPassBytes(100, 65024), 1000);
    const std::string out = CaptureStdout([&] {
        PrintRaidHeader(0, 65024);
        for (int pass = 1; pass <= 5; ++pass) {
            PrintRaidPassResult(pass, rate);
        }
    });
    const std::string expected =
        "                        thread index: 0\n"
        "    Single transfer size (in KBytes): 63.0\n"
        "                           Test mode: Sequental I/O\n"
        "\n                 Cache hit mode (Read-ahead Enabled)\n"
        "    Surface-to-Cache (in KBytes/sec): 6437.4 at logical block 0\n"
        "    Surface-to-Cache (in KBytes/sec): 6437.4 at logical block (?)\n\n"
        "                 Cache miss mode (Read-ahead Disabled)\n"
        "    Surface-to-Cache (in KBytes/sec): 6437.4 at logical block 0\n"
        "    Surface-to-Cache (in KBytes/sec): 6437.4 at logical block (?)\n\n"
        "       Cache-to-Host (in KBytes/sec): 6437.4\n\n";
    EXPECT_EQ(out, expected);
}

TEST(LinearScanOutput, GeometryOfADriveAbove4GiB) {
    DISK_GEOMETRY geometry{};
    geometry.Cylinders.QuadPart = 5000000000ll;
    geometry.TracksPerCylinder = 255;
    geometry.SectorsPerTrack = 63;
    geometry.BytesPerSector = 512;
    const std::string out = CaptureStdout([&] { PrintDriveGeometry(geometry, 0x123456789ull); });
    EXPECT_EQ(out,
              "                        Logical drive geometry\n"
              "                        ~~~~~~~~~~~~~~~~~~~~~~\n"
              "                           Cylinders: 5000000000\n"
              "                               Heads: 255\n"
              "                             Sectors: 63\n"
              "                    Bytes per sector: 512\n"
              "         Logical capacity (in Bytes): 0x0000000123456789 (4886718345)\n\n");
}

TEST(LinearScanOutput, Listing) {
    // A step faster than the clock lists 0.
    const uint32_t rates[3] = {ScanRate(1048576, 125), ScanRate(1048576, 0),
                               ScanRate(4194303u * 1024, 1)};
    const std::string out = CaptureStdout([&] { PrintScanListing(rates, 3); });
    EXPECT_EQ(out,
              "            00000000 (in KBytes/sec): 00008388\n"
              "            00000001 (in KBytes/sec): 00000000\n"
              "            00000002 (in KBytes/sec): 4294966272\n");
}

TEST(LinearScanOutput, RefusedStepSizes) {
    struct Case {
        uint32_t kbytes;
        const char* printed;
    };
    const Case cases[] = {
        {0, "\nlinear scan refused: SingleStepInKBytes is 0, the step must be at least 1 KByte\n"},
        {4194304,
         "\nlinear scan refused: SingleStepInKBytes 4194304 is above the largest step of 4194303 "
         "KBytes\n"},
    };
    for (const Case& c : cases) {
        uint32_t status = 0;
        const std::string out =
            CaptureStdout([&] { status = ShowDeviceLinearRead("sim0", c.kbytes); });
        EXPECT_EQ(out, c.printed);
        EXPECT_EQ(status, 1u);
    }
}

class Orchestration : public ::testing::Test {
  protected:
    void SetUp() override { ResetRunState(); }
    void TearDown() override { ResetRunState(); }
};

TEST_F(Orchestration, UtilizationLines) {
    struct Case {
        uint32_t voidTime;
        uint32_t ioTime;
        const char* printed;
    };
    const Case cases[] = {
        {1000, 1250,
         "\n        CPU Utilization (in percent): 25.00\n"
         "                           void time: 1000\n"
         "                            I/O time: 1250\n"},
        {1000, 900,
         "\n        CPU Utilization (in percent): -10.00\n"
         "                           void time: 1000\n"
         "                            I/O time: 900\n"},
        {1000, 0,
         "\n        CPU Utilization (in percent): -100.00\n"
         "                           void time: 1000\n"
         "                            I/O time: 0\n"},
        // An idle probe faster than the tick prints 0.00.
        {0, 37,
         "\n        CPU Utilization (in percent): 0.00\n"
         "                           void time: 0\n"
         "                            I/O time: 37\n"},
    };
    for (const Case& c : cases) {
        State.VoidTime = c.voidTime;
        State.IoTime = c.ioTime;
        EXPECT_EQ(CaptureStdout(PrintUtilization), c.printed);
    }
}

TEST_F(Orchestration, NoWorkersConfigured) {
    State.RealNumberOfThreads = 0;
    bool started = false;
    const std::string out = CaptureStdout([&] {
        started = StartWorkers();
        WaitForWorkers();
    });
    EXPECT_TRUE(started);
    EXPECT_EQ(out, "");
    EXPECT_EQ(State.IoTime, 0u);
    EXPECT_EQ(State.Index, 0);
    EXPECT_EQ(State.Complete.load(), 0);
    EXPECT_EQ(State.ThreadIds[0].load(), nullptr);
}

TEST_F(Orchestration, MoreWorkersThanSlotsAreRefused) {
    State.RealNumberOfThreads = 65;
    bool started = true;
    const std::string out = CaptureStdout([&] { started = StartWorkers(); });
    EXPECT_FALSE(started);
    EXPECT_EQ(out,
              "NumberOfThreads 65 exceeds the limit of 64 threads\n"
              "thread creation failed\n");
    EXPECT_EQ(State.ThreadIds[0].load(), nullptr);
}

}  // namespace
