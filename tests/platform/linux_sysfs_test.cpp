// The Linux backend's view of sysfs, against fake trees written here.
#ifdef __linux__

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/units/linux/linux_unit.h"
#include "support/capture.h"

namespace os::units::linux_unit {
namespace {

using testsupport::HexBytes;

class FakeSysfs {
  public:
    const std::string& root() const { return dir_.path(); }
    void Write(const std::string& path, const std::string& content) const {
        const std::filesystem::path full = root() + "/" + path;
        std::filesystem::create_directories(full.parent_path());
        std::ofstream(full, std::ios::binary) << content;
    }
    void Directory(const std::string& path) const {
        std::filesystem::create_directories(root() + "/" + path);
    }
    // A unit of the scsi_device class, with its inquiry bytes (none: no
    // inquiry file) and, when claimed, a driver.
    void Unit(const std::string& address, const std::string& inquiry, bool claimed) const {
        const std::string device = "class/scsi_device/" + address + "/device";
        Directory(device);
        if (!inquiry.empty()) {
            Write(device + "/inquiry", inquiry);
        }
        if (claimed) {
            Directory(device + "/driver");
        }
    }

  private:
    testsupport::TempDir dir_;
};

std::string Inquiry(const std::string& vendor, const std::string& product) {
    std::string bytes("\x00\x00\x05\x12\x1f\x00\x00\x12", 8);
    bytes += (vendor + "        ").substr(0, 8);
    bytes += (product + "                ").substr(0, 16);
    return bytes + "1.00";
}

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

TEST(LinuxSysfs, FindsTheAddressOfADiskButNotOfAPartition) {
    FakeSysfs sysfs;
    sysfs.Directory("dev/block/8:0/device/scsi_device/2:0:3:2");
    sysfs.Write("dev/block/8:1/partition", "1\n");
    auto disk = AddressOfBlock(BlockDirectory(sysfs.root(), 8, 0));
    ASSERT_TRUE(disk.has_value());
    EXPECT_EQ(disk->host, 2u);
    EXPECT_EQ(disk->target, 3u);
    EXPECT_EQ(disk->lun, 2u);
    EXPECT_FALSE(AddressOfBlock(BlockDirectory(sysfs.root(), 8, 1)).has_value());
}

TEST(LinuxSysfs, MapsQueueLimitsToCapabilities) {
    struct Case {
        const char* name;
        const char* maxKilobytes;
        const char* maxSegments;
        const char* alignment;
        const char* queueDepth;  // null: no attribute
        uint32_t transferLength;
        uint32_t pages;
        uint32_t mask;
        uint8_t tagged;
    };
    const Case cases[] = {
        // virtio-scsi in QEMU: the segments bound the pages.
        {"segments bound", "32767\n", "254\n", "3\n", "128\n", 0x1FFFC00, 254, 3, 1},
        // A small request limit bounds them instead: 512 KB is 128 pages.
        {"request bound", "512\n", "168\n", "511\n", "1\n", 524288, 128, 511, 0},
        {"no queue depth", "120\n", "2048\n", "0\n", nullptr, 122880, 30, 0, 0},
        {"clamped", "4294967296\n", "65535\n", "7\n", "32\n", 0xFFFFFFFF, 65535, 7, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSysfs sysfs;
        sysfs.Write("block/queue/max_hw_sectors_kb", c.maxKilobytes);
        sysfs.Write("block/queue/max_segments", c.maxSegments);
        sysfs.Write("block/queue/dma_alignment", c.alignment);
        if (c.queueDepth != nullptr) {
            sysfs.Write("block/device/queue_depth", c.queueDepth);
        }
        IO_SCSI_CAPABILITIES got;
        std::memset(&got, 0xAA, sizeof got);
        ASSERT_EQ(CapabilitiesOfBlock(sysfs.root() + "/block", got), 0u);

        IO_SCSI_CAPABILITIES expected;
        std::memset(&expected, 0, sizeof expected);
        expected.Length = sizeof expected;
        expected.MaximumTransferLength = c.transferLength;
        expected.MaximumPhysicalPages = c.pages;
        expected.AlignmentMask = c.mask;
        expected.TaggedQueuing = c.tagged;
        EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0)
            << got.MaximumTransferLength << " " << got.MaximumPhysicalPages << " "
            << got.AlignmentMask << " " << int{got.TaggedQueuing};
    }
}

TEST(LinuxSysfs, RefusesMissingOrUnreadableLimits) {
    FakeSysfs sysfs;
    sysfs.Write("block/queue/max_hw_sectors_kb", "1024\n");
    sysfs.Write("block/queue/dma_alignment", "3\n");
    IO_SCSI_CAPABILITIES got{};
    EXPECT_EQ(CapabilitiesOfBlock(sysfs.root() + "/block", got), static_cast<uint32_t>(ENOENT));
    sysfs.Write("block/queue/max_segments", "12 segments\n");
    EXPECT_EQ(CapabilitiesOfBlock(sysfs.root() + "/block", got), static_cast<uint32_t>(EIO));
}

// Host 2 with two channels; the unit on target 4 has no inquiry file and
// host 3's unit belongs to another adapter.
class LinuxInquiryAnswer : public ::testing::Test {
  protected:
    void SetUp() override {
        sysfs_.Unit("2:0:0:0", Inquiry("FIRST", "DISK ZERO"), true);
        sysfs_.Unit("2:0:3:2", Inquiry("OPENED", "THE UNIT"), true);
        sysfs_.Unit("2:0:4:0", "", true);
        sysfs_.Unit("2:1:1:0", std::string("\x05\x80\x02\x00\x1f\x00\x00\x00", 8), false);
        sysfs_.Unit("3:0:0:0", Inquiry("OTHER", "ADAPTER"), true);
        sysfs_.Write("class/scsi_device/not-an-address/device/inquiry", "x");
    }
    std::vector<uint8_t> Answer(ScsiAddress unit, uint32_t capacity, uint32_t expectedError = 0) {
        std::vector<uint8_t> out(2048, 0xEE);
        uint32_t returned = 7;
        EXPECT_EQ(InquiryDataOfHost(sysfs_.root(), unit, out.data(), capacity, returned),
                  expectedError);
        out.resize(returned);
        return out;
    }
    static std::vector<uint8_t> Entry(const std::string& header, const std::string& inquiry) {
        std::vector<uint8_t> bytes = HexBytes(header);
        std::vector<uint8_t> data = Bytes(inquiry);
        data.resize(36, 0);
        bytes.insert(bytes.end(), data.begin(), data.end());
        return bytes;
    }
    static std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> all;
        for (const auto& part : parts) {
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    }

