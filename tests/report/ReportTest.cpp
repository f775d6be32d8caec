// The device report: whole reports of simulated units, its commands and refusals, bad answers.
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
#include <nlohmann/json.hpp>
#include <numeric>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/units/sim/sim.h"
#include "report/Report.h"
#include "state/RunState.h"
#include "support/capture.h"
#include "support/recording_unit.h"

namespace {

using testsupport::CaptureStdout;
using testsupport::HexBytes;

template <typename... Values>
std::string Line(const char* format, Values... values) {
    char text[600];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

std::string HexText(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (const uint8_t byte : bytes) {
        text += Line(text.empty() ? "%02x" : " %02x", byte);
    }
    return text;
}

const auto Flag = [](int bit) { return bit != 0 ? "Yes" : "No"; };

// A line of the report, its label ending at the colon's column.
std::string Row(const std::string& label, const std::string& value, size_t width = 36) {
    return std::string(width - label.size(), ' ') + label + ": " + value + "\n";
}

// The lines the rows of spec decode from the bytes d. A row: its kind, the byte it starts at, "/"
// and the mask of a flag or byte, its label ("<": its colon a column to the left). Kinds: f flag, b
// byte (the mask's bits shifted down), w and t big-endian 16 and 24 bits, x h X one, two, four
// bytes in hex; B burst size, V verify limit, R rate, I interface and Q queue algorithm words.
std::string Rows(const uint8_t* d, const std::string& spec) {
    const char* const interfaces[] = {
        "Small computer system interface  X3.131-1986", "Storage module interface  X3.91M-1990",
        "Enchanced small device interface  X3.170A-1991",
        "Intellegent peripheral interface-2  X3.130-1986 X3.T9.3/87-002",
        "Intellegent peripheral inteface-3  X3.132-1987 X3.147-1988"};
    const char* const queues[] = {"Restricted reodering", "Unrestricted reodering"};
    const std::set<uint32_t> rates = {250, 300, 500, 1000, 2000, 5000};
    std::istringstream rows(spec);
    std::string s;
    for (std::string row; std::getline(rows, row, ';');) {
        char* end = nullptr;
        const uint8_t* at = d + std::strtoul(row.c_str() + 1, &end, 10);
        const int mask = *end == '/' ? static_cast<int>(std::strtol(end + 1, &end, 16)) : 0xFF;
        const char kind = row[0];
        const int count = kind == 'x' ? 1 : kind == 't' ? 3 : kind == 'X' ? 4 : 2;
        const uint32_t v =
            std::accumulate(at, at + count, 0u,  // big-endian
                            [](uint32_t sum, uint8_t byte) { return sum << 8 | byte; });
        const std::string value = kind == 'f'   ? Flag(*at & mask)
                                  : kind == 'b' ? Line("%d", (*at & mask) / (mask & -mask))
                                  : kind == 'B' ? (v != 0 ? Line("%u", v * 512) : "Unlimited")
                                  : kind == 'V' ? (v != 0 ? Line("0x%X", v) : "Unlimited")
                                  : kind == 'R'
                                      ? (rates.count(v) ? Line("%g", v / 1e3) : "Undefined")
                                  : kind == 'I' ? (v < 5 ? interfaces[v] : "Undefuned")
                                  : kind == 'Q' ? (*at >> 4 < 2 ? queues[*at >> 4] : "Undefined")
                                  : kind == 'w' || kind == 't' ? Line("%u", v)
                                                               : Line("0x%0*X", 2 * count, v);
        const std::string label = end + (end[1] == '<' ? 2 : 1);
        s += Row(value == "Unlimited" ? label.substr(0, label.find(" (")) : label, value,
                 end[1] == '<' ? 35 : 36);
    }
    return s;
}

using Entries = std::vector<std::array<uint32_t, 3>>;  // cylinder, head, sector

const char kGrown[] = "\n\n                  Grown defect list (User defects)\n";
const char kPrimary[] = "\n\n                 Primary defect list (OEM defects)\n";

std::string ExpectedList(const char* title, int length, const Entries& entries) {
    std::string s = title + ("\n" + Row("Defect list length (in Bytes)", Line("%d", length))) +
                    Row("Number of bad sector(s)", Line("%d", length / 8)) +
                    (length != 0 ? "\n" : "");
    for (const auto& [cylinder, head, sector] : entries) {
        s += Line("               Cylinder: %05d  Head: %02d  Sector: %05d\n", cylinder, head,
                  static_cast<int32_t>(sector));
    }
    return s;
}

// A header cut short is an empty list; of the entries only those wholly in the buffer print.
TEST(DefectList, EntriesInsideTheListAndTheBuffer) {
    for (const auto& [hex, out] :
         {std::pair{"00 05 00", ExpectedList(kGrown, 0, {})},
          {"00 05 00 18 00 00 07 01 00 00 00 09", ExpectedList(kGrown, 24, {{7, 1, 9}})}}) {
        const std::vector<uint8_t> bytes = HexBytes(hex);
        EXPECT_EQ(
            CaptureStdout([&] { PrintDefectList(kGrown, bytes.data(), uint32_t(bytes.size())); }),
            out);
    }
}

// Each mode page's title, then its rows.
const char* const kPages[] = {
    "                  Read/Write error recovery page (0x01);b1 Valid data in page (in Bytes);"
    "f2/80 Auto write reallocation enabled;f2/40 Auto read reallocation enabled;"
    "f2/20 Unrecovered block transferred;f2/10 Continuous read performed;"
    "f2/08 Early recovery enabled;f2/04 Recovered errors reported;f2/02 Transfer on error disabled;"
    "f2/01 Correction codes disabled;b3 Read retry count;b4 Correction span;b5 Head offset count;"
    "b6 Data strobe offset count;b8 Write retry count;h10 Recovery time limit",
    "                  Disconnect/Reconnect page (0x02);b1 Valid data in page (in Bytes);"
    "x2 Buffer full ratio;x3 Buffer empty ratio;h4 Bus inactivity limit (in 100 us);"
    "h6 Disconnect time limit (in 100 us);h8 Connect time limit (in 100 us);"
    "B10 Maximum burst size (in Bytes)",
    "                       Format device page (0x03);b1 Valid data in page (in Bytes);"
    "w2 Tracks per zone;w4 Alternate sectors per zone;w6 Alternate tracks per zone;"
    "w8 Alternate tracks per logical unit;w10 Sectors per track (average);"
    "w12 Data Bytes per physical sector;w14 Interleave;w16 Track skew factor;"
    "w18 Cylinder skew factor;f20/80 Supports soft sector format;"
    "f20/40 Supports hard sector format;f20/20 Supports removable media;"
    "f20/10 Surface prior allocation",
    "                       Rigid geometry page (0x04);b1 Valid data in page (in Bytes);"
    "t2 Cylinders;b5 Heads;t6 Starting cylinder-start precomp;t9 Starting cylinder-reduced write;"
    "w12 Drive step rate;t14 Landing zone cylinder;w20 Medium rotation rate (in RPM)",
    "                           Flexibile page (0x05);b1 <Valid data in page (in Bytes);"
    "R2 <Transfer rate (in Mbits/sec);b4 <Heads;b5 <Sectors per track;w6 <Sector size (in Bytes);"
    "w8 <Cylinders;w10 Starting cylinder-write precomp;w12 Starting cylinder-reduced write;"
    "w14 Drive step rate;b16 Drive step pulse width;w17 Head settle deley;b19 Motor ON delay;"
    "b20 Motor OFF delay;f21/80 Device ready;f21/40 Sectors are one-based;"
    "b22/0f Step pulse per cylinder;b23 Write compensation;b24 Head load delay;"
    "b25 Head unload delay;w28 Medium rotation rate (in RPM)",
    "                          Verify error page (0x07);b1 Valid data size (in Bytes);"
    "f2/08 Early recovering enabled;f2/04 Recovered errors reported;"
    "f2/02 Transfer terminated on error;f2/01 Error correction codes disabled;"
    "b3 Verify retry count;b4 Verify correction span;V10 Verify recovery time limit (in ms)",
    "                             Caching page (0x08);b1 Valid data size (in Bytes);"
    "f2/04 Write-cache enabled;f2/02 Multiplication factor enabled;f2/01 Read-cache disabled;"
    "b3/f0 Demand read retention priority;b3/0f Demand write retention priority;"
    "h4 Disable prefetch transfer (in Bytes);h6 Minimum prefetch (in Bytes);"
    "h8 Maximum prefetch (in Bytes);h10 Maximum prefetch ceiling (in Bytes)",
    "                         Peripheral page (0x09);b1 Valid data size (in Bytes);"
    "I2 Interface identifier",
    "                            Control page (0x0A);b1 Valid data size (in Bytes);"
    "f2/01 Report log exception;Q3 Queue algorithm modifier;f3/02 Queue error managment;"
    "f3/01 Disabled queuing;f4/80 Enabled extended contingent;f4/04 Ready AEN permission;"
    "f4/02 Unit attantion AEN permission;f4/01 Error AEN permission;"
    "w6 Ready AEN holdoff perion (in ms)",
    "                       Medium types page (0x0B);b1 Valid data size (in Bytes);"
    "b4 Medium type one supported;b5 Medium type two supported;b6 Medium type three supported;"
    "b7 Medium type four supported",
    "                  Notch and partition page (0x0C);b1 Valid data size (in Bytes);"
    "f2/80 Notched drive;f2/40 Logical notch;w4 Maximum number of notch;w6 Active notch;"
    "X8 Starting boundary;X12 Ending boundary",
};

// Unit k of thirteen and the report expected of it. Flag and page bytes hold one bit each, another
// than their neighbours', every bit once over units 0 to 7; unit 6's pages are shorter than their
// fields reach, unit 7's answers end there too. Units 8 to 12 repeat 0 to 4 with the other device
// types, 8 with empty pages though their bytes follow, 12 with an odd answer.
std::pair<nlohmann::json, std::string> Unit(int unit) {
    const int k = unit % 8;
    const auto u8 = [](int value) { return static_cast<uint8_t>(value); };
    const auto n = static_cast<uint32_t>(k);
    const uint32_t mask = std::array<uint32_t, 8>{0, 1, 3, 7, 4, 15, 511, 63}[n];
    const std::pair<uint32_t, uint32_t> capacities[] = {
        {8388607, 512},  {1023, 520},        {0xFFFFFFFF, 512}, {0x7FFFFFFF, 4096},
        {2097151, 2048}, {0xFFFFF000, 1024}, {123456789, 528},  {1000000, 4160}};
    const auto [last, size] = capacities[k];
    nlohmann::json profile = nlohmann::json::parse(Line(
        R"({"adapter": {"max_transfer_length": %u, "max_physical_pages": %u, "async_events": %u,
            "alignment_mask": %u, "tagged_queuing": %s, "scans_down": %s, "uses_pio": %s},
            "address": {"path_id": %d, "target_id": %d, "lun": %d}, "timing": {"instant": true},
            "capacity": {"last_lba": %u, "block_length": %u}})",
        0x1F000 + 0x1111 * n, 33 + n, 5 + n, mask, k % 3 == 0 ? "true" : "false",
        k % 3 == 1 ? "true" : "false", k % 3 == 2 ? "true" : "false", 1 + k % 4, 2 + k, 10 + k,
        last, size));
    const char* const words[] = {"BYTE", "WORD", "", "DWORD", "", "", "", "QWORD"};
    std::string s =
        "\n               Information about attached host adapter\n"
        "               ~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\n" +
        Row("Maximum transfer size (in Bytes)", Line("0x%08X", 0x1F000 + 0x1111 * n)) +
        Row("Maximum physical pages in buffer", Line("%u", 33 + n)) +
        Row("Async calls from port to class", Line("%u", 5 + n)) +
        Row("Alignment mask for data transfers",
            mask < 8 && *words[mask] != 0 ? words[mask] : Line("%u Bytes", mask)) +
        Row("Supports tagged command queuing", Flag(k % 3 == 0)) +
        Row("Scans down for BIOS devices", Flag(k % 3 == 1)) +
        Row("Uses programmed I/O (PIO)", Flag(k % 3 == 2));
    // Types 0 to 7 under eight qualifiers, then the others; a NUL ends a text.
    const uint8_t type = unit < 8 ? u8(k | (k << 5 & 0xE0)) : u8("\x7F\x3F\x08\x09\x0A"[unit - 8]);
    const uint8_t versions = u8((k + 1) % 4 << 6 | (k + 3) % 8 << 3 | (k + 5) % 8);
    const char vendors[8][9] = {"VENDOR 0", "VK1     ", "Vend2ABC", "ABC\0EFGH",
                                "VENDOR-4", "VeNdOr_5", "V6      ", "VENDOR77"};
    const std::string text = std::string(vendors[k], 8) + "PRODUCT NUMBER " + std::to_string(k) +
                             "1.2" + static_cast<char>('a' + k);
    std::vector<uint8_t> d = {type, u8(0x80 >> k), versions,     0x12,
                              31,   u8(k + 1),     u8(0x40 | k), u8(0x80 >> (k + 3) % 8)};
    d.insert(d.end(), text.begin(), text.end());
    profile["inquiry"] = HexText(d);
    const char* const types[] = {"Disk",   "Tape",    "Printer", "Processor", "WORM",
                                 "CD-ROM", "Scanner", "Optical", "Jukebox",   "Network"};
    const std::string device =
        "\n                      Information about device\n"
        "                      ~~~~~~~~~~~~~~~~~~~~~~~~\n" +
        Row("Bus", Line("%d", 1 + k % 4)) + Row("ID", Line("%d", 2 + k)) +
        Row("Lun", Line("%d", 10 + k)) + "\n" +
        Row("Device Type", type == 0x7F       ? "LUN not present"
                           : (type & 31) < 10 ? types[type & 31]
                                              : Line("Unknown device type 0x%02X", type & 31)) +
        Rows(d.data(), "f1/80 Removable;b2/c0 ISO Version;b2/38 ECMA Version;b2/07 SCSI Revision") +
        "\n" +
        Rows(d.data(),
             "f7/80 Relative addressing;f7/40 32-bit data bus (Wide SCSI);"
             "f7/20 16-bit data bus (Wide SCSI);f7/10 Synchronous transfer;f7/08 Linked commands;"
             "f7/02 Tagged command queuing;f7/01 Soft reset") +
        "\n" + Row("Vendor", text.substr(0, std::min<size_t>(8, text.find('\0')))) +
        Row("Product", text.substr(8, 16)) + Row("Revision", text.substr(24, 4));
    // Unit 12's driver lists it on bus 0 (not its own), then twice on its bus 1, the last entry
    // leading back and ending the answer; path ids left 0.
    if (unit == 12) {
        std::vector<uint8_t> answer =
            HexBytes("02 00 00 00 00 00 00 00 18 00 00 00 00 00 00 00 48");
        answer.resize(0xA8);
        for (const auto& [at, next] : {std::pair{0x18u, 0}, {0x48u, 0x78}, {0x78u, 0x48}}) {
            const auto head = HexBytes(Line("00 %x %x 00 00 00 00 00 %x", 2 + k, 10 + k, next));
            std::copy(head.begin(), head.end(), answer.begin() + at);
            std::copy(d.begin(), d.end(), answer.begin() + at + 12);
        }
        profile["bus_info"] = HexText(answer);
        s += device;
    }
    s += device + "\n" + Row("Bytes per sector", Line("%u", size)) +
         Row("Capacity (in MBytes)",
             Line("%.1f", static_cast<double>(static_cast<int32_t>(last) / 1024) * size / 1024)) +
         Row("Maximum logical block", Line("%d", static_cast<int32_t>(last)));
    const Entries grown = {{258 + n, 3 + n, 42 + 1000 * n}, {100000 + n, 15 + n, 0xFFFFFFFF - n}};
    Entries primary = {
        {n + 1, 1, 7 + n}, {16777215 - n, 255 - n, 99999 + n}, {1234 + n, 200 + n, 0x7FFFFFFF - n}};
    // One unit's list is 320 bytes long: the length's upper byte counts too.
    for (uint32_t e = 0; unit == 4 && e < 37; ++e) {
        primary.push_back({5000 + e, e + 2, 77 * e + 3});
    }
    profile["defects"] = {{"grown", grown}, {"primary", primary}};
    s += ExpectedList(kGrown, 16, grown) +
         ExpectedList(kPrimary, static_cast<int>(primary.size() * 8), primary);
    // Each page as long as a unit has it, with every rate and interface word and values next to
    // them, in a zeroed area; an empty page stops after its title, 0x01 its length.
    const int lengths[] = {10, 14, 22, 22, 30, 0, 10, 18, 10, 6, 6, 22};
    const int rates[] = {250, 300, 500, 1000, 2000, 5000, 251, 10000};
    const int interfaces[] = {0, 1, 2, 3, 4, 5, 0x0100, 0x8000};
    const char* const* page = kPages;
    for (const int code : {1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12}) {
        const int length = lengths[code - 1];
        std::vector<uint8_t> p = {u8(code), u8(unit == 8 ? 0 : k >= 6 ? k - 3 : length)};
        for (int i = 2; i < (k == 7 ? 6 : length + 2); ++i) {
            p.push_back(u8(0x80 >> (k + i + 3 * code) % 8));
        }
        if (code == 5 || code == 9) {
            p[2] = u8((code == 5 ? rates[k] : interfaces[k]) >> 8);
            p[3] = u8(code == 5 ? rates[k] : interfaces[k]);
        }
        profile["mode_pages"][Line("0x%02x", code)] = HexText(p);
        p.resize(kModeSenseLength - 12);
        const std::string title = *page++;
        const std::string rows = title.substr(title.find(';') + 1);
        s += "\n\n" + title.substr(0, title.find(';')) + "\n\n" +
             Rows(p.data(), p[1] != 0   ? rows
                            : code == 1 ? rows.substr(0, rows.find(';'))
                                        : "");
    }
    return {profile, s};
}

