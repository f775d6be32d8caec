#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "report/Report.h"
#include "report/ReportTestSupport.h"
#include "run/RunState.h"
#include "support/capture.h"

namespace {

using reporttest::LinesLike;
using reporttest::ModeData;
using reporttest::ModePage;
using testsupport::CaptureStdout;

using Decoder = void (*)(const uint8_t*);

class ModePagesTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetRunState(); }
};

std::string Decode(Decoder decoder, const ModeData& data) {
    return CaptureStdout([&] { decoder(data.data()); });
}

TEST_F(ModePagesTest, PrintsEachWholePage) {
    const struct {
        const char* name;
        Decoder decoder;
        ModeData data;
        const char* out;
    } cases[] = {
        {"recovery", PrintRecoveryPage, ModePage("01 0A C4 0B 10 FE 80 00 05 00 01 F4"),
         "\n\n                  Read/Write error recovery page (0x01)\n\n"
         "       Valid data in page (in Bytes): 10\n"
         "     Auto write reallocation enabled: Yes\n"
         "      Auto read reallocation enabled: Yes\n"
         "       Unrecovered block transferred: No\n"
         "           Continuous read performed: No\n"
         "              Early recovery enabled: No\n"
         "           Recovered errors reported: Yes\n"
         "          Transfer on error disabled: No\n"
         "           Correction codes disabled: No\n"
         "                    Read retry count: 11\n"
         "                     Correction span: 16\n"
         "                   Head offset count: 254\n"
         "            Data strobe offset count: 128\n"
         "                   Write retry count: 5\n"
         "                 Recovery time limit: 0x01F4\n"},
        {"disconnect", PrintDisconnectPage, ModePage("02 0E 20 20 00 0A 00 64 00 00 00 80"),
         "\n\n                  Disconnect/Reconnect page (0x02)\n\n"
         "       Valid data in page (in Bytes): 14\n"
         "                   Buffer full ratio: 0x20\n"
         "                  Buffer empty ratio: 0x20\n"
         "    Bus inactivity limit (in 100 us): 0x000A\n"
         "   Disconnect time limit (in 100 us): 0x0064\n"
         "      Connect time limit (in 100 us): 0x0000\n"
         "       Maximum burst size (in Bytes): 65536\n"},
        {"format", PrintFormatPage,
         ModePage("03 16 00 08 00 40 00 00 00 10 00 3F 02 00 00 01 00 04 00 0B 40"),
         "\n\n                       Format device page (0x03)\n\n"
         "       Valid data in page (in Bytes): 22\n"
         "                     Tracks per zone: 8\n"
         "          Alternate sectors per zone: 64\n"
         "           Alternate tracks per zone: 0\n"
         "   Alternate tracks per logical unit: 16\n"
         "         Sectors per track (average): 63\n"
         "      Data Bytes per physical sector: 512\n"
         "                          Interleave: 1\n"
         "                   Track skew factor: 4\n"
         "                Cylinder skew factor: 11\n"
         "         Supports soft sector format: No\n"
         "         Supports hard sector format: Yes\n"
         "            Supports removable media: No\n"
         "            Surface prior allocation: No\n"},
        {"geometry", PrintGeometryPage,
         ModePage("04 16 01 86 A0 08 01 86 A0 01 86 A0 00 00 01 86 A1 00 00 00 1C 20"),
         "\n\n                       Rigid geometry page (0x04)\n\n"
         "       Valid data in page (in Bytes): 22\n"
         "                           Cylinders: 100000\n"
         "                               Heads: 8\n"
         "     Starting cylinder-start precomp: 100000\n"
         "     Starting cylinder-reduced write: 100000\n"
         "                     Drive step rate: 0\n"
         "               Landing zone cylinder: 100001\n"
         "       Medium rotation rate (in RPM): 7200\n"},
        {"flexible", PrintFlexiblePage,
         ModePage("05 1E 01 F4 02 12 02 00 00 50 00 28 00 50 00 01 03 00 0F 05 1E 80 F3 00 02 03 "
                  "00 00 01 2C"),
         "\n\n                           Flexibile page (0x05)\n\n"
         "      Valid data in page (in Bytes): 30\n"
         "       Transfer rate (in Mbits/sec): 0.5\n"
         "                              Heads: 2\n"
         "                  Sectors per track: 18\n"
         "             Sector size (in Bytes): 512\n"
         "                          Cylinders: 80\n"
         "     Starting cylinder-write precomp: 40\n"
         "     Starting cylinder-reduced write: 80\n"
         "                     Drive step rate: 1\n"
         "              Drive step pulse width: 3\n"
         "                   Head settle deley: 15\n"
         "                      Motor ON delay: 5\n"
         "                     Motor OFF delay: 30\n"
         "                        Device ready: Yes\n"
         "               Sectors are one-based: No\n"
         "             Step pulse per cylinder: 3\n"
         "                  Write compensation: 0\n"
         "                     Head load delay: 2\n"
         "                   Head unload delay: 3\n"
         "       Medium rotation rate (in RPM): 300\n"},
        {"verify", PrintVerifyPage, ModePage("07 0A 04 05 08 00 00 00 00 00 01 F4"),
         "\n\n                          Verify error page (0x07)\n\n"
         "          Valid data size (in Bytes): 10\n"
         "            Early recovering enabled: No\n"
         "           Recovered errors reported: Yes\n"
         "        Transfer terminated on error: No\n"
         "     Error correction codes disabled: No\n"
         "                  Verify retry count: 5\n"
         "              Verify correction span: 8\n"
         "  Verify recovery time limit (in ms): 0x1F4\n"},
        {"caching", PrintCachingPage, ModePage("08 12 04 00 FF FF 00 00 FF FF 10"),
         "\n\n                             Caching page (0x08)\n\n"
         "          Valid data size (in Bytes): 18\n"
         "                 Write-cache enabled: Yes\n"
         "       Multiplication factor enabled: No\n"
         "                 Read-cache disabled: No\n"
         "      Demand read retention priority: 0\n"
         "     Demand write retention priority: 0\n"
         "Disable prefetch transfer (in Bytes): 0xFFFF\n"
         "         Minimum prefetch (in Bytes): 0x0000\n"
         "         Maximum prefetch (in Bytes): 0xFFFF\n"
         " Maximum prefetch ceiling (in Bytes): 0x1000\n"},
        // The vendor bytes from p[8] on never print.
        {"peripheral", PrintPeripheralPage, ModePage("09 0A 00 00 00 00 00 00 41 42 43 44"),
         "\n\n                         Peripheral page (0x09)\n\n"
         "          Valid data size (in Bytes): 10\n"
         "                Interface identifier: Small computer system interface  X3.131-1986\n"},
        {"control", PrintControlPage, ModePage("0A 06 01 12 06 00 01 F4"),
         "\n\n                            Control page (0x0A)\n\n"
         "          Valid data size (in Bytes): 6\n"
         "                Report log exception: Yes\n"
         "            Queue algorithm modifier: Unrestricted reodering\n"
         "               Queue error managment: Yes\n"
         "                    Disabled queuing: No\n"
         "         Enabled extended contingent: No\n"
         "                Ready AEN permission: Yes\n"
         "       Unit attantion AEN permission: Yes\n"
         "                Error AEN permission: No\n"
         "    Ready AEN holdoff perion (in ms): 500\n"},
        {"medium types", PrintMediumTypesPage, ModePage("0B 06 00 00 01 02 FE FF"),
         "\n\n                       Medium types page (0x0B)\n\n"
         "          Valid data size (in Bytes): 6\n"
         "           Medium type one supported: 1\n"
         "           Medium type two supported: 2\n"
         "         Medium type three supported: 254\n"
         "          Medium type four supported: 255\n"},
        {"notch", PrintNotchPage, ModePage("0C 16 80 00 00 10 00 03 00 01 00 00 00 0F FF FF"),
         "\n\n                  Notch and partition page (0x0C)\n\n"
         "          Valid data size (in Bytes): 22\n"
         "                       Notched drive: Yes\n"
         "                       Logical notch: No\n"
         "             Maximum number of notch: 16\n"
         "                        Active notch: 3\n"
         "                   Starting boundary: 0x00010000\n"
         "                     Ending boundary: 0x000FFFFF\n"},
        // A page shorter than its table still prints every line, the
        // fields past its end reading the zeros behind it.
        {"short geometry", PrintGeometryPage, ModePage("04 06 00 01 00 04"),
         "\n\n                       Rigid geometry page (0x04)\n\n"
         "       Valid data in page (in Bytes): 6\n"
         "                           Cylinders: 256\n"
         "                               Heads: 4\n"
         "     Starting cylinder-start precomp: 0\n"
         "     Starting cylinder-reduced write: 0\n"
         "                     Drive step rate: 0\n"
         "               Landing zone cylinder: 0\n"
         "       Medium rotation rate (in RPM): 0\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Decode(c.decoder, c.data), c.out) << c.name;
    }
}

TEST_F(ModePagesTest, EmptyPagePrintsItsTitleAlone) {
    const struct {
        Decoder decoder;
        const char* out;
    } cases[] = {
        {PrintRecoveryPage,
         "\n\n                  Read/Write error recovery page (0x01)\n\n"
         "       Valid data in page (in Bytes): 0\n"},
        {PrintDisconnectPage, "\n\n                  Disconnect/Reconnect page (0x02)\n\n"},
        {PrintFormatPage, "\n\n                       Format device page (0x03)\n\n"},
        {PrintGeometryPage, "\n\n                       Rigid geometry page (0x04)\n\n"},
        {PrintFlexiblePage, "\n\n                           Flexibile page (0x05)\n\n"},
        {PrintVerifyPage, "\n\n                          Verify error page (0x07)\n\n"},
        {PrintCachingPage, "\n\n                             Caching page (0x08)\n\n"},
        {PrintPeripheralPage, "\n\n                         Peripheral page (0x09)\n\n"},
        {PrintControlPage, "\n\n                            Control page (0x0A)\n\n"},
        {PrintMediumTypesPage, "\n\n                       Medium types page (0x0B)\n\n"},
        {PrintNotchPage, "\n\n                  Notch and partition page (0x0C)\n\n"},
    };
    // Every byte but the length set, so a line printed past the test shows.
    ModeData data;
    data.fill(0xFF);
    data[13] = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(Decode(c.decoder, data), c.out);
    }
}

