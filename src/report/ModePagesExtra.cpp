// The decoders of mode pages 0x07 to 0x0C.
#include <cstdio>

#include "report/ModePageLines.h"
#include "report/Report.h"
#include "report/ReportBytes.h"

namespace {

const PageLine kVerifyLines[] = {
    ByteLine("          Valid data size (in Bytes): %d\n", 1),
    FlagLine("            Early recovering enabled: %s\n", 2, 0x08),
    FlagLine("           Recovered errors reported: %s\n", 2, 0x04),
    FlagLine("        Transfer terminated on error: %s\n", 2, 0x02),
    FlagLine("     Error correction codes disabled: %s\n", 2, 0x01),
    ByteLine("                  Verify retry count: %d\n", 3),
    ByteLine("              Verify correction span: %d\n", 4),
};

const PageLine kCachingLines[] = {
    ByteLine("          Valid data size (in Bytes): %d\n", 1),
    FlagLine("                 Write-cache enabled: %s\n", 2, 0x04),
    FlagLine("       Multiplication factor enabled: %s\n", 2, 0x02),
    FlagLine("                 Read-cache disabled: %s\n", 2, 0x01),
    ByteLine("      Demand read retention priority: %d\n", 3, 0xF0),
    ByteLine("     Demand write retention priority: %d\n", 3, 0x0F),
};

const PageLine kControlLines[] = {
    FlagLine("               Queue error managment: %s\n", 3, 0x02),
    FlagLine("                    Disabled queuing: %s\n", 3, 0x01),
    FlagLine("         Enabled extended contingent: %s\n", 4, 0x80),
    FlagLine("                Ready AEN permission: %s\n", 4, 0x04),
    FlagLine("       Unit attantion AEN permission: %s\n", 4, 0x02),
    FlagLine("                Error AEN permission: %s\n", 4, 0x01),
    Be16Line("    Ready AEN holdoff perion (in ms): %d\n", 6),
};

const PageLine kMediumTypesLines[] = {
    ByteLine("          Valid data size (in Bytes): %d\n", 1),
    ByteLine("           Medium type one supported: %d\n", 4),
    ByteLine("           Medium type two supported: %d\n", 5),
    ByteLine("         Medium type three supported: %d\n", 6),
    ByteLine("          Medium type four supported: %d\n", 7),
};

const PageLine kNotchLines[] = {
    ByteLine("          Valid data size (in Bytes): %d\n", 1),
    FlagLine("                       Notched drive: %s\n", 2, 0x80),
    FlagLine("                       Logical notch: %s\n", 2, 0x40),
    Be16Line("             Maximum number of notch: %d\n", 4),
    Be16Line("                        Active notch: %d\n", 6),
};

const char* const kInterfaceWords[] = {
    "Small computer system interface  X3.131-1986\n",
    "Storage module interface  X3.91M-1990\n",
    "Enchanced small device interface  X3.170A-1991\n",
    "Intellegent peripheral interface-2  X3.130-1986 X3.T9.3/87-002\n",
    "Intellegent peripheral inteface-3  X3.132-1987 X3.147-1988\n",
};
constexpr uint32_t kKnownInterfaces = sizeof kInterfaceWords / sizeof kInterfaceWords[0];

}  // namespace

void PrintVerifyPage(const uint8_t* data) {
    const uint8_t* p = data + kModePageStart;
    std::printf("\n\n                          Verify error page (0x07)\n\n");
    if (p[1] == 0) {
        return;
    }
    PrintPageLines(p, kVerifyLines);
    const uint32_t limit = ReadBigEndian16(p + 10);
    if (limit != 0) {
        std::printf("  Verify recovery time limit (in ms): 0x%X\n", static_cast<unsigned>(limit));
    } else {
        std::printf("          Verify recovery time limit: Unlimited\n");
    }
}

void PrintCachingPage(const uint8_t* data) {
    const uint8_t* p = data + kModePageStart;
    std::printf("\n\n                             Caching page (0x08)\n\n");
    if (p[1] == 0) {
        return;
    }
    PrintPageLines(p, kCachingLines);
    // Printed as the unit returns them, whatever unit the page counts in.
    std::printf("Disable prefetch transfer (in Bytes): 0x%04X\n",
                static_cast<unsigned>(ReadBigEndian16(p + 4)));
    std::printf("         Minimum prefetch (in Bytes): 0x%04X\n",
                static_cast<unsigned>(ReadBigEndian16(p + 6)));
    std::printf("         Maximum prefetch (in Bytes): 0x%04X\n",
                static_cast<unsigned>(ReadBigEndian16(p + 8)));
    std::printf(" Maximum prefetch ceiling (in Bytes): 0x%04X\n",
                static_cast<unsigned>(ReadBigEndian16(p + 10)));
}

void PrintPeripheralPage(const uint8_t* data) {
    const uint8_t* p = data + kModePageStart;
    std::printf("\n\n                         Peripheral page (0x09)\n\n");
    if (p[1] == 0) {
        return;
    }
    std::printf("          Valid data size (in Bytes): %d\n", static_cast<int>(p[1]));
    std::printf("                Interface identifier: ");
    const uint32_t identifier = ReadBigEndian16(p + 2);
    std::printf("%s", identifier < kKnownInterfaces ? kInterfaceWords[identifier] : "Undefuned\n");
}

void PrintControlPage(const uint8_t* data) {
    const uint8_t* p = data + kModePageStart;
    std::printf("\n\n                            Control page (0x0A)\n\n");
    if (p[1] == 0) {
        return;
    }
    std::printf("          Valid data size (in Bytes): %d\n", static_cast<int>(p[1]));
    std::printf("                Report log exception: %s\n", YesNo(p[2] & 0x01u));
    std::printf("            Queue algorithm modifier: ");
    switch ((p[3] & 0xF0) >> 4) {
        case 0:
            std::printf("Restricted reodering\n");
            break;
        case 1:
            std::printf("Unrestricted reodering\n");
            break;
        default:
            std::printf("Undefined\n");
            break;
    }
    PrintPageLines(p, kControlLines);
}

void PrintMediumTypesPage(const uint8_t* data) {
    const uint8_t* p = data + kModePageStart;
    std::printf("\n\n                       Medium types page (0x0B)\n\n");
    if (p[1] == 0) {
        return;
    }
    PrintPageLines(p, kMediumTypesLines);
}

void PrintNotchPage(const uint8_t* data) {
    const uint8_t* p = data + kModePageStart;
    std::printf("\n\n                  Notch and partition page (0x0C)\n\n");
    if (p[1] == 0) {
        return;
    }
    PrintPageLines(p, kNotchLines);
    std::printf("                   Starting boundary: 0x%08X\n",
                static_cast<unsigned>(ReadBigEndian32(p + 8)));
    std::printf("                     Ending boundary: 0x%08X\n",
                static_cast<unsigned>(ReadBigEndian32(p + 12)));
}