    FakeSysfs sysfs_;
    const ScsiAddress opened_{2, 0, 3, 2};
};

TEST_F(LinuxInquiryAnswer, ListsEveryUnitOfTheHostByChannel) {
    const auto expected = Join({
        // Two buses: channel 0 with two units from offset 20, channel 1 with
        // one from offset 116.
        HexBytes("02 00 00 00  02 00 00 00 14 00 00 00  01 00 00 00 74 00 00 00"),
        Entry("00 00 00 01  24 00 00 00  44 00 00 00", Inquiry("FIRST", "DISK ZERO")),
        Entry("00 03 02 01  24 00 00 00  00 00 00 00", Inquiry("OPENED", "THE UNIT")),
        // Eight bytes kept: the rest reads as zeros.
        Entry("01 01 00 00  24 00 00 00  00 00 00 00",
              std::string("\x05\x80\x02\x00\x1f\x00\x00\x00", 8)),
    });
    EXPECT_EQ(Answer(opened_, 2048), expected);
}

TEST_F(LinuxInquiryAnswer, LeavesOutOtherUnitsBeforeTheOpenedOne) {
    // Room for two entries on one bus: the unit on channel 1 goes first.
    EXPECT_EQ(
        Answer(opened_, 108),
        Join({HexBytes("01 00 00 00  02 00 00 00 0c 00 00 00"),
              Entry("00 00 00 01  24 00 00 00  3c 00 00 00", Inquiry("FIRST", "DISK ZERO")),
              Entry("00 03 02 01  24 00 00 00  00 00 00 00", Inquiry("OPENED", "THE UNIT"))}));
    // Room for one: the opened unit stays although its address is higher.
    EXPECT_EQ(
        Answer(opened_, 107),
        Join({HexBytes("01 00 00 00  01 00 00 00 0c 00 00 00"),
              Entry("00 03 02 01  24 00 00 00  00 00 00 00", Inquiry("OPENED", "THE UNIT"))}));
    EXPECT_TRUE(Answer(opened_, 59, ERANGE).empty());
}

TEST_F(LinuxInquiryAnswer, KeepsABusForTheOpenedUnitsChannel) {
    // The opened unit is on channel 1 of host 3 and has no inquiry file: its
    // host's other unit is listed, and channel 1's bus is there, empty.
    sysfs_.Directory("class/scsi_device/3:1:0:0/device");
    EXPECT_EQ(Answer({3, 1, 0, 0}, 2048),
              Join({HexBytes("02 00 00 00  01 00 00 00 14 00 00 00  00 00 00 00 00 00 00 00"),
                    Entry("00 00 00 01  24 00 00 00  00 00 00 00", Inquiry("OTHER", "ADAPTER"))}));
}

}  // namespace
}  // namespace os::units::linux_unit

#endif  // __linux__