struct FieldCase {
    ModeData data;
    std::string lines;  // compared from the line with the first one's label
};

void ExpectFields(Decoder decoder, const std::vector<FieldCase>& cases) {
    for (const auto& c : cases) {
        EXPECT_EQ(LinesLike(Decode(decoder, c.data), c.lines), c.lines);
    }
}

TEST_F(ModePagesTest, RecoveryAndDisconnectFields) {
    ExpectFields(PrintRecoveryPage,
                 {
                     {ModePage("01 0A C0"),
                      "     Auto write reallocation enabled: Yes\n"
                      "      Auto read reallocation enabled: Yes\n"
                      "       Unrecovered block transferred: No\n"},
                     {ModePage("01 0A 01"), "           Correction codes disabled: Yes\n"},
                     {ModePage("01 0A 00", 7, "77 09 77 01 F4"),
                      "                   Write retry count: 9\n"
                      "                 Recovery time limit: 0x01F4\n"},
                 });
    ExpectFields(
        PrintDisconnectPage,
        {
            {ModePage("02 0E", 10, "00 00"), "                  Maximum burst size: Unlimited\n"},
            {ModePage("02 0E", 10, "01 00"), "       Maximum burst size (in Bytes): 131072\n"},
            {ModePage("02 0E", 10, "FF FF"), "       Maximum burst size (in Bytes): 33553920\n"},
            {ModePage("02 0E FF 0A AB CD 12 34 01 02"),
             "                   Buffer full ratio: 0xFF\n"
             "                  Buffer empty ratio: 0x0A\n"
             "    Bus inactivity limit (in 100 us): 0xABCD\n"
             "   Disconnect time limit (in 100 us): 0x1234\n"
             "      Connect time limit (in 100 us): 0x0102\n"},
        });
}

