#include "bench/BenchMath.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/capture.h"

namespace {

std::string Figure(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// 512-byte sectors, 16 physical pages, 512 requests, last block 4194303.
AddressTable WorkedExample(bool sameSector) {
    return MakeAddressTable(512, ComputeTransferSize(16, 512), 512, 4194303, sameSector);
}

struct AddressCase {
    int pass;
    int32_t i;
    int32_t sequential;
    int32_t sameSector;
};

TEST(HardwareAddresses, WorkedExampleFirstAndLastOfEveryPass) {
    const std::vector<AddressCase> cases = {
        {1, 0, 0, 0},
        {1, 1, 127, 0},
        {1, 511, 64897, 0},
        {2, 0, 4096511, 4161535},
        {2, 1, 4096638, 4161535},
        {2, 511, 4161408, 4161535},
        {3, 0, 65024, 65024},
        {3, 1, 64897, 65024},
        {3, 511, 127, 65024},
        {4, 0, 4161535, 4161535},
        {4, 1, 4161408, 4161535},
        {4, 511, 4096638, 4161535},
    };
    const AddressTable sequential = WorkedExample(false);
    const AddressTable sameSector = WorkedExample(true);
    for (const AddressCase& c : cases) {
        EXPECT_EQ(PassAddress(sequential, c.pass, c.i), c.sequential)
            << "pass " << c.pass << " request " << c.i;
        EXPECT_EQ(PassAddress(sameSector, c.pass, c.i), c.sameSector)
            << "same sector, pass " << c.pass << " request " << c.i;
    }
    EXPECT_EQ(NearEndPosition(sequential), 4161408);
    EXPECT_EQ(NearEndPosition(sameSector), 4161408);
}

TEST(HardwareAddresses, WorkedExampleTransferAndCdb) {
    const int32_t transferSize = ComputeTransferSize(16, 512);
    EXPECT_EQ(transferSize, 65024);
    const int32_t blockCount = Div32(transferSize, 512);
    EXPECT_EQ(blockCount, 127);

    uint8_t cdb[10] = {0x28, 0xEE, 0, 0, 0, 0, 0xAA, 0, 0, 0xBB};
    WriteReadCdb(cdb, 4161408, blockCount);
    EXPECT_EQ(std::vector<uint8_t>(cdb, cdb + 10),
              testsupport::HexBytes("28 00 00 3f 7f 80 aa 00 7f bb"));
    // Block count bits above bit 15 are dropped.
    WriteReadCdb(cdb, 0, 0x12345);
    EXPECT_EQ(std::vector<uint8_t>(cdb + 7, cdb + 9), testsupport::HexBytes("23 45"));
}

TEST(HardwareAddresses, EachTermIsDividedOnItsOwn) {
    // 1000-byte transfers over 512-byte blocks: T(3) - T(1) = 5 - 1 = 4,
    // whereas T(3 - 1) would be 3.
    const AddressTable table = MakeAddressTable(3, 1000, 512, 100000, false);
    EXPECT_EQ(table.RegionEnd, 5);
    EXPECT_EQ(PassAddress(table, 3, 1), 4);
    EXPECT_EQ(PassAddress(table, 2, 1), 100000 - 32768 - 5 + 1);
}

TEST(HardwareAddresses, ProductsWrapAt32Bits) {
    const AddressTable table = WorkedExample(false);
    // 33026 x 65024 still fits; one request more wraps negative and divides
    // toward zero; 66052 x 65024 wraps to -2048.
    EXPECT_EQ(BlockOffset(table, 33026), 4194302);
    EXPECT_EQ(BlockOffset(table, 33027), -4194179);
    EXPECT_EQ(BlockOffset(table, 66052), -4);
}

TEST(HardwareAddresses, FailedCapacityGivesNegativeAddressesAsTheirPattern) {
    // READ CAPACITY failed: last block 0, 256-byte sectors.
    const int32_t transferSize = ComputeTransferSize(16, 256);
    const AddressTable table = MakeAddressTable(512, transferSize, 256, 0, false);
    EXPECT_EQ(PassAddress(table, 2, 0), -196096);
    EXPECT_EQ(NearEndPosition(table), -65791);

    uint8_t cdb[10] = {0x28};
    WriteReadCdb(cdb, PassAddress(table, 2, 0), Div32(transferSize, 256));
    EXPECT_EQ(std::vector<uint8_t>(cdb, cdb + 10),
              testsupport::HexBytes("28 00 ff fd 02 00 00 00 ff 00"));
    WriteReadCdb(cdb, PassAddress(table, 4, 511), Div32(transferSize, 256));
    EXPECT_EQ(std::vector<uint8_t>(cdb + 2, cdb + 6), testsupport::HexBytes("ff fd 02 ff"));
}

TEST(Div32, TruncatesTowardZeroAndNeverFaults) {
    struct Case {
        int32_t a, b, quotient;
    };
    const std::vector<Case> cases = {
        {7, 2, 3},
        {-7, 2, -3},
        {7, -2, -3},
        {-7, -2, 3},
        {INT32_MIN, -1, INT32_MIN},
        {12345, 0, 0},
        {INT32_MIN, 1, INT32_MIN},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Div32(c.a, c.b), c.quotient) << c.a << " / " << c.b;
    }
}

TEST(Rates, TickDifferenceSurvivesTheCounterWrap) {
    EXPECT_EQ(TickDifference(0x000007C0u, 0xFFFFFFF0u), 2000u);
    EXPECT_EQ(TickDifference(2000u, 0u), 2000u);
    const double rate =
        RateKBytesPerSec(HardwarePassBytes(512, 65024), TickDifference(0x000007C0u, 0xFFFFFFF0u));
    EXPECT_EQ(Figure("%.1f", rate), "12484.6");
}

TEST(Rates, PrintedFigures) {
    struct Case {
        const char* name;
        int64_t bytes;
        uint32_t ticks;
        const char* printed;
    };
    const std::vector<Case> cases = {
        {"hardware worked example", HardwarePassBytes(512, 65024), 2000, "12484.6"},
        {"software worked example", RaidPassBytes(100, 65024), 1000, "6437.4"},
        {"cache to host", CacheToHostBytes(512, 65024), 1000, "33227.3"},
        {"exactly 128 requests: nothing timed", HardwarePassBytes(128, 65024), 1000, "0.0"},
        {"fewer than 128 requests", HardwarePassBytes(5, 65024), 7, "0.0"},
        {"one request above 128", HardwarePassBytes(129, 65024), 1, "65024.0"},
        {"one cache-to-host read", CacheToHostBytes(1, 65024), 0, "0.0"},
        {"one software request", RaidPassBytes(1, 65024), 10, "0.0"},
        {"no software request", RaidPassBytes(-3, 65024), 10, "0.0"},
        {"two software requests", RaidPassBytes(2, 65024), 1, "65024.0"},
        {"faster than the tick", HardwarePassBytes(512, 65024), 0, "0.0"},
        {"negative transfer size", HardwarePassBytes(512, -256), 10, "0.0"},
        // 32-bit byte counts would wrap negative here.
        {"large hardware count", HardwarePassBytes(40000, 65024), 1000, "2592636.9"},
        {"large software count", RaidPassBytes(70000, 65024), 1000000, "4551.6"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Figure("%.1f", RateKBytesPerSec(c.bytes, c.ticks)), c.printed) << c.name;
    }
}

TEST(SoftwarePositions, FirstAndLastOfEveryPass) {
    const uint32_t s = 65024;
    const uint32_t n = 100;
    const uint64_t t = 1000000000;
    struct Case {
        int pass;
        uint32_t i;
        uint64_t position;
    };
    const std::vector<Case> cases = {
        {1, 0, 0},  {1, 99, 99 * s},     {2, 0, t - 100 * s},  {2, 99, t - s}, {3, 0, 100 * s},
        {3, 99, s}, {4, 0, t - 100 * s}, {4, 99, t - 199 * s}, {5, 0, s},      {5, 99, s},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RaidPosition(c.pass, c.i, n, s, t), c.position)
            << "pass " << c.pass << " request " << c.i;
    }
    EXPECT_EQ(RaidPrePosition(2, n, s, t), t - 100 * s);
    EXPECT_EQ(RaidPrePosition(4, n, s, t), t);
}

