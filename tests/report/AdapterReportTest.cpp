#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "report/Report.h"
#include "report/ReportTestSupport.h"
#include "run/RunState.h"
#include "support/capture.h"

namespace {

using reporttest::LinesLike;
using testsupport::CaptureStdout;
using testsupport::HexBytes;

class AdapterReportTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetRunState(); }
};

IO_SCSI_CAPABILITIES Capabilities(uint32_t alignmentMask) {
    IO_SCSI_CAPABILITIES capabilities{};
    capabilities.Length = sizeof capabilities;
    capabilities.MaximumTransferLength = 0x10000;
    capabilities.MaximumPhysicalPages = 17;
    capabilities.SupportedAsynchronousEvents = 0;
    capabilities.AlignmentMask = alignmentMask;
    capabilities.TaggedQueuing = 1;
    capabilities.AdapterScansDown = 0;
    capabilities.AdapterUsesPio = 0;
    return capabilities;
}

TEST_F(AdapterReportTest, PrintsTheWholeAdapterBlock) {
    const std::string out = CaptureStdout([] { PrintAdapterCapabilities(Capabilities(3)); });
    EXPECT_EQ(out,
              "\n               Information about attached host adapter\n"
              "               ~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\n"
              "    Maximum transfer size (in Bytes): 0x00010000\n"
              "    Maximum physical pages in buffer: 17\n"
              "      Async calls from port to class: 0\n"
              "   Alignment mask for data transfers: DWORD\n"
              "     Supports tagged command queuing: Yes\n"
              "         Scans down for BIOS devices: No\n"
              "           Uses programmed I/O (PIO): No\n");
}

TEST_F(AdapterReportTest, NamesTheAlignmentMask) {
    const struct {
        uint32_t mask;
        const char* line;
    } cases[] = {
        {0, "   Alignment mask for data transfers: BYTE\n"},
        {1, "   Alignment mask for data transfers: WORD\n"},
        {3, "   Alignment mask for data transfers: DWORD\n"},
        {7, "   Alignment mask for data transfers: QWORD\n"},
        {4, "   Alignment mask for data transfers: 4 Bytes\n"},
        {15, "   Alignment mask for data transfers: 15 Bytes\n"},
        {511, "   Alignment mask for data transfers: 511 Bytes\n"},
    };
    for (const auto& c : cases) {
        const std::string out =
            CaptureStdout([&] { PrintAdapterCapabilities(Capabilities(c.mask)); });
        EXPECT_EQ(LinesLike(out, c.line), c.line) << "mask " << c.mask;
    }
}

// Standard inquiry data of a plain disk: SCSI-2, wide 16, synchronous,
// tagged queuing.
std::vector<uint8_t> DiskInquiry() {
    std::vector<uint8_t> d = HexBytes("00 00 02 02 1F 00 00 32");
    const char text[] = "ORBITEC VX-2100 SIMDISK 0417";
    d.insert(d.end(), text, text + 28);
    return d;
}

const char kDiskBlock[] =
    "\n                      Information about device\n"
    "                      ~~~~~~~~~~~~~~~~~~~~~~~~\n"
    "                                 Bus: 0\n"
    "                                  ID: 3\n"
    "                                 Lun: 0\n\n"
    "                         Device Type: Disk\n"
    "                           Removable: No\n"
    "                         ISO Version: 0\n"
    "                        ECMA Version: 0\n"
    "                       SCSI Revision: 2\n"
    "\n                 Relative addressing: No\n"
    "         32-bit data bus (Wide SCSI): No\n"
    "         16-bit data bus (Wide SCSI): Yes\n"
    "                Synchronous transfer: Yes\n"
    "                     Linked commands: No\n"
    "              Tagged command queuing: Yes\n"
    "                          Soft reset: No\n"
    "\n                              Vendor: ORBITEC \n"
    "                             Product: VX-2100 SIMDISK \n"
    "                            Revision: 0417\n";

// An inquiry-data answer as the port driver lays it out.
class InquiryAnswer {
  public:
    explicit InquiryAnswer(uint8_t buses) : bytes_(2048) { bytes_[0] = buses; }
    InquiryAnswer& Bus(uint32_t index, uint32_t offset) {
        PutLittleEndian32(8 + 8 * index, offset);
        return *this;
    }
    InquiryAnswer& Entry(uint32_t at, uint8_t targetId, uint8_t lun, uint32_t next,
                         const std::vector<uint8_t>& inquiry = DiskInquiry()) {
        bytes_[at + 1] = targetId;
        bytes_[at + 2] = lun;
        PutLittleEndian32(at + 4, static_cast<uint32_t>(inquiry.size()));
        PutLittleEndian32(at + 8, next);
        std::memcpy(&bytes_[at + 12], inquiry.data(), inquiry.size());
        return *this;
    }
    // Only the returned bytes, so that a read past them is a read past the
    // allocation.
    std::vector<uint8_t> Returned(uint32_t length) const {
        return std::vector<uint8_t>(bytes_.begin(), bytes_.begin() + length);
    }

