// The device report: whole reports of simulated units worked out from their
// bytes, the commands it sends, and the decoders on hostile answers and
// bounds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/testing.h"
#include "platform/units/sim/sim.h"
#include "report/Report.h"
#include "state/RunState.h"
#include "support/capture.h"
#include "support/recording_unit.h"

namespace {

using ::testing::HasSubstr;
using testsupport::CaptureStdout;
using testsupport::HexBytes;

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

// Type words the whole reports below do not reach.
TEST(AdapterReport, UnitBlockTypeWords) {
    // Inquiry byte 0, the line it prints, the device type.
    const std::tuple<char, const char*, uint8_t> cases[] = {
        {'\x7F', "LUN not present\n", 0x1F},
        {'\x3F', "Unknown device type 0x1F\n", 0x1F},
        {'\x08', "Jukebox\n", 0x08},
        {'\x09', "Network\n", 0x09},
        {'\x0A', "Unknown device type 0x0A\n", 0x0A},
    };
    for (const auto& [byte0, word, deviceType] : cases) {
        std::vector<uint8_t> inquiry = Disk();
        inquiry[0] = static_cast<uint8_t>(byte0);
        EXPECT_THAT(PrintInquiry(Answer(1, {0x10}, {{0x10, 3, 0, 0}}, 2048, inquiry)),
                    HasSubstr(std::string("\n                         Device Type: ") + word));
        EXPECT_EQ(State.DeviceType, deviceType) << word;
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

// Whole reports of simulated units, worked out from the bytes each unit
// answers with: every field distinct and nonzero, every flag set one bit at
// a time, every alignment word, pages cut short.

// One line as printf makes it of one of the report's formats.
template <typename... Values>
std::string Line(const char* format, Values... values) {
    char text[200];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

const char* Flag(int bit) {
    return bit != 0 ? "Yes" : "No";
}

using DefectEntries = std::vector<std::array<uint32_t, 3>>;  // cylinder, head, sector

struct UnitBytes {
    uint32_t maxTransfer, physicalPages, asyncEvents, alignmentMask;
    bool tagged, scansDown, pio;
    uint8_t bus, target, lun;
    std::vector<uint8_t> inquiry;  // 36 bytes
    uint32_t lastLba, blockLength;
    DefectEntries grown, primary;
    std::map<uint8_t, std::vector<uint8_t>> pages;  // from the page code on
};

// Pattern k of eight: each flag byte holds one bit alone, the flag bytes of
// one page or of the inquiry data each another, so that over the eight
// every bit is set once; other bytes differ from their neighbours and from
// pattern to pattern. Pattern 6 gives every page a length shorter than its
// fields reach; pattern 7 also ends the answer there.
UnitBytes Pattern(int k) {
    const auto u8 = [](int value) { return static_cast<uint8_t>(value); };
    const auto flag = [k](int start) { return static_cast<uint8_t>(0x80 >> (k + start) % 8); };
    const auto n = static_cast<uint32_t>(k);
    UnitBytes u;
    u.maxTransfer = 0x0001F000 + 0x1111 * n;
    u.physicalPages = 33 + n;
    u.asyncEvents = 5 + n;
    u.alignmentMask = std::array<uint32_t, 8>{0, 1, 3, 7, 4, 15, 511, 63}[n];
    u.tagged = k % 3 == 0;
    u.scansDown = k % 3 == 1;
    u.pio = k % 3 == 2;
    u.bus = u8(1 + k % 4);
    u.target = u8(2 + k);
    u.lun = u8(10 + k);
    // Types 0 to 7, each under another qualifier.
    u.inquiry = {u8(k | (k << 5 & 0xE0)),
                 flag(0),
                 u8((k + 1) % 4 << 6 | (k + 3) % 8 << 3 | (k + 5) % 8),
                 0x12,
                 31,
                 u8(k + 1),
                 u8(0x40 | k),
                 flag(3)};
    const char vendors[8][9] = {"VENDOR 0", "VK1     ", "Vend2ABC", "ABC\0EFGH",
                                "VENDOR-4", "VeNdOr_5", "V6      ", "VENDOR77"};
    const std::string text = std::string(vendors[k], 8) + "PRODUCT NUMBER " + std::to_string(k) +
                             "1.2" + static_cast<char>('a' + k);
    u.inquiry.insert(u.inquiry.end(), text.begin(), text.end());
    const std::pair<uint32_t, uint32_t> capacities[] = {
        {8388607, 512},  {1023, 520},        {0xFFFFFFFF, 512}, {0x7FFFFFFF, 4096},
        {2097151, 2048}, {0xFFFFF000, 1024}, {123456789, 528},  {1000000, 4160}};
    std::tie(u.lastLba, u.blockLength) = capacities[k];
    u.grown = {{258 + n, 3 + n, 42 + 1000 * n}, {100000 + n, 15 + n, 0xFFFFFFFF - n}};
    u.primary = {
        {n + 1, 1, 7 + n}, {16777215 - n, 255 - n, 99999 + n}, {1234 + n, 200 + n, 0x7FFFFFFF - n}};
    // Each page as long as a unit has it: the code, the length, then bytes.
    const std::pair<uint8_t, int> pages[] = {{0x01, 10}, {0x02, 14}, {0x03, 22}, {0x04, 22},
                                             {0x05, 30}, {0x07, 10}, {0x08, 18}, {0x09, 10},
                                             {0x0A, 6},  {0x0B, 6},  {0x0C, 22}};
    for (const auto& [code, length] : pages) {
        std::vector<uint8_t> p = {code, u8(length)};
        for (int i = 2; i < length + 2; ++i) {
            p.push_back(u8(0x13 * code + 0x1D * i + 0x35 * k));  // never 0
        }
        u.pages[code] = p;
    }
    // Flag bytes: the page, the byte, and where its bit starts. A bit printed
    // beyond byte 5 is never the one of pattern 7, which cuts the page there.
    const std::tuple<uint8_t, size_t, int> flagBytes[] = {
        {0x01, 2, 0}, {0x03, 20, 5}, {0x05, 21, 3}, {0x07, 2, 4}, {0x08, 2, 5},
        {0x0A, 2, 7}, {0x0A, 3, 2},  {0x0A, 4, 1},  {0x0C, 2, 6}};
    for (const auto& [code, at, start] : flagBytes) {
        u.pages[code][at] = flag(start);
    }
    // Every rate and interface word, and values next to them; hexadecimal
    // fields with leading zero digits.
    const int rates[] = {250, 300, 500, 1000, 2000, 5000, 251, 10000};
    const int interfaces[] = {0, 1, 2, 3, 4, 5, 0x0100, 0x8000};
    u.pages[0x05][2] = u8(rates[k] >> 8);
    u.pages[0x05][3] = u8(rates[k]);
    u.pages[0x09][2] = u8(interfaces[k] >> 8);
    u.pages[0x09][3] = u8(interfaces[k]);
    u.pages[0x02][2 + n % 4] = u8(k + 1);
    u.pages[0x07][10] = u8(k);
    for (auto& [code, p] : u.pages) {
        if (k == 6) {
            p[1] = 3;
        } else if (k == 7) {
            p[1] = 4;
            p.resize(6);
        }
    }
    return u;
}

std::string HexText(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (const uint8_t byte : bytes) {
        text += Line(text.empty() ? "%02x" : " %02x", byte);
    }
    return text;
}

nlohmann::json Profile(const UnitBytes& u) {
    nlohmann::json pages = nlohmann::json::object();
    for (const auto& [code, p] : u.pages) {
        pages[Line("0x%02x", code)] = HexText(p);
    }
    return {{"adapter",
             {{"max_transfer_length", u.maxTransfer},
              {"max_physical_pages", u.physicalPages},
              {"async_events", u.asyncEvents},
              {"alignment_mask", u.alignmentMask},
              {"tagged_queuing", u.tagged},
              {"scans_down", u.scansDown},
              {"uses_pio", u.pio}}},
            {"address", {{"path_id", u.bus}, {"target_id", u.target}, {"lun", u.lun}}},
            {"inquiry", HexText(u.inquiry)},
            {"capacity", {{"last_lba", u.lastLba}, {"block_length", u.blockLength}}},
            {"defects", {{"grown", u.grown}, {"primary", u.primary}}},
            {"mode_pages", pages},
            {"timing", {{"instant", true}}}};
}

std::string ExpectedAdapterAndUnit(const UnitBytes& u) {
    const std::map<uint32_t, std::string> words = {
        {0, "BYTE\n"}, {1, "WORD\n"}, {3, "DWORD\n"}, {7, "QWORD\n"}};
    const auto word = words.find(u.alignmentMask);
    const std::vector<uint8_t>& d = u.inquiry;
    const char* const types[] = {"Disk\n", "Tape\n",   "Printer\n", "Processor\n",
                                 "WORM\n", "CD-ROM\n", "Scanner\n", "Optical\n"};
    // A NUL inside a text field ends it.
    const auto text = [&d](long at, long width) {
        const std::string field(d.begin() + at, d.begin() + at + width);
        return field.substr(0, field.find('\0'));
    };
    return "\n               Information about attached host adapter\n"
           "               ~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\n" +
           Line("    Maximum transfer size (in Bytes): 0x%08X\n", u.maxTransfer) +
           Line("    Maximum physical pages in buffer: %d\n", u.physicalPages) +
           Line("      Async calls from port to class: %d\n", u.asyncEvents) +
           "   Alignment mask for data transfers: " +
           (word != words.end() ? word->second : Line("%d Bytes\n", u.alignmentMask)) +
           Line("     Supports tagged command queuing: %s\n", Flag(u.tagged)) +
           Line("         Scans down for BIOS devices: %s\n", Flag(u.scansDown)) +
           Line("           Uses programmed I/O (PIO): %s\n", Flag(u.pio)) +
           "\n                      Information about device\n"
           "                      ~~~~~~~~~~~~~~~~~~~~~~~~\n" +
           Line("                                 Bus: %d\n", u.bus) +
           Line("                                  ID: %d\n", u.target) +
           Line("                                 Lun: %d\n\n", u.lun) +
           "                         Device Type: " + types[d[0] & 0x1F] +
           Line("                           Removable: %s\n", Flag(d[1] & 0x80)) +
           Line("                         ISO Version: %d\n", (d[2] & 0xC0) >> 6) +
           Line("                        ECMA Version: %d\n", (d[2] & 0x38) >> 3) +
           Line("                       SCSI Revision: %d\n", d[2] & 0x07) +
           Line("\n                 Relative addressing: %s\n", Flag(d[7] & 0x80)) +
           Line("         32-bit data bus (Wide SCSI): %s\n", Flag(d[7] & 0x40)) +
           Line("         16-bit data bus (Wide SCSI): %s\n", Flag(d[7] & 0x20)) +
           Line("                Synchronous transfer: %s\n", Flag(d[7] & 0x10)) +
           Line("                     Linked commands: %s\n", Flag(d[7] & 0x08)) +
           Line("              Tagged command queuing: %s\n", Flag(d[7] & 0x02)) +
           Line("                          Soft reset: %s\n", Flag(d[7] & 0x01)) +
           Line("\n                              Vendor: %s\n", text(8, 8).c_str()) +
           Line("                             Product: %s\n", text(16, 16).c_str()) +
           Line("                            Revision: %s\n", text(32, 4).c_str());
}

std::string ExpectedCapacityAndLists(const UnitBytes& u) {
    const auto last = static_cast<int32_t>(u.lastLba);
    const auto size = static_cast<int32_t>(u.blockLength);
    std::string s = Line("\n                    Bytes per sector: %d\n", size) +
                    Line("                Capacity (in MBytes): %.1f\n",
                         static_cast<double>(last / 1024) * size / 1024) +
                    Line("               Maximum logical block: %d\n", last);
    for (const auto& [title, list] :
         {std::pair{"\n\n                  Grown defect list (User defects)\n", &u.grown},
          std::pair{"\n\n                 Primary defect list (OEM defects)\n", &u.primary}}) {
        const int length = 8 * static_cast<int>(list->size());
        s += title + Line("\n       Defect list length (in Bytes): %d\n", length) +
             Line("             Number of bad sector(s): %d\n", length / 8) + "\n";
        for (const auto& [cylinder, head, sector] : *list) {
            s += Line("               Cylinder: %05d  Head: %02d  Sector: %05d\n", cylinder, head,
                      static_cast<int32_t>(sector));
        }
    }
    return s;
}

std::string ExpectedPage(uint8_t code, const std::vector<uint8_t>& bytes) {
    // The page in a zeroed data area: what lies past the answer reads 0.
    std::array<uint8_t, kModeSenseLength - 12> p{};
    std::copy(bytes.begin(), bytes.end(), p.begin());
    const auto be16 = [&p](size_t at) { return p[at] * 256 + p[at + 1]; };
    const auto be24 = [&p](size_t at) { return p[at] * 65536 + p[at + 1] * 256 + p[at + 2]; };
    const auto be32 = [&p](size_t at) {
        return static_cast<uint32_t>(p[at]) << 24 | static_cast<uint32_t>(p[at + 1]) << 16 |
               static_cast<uint32_t>(p[at + 2]) << 8 | p[at + 3];
    };
    const auto flags = [&p](size_t at, std::initializer_list<std::pair<const char*, int>> lines) {
        std::string s;
        for (const auto& [format, bit] : lines) {
            s += Line(format, Flag(p[at] & bit));
        }
        return s;
    };
    const std::string size = Line("          Valid data size (in Bytes): %d\n", p[1]);
    const std::string valid = Line("       Valid data in page (in Bytes): %d\n", p[1]);
    const std::map<uint8_t, std::string> titles = {
        {0x01, "\n\n                  Read/Write error recovery page (0x01)\n\n"},
        {0x02, "\n\n                  Disconnect/Reconnect page (0x02)\n\n"},
        {0x03, "\n\n                       Format device page (0x03)\n\n"},
        {0x04, "\n\n                       Rigid geometry page (0x04)\n\n"},
        {0x05, "\n\n                           Flexibile page (0x05)\n\n"},
        {0x07, "\n\n                          Verify error page (0x07)\n\n"},
        {0x08, "\n\n                             Caching page (0x08)\n\n"},
        {0x09, "\n\n                         Peripheral page (0x09)\n\n"},
        {0x0A, "\n\n                            Control page (0x0A)\n\n"},
        {0x0B, "\n\n                       Medium types page (0x0B)\n\n"},
        {0x0C, "\n\n                  Notch and partition page (0x0C)\n\n"},
    };
    const std::string title = titles.at(code);
    // An empty page stops after its title; page 0x01 shows its length first.
    if (p[1] == 0) {
        return title + (code == 0x01 ? valid : "");
    }
    switch (code) {
        case 0x01:
            return title + valid +
                   flags(2, {{"     Auto write reallocation enabled: %s\n", 0x80},
                             {"      Auto read reallocation enabled: %s\n", 0x40},
                             {"       Unrecovered block transferred: %s\n", 0x20},
                             {"           Continuous read performed: %s\n", 0x10},
                             {"              Early recovery enabled: %s\n", 0x08},
                             {"           Recovered errors reported: %s\n", 0x04},
                             {"          Transfer on error disabled: %s\n", 0x02},
                             {"           Correction codes disabled: %s\n", 0x01}}) +
                   Line("                    Read retry count: %d\n", p[3]) +
                   Line("                     Correction span: %d\n", p[4]) +
                   Line("                   Head offset count: %d\n", p[5]) +
                   Line("            Data strobe offset count: %d\n", p[6]) +
                   Line("                   Write retry count: %d\n", p[8]) +
                   Line("                 Recovery time limit: 0x%02X%02X\n", p[10], p[11]);
        case 0x02:
            return title + valid + Line("                   Buffer full ratio: 0x%02X\n", p[2]) +
                   Line("                  Buffer empty ratio: 0x%02X\n", p[3]) +
                   Line("    Bus inactivity limit (in 100 us): 0x%02X%02X\n", p[4], p[5]) +
                   Line("   Disconnect time limit (in 100 us): 0x%02X%02X\n", p[6], p[7]) +
                   Line("      Connect time limit (in 100 us): 0x%02X%02X\n", p[8], p[9]) +
                   (be16(10) != 0
                        ? Line("       Maximum burst size (in Bytes): %d\n", be16(10) * 512)
                        : "                  Maximum burst size: Unlimited\n");
        case 0x03:
            return title + valid + Line("                     Tracks per zone: %d\n", be16(2)) +
                   Line("          Alternate sectors per zone: %d\n", be16(4)) +
                   Line("           Alternate tracks per zone: %d\n", be16(6)) +
                   Line("   Alternate tracks per logical unit: %d\n", be16(8)) +
                   Line("         Sectors per track (average): %d\n", be16(10)) +
                   Line("      Data Bytes per physical sector: %d\n", be16(12)) +
                   Line("                          Interleave: %d\n", be16(14)) +
                   Line("                   Track skew factor: %d\n", be16(16)) +
                   Line("                Cylinder skew factor: %d\n", be16(18)) +
                   flags(20, {{"         Supports soft sector format: %s\n", 0x80},
                              {"         Supports hard sector format: %s\n", 0x40},
                              {"            Supports removable media: %s\n", 0x20},
                              {"            Surface prior allocation: %s\n", 0x10}});
        case 0x04:
            return title + valid + Line("                           Cylinders: %d\n", be24(2)) +
                   Line("                               Heads: %d\n", p[5]) +
                   Line("     Starting cylinder-start precomp: %d\n", be24(6)) +
                   Line("     Starting cylinder-reduced write: %d\n", be24(9)) +
                   Line("                     Drive step rate: %d\n", be16(12)) +
                   Line("               Landing zone cylinder: %d\n", be24(14)) +
                   Line("       Medium rotation rate (in RPM): %d\n", be16(20));
        case 0x05: {
            const std::map<int, std::string> rates = {{250, "0.25\n"}, {300, "0.3\n"},
                                                      {500, "0.5\n"},  {1000, "1\n"},
                                                      {2000, "2\n"},   {5000, "5\n"}};
            const auto rate = rates.find(be16(2));
            return title + Line("      Valid data in page (in Bytes): %d\n", p[1]) +
                   "       Transfer rate (in Mbits/sec): " +
                   (rate != rates.end() ? rate->second : "Undefined\n") +
                   Line("                              Heads: %d\n", p[4]) +
                   Line("                  Sectors per track: %d\n", p[5]) +
                   Line("             Sector size (in Bytes): %d\n", be16(6)) +
                   Line("                          Cylinders: %d\n", be16(8)) +
                   Line("     Starting cylinder-write precomp: %d\n", be16(10)) +
                   Line("     Starting cylinder-reduced write: %d\n", be16(12)) +
                   Line("                     Drive step rate: %d\n", be16(14)) +
                   Line("              Drive step pulse width: %d\n", p[16]) +
                   Line("                   Head settle deley: %d\n", be16(17)) +
                   Line("                      Motor ON delay: %d\n", p[19]) +
                   Line("                     Motor OFF delay: %d\n", p[20]) +
                   "                        Device ready: " + Flag(p[21] & 0x80) + "\n" +
                   "               Sectors are one-based: " + Flag(p[21] & 0x40) + "\n" +
                   Line("             Step pulse per cylinder: %d\n", p[22] & 0x0F) +
                   Line("                  Write compensation: %d\n", p[23]) +
                   Line("                     Head load delay: %d\n", p[24]) +
                   Line("                   Head unload delay: %d\n", p[25]) +
                   Line("       Medium rotation rate (in RPM): %d\n", be16(28));
        }
        case 0x07:
            return title + size +
                   flags(2, {{"            Early recovering enabled: %s\n", 0x08},
                             {"           Recovered errors reported: %s\n", 0x04},
                             {"        Transfer terminated on error: %s\n", 0x02},
                             {"     Error correction codes disabled: %s\n", 0x01}}) +
                   Line("                  Verify retry count: %d\n", p[3]) +
                   Line("              Verify correction span: %d\n", p[4]) +
                   (be16(10) != 0 ? Line("  Verify recovery time limit (in ms): 0x%X\n", be16(10))
                                  : "          Verify recovery time limit: Unlimited\n");
        case 0x08:
            return title + size +
                   flags(2, {{"                 Write-cache enabled: %s\n", 0x04},
                             {"       Multiplication factor enabled: %s\n", 0x02},
                             {"                 Read-cache disabled: %s\n", 0x01}}) +
                   Line("      Demand read retention priority: %d\n", (p[3] & 0xF0) >> 4) +
                   Line("     Demand write retention priority: %d\n", p[3] & 0x0F) +
                   Line("Disable prefetch transfer (in Bytes): 0x%04X\n", be16(4)) +
                   Line("         Minimum prefetch (in Bytes): 0x%04X\n", be16(6)) +
                   Line("         Maximum prefetch (in Bytes): 0x%04X\n", be16(8)) +
                   Line(" Maximum prefetch ceiling (in Bytes): 0x%04X\n", be16(10));
        case 0x09: {
            const char* const words[] = {
                "Small computer system interface  X3.131-1986\n",
                "Storage module interface  X3.91M-1990\n",
                "Enchanced small device interface  X3.170A-1991\n",
                "Intellegent peripheral interface-2  X3.130-1986 X3.T9.3/87-002\n",
                "Intellegent peripheral inteface-3  X3.132-1987 X3.147-1988\n"};
            return title + size + "                Interface identifier: " +
                   (be16(2) < 5 ? words[be16(2)] : "Undefuned\n");
        }
        case 0x0A: {
            const char* const words[] = {"Restricted reodering\n", "Unrestricted reodering\n"};
            return title + size +
                   Line("                Report log exception: %s\n", Flag(p[2] & 0x01)) +
                   "            Queue algorithm modifier: " +
                   (p[3] >> 4 < 2 ? words[p[3] >> 4] : "Undefined\n") +
                   flags(3, {{"               Queue error managment: %s\n", 0x02},
                             {"                    Disabled queuing: %s\n", 0x01}}) +
                   flags(4, {{"         Enabled extended contingent: %s\n", 0x80},
                             {"                Ready AEN permission: %s\n", 0x04},
                             {"       Unit attantion AEN permission: %s\n", 0x02},
                             {"                Error AEN permission: %s\n", 0x01}}) +
                   Line("    Ready AEN holdoff perion (in ms): %d\n", be16(6));
        }
        case 0x0B:
            return title + size + Line("           Medium type one supported: %d\n", p[4]) +
                   Line("           Medium type two supported: %d\n", p[5]) +
                   Line("         Medium type three supported: %d\n", p[6]) +
                   Line("          Medium type four supported: %d\n", p[7]);
        default:
            return title + size +
                   flags(2, {{"                       Notched drive: %s\n", 0x80},
                             {"                       Logical notch: %s\n", 0x40}}) +
                   Line("             Maximum number of notch: %d\n", be16(4)) +
                   Line("                        Active notch: %d\n", be16(6)) +
                   Line("                   Starting boundary: 0x%08X\n", be32(8)) +
                   Line("                     Ending boundary: 0x%08X\n", be32(12));
    }
}

// The report steps of a run on the unit \\.\name, as the run calls them.
std::string RunReport(const char* name) {
    ResetRunState();
    std::snprintf(State.DriveName, sizeof State.DriveName, "%s", name);
    std::snprintf(State.ScsiPortName, sizeof State.ScsiPortName, "\\\\.\\%s", name);
    State.ShowDefectList = 1;
    const std::string out = CaptureStdout([] {
        OpenReportDevice();
        ReportAdapterCapabilities();
        CheckUnitReady();
        ReportInquiryData();
        ReadCapacityReport();
        ShowDefectLists();
        ShowModePages();
    });
    os::CloseHandle(State.ScsiPortHandMain);
    ResetRunState();
    return out;
}

TEST(WholeReport, EveryFieldAsItsBytesGiveIt) {
    testsupport::TempDir dir;
    for (int k = 0; k < 9; ++k) {
        UnitBytes unit = Pattern(k % 8);
        for (auto& [code, p] : unit.pages) {
            p[1] = k == 8 ? 0 : p[1];  // a ninth unit, its pages empty though their bytes follow
        }
        os::units::sim::ResetForTesting(dir.Write("unit.json", Profile(unit).dump()));
        std::string expected = ExpectedAdapterAndUnit(unit) + ExpectedCapacityAndLists(unit);
        for (const auto& [code, bytes] : unit.pages) {
            expected += ExpectedPage(code, bytes);
        }
        EXPECT_EQ(RunReport("sim0"), expected) << "pattern " << k;
    }
    os::units::sim::ResetForTesting();
}

// Every command the report sends, in order, with the lengths handed to the
// device control calls: the same whether the unit answers or every call
// fails, which leaves TEST UNIT READY counting as ready.
TEST(WholeReport, CommandsInOrder) {
    auto unit = testsupport::InstallRecordingUnit("recreport");
    // The published headers are 44 bytes where pointers are 32 bits wide
    // and 56 where they are 64; 4 filler bytes and the 32-byte sense area
    // follow, and the direct block is padded to the pointer's alignment.
    const DWORD header = sizeof(void*) == 4 ? 44 : 56;
    const DWORD front = header + 36;
    const DWORD direct = sizeof(void*) == 4 ? 80 : 96;
    std::vector<std::string> expectedControls = {Line("%05X 0 24", IOCTL_SCSI_GET_CAPABILITIES),
                                                 Line("4D004 %u %u", header, front),
                                                 Line("%05X 0 2048", IOCTL_SCSI_GET_INQUIRY_DATA)};
    for (int list = 0; list < 3; ++list) {  // READ CAPACITY, both defect lists
        expectedControls.push_back(Line("4D014 %u %u", direct, direct));
    }
    for (int page = 0; page < 11; ++page) {
        expectedControls.push_back(Line("4D004 %u %u", header, front + 192));
    }
    for (const uint32_t error : {0u, 5u}) {
        SCOPED_TRACE(error);
        unit->commands.clear();
        unit->answer.error = error;
        std::vector<std::string> controls;
        os::testing::ObserveDeviceControls([&controls](DWORD code, DWORD in, DWORD out) {
            controls.push_back(Line("%05X %u %u", code, in, out));
        });
        RunReport("recreport");
        os::testing::ObserveDeviceControls(nullptr);
        std::string sent;
        for (const testsupport::RecordedCommand& command : unit->commands) {
            sent += HexText(command.cdb) + Line(" | %u %u %u\n", command.dataLength,
                                                command.timeoutSeconds, command.senseCapacity);
        }
        EXPECT_EQ(sent,
                  "00 00 00 00 00 00 | 0 200 24\n"
                  "25 00 00 00 00 00 00 00 00 00 | 8 200 24\n"
                  "37 00 0d 00 00 00 00 ff ff 00 | 65535 200 24\n"
                  "37 00 15 00 00 00 00 ff ff 00 | 65535 200 24\n"
                  "1a 00 01 00 c0 00 | 192 200 24\n"
                  "1a 00 02 00 c0 00 | 192 200 24\n"
                  "1a 00 03 00 c0 00 | 192 200 24\n"
                  "1a 00 04 00 c0 00 | 192 200 24\n"
                  "1a 00 05 00 c0 00 | 192 200 24\n"
                  "1a 00 07 00 c0 00 | 192 200 24\n"
                  "1a 00 08 00 c0 00 | 192 200 24\n"
                  "1a 00 09 00 c0 00 | 192 200 24\n"
                  "1a 00 0a 00 c0 00 | 192 200 24\n"
                  "1a 00 0b 00 c0 00 | 192 200 24\n"
                  "1a 00 0c 00 c0 00 | 192 200 24\n");
        EXPECT_EQ(controls, expectedControls);
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
