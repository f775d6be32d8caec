// The report decoders on what the golden end-to-end report cannot show: pages
// it lacks, values it prints only as defaults, hostile answers and bounds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "report/Report.h"
#include "run/RunState.h"
#include "support/capture.h"
#include "support/recording_unit.h"

namespace {

using ::testing::HasSubstr;
using testsupport::CaptureStdout;
using testsupport::HexBytes;

using Decoder = void (*)(const uint8_t*);
using ModeData = std::array<uint8_t, kModeSenseLength>;

// Header and block descriptor, then the page.
ModeData ModePage(const std::string& page) {
    ModeData data{};
    const std::vector<uint8_t> bytes = HexBytes(page);
    std::copy(bytes.begin(), bytes.end(), data.begin() + 12);
    return data;
}

std::string Decode(Decoder decoder, const ModeData& data) {
    return CaptureStdout([&] { decoder(data.data()); });
}

TEST(ModePages, PagesOutsideTheGoldenReport) {
    EXPECT_EQ(Decode(PrintFlexiblePage,
                     ModePage("05 1E 01 F4 02 12 02 00 00 50 00 28 00 50 00 01 03 00 0F 05 1E 80 "
                              "F3 00 02 03 00 00 01 2C")),
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
              "       Medium rotation rate (in RPM): 300\n");
    // The vendor bytes from page byte 8 on never print.
    EXPECT_EQ(
        Decode(PrintPeripheralPage, ModePage("09 0A 00 00 00 00 00 00 41 42 43 44")),
        "\n\n                         Peripheral page (0x09)\n\n"
        "          Valid data size (in Bytes): 10\n"
        "                Interface identifier: Small computer system interface  X3.131-1986\n");
    EXPECT_EQ(Decode(PrintMediumTypesPage, ModePage("0B 06 00 00 01 02 FE FF")),
              "\n\n                       Medium types page (0x0B)\n\n"
              "          Valid data size (in Bytes): 6\n"
              "           Medium type one supported: 1\n"
              "           Medium type two supported: 2\n"
              "         Medium type three supported: 254\n"
              "          Medium type four supported: 255\n");
}

// A page of length 0 prints its title (proven above and in the golden
// report) alone; page 0x01 adds its length line.
TEST(ModePages, EmptyPagePrintsItsTitleAlone) {
    ModeData empty;
    empty.fill(0xFF);  // so that a line printed past the test shows
    empty[13] = 0;
    for (const Decoder decoder :
         {PrintRecoveryPage, PrintDisconnectPage, PrintFormatPage, PrintGeometryPage,
          PrintFlexiblePage, PrintVerifyPage, PrintCachingPage, PrintPeripheralPage,
          PrintControlPage, PrintMediumTypesPage, PrintNotchPage}) {
        const std::string full = Decode(decoder, ModePage("00 0A"));
        std::string title = full.substr(0, full.find("\n\n", 2) + 2);
        if (decoder == PrintRecoveryPage) {
            title += "       Valid data in page (in Bytes): 0\n";
        }
        EXPECT_EQ(Decode(decoder, empty), title);
    }
}

// Values the golden report shows only as zeros or defaults.
TEST(ModePages, FieldValues) {
    // The page's bytes from its code on; consecutive lines of the output.
    std::vector<std::tuple<Decoder, std::string, std::string>> cases = {
        {PrintRecoveryPage, "01 0A 01", "           Correction codes disabled: Yes\n"},
        {PrintDisconnectPage, "02 0E", "                  Maximum burst size: Unlimited\n"},
        {PrintGeometryPage, "04 16 FF FF FF FF",
         "                           Cylinders: 16777215\n"
         "                               Heads: 255\n"},
        {PrintVerifyPage, "07 0A", "          Verify recovery time limit: Unlimited\n"},
        {PrintCachingPage, "08 12 00 3C",
         "      Demand read retention priority: 3\n"
         "     Demand write retention priority: 12\n"},
    };
    // Words a field selects: the field's bytes and the word.
    const char* const queues[][2] = {
        {"00", "Restricted reodering"}, {"20", "Undefined"}, {"F0", "Undefined"}};
    for (const auto& [value, word] : queues) {
        cases.emplace_back(PrintControlPage, std::string("0A 06 00 ") + value,
                           std::string("            Queue algorithm modifier: ") + word + "\n");
    }
    const char* const rates[][2] = {
        {"00 FA", "0.25"}, {"01 2C", "0.3"},       {"03 E8", "1"},         {"07 D0", "2"},
        {"13 88", "5"},    {"00 00", "Undefined"}, {"00 FB", "Undefined"},
    };
    for (const auto& [value, word] : rates) {
        cases.emplace_back(PrintFlexiblePage, std::string("05 1E ") + value,
                           std::string("       Transfer rate (in Mbits/sec): ") + word + "\n");
    }
    const char* const interfaces[][2] = {
        {"00 01", "Storage module interface  X3.91M-1990"},
        {"00 02", "Enchanced small device interface  X3.170A-1991"},
        {"00 03", "Intellegent peripheral interface-2  X3.130-1986 X3.T9.3/87-002"},
        {"00 04", "Intellegent peripheral inteface-3  X3.132-1987 X3.147-1988"},
        {"00 05", "Undefuned"},
        {"01 00", "Undefuned"},
    };
    for (const auto& [value, word] : interfaces) {
        cases.emplace_back(PrintPeripheralPage, std::string("09 06 ") + value,
                           std::string("                Interface identifier: ") + word + "\n");
    }
    for (const auto& [decoder, page, lines] : cases) {
        // From a line's start: a label shifted by a column must not match.
        EXPECT_THAT(Decode(decoder, ModePage(page)), HasSubstr("\n" + lines));
    }
}

std::vector<uint8_t> Disk() {
    const std::string d = std::string("\0\0\2\2\x1F\0\0\x32", 8) + "ORBITEC VX-2100 SIMDISK 0417";
    return {d.begin(), d.end()};
}

using Entry = std::array<uint32_t, 4>;  // offset, target, lun, next offset

// An inquiry-data answer as the port driver lays it out: bus count, first
// entry offsets at 8 + 8 x bus, entries with target, lun, next offset (at 8)
// and inquiry bytes (at 12). Cut to length, so that reads past it show.
std::vector<uint8_t> Answer(uint8_t buses, const std::vector<uint32_t>& firstEntries,
                            const std::vector<Entry>& entries, uint32_t length = 2048,
                            const std::vector<uint8_t>& inquiry = Disk()) {
    std::vector<uint8_t> b(2048);
    b[0] = buses;
    for (size_t bus = 0; bus < firstEntries.size(); ++bus) {
        std::memcpy(&b[8 + 8 * bus], &firstEntries[bus], 4);
    }
    for (const auto& [at, targetId, lun, next] : entries) {
        b[at + 1] = static_cast<uint8_t>(targetId);
        b[at + 2] = static_cast<uint8_t>(lun);
        std::memcpy(&b[at + 8], &next, 4);
        std::copy(inquiry.begin(), inquiry.end(), b.begin() + at + 12);
    }
    return {b.begin(), b.begin() + length};
}

// Looks for target 3, lun 0 on bus.
std::string PrintInquiry(const std::vector<uint8_t>& answer, uint8_t bus = 0) {
    return CaptureStdout(
        [&] { PrintInquiryData(answer.data(), static_cast<uint32_t>(answer.size()), bus, 3, 0); });
}

TEST(AdapterReport, InquiryWalkStaysInsideTheAnswerAndEnds) {
    // An entry that ends exactly with the answer.
    const std::string one = PrintInquiry(Answer(1, {0x40}, {{0x40, 3, 0, 0}}, 0x40 + 48));
    const std::tuple<const char*, std::vector<uint8_t>, uint8_t, std::string> cases[] = {
        {"no buses", Answer(0, {0x40}, {{0x40, 3, 0, 0}}), 0, ""},
        {"bus without units skipped", Answer(2, {0, 0x40}, {{0x40, 3, 0, 0}}), 1, one},
        {"the unit on another bus", Answer(2, {0x40, 0}, {{0x40, 3, 0, 0}}), 1, ""},
        {"listed twice", Answer(1, {0x40}, {{0x40, 3, 0, 0x80}, {0x80, 3, 0, 0}}), 0, one + one},
        {"entry past the answer", Answer(1, {2001}, {}), 0, ""},
        {"entry cut by the answer's end", Answer(1, {0x40}, {{0x40, 3, 0, 0}}, 0x40 + 47), 0, ""},
        {"offset far out", Answer(1, {0xFFFFFFF0}, {}), 0, ""},
        {"chain loops back", Answer(1, {0x40}, {{0x40, 3, 0, 0x80}, {0x80, 1, 0, 0x40}}), 0, one},
        {"bus records past the answer", Answer(200, {}, {}, 13), 0, ""},
        {"empty answer", Answer(1, {}, {}, 0), 0, ""},
    };
    // A walk round a looping chain ends the test binary here, not hangs it.
#ifndef _WIN32
    alarm(10);
#endif
    for (const auto& [name, answer, bus, expected] : cases) {
        EXPECT_EQ(PrintInquiry(answer, bus), expected) << name;
    }
#ifndef _WIN32
    alarm(0);
#endif
}

TEST(AdapterReport, UnitBlockValues) {
    // Inquiry bytes from an offset on, the lines they print, the device type.
    const std::tuple<size_t, std::string, const char*, uint8_t> cases[] = {
        {0, "\x7F", "                         Device Type: LUN not present\n", 0x1F},
        {0, "\x60", "                         Device Type: Disk\n", 0x00},
        {0, "\x3F", "                         Device Type: Unknown device type 0x1F\n", 0x1F},
        {2, "\x4A",
         "                         ISO Version: 1\n"
         "                        ECMA Version: 1\n"
         "                       SCSI Revision: 2\n",
         0},
        {8, std::string("ABC\0EFGH", 8), "                              Vendor: ABC\n", 0},
    };
    for (const auto& [at, bytes, lines, deviceType] : cases) {
        std::vector<uint8_t> inquiry = Disk();
        std::copy(bytes.begin(), bytes.end(), inquiry.begin() + static_cast<long>(at));
        EXPECT_THAT(PrintInquiry(Answer(1, {0x10}, {{0x10, 3, 0, 0}}, 2048, inquiry)),
                    HasSubstr(std::string("\n") + lines));
        EXPECT_EQ(State.DeviceType, deviceType) << lines;
    }
}

TEST(AdapterReport, CapacityArithmetic) {
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
        {"00 7F FF FF 00 00 02 00", "512", "4095.5", "8388607"},
        {"00 00 03 FF 00 00 02 00", "512", "0.0", "1023"},  // whole 1024 blocks only
        {"FF FF FF FF 00 00 02 00", "512", "0.0", "-1"},
        {"7F FF FF FF 00 00 10 00", "4096", "8388604.0", "2147483647"},  // no 32-bit product
    };
    for (const auto& [data, size, megabytes, last] : cases) {
        const std::vector<uint8_t> bytes = HexBytes(data);
        EXPECT_EQ(CaptureStdout([&] { PrintCapacity(bytes.data()); }),
                  std::string("\n                    Bytes per sector: ") + size +
                      "\n                Capacity (in MBytes): " + megabytes +
                      "\n               Maximum logical block: " + last + "\n");
    }
}