  private:
    void PutLittleEndian32(uint32_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            bytes_[at + static_cast<uint32_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
        }
    }
    std::vector<uint8_t> bytes_;
};

std::string PrintInquiry(const std::vector<uint8_t>& answer, uint8_t bus, uint8_t id, uint8_t lun) {
    State.PrintBus = bus;
    State.PrintId = id;
    State.PrintLun = lun;
    return CaptureStdout([&] {
        PrintInquiryData(answer.data(), static_cast<uint32_t>(answer.size()), bus, id, lun);
    });
}

TEST_F(AdapterReportTest, PrintsTheWholeUnitBlock) {
    const auto answer = InquiryAnswer(1).Bus(0, 0x10).Entry(0x10, 3, 0, 0).Returned(0x10 + 48);
    EXPECT_EQ(PrintInquiry(answer, 0, 3, 0), kDiskBlock);
    EXPECT_EQ(State.DeviceType, 0);
}

TEST_F(AdapterReportTest, WalksEveryBusChainWithinTheAnswer) {
    const std::string onBusOne = [] {
        std::string block = kDiskBlock;
        block.replace(block.find("Bus: 0"), 6, "Bus: 1");
        return block;
    }();
    const struct {
        const char* name;
        std::vector<uint8_t> answer;
        uint8_t bus;
        std::string expected;
    } cases[] = {
        {"no buses", InquiryAnswer(0).Bus(0, 0x40).Entry(0x40, 3, 0, 0).Returned(2048), 0, ""},
        {"bus without units skipped",
         InquiryAnswer(2).Bus(0, 0).Bus(1, 0x40).Entry(0x40, 3, 0, 0).Returned(2048), 1, onBusOne},
        {"match in another bus's chain",
         InquiryAnswer(2)
             .Bus(0, 0x40)
             .Bus(1, 0x80)
             .Entry(0x40, 5, 0, 0)
             .Entry(0x80, 3, 0, 0)
             .Returned(2048),
         0, ""},
        {"other lun", InquiryAnswer(1).Bus(0, 0x40).Entry(0x40, 3, 1, 0).Returned(2048), 0, ""},
        {"every match prints",
         InquiryAnswer(1)
             .Bus(0, 0x40)
             .Entry(0x40, 3, 0, 0x80)
             .Entry(0x80, 1, 0, 0xC0)
             .Entry(0xC0, 3, 0, 0)
             .Returned(2048),
         0, std::string(kDiskBlock) + kDiskBlock},
        {"entry past the answer", InquiryAnswer(1).Bus(0, 2001).Returned(2048), 0, ""},
        {"entry cut by the answer's end",
         InquiryAnswer(1).Bus(0, 0x40).Entry(0x40, 3, 0, 0).Returned(0x40 + 47), 0, ""},
        {"offset far out", InquiryAnswer(1).Bus(0, 0xFFFFFFF0).Returned(2048), 0, ""},
        {"next offset far out",
         InquiryAnswer(1).Bus(0, 0x40).Entry(0x40, 3, 0, 0xFFFFFFF0).Returned(2048), 0, kDiskBlock},
        {"chain loops on itself",
         InquiryAnswer(1).Bus(0, 0x40).Entry(0x40, 3, 0, 0x40).Returned(2048), 0, kDiskBlock},
        {"chain loops back",
         InquiryAnswer(1)
             .Bus(0, 0x40)
             .Entry(0x40, 3, 0, 0x80)
             .Entry(0x80, 1, 0, 0x40)
             .Returned(2048),
         0, kDiskBlock},
        {"bus records past the answer", InquiryAnswer(200).Returned(13), 0, ""},
        {"empty answer", InquiryAnswer(1).Returned(0), 0, ""},
    };
    // A walk that followed a looping chain for ever would end the test
    // binary here rather than hang it.
#ifndef _WIN32
    alarm(10);
#endif
    for (const auto& c : cases) {
        EXPECT_EQ(PrintInquiry(c.answer, c.bus, 3, 0), c.expected) << c.name;
    }
#ifndef _WIN32
    alarm(0);
#endif
}