// The report steps of a run on \\.\name as the run calls them, from first on.
std::string RunReport(const char* name, int debug = 0, int show = 1, int first = 0) {
    ResetRunState();
    std::snprintf(State.ScsiPortName, sizeof State.ScsiPortName, "\\\\.\\%s", name);
    State.DebugOutput = debug;
    State.ShowDefectList = show;
    const std::string out = CaptureStdout([first] {
        OpenReportDevice();
        void (*const steps[])() = {ReportAdapterCapabilities, CheckUnitReady,  ReportInquiryData,
                                   ReadCapacityReport,        ShowDefectLists, ShowModePages};
        std::for_each(steps + first, std::end(steps), [](void (*step)()) { step(); });
    });
    os::CloseHandle(State.ScsiPortHandMain);
    return out;
}

TEST(WholeReport, EveryFieldAsItsBytesGiveIt) {
    testsupport::TempDir dir;
    for (int k = 0; k < 13; ++k) {
        const auto [profile, expected] = Unit(k);
        os::units::sim::ResetForTesting(dir.Write("unit.json", profile.dump()));
        EXPECT_EQ(RunReport("sim0"), expected) << "unit " << k;
    }
    os::units::sim::ResetForTesting();
}

// Every command the report sends, in order, whatever their outcome: a failed call leaves TEST UNIT
// READY counting as ready. With DebugOutput set (any value) a rejected command shows its status
// and sense, a list what came of it; a RECOVERED ERROR alone keeps a list, ShowDefectList 2 none.
TEST(WholeReport, CommandsAndTheirRefusal) {
    auto unit = testsupport::InstallRecordingUnit("recreport");
    unit->answer.error = 5;
    RunReport("recreport");
    std::string sent;
    for (const testsupport::RecordedCommand& command : unit->commands) {
        sent += HexText(command.cdb) + Line(" | %u %u %u\n", command.dataLength,
                                            command.timeoutSeconds, command.senseCapacity);
    }
    std::string expected =
        "00 00 00 00 00 00 | 0 200 24\n25 00 00 00 00 00 00 00 00 00 | 8 200 24\n"
        "37 00 0d 00 00 00 00 ff ff 00 | 65535 200 24\n"
        "37 00 15 00 00 00 00 ff ff 00 | 65535 200 24\n";
    for (const int page : {1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12}) {
        expected += Line("1a 00 %02x 00 c0 00 | 192 200 24\n", page);
    }
    EXPECT_EQ(sent, expected);

    unit->answer = {0, 2, {}, {}, HexBytes("00 0d 00 08 00 01 02 03 00 00 00 2a"), 161};
    const std::string strange = "\nStrange reaction: SCSI Status: 02h\n\nSCSI Sense Info:\n" +
                                std::string(62, '-') + "\n70 00 21 \n\n";
    std::string list =
        strange + "      00  01  02  03  04  05  06  07   08  09  0A  0B  0C  0D  0E  0F\n" +
        std::string(6, ' ') + std::string(63, '-') +
        "\n 000  00  0D  00  08  00  01  02  03   00  00  00  2A  00  00  00  00   \n";
    for (int row = 0x10; row < 0xA0; row += 0x10) {
        list += Line(" %03X", row) +
                "  00  00  00  00  00  00  00  00   00  00  00  00  00  00  00  00   \n";
    }
    list += " 0A0  00  \n\n";
    std::string pages;
    for (int page = 0; page < 11; ++page) {
        pages += strange;
    }
    const std::string capacity = "\n            READ CAPACITY failed: check is media present?\n";
    // Sense byte 2, DebugOutput, ShowDefectList; READ CAPACITY on. A list claims 161 bytes.
    const std::tuple<uint8_t, int, int, std::string> cases[] = {
        {0x21, 5, 1, capacity + strange + list + list + pages},
        {0x01, 0, 1,
         capacity + ExpectedList(kGrown, 8, {{258, 3, 42}}) +
             ExpectedList(kPrimary, 8, {{258, 3, 42}})},
        {0x01, 0, 2,
         capacity + "\n\n            Defect list(s) execution ability refused by User\n"},
    };
    for (const auto& [senseKey, debug, show, out] : cases) {
        unit->answer.sense = {0x70, 0, senseKey};
        EXPECT_EQ(RunReport("recreport", debug, show, 3), out) << debug;
    }
}

// A driver's mask of 0xFFFFFFFF would add 4 GiB to each list's buffer: under a 1 GiB address-space
// limit (which sanitizers exceed) the lists still come, page-aligned.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(_WIN32)
TEST(DefectListDeathTest, HugeAlignmentMaskGetsAPageAlignedBuffer) {
    auto unit = testsupport::InstallRecordingUnit("recdefect");
    unit->capabilities.AlignmentMask = 0xFFFFFFFF;
    const auto run = [&unit] {
        const rlimit limit = {rlim_t{1} << 30, rlim_t{1} << 30};
        setrlimit(RLIMIT_AS, &limit);
        RunReport("recdefect");
        std::exit(reinterpret_cast<uintptr_t>(unit->commands.at(2).data) % 4096 != 0);
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
