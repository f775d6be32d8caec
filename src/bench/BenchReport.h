// The printed results of the benchmark, apart from any device.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32.h"
#include "state/Fields.h"

// Everything one hardware-level worker reports.
struct HardwareReport {
    int32_t OrderNumber;  // value of ThreadPrinting after the worker's own increment
    int32_t Index;
    uint32_t Retries[4];  // failed attempts of passes 1 to 4
    int32_t TransferSize;
    bool SameSector;
    double PassRates[4];
    int32_t NearEndPosition;
    bool ShowCacheSpeed;
    double CacheToHostRate;
    uint32_t ExecTime;
};

// The hardware-level worker's report block, and the same as one text, so
// that it can go out in one write and other threads' lines cannot split it.
Fields HardwareReportFields(const HardwareReport& report);
std::string FormatHardwareReport(const HardwareReport& report);

// The software-level worker prints as it goes: its header, then each pass's
// lines (pass 1 to 5) right after that pass. Each returns what it printed.
Fields PrintRaidHeader(int32_t index, uint32_t requestSize);
Fields PrintRaidPassResult(int pass, double rate);

// The linear scan's geometry block and its listing.
Fields PrintDriveGeometry(const DISK_GEOMETRY& geometry, uint64_t totalBytes);
Fields PrintScanListing(const uint32_t* rates, uint32_t stepCount);