TEST_F(AdapterReportTest, NamesTheDeviceType) {
    const struct {
        uint8_t byte0;
        const char* line;
        uint8_t deviceType;
    } cases[] = {
        {0x00, "                         Device Type: Disk\n", 0x00},
        {0x01, "                         Device Type: Tape\n", 0x01},
        {0x05, "                         Device Type: CD-ROM\n", 0x05},
        {0x09, "                         Device Type: Network\n", 0x09},
        {0x0A, "                         Device Type: Unknown device type 0x0A\n", 0x0A},
        {0x0D, "                         Device Type: Unknown device type 0x0D\n", 0x0D},
        {0x7F, "                         Device Type: LUN not present\n", 0x1F},
        {0x60, "                         Device Type: Disk\n", 0x00},
        {0x3F, "                         Device Type: Unknown device type 0x1F\n", 0x1F},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> inquiry = DiskInquiry();
        inquiry[0] = c.byte0;
        const auto answer =
            InquiryAnswer(1).Bus(0, 0x10).Entry(0x10, 3, 0, 0, inquiry).Returned(2048);
        const std::string out = PrintInquiry(answer, 0, 3, 0);
        EXPECT_EQ(LinesLike(out, c.line), c.line) << std::hex << int{c.byte0};
        EXPECT_EQ(State.DeviceType, c.deviceType) << std::hex << int{c.byte0};
    }
}

std::string PrintUnit(size_t at, const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> inquiry = DiskInquiry();
    std::copy(bytes.begin(), bytes.end(), inquiry.begin() + static_cast<long>(at));
    return PrintInquiry(
        InquiryAnswer(1).Bus(0, 0x10).Entry(0x10, 3, 0, 0, inquiry).Returned(0x10 + 48), 0, 3, 0);
}

TEST_F(AdapterReportTest, DecodesVersionsAndTexts) {
    const struct {
        size_t at;
        std::vector<uint8_t> bytes;
        std::string lines;
    } cases[] = {
        {2,
         {0xFF},
         "                         ISO Version: 3\n"
         "                        ECMA Version: 7\n"
         "                       SCSI Revision: 7\n"},
        {2,
         {0x4A},
         "                         ISO Version: 1\n"
         "                        ECMA Version: 1\n"
         "                       SCSI Revision: 2\n"},
        {1, {0x80}, "                           Removable: Yes\n"},
        {8, {'A', 'B', 'C', 0, 'E', 'F', 'G', 'H'}, "                              Vendor: ABC\n"},
        {16, HexBytes("30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46"),
         "                             Product: 0123456789ABCDEF\n"},
        {32, {'1', '.', '0', ' '}, "                            Revision: 1.0 \n"},
        {32, {0, '9', '9', '9'}, "                            Revision: \n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LinesLike(PrintUnit(c.at, c.bytes), c.lines), c.lines);
    }
}

TEST_F(AdapterReportTest, DecodesCapabilityBits) {
    const char* const labels[] = {
        "                 Relative addressing: ", "         32-bit data bus (Wide SCSI): ",
        "         16-bit data bus (Wide SCSI): ", "                Synchronous transfer: ",
        "                     Linked commands: ", "              Tagged command queuing: ",
        "                          Soft reset: ",
    };
    const struct {
        uint8_t byte7;
        const char* flags;  // one letter per line
    } cases[] = {
        {0x0A, "NNNNYYN"}, {0x80, "YNNNNNN"}, {0x41, "NYNNNNY"},
        {0x34, "NNYYNNN"}, {0x00, "NNNNNNN"},
    };
    for (const auto& c : cases) {
        std::string expected;
        for (size_t i = 0; i < 7; ++i) {
            expected += std::string(labels[i]) + (c.flags[i] == 'Y' ? "Yes\n" : "No\n");
        }
        EXPECT_EQ(LinesLike(PrintUnit(7, {c.byte7}), expected), expected) << int{c.byte7};
    }
}

TEST_F(AdapterReportTest, PrintsTheCapacity) {
    const struct {
        const char* data;
        std::string out;
        int32_t sectorSize;
        int32_t maxLogicalBlock;
    } cases[] = {
        {"00 7F FF FF 00 00 02 00",
         "\n                    Bytes per sector: 512\n"
         "                Capacity (in MBytes): 4095.5\n"
         "               Maximum logical block: 8388607\n",
         512, 8388607},
        {"00 00 03 FF 00 00 02 00",
         "\n                    Bytes per sector: 512\n"
         "                Capacity (in MBytes): 0.0\n"
         "               Maximum logical block: 1023\n",
         512, 1023},
        {"FF FF FF FF 00 00 02 00",
         "\n                    Bytes per sector: 512\n"
         "                Capacity (in MBytes): 0.0\n"
         "               Maximum logical block: -1\n",
         512, -1},
        {"7F FF FF FF 00 00 10 00",
         "\n                    Bytes per sector: 4096\n"
         "                Capacity (in MBytes): 8388604.0\n"
         "               Maximum logical block: 2147483647\n",
         4096, 2147483647},
    };
    for (const auto& c : cases) {
        ResetRunState();
        const std::vector<uint8_t> data = HexBytes(c.data);
        EXPECT_EQ(CaptureStdout([&] { PrintCapacity(data.data()); }), c.out) << c.data;
        EXPECT_EQ(State.SectorSize, c.sectorSize) << c.data;
        EXPECT_EQ(State.MaxLogicalBlock, c.maxLogicalBlock) << c.data;
        EXPECT_EQ(State.ReadCapacity, 1) << c.data;
    }
}

}  // namespace
