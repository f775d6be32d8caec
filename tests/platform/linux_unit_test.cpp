// The Linux backend without a disk: names, the last read-only guard, and the
// mapping of SG_IO requests and answers.
#ifdef __linux__

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/units/linux/linux_unit.h"
#include "support/capture.h"

namespace os::units::linux_unit {
namespace {

TEST(LinuxUnit, OpensOnlyPlainNamesOfBlockDevices) {
    struct Case {
        const char* name;
        uint32_t error;
    };
    const Case cases[] = {
        {"", ENOENT},
        {".", ENOENT},
        {"..", ENOENT},
        {"../sda", ENOENT},
        {"disk/by-id/x", ENOENT},
        {"velkrand-no-such-disk", ENOENT},
        {"null", ENOTBLK},  // a character device, as sg nodes are
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t error = 0;
        EXPECT_EQ(OpenSystemUnit(c.name, OpenOptions{}, error), nullptr);
        EXPECT_EQ(error, c.error);
    }
}

TEST(LinuxUnit, PermitsOnlyTheFiveReadOnlyCommands) {
    struct Case {
        const char* cdb;
        uint8_t length;
        uint32_t dataLength;
        bool permitted;
    };
    const Case cases[] = {
        {"00 00 00 00 00 00", 6, 0, true},                   // TEST UNIT READY
        {"00 00 00 00 00 00", 6, 8, false},                  // ... asking for data
        {"1a 00 08 00 c0 00", 6, 192, true},                 // MODE SENSE (6)
        {"1a 00 08 00 c0 00 00 00 00 00", 10, 192, false},   // ... with a foreign length
        {"25 00 00 00 00 00 00 00 00 00", 10, 8, true},      // READ CAPACITY (10)
        {"37 00 0d 00 00 00 00 ff ff 00", 10, 65535, true},  // READ DEFECT DATA (10)
        {"28 00 00 00 00 00 00 00 01 00", 10, 512, true},    // READ (10)
        {"2a 00 00 00 00 00 00 00 01 00", 10, 512, false},   // WRITE (10)
        {"15 10 00 00 18 00", 6, 24, false},                 // MODE SELECT (6)
        {"12 00 00 00 24 00", 6, 36, false},                 // INQUIRY: not one of the five
        {"", 0, 0, false},
    };
    uint8_t data[65536] = {};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cdb);
        std::vector<uint8_t> cdb = testsupport::HexBytes(c.cdb);
        cdb.resize(16, 0);
        ScsiCommand command;
        command.cdb = cdb.data();
        command.cdbLength = c.length;
        command.data = data;
        command.dataLength = c.dataLength;
        EXPECT_EQ(IsPermittedCommand(command), c.permitted);
    }
    ScsiCommand noBuffer;
    const uint8_t read[10] = {0x28};
    noBuffer.cdb = read;
    noBuffer.cdbLength = 10;
    noBuffer.dataLength = 512;
    EXPECT_FALSE(IsPermittedCommand(noBuffer));
    noBuffer.cdb = nullptr;
    noBuffer.dataLength = 0;
    EXPECT_FALSE(IsPermittedCommand(noBuffer));
}

// A unit over a regular file: SG_IO fails on it with ENOTTY, which tells
// a request that reached the kernel from one that the guard stopped.
class LinuxFileUnit : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir_.path() + "/block/device/scsi_device/0:0:5:1");
        content_ = std::string(3000, 'a') + std::string(1000, 'b');
        const std::string file = dir_.Write("disk", content_);
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        unit_ = std::make_unique<LinuxUnit>(fd, dir_.path() + "/block", dir_.path());
    }
    testsupport::TempDir dir_;
    std::string content_;
    std::unique_ptr<LinuxUnit> unit_;
};

TEST_F(LinuxFileUnit, GuardStopsAForbiddenCommandBeforeTheKernel) {
    uint8_t data[512];
    const uint8_t write10[10] = {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    ScsiCommand forbidden;
    forbidden.cdb = write10;
    forbidden.cdbLength = 10;
    forbidden.data = data;
    forbidden.dataLength = sizeof data;
    EXPECT_EQ(unit_->PassThrough(forbidden), static_cast<uint32_t>(EPERM));
    EXPECT_EQ(forbidden.targetId, 0);  // untouched

    const uint8_t read10[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    ScsiCommand permitted = forbidden;
    permitted.cdb = read10;
    EXPECT_EQ(unit_->PassThrough(permitted), static_cast<uint32_t>(ENOTTY));
    EXPECT_EQ(permitted.pathId, 0);
    EXPECT_EQ(permitted.targetId, 5);
    EXPECT_EQ(permitted.lun, 1);
}

TEST_F(LinuxFileUnit, ReadsAtPositionsAndShortAtTheEnd) {
    char buffer[2048] = {};
    uint32_t got = 0;
    ASSERT_EQ(unit_->Read(2990, buffer, 20, got), 0u);
    EXPECT_EQ(std::string(buffer, got), content_.substr(2990, 20));
    ASSERT_EQ(unit_->Read(3500, buffer, 2048, got), 0u);
    EXPECT_EQ(got, 500u);
    EXPECT_EQ(std::string(buffer, got), std::string(500, 'b'));
    ASSERT_EQ(unit_->Read(9000, buffer, 16, got), 0u);
    EXPECT_EQ(got, 0u);
}

TEST(LinuxUnit, MapsTheSgAnswerBack) {
    struct Case {
        const char* name;
        uint8_t status;
        uint16_t hostStatus;
        uint16_t driverStatus;
        int resid;
        uint8_t senseWritten;
        uint32_t error;
        uint8_t senseLength;
        uint32_t transferred;
    };
    const Case cases[] = {
        {"good", 0, 0, 0, 0, 0, 0, 0, 192},
        {"short answer", 0, 0, 0, 180, 0, 0, 0, 12},
        {"residual beyond the length", 0, 0, 0, 500, 0, 0, 0, 0},
        {"check condition", 2, 0, 0x08, 0, 18, 0, 18, 192},
        {"more sense than asked", 2, 0, 0x08, 0, 32, 0, 24, 192},
        // The whole status byte, not the shifted masked_status.
        {"reservation conflict", 0x18, 0, 0, 0, 0, 0, 0, 192},
        {"host error", 0, 0x07, 0, 0, 0, EIO, 0, 192},
        {"driver timeout", 0, 0, 0x06, 0, 0, EIO, 0, 192},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t cdb[6] = {0x1A, 0, 8, 0, 192, 0};
        uint8_t data[192];
        ScsiCommand command;
        command.cdb = cdb;
        command.cdbLength = 6;
        command.data = data;
        command.dataLength = sizeof data;
        command.senseCapacity = 24;
        sg_io_hdr_t answer = SgRequestFor(command);
        answer.status = c.status;
        answer.masked_status = static_cast<unsigned char>(c.status >> 1);
        answer.host_status = c.hostStatus;
        answer.driver_status = c.driverStatus;
        answer.resid = c.resid;
        answer.sb_len_wr = c.senseWritten;
        EXPECT_EQ(CompleteFromSg(answer, command), c.error);
        EXPECT_EQ(command.status, c.status);
        EXPECT_EQ(command.senseLength, c.senseLength);
        EXPECT_EQ(command.transferred, c.transferred);
    }
}

}  // namespace
}  // namespace os::units::linux_unit

#endif  // __linux__