TEST_F(ModePagesTest, FormatAndGeometryFields) {
    ExpectFields(PrintFormatPage,
                 {
                     {ModePage("03 16", 20, "F0"),
                      "         Supports soft sector format: Yes\n"
                      "         Supports hard sector format: Yes\n"
                      "            Supports removable media: Yes\n"
                      "            Surface prior allocation: Yes\n"},
                     {ModePage("03 16 FF FF"), "                     Tracks per zone: 65535\n"},
                 });
    ExpectFields(PrintGeometryPage, {
                                        {ModePage("04 16 FF FF FF FF"),
                                         "                           Cylinders: 16777215\n"
                                         "                               Heads: 255\n"},
                                    });
}

TEST_F(ModePagesTest, FlexibleRateWordsAndFlags) {
    const struct {
        const char* rate;
        const char* word;
    } rates[] = {
        {"00 FA", "0.25\n"},      {"01 2C", "0.3\n"},       {"01 F4", "0.5\n"},
        {"03 E8", "1\n"},         {"07 D0", "2\n"},         {"13 88", "5\n"},
        {"00 00", "Undefined\n"}, {"27 10", "Undefined\n"}, {"00 FB", "Undefined\n"},
    };
    std::vector<FieldCase> cases;
    for (const auto& rate : rates) {
        cases.push_back({ModePage("05 1E", 2, rate.rate),
                         std::string("       Transfer rate (in Mbits/sec): ") + rate.word});
    }
    cases.push_back({ModePage("05 1E", 21, "40 0F"),
                     "                        Device ready: No\n"
                     "               Sectors are one-based: Yes\n"
                     "             Step pulse per cylinder: 15\n"});
    cases.push_back(
        {ModePage("05 1E", 17, "12 34"), "                   Head settle deley: 4660\n"});
    ExpectFields(PrintFlexiblePage, cases);
}

