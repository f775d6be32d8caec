#include "bench/BenchReport.h"

#include <cstdio>

namespace {

const char* TestMode(bool sameSector) {
    return sameSector ? "Same Sector I/O" : "Sequental I/O";
}

// The test mode line, and its value in the document.
void AddTestMode(Fields& fields, bool sameSector) {
    AddValue(fields, "test_mode", std::string(sameSector ? "same_sector" : "sequential"),
             Format("                           Test mode: %s\n", TestMode(sameSector)));
}

// A surface-to-cache rate: the rate's own text, then the text that tells
// where the pass read (two print calls, as the workers make them).
void AddPassRate(Fields& fields, int pass, double rate, FieldValue atBlock, std::string where) {
    Field line{"passes[]", {}, Format("    Surface-to-Cache (in KBytes/sec): %.1f ", rate), {}};
    AddValue(line.members, "pass", int64_t{pass}, "");
    AddValue(line.members, "read_ahead", pass <= 2, "");
    AddValue(line.members, "kbytes_per_sec", rate, "");
    AddValue(line.members, "at_block", std::move(atBlock), "");
    fields.push_back(std::move(line));
    AddText(fields, std::move(where));
}

}  // namespace

Fields HardwareReportFields(const HardwareReport& report) {
    Fields fields;
    Field head{
        "",
        {},
        Format("\n                        thread index: %d %d %d(1) %d(2) %d(3) %d(4) %d(5)\n",
               report.OrderNumber, report.Index, static_cast<int>(report.Retries[0]),
               static_cast<int>(report.Retries[1]), static_cast<int>(report.Retries[2]),
               static_cast<int>(report.Retries[3]), 0),
        {}};
    AddValue(head.members, "level", std::string("hardware"), "");
    AddValue(head.members, "order", int64_t{report.OrderNumber}, "");
    AddValue(head.members, "index", int64_t{report.Index}, "");
    for (const uint32_t retries : report.Retries) {
        AddValue(head.members, "retries[]", int64_t{retries}, "");
    }
    fields.push_back(std::move(head));
    AddValue(
        fields, "transfer_bytes", int64_t{report.TransferSize},
        Format("    Single transfer size (in KBytes): %.1f\n", report.TransferSize * 0.0009765625));
    AddTestMode(fields, report.SameSector);
    const std::string nearEnd = Format("(at logical block %d)\n", report.NearEndPosition);
    AddText(fields, "\n                  Cache hit mode (Read-ahead Enabled)\n");
    AddPassRate(fields, 1, report.PassRates[0], int64_t{0}, "(at logical block 0)\n");
    AddPassRate(fields, 2, report.PassRates[1], int64_t{report.NearEndPosition}, nearEnd);
    AddText(fields, "\n                 Cache miss mode (Read-ahead Disabled)\n");
    AddPassRate(fields, 3, report.PassRates[2], int64_t{0}, "(at logical block 0)\n");
    AddPassRate(fields, 4, report.PassRates[3], int64_t{report.NearEndPosition}, nearEnd);
    if (report.ShowCacheSpeed) {
        AddValue(
            fields, "cache_to_host_kbytes_per_sec", report.CacheToHostRate,
            Format("\n       Cache-to-Host (in KBytes/sec): %.1f\n\n", report.CacheToHostRate));
    }
    AddNumber(fields, "exec_time_ms", report.ExecTime,
              "                    thread exec time: %d\n");
    return fields;
}

std::string FormatHardwareReport(const HardwareReport& report) {
    return JoinTexts(HardwareReportFields(report));
}

Fields PrintRaidHeader(int32_t index, uint32_t requestSize) {
    Fields fields;
    AddValue(fields, "level", std::string("software"), "");
    AddNumber(fields, "index", index, "                        thread index: %d\n");
    // Whole KBytes: the figure always ends in ".0".
    AddValue(fields, "transfer_bytes", int64_t{requestSize},
             Format("    Single transfer size (in KBytes): %.1f\n",
                    static_cast<double>(requestSize >> 10)));
    AddTestMode(fields, false);
    PrintFields(fields);
    return fields;
}

Fields PrintRaidPassResult(int pass, double rate) {
    Fields fields;
    switch (pass) {
        case 1:
            AddText(fields, "\n                 Cache hit mode (Read-ahead Enabled)\n");
            AddPassRate(fields, pass, rate, int64_t{0}, "at logical block 0\n");
            break;
        case 3:
            AddText(fields, "                 Cache miss mode (Read-ahead Disabled)\n");
            AddPassRate(fields, pass, rate, int64_t{0}, "at logical block 0\n");
            break;
        case 2:
        case 4:
            AddPassRate(fields, pass, rate, {}, "at logical block (?)\n\n");
            break;
        default:
            AddValue(fields, "cache_to_host_kbytes_per_sec", rate,
                     Format("       Cache-to-Host (in KBytes/sec): %.1f\n\n", rate));
            break;
    }
    PrintFields(fields);
    return fields;
}

Fields PrintDriveGeometry(const DISK_GEOMETRY& geometry, uint64_t totalBytes) {
    Fields fields;
    AddText(fields, "                        Logical drive geometry\n");
    AddText(fields, "                        ~~~~~~~~~~~~~~~~~~~~~~\n");
    Field cylinders{"geometry",
                    {},
                    Format("                           Cylinders: %lld\n",
                           static_cast<long long>(geometry.Cylinders.QuadPart)),
                    {}};
    AddValue(cylinders.members, "cylinders", int64_t{geometry.Cylinders.QuadPart}, "");
    AddValue(cylinders.members, "heads", int64_t{geometry.TracksPerCylinder}, "");
    AddValue(cylinders.members, "sectors_per_track", int64_t{geometry.SectorsPerTrack}, "");
    AddValue(cylinders.members, "bytes_per_sector", int64_t{geometry.BytesPerSector}, "");
    fields.push_back(std::move(cylinders));
    AddText(fields, Format("                               Heads: %d\n",
                           static_cast<int>(geometry.TracksPerCylinder)));
    AddText(fields, Format("                             Sectors: %d\n",
                           static_cast<int>(geometry.SectorsPerTrack)));
    AddText(fields, Format("                    Bytes per sector: %d\n",
                           static_cast<int>(geometry.BytesPerSector)));
    AddValue(fields, "volume_bytes", static_cast<int64_t>(totalBytes),
             Format("         Logical capacity (in Bytes): 0x%08X%08X (%llu)\n\n",
                    static_cast<unsigned>(totalBytes >> 32), static_cast<unsigned>(totalBytes),
                    static_cast<unsigned long long>(totalBytes)));
    PrintFields(fields);
    return fields;
}

Fields PrintScanListing(const uint32_t* rates, uint32_t stepCount) {
    Fields fields;
    for (uint32_t k = 0; k < stepCount; ++k) {
        AddValue(fields, "rates_kbytes_per_sec[]", int64_t{rates[k]},
                 Format("            %08d (in KBytes/sec): %08u\n", static_cast<int>(k), rates[k]));
    }
    PrintFields(fields);
    return fields;
}