const char kTitle[] = "\n\n                  Grown defect list (User defects)\n";

std::string ListHeader(int length) {
    return std::string(kTitle) +
           "\n       Defect list length (in Bytes): " + std::to_string(length) +
           "\n             Number of bad sector(s): " + std::to_string(length / 8) + "\n" +
           (length != 0 ? "\n" : "");
}

TEST(DefectList, EntriesInsideTheListAndTheBuffer) {
    const std::tuple<const char*, std::vector<uint8_t>, std::string> cases[] = {
        {"header cut short", HexBytes("00 05 00"), ListHeader(0)},
        {"two entries, the second a whole track",
         HexBytes("00 05 00 10 00 01 02 03 00 00 00 2A 01 86 A0 0F FF FF FF FF"),
         ListHeader(16) + "               Cylinder: 00258  Head: 03  Sector: 00042\n"
                          "               Cylinder: 100000  Head: 15  Sector: -0001\n"},
        {"announced beyond the buffer", HexBytes("00 05 00 18 00 00 07 01 00 00 00 09 00 00 08"),
         ListHeader(24) + "               Cylinder: 00007  Head: 01  Sector: 00009\n"},
    };
    for (const auto& [name, data, out] : cases) {
        EXPECT_EQ(CaptureStdout([&bytes = data] {
                      PrintDefectList(kTitle, bytes.data(), static_cast<uint32_t>(bytes.size()));
                  }),
                  out)
            << name;
    }
}

// A driver's alignment mask of 0xFFFFFFFF would add 4 GiB to each list's
// allocation; under a 1 GiB address-space limit the list is still read,
// into a page-aligned buffer. (The limit is a POSIX one, and the
// sanitizers reserve far more address space than it allows.)
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(_WIN32)
TEST(DefectListDeathTest, HugeAlignmentMaskGetsAPageAlignedBuffer) {
    testsupport::InstallRecordingUnit("recdefect");
    EXPECT_EXIT(
        {
            rlimit limit{};
            limit.rlim_cur = limit.rlim_max = rlim_t{1} << 30;
            setrlimit(RLIMIT_AS, &limit);
            State.ScsiPortHandMain = os::CreateFileA("\\\\.\\recdefect", GENERIC_READ, 0, nullptr,
                                                     OPEN_EXISTING, 0, nullptr);
            State.IoScsiData.AlignmentMask = 0xFFFFFFFF;
            const bool read = ReadDefectList(0x0D);
            const auto address = reinterpret_cast<uintptr_t>(State.IoBufferMain);
            std::exit(read && (address & 0xFFF) == 0 ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