TEST_F(ModePagesTest, VerifyAndCachingFields) {
    ExpectFields(
        PrintVerifyPage,
        {
            {ModePage("07 0A"), "          Verify recovery time limit: Unlimited\n"},
            {ModePage("07 0A", 10, "FF FF"), "  Verify recovery time limit (in ms): 0xFFFF\n"},
            {ModePage("07 0A 0F"),
             "            Early recovering enabled: Yes\n"
             "           Recovered errors reported: Yes\n"
             "        Transfer terminated on error: Yes\n"
             "     Error correction codes disabled: Yes\n"},
        });
    ExpectFields(PrintCachingPage, {
                                       {ModePage("08 12 05"),
                                        "                 Write-cache enabled: Yes\n"
                                        "       Multiplication factor enabled: No\n"
                                        "                 Read-cache disabled: Yes\n"},
                                       {ModePage("08 12 00 3C"),
                                        "      Demand read retention priority: 3\n"
                                        "     Demand write retention priority: 12\n"},
                                       {ModePage("08 12 00 F0"),
                                        "      Demand read retention priority: 15\n"
                                        "     Demand write retention priority: 0\n"},
                                   });
}

TEST_F(ModePagesTest, PeripheralInterfaceWords) {
    const struct {
        const char* identifier;
        const char* word;
    } words[] = {
        {"00 01", "Storage module interface  X3.91M-1990\n"},
        {"00 02", "Enchanced small device interface  X3.170A-1991\n"},
        {"00 03", "Intellegent peripheral interface-2  X3.130-1986 X3.T9.3/87-002\n"},
        {"00 04", "Intellegent peripheral inteface-3  X3.132-1987 X3.147-1988\n"},
        {"00 05", "Undefuned\n"},
        {"80 00", "Undefuned\n"},
        {"01 00", "Undefuned\n"},
    };
    std::vector<FieldCase> cases;
    for (const auto& w : words) {
        cases.push_back({ModePage("09 06", 2, w.identifier),
                         std::string("                Interface identifier: ") + w.word});
    }
    ExpectFields(PrintPeripheralPage, cases);
}

TEST_F(ModePagesTest, ControlQueueWordsAndFlags) {
    ExpectFields(PrintControlPage,
                 {
                     {ModePage("0A 06 00 00"),
                      "            Queue algorithm modifier: Restricted reodering\n"},
                     {ModePage("0A 06 00 20"), "            Queue algorithm modifier: Undefined\n"},
                     {ModePage("0A 06 00 F0"), "            Queue algorithm modifier: Undefined\n"},
                     {ModePage("0A 06 00 13"),
                      "            Queue algorithm modifier: Unrestricted reodering\n"
                      "               Queue error managment: Yes\n"
                      "                    Disabled queuing: Yes\n"},
                     {ModePage("0A 06 00 00 81 00 FF FF"),
                      "         Enabled extended contingent: Yes\n"
                      "                Ready AEN permission: No\n"
                      "       Unit attantion AEN permission: No\n"
                      "                Error AEN permission: Yes\n"
                      "    Ready AEN holdoff perion (in ms): 65535\n"},
                 });
}

TEST_F(ModePagesTest, NotchBoundaries) {
    ExpectFields(PrintNotchPage, {
                                     {ModePage("0C 16 40", 12, "FF FF FF FF"),
                                      "                       Logical notch: Yes\n"
                                      "             Maximum number of notch: 0\n"
                                      "                        Active notch: 0\n"
                                      "                   Starting boundary: 0x00000000\n"
                                      "                     Ending boundary: 0xFFFFFFFF\n"},
                                 });
}

}  // namespace
