#include "bench/BenchMath.h"

#include <limits>

int32_t Div32(int32_t a, int32_t b) {
    if (b == 0) {
        return 0;
    }
    if (b == -1) {
        return Sub32(0, a);
    }
    return a / b;
}

int32_t ComputeTransferSize(uint32_t maximumPhysicalPages, int32_t sectorSize) {
    return static_cast<int32_t>(maximumPhysicalPages * 4096u - static_cast<uint32_t>(sectorSize));
}

AddressTable MakeAddressTable(int32_t numberOfPasses, int32_t transferSize, int32_t sectorSize,
                              int32_t maxLogicalBlock, bool sameSector) {
    AddressTable table{};
    table.TransferSize = transferSize;
    table.SectorSize = sectorSize;
    table.FarEnd = Sub32(maxLogicalBlock, Div32(16777216, sectorSize));
    table.RegionEnd = BlockOffset(table, numberOfPasses);
    table.SameSector = sameSector;
    return table;
}

int32_t NearEndPosition(const AddressTable& table) {
    return Sub32(table.FarEnd, Div32(table.TransferSize, table.SectorSize));
}

double RateKBytesPerSec(int64_t bytes, uint32_t ticks) {
    if (bytes <= 0 || ticks == 0) {
        return 0.0;
    }
    return static_cast<double>(bytes) / static_cast<double>(ticks);
}

int64_t HardwarePassBytes(int32_t numberOfPasses, int32_t transferSize) {
    if (numberOfPasses <= 128) {
        return 0;
    }
    return (static_cast<int64_t>(numberOfPasses) - 128) * transferSize;
}

int64_t CacheToHostBytes(int32_t numberOfPasses, int32_t transferSize) {
    if (numberOfPasses <= 1) {
        return 0;
    }
    return (static_cast<int64_t>(numberOfPasses) - 1) * transferSize;
}

int64_t RaidPassBytes(int32_t numberOfPasses, uint32_t requestSize) {
    if (numberOfPasses <= 1) {
        return 0;
    }
    return (static_cast<int64_t>(numberOfPasses) - 1) * static_cast<int64_t>(requestSize);
}

uint64_t RaidPosition(int pass, uint32_t i, uint32_t numberOfPasses, uint32_t requestSize,
                      uint64_t volumeSize) {
    // The 32-bit products wrap as the positions' own arithmetic does; only
    // the passes near the end carry on in 64 bits from the volume size.
    const uint64_t offset = i * requestSize;
    const uint64_t region = numberOfPasses * requestSize;
    switch (pass) {
        case 1:
            return offset;
        case 2:
            return volumeSize + (offset - region);
        case 3:
            return (numberOfPasses - i) * requestSize;
        case 4:
            return volumeSize - offset - region;
        default:
            return requestSize;
    }
}

uint64_t RaidPrePosition(int pass, uint32_t numberOfPasses, uint32_t requestSize,
                         uint64_t volumeSize) {
    const uint64_t region = numberOfPasses * requestSize;
    return pass == 2 ? volumeSize - region : volumeSize;
}

bool ScanStepCount(uint64_t totalBytes, uint32_t stepBytes, uint32_t* stepCount) {
    const uint64_t steps = totalBytes / stepBytes;
    if (steps > std::numeric_limits<uint32_t>::max() / 4) {
        return false;
    }
    *stepCount = static_cast<uint32_t>(steps);
    return true;
}

uint32_t ScanRate(uint32_t stepBytes, uint32_t elapsedMilliseconds) {
    if (elapsedMilliseconds == 0) {
        return 0;
    }
    return stepBytes / elapsedMilliseconds;
}

double ComputeUtilization(uint32_t ioTime, uint32_t voidTime) {
    if (voidTime == 0) {
        return 100.0;
    }
    return static_cast<double>(ioTime) * 100.0 / static_cast<double>(voidTime);
}

double CpuWorkloadSum(const double* array) {
    double sum = 0.0;
    int first = 0;
    int second = 0;
    for (int r = 0; r < kProbeSide; r += 2) {
        const double* row = array + r * kProbeSide;
        const double* next = row + kProbeSide;
        for (int c = 0; c < kProbeSide; c += 2) {
            const int tens =
                (row[c] == 10.0) + (next[c + 1] == 10.0) + (next[c] == 10.0) + (row[c + 1] == 20.0);
            first = first + tens >= 2 ? 1 : 0;
            const int twenties =
                (row[c] == 20.0) + (next[c + 1] == 20.0) + (next[c] == 20.0) + (row[c + 1] == 20.0);
            second = second + twenties >= 2 ? 1 : 0;
            sum += first == second ? 1.0 : -1.0;
        }
    }
    return sum;
}
