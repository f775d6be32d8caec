// The mode page report: the page sequence, the MODE SENSE request, and the
// decoders of pages 0x01 to 0x05.
#include <bit>
#include <cstdio>

#include "passthru/Diagnostics.h"
#include "passthru/PassThru.h"
#include "report/ModePageLines.h"
#include "report/Report.h"
#include "report/ReportBytes.h"
#include "report/ReportRequests.h"
#include "run/RunState.h"

namespace {

// Page 0x06 is never asked for.
constexpr uint8_t kModePageCodes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x07,
                                      0x08, 0x09, 0x0A, 0x0B, 0x0C};

void PrintModePage(uint8_t pageCode, const uint8_t* data) {
    switch (pageCode) {
        case 0x01:
            PrintRecoveryPage(data);
            break;
        case 0x02:
            PrintDisconnectPage(data);
            break;
        case 0x03:
            PrintFormatPage(data);
            break;
        case 0x04:
            PrintGeometryPage(data);
            break;
        case 0x05:
            PrintFlexiblePage(data);
            break;
        case 0x07:
            PrintVerifyPage(data);
            break;
        case 0x08:
            PrintCachingPage(data);
            break;
        case 0x09:
            PrintPeripheralPage(data);
            break;
        case 0x0A:
            PrintControlPage(data);
            break;
        case 0x0B:
            PrintMediumTypesPage(data);
            break;
        case 0x0C:
            PrintNotchPage(data);
            break;
        default:
            break;
    }
}

const PageLine kRecoveryLines[] = {
    FlagLine("     Auto write reallocation enabled: %s\n", 2, 0x80),
    FlagLine("      Auto read reallocation enabled: %s\n", 2, 0x40),
    FlagLine("       Unrecovered block transferred: %s\n", 2, 0x20),
    FlagLine("           Continuous read performed: %s\n", 2, 0x10),
    FlagLine("              Early recovery enabled: %s\n", 2, 0x08),
    FlagLine("           Recovered errors reported: %s\n", 2, 0x04),
    FlagLine("          Transfer on error disabled: %s\n", 2, 0x02),
    FlagLine("           Correction codes disabled: %s\n", 2, 0x01),
    ByteLine("                    Read retry count: %d\n", 3),
    ByteLine("                     Correction span: %d\n", 4),
    ByteLine("                   Head offset count: %d\n", 5),
    ByteLine("            Data strobe offset count: %d\n", 6),
    ByteLine("                   Write retry count: %d\n", 8),
};

const PageLine kFormatLines[] = {
    ByteLine("       Valid data in page (in Bytes): %d\n", 1),
    Be16Line("                     Tracks per zone: %d\n", 2),
    Be16Line("          Alternate sectors per zone: %d\n", 4),
    Be16Line("           Alternate tracks per zone: %d\n", 6),
    Be16Line("   Alternate tracks per logical unit: %d\n", 8),
    Be16Line("         Sectors per track (average): %d\n", 10),
    Be16Line("      Data Bytes per physical sector: %d\n", 12),
    Be16Line("                          Interleave: %d\n", 14),
    Be16Line("                   Track skew factor: %d\n", 16),
    Be16Line("                Cylinder skew factor: %d\n", 18),
    FlagLine("         Supports soft sector format: %s\n", 20, 0x80),
    FlagLine("         Supports hard sector format: %s\n", 20, 0x40),
    FlagLine("            Supports removable media: %s\n", 20, 0x20),
    FlagLine("            Surface prior allocation: %s\n", 20, 0x10),
};

const PageLine kGeometryLines[] = {
    ByteLine("       Valid data in page (in Bytes): %d\n", 1),
    Be24Line("                           Cylinders: %d\n", 2),
    ByteLine("                               Heads: %d\n", 5),
    Be24Line("     Starting cylinder-start precomp: %d\n", 6),
    Be24Line("     Starting cylinder-reduced write: %d\n", 9),
    Be16Line("                     Drive step rate: %d\n", 12),
    Be24Line("               Landing zone cylinder: %d\n", 14),
    Be16Line("       Medium rotation rate (in RPM): %d\n", 20),
};

// The first five stand one column to the left of the rest of the report.
const PageLine kFlexibleLines[] = {
    ByteLine("                              Heads: %d\n", 4),
    ByteLine("                  Sectors per track: %d\n", 5),
    Be16Line("             Sector size (in Bytes): %d\n", 6),
    Be16Line("                          Cylinders: %d\n", 8),
    Be16Line("     Starting cylinder-write precomp: %d\n", 10),
    Be16Line("     Starting cylinder-reduced write: %d\n", 12),
    Be16Line("                     Drive step rate: %d\n", 14),
    ByteLine("              Drive step pulse width: %d\n", 16),
    Be16Line("                   Head settle deley: %d\n", 17),
    ByteLine("                      Motor ON delay: %d\n", 19),
    ByteLine("                     Motor OFF delay: %d\n", 20),
    FlagLine("                        Device ready: %s\n", 21, 0x80),
    FlagLine("               Sectors are one-based: %s\n", 21, 0x40),
    ByteLine("             Step pulse per cylinder: %d\n", 22, 0x0F),
    ByteLine("                  Write compensation: %d\n", 23),
    ByteLine("                     Head load delay: %d\n", 24),
    ByteLine("                   Head unload delay: %d\n", 25),
    Be16Line("       Medium rotation rate (in RPM): %d\n", 28),
};