TEST(SoftwarePositions, NearEndPassesReachPast4GiB) {
    const uint64_t t = 8ull << 30;
    EXPECT_EQ(RaidPosition(2, 0, 100, 65024, t), t - 6502400);
    EXPECT_EQ(RaidPosition(4, 99, 100, 65024, t), t - 199ull * 65024);
}

TEST(SoftwarePositions, SmallVolumeFallsBelowByteZero) {
    // A volume of one request: pass 2 starts 99 requests before byte 0,
    // which reaches the positioning call as a negative 64-bit position.
    const uint64_t position = RaidPosition(2, 0, 100, 65024, 65024);
    EXPECT_EQ(static_cast<int64_t>(position), -99ll * 65024);
}

TEST(LinearScan, WorkedExample) {
    uint32_t steps = 0;
    ASSERT_TRUE(ScanStepCount(10485760, 1024 * 1024, &steps));
    EXPECT_EQ(steps, 10u);
    EXPECT_EQ(steps * 4, 40u);
    EXPECT_EQ(ScanRate(1048576, 125), 8388u);
}

TEST(LinearScan, StepCounts) {
    struct Case {
        uint64_t total;
        uint32_t stepBytes;
        bool fits;
        uint32_t steps;
    };
    const std::vector<Case> cases = {
        {10485760 + 1048575, 1048576, true, 10},  // the tail is never read
        {1048575, 1048576, true, 0},              // smaller than one step
        {(1ull << 30) * 1024 - 1, 1024, true, (1u << 30) - 1},
        {(1ull << 30) * 1024, 1024, false, 0},  // 2^30 steps: L would be 2^32
        {~0ull, 1024, false, 0},
    };
    for (const Case& c : cases) {
        uint32_t steps = 0xDEAD;
        EXPECT_EQ(ScanStepCount(c.total, c.stepBytes, &steps), c.fits) << c.total;
        if (c.fits) {
            EXPECT_EQ(steps, c.steps) << c.total;
        }
    }
}

