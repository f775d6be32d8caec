#include "bench/BenchReport.h"

#include <cstdarg>
#include <cstdio>

namespace {

void Appendf(std::string* text, const char* format, ...) {
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (length > 0) {
        text->append(line, static_cast<size_t>(length) < sizeof line ? static_cast<size_t>(length)
                                                                     : sizeof line - 1);
    }
}

const char* TestMode(bool sameSector) {
    return sameSector ? "Same Sector I/O" : "Sequental I/O";
}

}  // namespace

std::string FormatHardwareReport(const HardwareReport& report) {
    std::string text;
    Appendf(&text, "\n                        thread index: %d %d %d(1) %d(2) %d(3) %d(4) %d(5)\n",
            report.OrderNumber, report.Index, static_cast<int>(report.Retries[0]),
            static_cast<int>(report.Retries[1]), static_cast<int>(report.Retries[2]),
            static_cast<int>(report.Retries[3]), 0);
    Appendf(&text, "    Single transfer size (in KBytes): %.1f\n",
            report.TransferSize * 0.0009765625);
    Appendf(&text, "                           Test mode: %s\n", TestMode(report.SameSector));
    Appendf(&text, "\n                  Cache hit mode (Read-ahead Enabled)\n");
    Appendf(&text, "    Surface-to-Cache (in KBytes/sec): %.1f ", report.PassRates[0]);
    Appendf(&text, "(at logical block 0)\n");
    Appendf(&text, "    Surface-to-Cache (in KBytes/sec): %.1f ", report.PassRates[1]);
    Appendf(&text, "(at logical block %d)\n", report.NearEndPosition);
    Appendf(&text, "\n                 Cache miss mode (Read-ahead Disabled)\n");
    Appendf(&text, "    Surface-to-Cache (in KBytes/sec): %.1f ", report.PassRates[2]);
    Appendf(&text, "(at logical block 0)\n");
    Appendf(&text, "    Surface-to-Cache (in KBytes/sec): %.1f ", report.PassRates[3]);
    Appendf(&text, "(at logical block %d)\n", report.NearEndPosition);
    if (report.ShowCacheSpeed) {
        Appendf(&text, "\n       Cache-to-Host (in KBytes/sec): %.1f\n\n", report.CacheToHostRate);
    }
    Appendf(&text, "                    thread exec time: %d\n", static_cast<int>(report.ExecTime));
    return text;
}

void PrintRaidHeader(int32_t index, uint32_t requestSize) {
    std::printf("                        thread index: %d\n", index);
    // Whole KBytes: the figure always ends in ".0".
    std::printf("    Single transfer size (in KBytes): %.1f\n",
                static_cast<double>(requestSize >> 10));
    std::printf("                           Test mode: %s\n", TestMode(false));
}

void PrintRaidPassResult(int pass, double rate) {
    switch (pass) {
        case 1:
            std::printf("\n                 Cache hit mode (Read-ahead Enabled)\n");
            std::printf("    Surface-to-Cache (in KBytes/sec): %.1f ", rate);
            std::printf("at logical block 0\n");
            break;
        case 3:
            std::printf("                 Cache miss mode (Read-ahead Disabled)\n");
            std::printf("    Surface-to-Cache (in KBytes/sec): %.1f ", rate);
            std::printf("at logical block 0\n");
            break;
        case 2:
        case 4:
            std::printf("    Surface-to-Cache (in KBytes/sec): %.1f ", rate);
            std::printf("at logical block (?)\n\n");
            break;
        default:
            std::printf("       Cache-to-Host (in KBytes/sec): %.1f\n\n", rate);
            break;
    }
}

void PrintDriveGeometry(const DISK_GEOMETRY& geometry, uint64_t totalBytes) {
    std::printf("                        Logical drive geometry\n");
    std::printf("                        ~~~~~~~~~~~~~~~~~~~~~~\n");
    std::printf("                           Cylinders: %lld\n",
                static_cast<long long>(geometry.Cylinders.QuadPart));
    std::printf("                               Heads: %d\n",
                static_cast<int>(geometry.TracksPerCylinder));
    std::printf("                             Sectors: %d\n",
                static_cast<int>(geometry.SectorsPerTrack));
    std::printf("                    Bytes per sector: %d\n",
                static_cast<int>(geometry.BytesPerSector));
    std::printf("         Logical capacity (in Bytes): 0x%08X%08X (%llu)\n\n",
                static_cast<unsigned>(totalBytes >> 32), static_cast<unsigned>(totalBytes),
                static_cast<unsigned long long>(totalBytes));
}

void PrintScanListing(const uint32_t* rates, uint32_t stepCount) {
    for (uint32_t k = 0; k < stepCount; ++k) {
        std::printf("            %08d (in KBytes/sec): %08u\n", static_cast<int>(k), rates[k]);
    }
}