struct RateWord {
    uint32_t kilobitsPerSecond;
    const char* word;
};

const RateWord kRateWords[] = {
    {250, "0.25\n"}, {300, "0.3\n"}, {500, "0.5\n"}, {1000, "1\n"}, {2000, "2\n"}, {5000, "5\n"},
};

}  // namespace

void PrintPageLines(const uint8_t* page, std::span<const PageLine> lines) {
    for (const PageLine& line : lines) {
        const uint8_t* at = page + line.offset;
        switch (line.field) {
            case PageField::Byte:
                std::printf(line.format, (at[0] & line.mask) >> std::countr_zero(line.mask));
                break;
            case PageField::Be16:
                std::printf(line.format, static_cast<int>(ReadBigEndian16(at)));
                break;
            case PageField::Be24:
                std::printf(line.format, static_cast<int>(ReadBigEndian24(at)));
                break;
            case PageField::Flag:
                std::printf(line.format, YesNo(at[0] & line.mask));
                break;
        }
    }
}

void ShowModePages() {
    for (const uint8_t pageCode : kModePageCodes) {
        if (SenseModePage(pageCode)) {
            PrintModePage(pageCode, State.ScsiPassThru.DataBuf);
        } else if (State.DebugOutput != 0) {
            PrintStatusResults(State.ScsiResultMain, State.ReturnedMain, &State.ScsiPassThru,
                               State.LengthMain);
        }
    }
}

bool SenseModePage(uint8_t pageCode) {
    // Current values (page control 00b); DBD clear, so one block descriptor
    // comes before the page.
    const uint8_t cdb[6] = {
        SCSIOP_MODE_SENSE, 0, pageCode, 0, static_cast<uint8_t>(kModeSenseLength), 0};
    SendReportCommand(cdb, sizeof cdb, kModeSenseLength);
    return PlainAcceptance(State.ScsiResultMain, &State.ScsiPassThru);
}

void PrintRecoveryPage(const uint8_t* data) {
    const uint8_t* p = data + kModePageStart;
    std::printf("\n\n                  Read/Write error recovery page (0x01)\n\n");
    // This page alone shows its length even when it is empty.
    std::printf("       Valid data in page (in Bytes): %d\n", static_cast<int>(p[1]));
    if (p[1] == 0) {
        return;
    }
    PrintPageLines(p, kRecoveryLines);
    std::printf("                 Recovery time limit: 0x%02X%02X\n", static_cast<unsigned>(p[10]),
                static_cast<unsigned>(p[11]));
}

void PrintDisconnectPage(const uint8_t* data) {
    const uint8_t* p = data + kModePageStart;
    std::printf("\n\n                  Disconnect/Reconnect page (0x02)\n\n");
    if (p[1] == 0) {
        return;
    }
    std::printf("       Valid data in page (in Bytes): %d\n", static_cast<int>(p[1]));
    std::printf("                   Buffer full ratio: 0x%02X\n", static_cast<unsigned>(p[2]));
    std::printf("                  Buffer empty ratio: 0x%02X\n", static_cast<unsigned>(p[3]));
    std::printf("    Bus inactivity limit (in 100 us): 0x%02X%02X\n", static_cast<unsigned>(p[4]),
                static_cast<unsigned>(p[5]));
    std::printf("   Disconnect time limit (in 100 us): 0x%02X%02X\n", static_cast<unsigned>(p[6]),
                static_cast<unsigned>(p[7]));
    std::printf("      Connect time limit (in 100 us): 0x%02X%02X\n", static_cast<unsigned>(p[8]),
                static_cast<unsigned>(p[9]));
    // The page counts bursts in 512-byte blocks.
    const uint32_t burstBlocks = ReadBigEndian16(p + 10);
    if (burstBlocks != 0) {
        std::printf("       Maximum burst size (in Bytes): %d\n",
                    static_cast<int>(burstBlocks * 512));
    } else {
        std::printf("                  Maximum burst size: Unlimited\n");
    }
}

void PrintFormatPage(const uint8_t* data) {
    const uint8_t* p = data + kModePageStart;
    std::printf("\n\n                       Format device page (0x03)\n\n");
    if (p[1] == 0) {
        return;
    }
    PrintPageLines(p, kFormatLines);
}

void PrintGeometryPage(const uint8_t* data) {
    const uint8_t* p = data + kModePageStart;
    std::printf("\n\n                       Rigid geometry page (0x04)\n\n");
    if (p[1] == 0) {
        return;
    }
    PrintPageLines(p, kGeometryLines);
}

void PrintFlexiblePage(const uint8_t* data) {
    const uint8_t* p = data + kModePageStart;
    std::printf("\n\n                           Flexibile page (0x05)\n\n");
    if (p[1] == 0) {
        return;
    }
    std::printf("      Valid data in page (in Bytes): %d\n", static_cast<int>(p[1]));
    std::printf("       Transfer rate (in Mbits/sec): ");
    const uint32_t rate = ReadBigEndian16(p + 2);
    const char* rateWord = "Undefined\n";
    for (const RateWord& known : kRateWords) {
        if (known.kilobitsPerSecond == rate) {
            rateWord = known.word;
        }
    }
    std::printf("%s", rateWord);
    PrintPageLines(p, kFlexibleLines);
}