// The workload's sum for arrays whose answer follows by hand. Per 2 x 2 tile
// (175 x 175 = 30625 tiles): +1 when the two flags are equal, else -1.
struct WorkloadCase {
    const char* name;
    // Value of a[r][c] given the tile (tr, tc) and the offset (dr, dc) in it.
    double (*cell)(int tr, int tc, int dr, int dc);
    double sum;
};

std::vector<double> FillProbeArray(double (*cell)(int, int, int, int)) {
    std::vector<double> array(kProbeCells);
    for (int r = 0; r < kProbeSide; ++r) {
        for (int c = 0; c < kProbeSide; ++c) {
            array[static_cast<size_t>(r * kProbeSide + c)] = cell(r / 2, c / 2, r % 2, c % 2);
        }
    }
    return array;
}

TEST(CpuWorkload, SumOfOneRepetition) {
    const std::vector<WorkloadCase> cases = {
        // Nothing matches: both flags stay 0.
        {"zeros", [](int, int, int, int) { return 0.0; }, 30625},
        // Three 10.0 tests hold: the first flag is 1, the second 0.
        {"tens", [](int, int, int, int) { return 10.0; }, -30625},
        // Only a[r][c+1] = 20.0 counts for the first flag (once, never
        // reaching 2); all four count for the second.
        {"twenties", [](int, int, int, int) { return 20.0; }, -30625},
        // Two 10.0 tests at [r+1][c] and [r+1][c+1].
        {"lower row tens", [](int, int, int dr, int) { return dr == 1 ? 10.0 : 0.0; }, -30625},
        // a[r][c+1] = 10.0 is no test of the first flag.
        {"upper right ten",
         [](int, int, int dr, int dc) { return dr == 0 && dc == 1 ? 10.0 : 0.0; }, 30625},
        // a[r][c] = 10.0 and a[r][c+1] = 20.0 make two first-flag tests;
        // the single twenty leaves the second flag at 0.
        {"upper row ten and twenty",
         [](int, int, int dr, int dc) { return dr == 0 ? (dc == 0 ? 10.0 : 20.0) : 0.0; }, -30625},
        // Twenties on the diagonal: second flag only.
        {"diagonal twenties", [](int, int, int dr, int dc) { return dr == dc ? 20.0 : 0.0; },
         -30625},
        // Twenties off the diagonal: second flag, and one first-flag test.
        {"anti-diagonal twenties", [](int, int, int dr, int dc) { return dr != dc ? 20.0 : 0.0; },
         -30625},
        // The first tile raises the first flag; every later tile has one
        // 10.0 test, so the flag carries: -1 everywhere (30623 if it did not).
        {"first flag carries",
         [](int tr, int tc, int dr, int dc) {
             return (tr == 0 && tc == 0) || (dr == 0 && dc == 0) ? 10.0 : 0.0;
         },
         -30625},
        // As above, but the second tile of the first row pair drops the flag:
        // tiles go column pair after column pair within a row pair, so only
        // the first tile is -1 (the carried flag would otherwise run down the
        // first column pair first).
        {"tiles in row order",
         [](int tr, int tc, int dr, int dc) {
             if (tr == 0 && tc == 1) {
                 return 0.0;
             }
             return (tr == 0 && tc == 0) || (dr == 0 && dc == 0) ? 10.0 : 0.0;
         },
         30623},
        // The second flag carries likewise through tiles with one twenty.
        {"second flag carries",
         [](int tr, int tc, int dr, int dc) {
             return (tr == 0 && tc == 0) || (dr == 1 && dc == 0) ? 20.0 : 0.0;
         },
         -30625},
    };
    for (const WorkloadCase& c : cases) {
        const std::vector<double> array = FillProbeArray(c.cell);
        EXPECT_EQ(CpuWorkloadSum(array.data()), c.sum) << c.name;
    }
}

}  // namespace
