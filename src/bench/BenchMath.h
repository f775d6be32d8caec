// The arithmetic of the benchmark, apart from any device: transfer sizes,
// block addresses, byte positions, rates, step counts and the CPU workload.
//
// Block addresses and byte counts of the hardware-level worker are 32-bit
// two's complement: they are computed in uint32_t, where wrapping is defined,
// and converted back. Byte counts that enter a rate are taken 64 bits wide so
// that a large configuration cannot print a wrapped, negative rate.
#pragma once

#include <cstdint>

// Wrapping 32-bit arithmetic with the results of two's-complement hardware.
inline int32_t Add32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t Sub32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
inline int32_t Mul32(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
// Signed division truncating toward zero. A sector size of 0 from a broken
// capacity answer gives 0 instead of a fault, and the one quotient that does
// not fit (INT32_MIN / -1) wraps as the hardware's would.
int32_t Div32(int32_t a, int32_t b);

// MaximumPhysicalPages x 4096 - SectorSize, the size of one benchmark read.
int32_t ComputeTransferSize(uint32_t maximumPhysicalPages, int32_t sectorSize);

// The alignment mask of a worker's data buffer: the adapter's, and at least
// a page. A transfer of MaximumPhysicalPages pages less one sector spans
// that many pages only when it starts in the first sector of a page; from
// anywhere else in a page it spans one more, and the adapter (the Linux
// kernel before the unit sees the request) refuses it. From a page boundary
// it always fits, whatever the allocator returns, and a page boundary
// satisfies every adapter mask up to a page.
constexpr uint32_t kPageMask = 4095;
inline uint32_t WorkerBufferMask(uint32_t alignmentMask) {
    return alignmentMask | kPageMask;
}

// Bytes 1 to 5, 7 and 8 of a READ(10) CDB: the address as its 32-bit pattern
// and the low 16 bits of the block count, most significant byte first.
inline void WriteReadCdb(uint8_t* cdb, int32_t address, int32_t blockCount) {
    const uint32_t lba = static_cast<uint32_t>(address);
    const uint32_t count = static_cast<uint32_t>(blockCount);
    cdb[1] = 0;
    cdb[2] = static_cast<uint8_t>(lba >> 24);
    cdb[3] = static_cast<uint8_t>(lba >> 16);
    cdb[4] = static_cast<uint8_t>(lba >> 8);
    cdb[5] = static_cast<uint8_t>(lba);
    cdb[7] = static_cast<uint8_t>(count >> 8);
    cdb[8] = static_cast<uint8_t>(count);
}

// What the four surface-to-cache passes of the hardware-level worker need to
// place their requests; fixed for the whole run.
struct AddressTable {
    int32_t TransferSize;
    int32_t SectorSize;
    int32_t FarEnd;     // MaxLogicalBlock - W, W = 16 MiB in blocks
    int32_t RegionEnd;  // T(N), N = NUMBER_OF_PASSES
    bool SameSector;
};

AddressTable MakeAddressTable(int32_t numberOfPasses, int32_t transferSize, int32_t sectorSize,
                              int32_t maxLogicalBlock, bool sameSector);

// T(x) = (x * TransferSize) / SectorSize, each term wrapped on its own.
inline int32_t BlockOffset(const AddressTable& table, int32_t x) {
    return Div32(Mul32(x, table.TransferSize), table.SectorSize);
}

// The address of request i of pass 1 to 4.
inline int32_t PassAddress(const AddressTable& table, int pass, int32_t i) {
    switch (pass) {
        case 1:
            return table.SameSector ? 0 : BlockOffset(table, i);
        case 2:
            return table.SameSector
                       ? table.FarEnd
                       : Add32(Sub32(table.FarEnd, table.RegionEnd), BlockOffset(table, i));
        case 3:
            return table.SameSector ? table.RegionEnd
                                    : Sub32(table.RegionEnd, BlockOffset(table, i));
        default:
            return table.SameSector ? table.FarEnd : Sub32(table.FarEnd, BlockOffset(table, i));
    }
}

// The last address of pass 2's region, printed after the near-end rates.
int32_t NearEndPosition(const AddressTable& table);

// Milliseconds between two readings of the wrapping 32-bit tick counter.
inline uint32_t TickDifference(uint32_t end, uint32_t start) {
    return end - start;
}

// Bytes per millisecond, printed as KBytes/sec. A rate with no bytes (too
// few requests to time) or no time (faster than the tick) is 0.0 in both
// workers rather than a negative, infinite or undefined figure.
double RateKBytesPerSec(int64_t bytes, uint32_t ticks);

// Bytes timed in a surface-to-cache pass of the hardware-level worker
// (requests 128 to N - 1) and in its cache-to-host pass (reads 1 to N - 1);
// 0 when the pass has nothing timed.
int64_t HardwarePassBytes(int32_t numberOfPasses, int32_t transferSize);
int64_t CacheToHostBytes(int32_t numberOfPasses, int32_t transferSize);

// Bytes timed in every pass of the software-level worker (requests 1 to
// N - 1); 0 when the pass has nothing timed.
int64_t RaidPassBytes(int32_t numberOfPasses, uint32_t requestSize);

// The byte position of request i of pass 1 to 5 of the software-level
// worker, and where passes 2 and 4 stand before their first request.
// Passes 1, 3 and 5 use unsigned 32-bit products; passes 2 and 4 are 64-bit
// from the volume size, so that their positions reach past 4 GiB.
uint64_t RaidPosition(int pass, uint32_t i, uint32_t numberOfPasses, uint32_t requestSize,
                      uint64_t volumeSize);
uint64_t RaidPrePosition(int pass, uint32_t numberOfPasses, uint32_t requestSize,
                         uint64_t volumeSize);

// Scan steps of stepBytes in a volume of totalBytes. False when the rate
// table would not fit 32 bits (step count x 4 of 2^32 or more).
bool ScanStepCount(uint64_t totalBytes, uint32_t stepBytes, uint32_t* stepCount);
// Largest step size in KBytes whose byte count fits 32 bits.
constexpr uint32_t kMaxScanStepKBytes = 4194303;
// Bytes per millisecond of one step; 0 for a step faster than the clock.
uint32_t ScanRate(uint32_t stepBytes, uint32_t elapsedMilliseconds);

// IoTime x 100 / VoidTime; 100 (a printed utilization of 0.00) when the idle
// probe was faster than the tick.
double ComputeUtilization(uint32_t ioTime, uint32_t voidTime);

// The CPU load probe's array: 350 x 350 doubles, row by row.
constexpr int kProbeSide = 350;
constexpr int kProbeCells = kProbeSide * kProbeSide;
// One repetition of the probe's workload over array; returns the sum.
double CpuWorkloadSum(const double* array);
