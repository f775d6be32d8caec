#include "platform/units/unit_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "passthru/PassThru.h"
#include "platform/errors.h"
#include "support/recording_unit.h"

namespace {

using os::units::IsReadOnlyCommand;
using os::units::UnitDeviceControl;
using testsupport::RecordingUnit;

TEST(ReadOnlyCheck, OnlyFiveReadCommandsWithDataIn) {
    const struct {
        uint8_t opcode, cdbLength, dataIn;
        uint32_t length;
        bool allowed;
    } cases[] = {
        {0x00, 6, SCSI_IOCTL_DATA_IN, 0, true},
        {0x00, 6, SCSI_IOCTL_DATA_UNSPECIFIED, 0, true},
        {0x00, 6, SCSI_IOCTL_DATA_OUT, 0, false},
        {0x25, 10, SCSI_IOCTL_DATA_IN, 8, true},
        {0x37, 10, SCSI_IOCTL_DATA_IN, 65535, true},
        {0x1A, 6, SCSI_IOCTL_DATA_IN, 192, true},
        {0x28, 10, SCSI_IOCTL_DATA_IN, 65536, true},
        {0x28, 10, SCSI_IOCTL_DATA_OUT, 512, false},
        {0x28, 10, SCSI_IOCTL_DATA_UNSPECIFIED, 512, false},
        {0x2A, 10, SCSI_IOCTL_DATA_IN, 512, false},  // WRITE (10)
        {0x2A, 10, SCSI_IOCTL_DATA_OUT, 512, false},
        {0x15, 6, SCSI_IOCTL_DATA_OUT, 24, false},   // MODE SELECT (6)
        {0x55, 10, SCSI_IOCTL_DATA_OUT, 24, false},  // MODE SELECT (10)
        {0x12, 6, SCSI_IOCTL_DATA_IN, 36, false},    // INQUIRY: not one the system sends
        {0x28, 6, SCSI_IOCTL_DATA_IN, 512, false},   // lengths that do not fit the opcode
        {0x1A, 10, SCSI_IOCTL_DATA_IN, 192, false},
        {0x28, 16, SCSI_IOCTL_DATA_IN, 512, false},
        {0x28, 0, SCSI_IOCTL_DATA_IN, 512, false},
    };
    for (const auto& c : cases) {
        uint8_t cdb[16] = {c.opcode};
        EXPECT_EQ(IsReadOnlyCommand(cdb, c.cdbLength, c.dataIn, c.length), c.allowed)
            << std::hex << int{c.opcode} << " cdb " << std::dec << int{c.cdbLength} << " dir "
            << int{c.dataIn};
    }
    EXPECT_FALSE(IsReadOnlyCommand(nullptr, 6, SCSI_IOCTL_DATA_IN, 0));
}

// Sends a buffered request through the unit control; the block's data area
// and sense area start out as 0xEE so that stray writes show.
struct BufferedCall {
    PassThruBlock block;
    DWORD returned = 0;
    uint32_t error = 0;
};

BufferedCall SendBuffered(RecordingUnit& unit, std::vector<uint8_t> cdb, uint32_t length,
                          DWORD inLength = sizeof(SCSI_PASS_THROUGH),
                          DWORD outLength = UINT32_MAX) {
    BufferedCall call;
    FillPassThru(&call.block, 0, 0, cdb.data(), static_cast<uint8_t>(cdb.size()), length);
    std::memset(call.block.SenseBuf, 0xEE, sizeof call.block.SenseBuf);
    std::memset(call.block.DataBuf, 0xEE, sizeof call.block.DataBuf);
    if (outLength == UINT32_MAX) {
        outLength = kDataOffset + length;
    }
    call.error = UnitDeviceControl(unit, IOCTL_SCSI_PASS_THROUGH, &call.block, inLength,
                                   &call.block, outLength, call.returned);
    return call;
}

// Direct form, so the data direction can be set apart from the command.
uint32_t SendDirect(RecordingUnit& unit, const std::vector<uint8_t>& cdb, uint8_t dataIn) {
    std::vector<uint8_t> buffer(512);
    PassThruDirBlock block;
    FillPassThruDir(&block, 0, 0, cdb.data(), static_cast<uint8_t>(cdb.size()), 512, buffer.data());
    block.Sptd.DataIn = dataIn;
    DWORD returned = 0;
    return UnitDeviceControl(unit, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, kDirBlockLength, &block,
                             kDirBlockLength, returned);
}

TEST(UnitDeviceControl, ForbiddenCommandsNeverReachTheUnit) {
    RecordingUnit unit;
    const std::vector<uint8_t> write10 = {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    const std::vector<uint8_t> modeSelect6 = {0x15, 0x10, 0, 0, 24, 0};
    const std::vector<uint8_t> modeSelect10 = {0x55, 0x10, 0, 0, 0, 0, 0, 0, 24, 0};
    const std::vector<uint8_t> read10 = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    for (const auto& cdb : {write10, modeSelect6, modeSelect10}) {
        EXPECT_EQ(SendBuffered(unit, cdb, 24).error, os::errors::kInvalidArgument);
        EXPECT_EQ(SendDirect(unit, cdb, SCSI_IOCTL_DATA_OUT), os::errors::kInvalidArgument);
    }
    EXPECT_EQ(SendDirect(unit, read10, SCSI_IOCTL_DATA_OUT), os::errors::kInvalidArgument);
    EXPECT_TRUE(unit.commands.empty());
    EXPECT_EQ(SendDirect(unit, read10, SCSI_IOCTL_DATA_IN), 0u);
    EXPECT_EQ(unit.commands.size(), 1u);
}

TEST(UnitDeviceControl, MalformedBufferedRequestsAreRefused) {
    RecordingUnit unit;
    const std::vector<uint8_t> modeSense = {0x1A, 0, 0x08, 0, 192, 0};
    const DWORD header = sizeof(SCSI_PASS_THROUGH);
    EXPECT_EQ(SendBuffered(unit, modeSense, 192, header - 1).error, os::errors::kInvalidArgument);
    EXPECT_EQ(SendBuffered(unit, modeSense, 192, header, kDataOffset + 191).error, os::errors::kInvalidArgument);
    // Output too short for the sense bytes asked for.
    EXPECT_EQ(SendBuffered(unit, {0x00, 0, 0, 0, 0, 0}, 0, header, kSenseOffset + 23).error,
              os::errors::kInvalidArgument);
    EXPECT_EQ(SendBuffered(unit, std::vector<uint8_t>(17, 0), 0).error, os::errors::kInvalidArgument);
    EXPECT_TRUE(unit.commands.empty());
}

// What the unit claims is cut to what was asked for; bytes returned count up
// to the data end, else the sense end, else the header.
TEST(UnitDeviceControl, AnswersAreWrittenBackWithinWhatWasAsked) {
    const struct {
        const char* name;
        uint32_t length;
        uint8_t status, senseBytes, claimedSense;
        uint32_t claimedTransfer;
        uint8_t senseLength;
        uint32_t transferred;
        DWORD returned;
    } cases[] = {
        {"good, data", 192, 0, 0, 0, 192, 0, 192, kDataOffset + 192},
        {"short data", 192, 0, 0, 0, 100, 0, 100, kDataOffset + 100},
        {"claims too much", 192, 0, 0, 0, 5000, 0, 192, kDataOffset + 192},
        {"sense, no data", 0, 2, 18, 18, 0, 18, 0, kSenseOffset + 18},
        {"sense claimed 255", 0, 2, 32, 255, 0, 24, 0, kSenseOffset + 24},
        {"nothing", 0, 0, 0, 0, 0, 0, 0, sizeof(SCSI_PASS_THROUGH)},
    };
    for (const auto& c : cases) {
        RecordingUnit unit;
        unit.answer.status = c.status;
        unit.answer.sense = std::vector<uint8_t>(c.senseBytes, 0x70);
        unit.answer.senseLength = c.claimedSense;
        unit.answer.data = std::vector<uint8_t>(600, 0x11);
        unit.answer.transferred = c.claimedTransfer;
        unit.answer.pathId = 4;
        const std::vector<uint8_t> cdb =
            c.length ? std::vector<uint8_t>{0x1A, 0, 8, 0, 192, 0} : std::vector<uint8_t>(6, 0);
        const BufferedCall call = SendBuffered(unit, cdb, c.length);
        SCOPED_TRACE(c.name);
        ASSERT_EQ(call.error, 0u);
        EXPECT_EQ(call.block.Spt.ScsiStatus, c.status);
        EXPECT_EQ(call.block.Spt.SenseInfoLength, c.senseLength);
        EXPECT_EQ(call.block.Spt.DataTransferLength, c.transferred);
        EXPECT_EQ(call.block.Spt.PathId, 4);
        EXPECT_EQ(call.returned, c.returned);
        // Sense bytes beyond the count and data beyond the request stay as they were.
        EXPECT_EQ(call.block.SenseBuf[c.senseLength], 0xEE);
        EXPECT_EQ(call.block.DataBuf[c.length], 0xEE);
    }
}

TEST(UnitDeviceControl, InformationControls) {
    RecordingUnit unit;
    unit.capabilities.AlignmentMask = 3;
    unit.inquiry = std::vector<uint8_t>(100, 0x42);
    uint8_t out[2048] = {};
    DWORD returned = 0;
    EXPECT_EQ(UnitDeviceControl(unit, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, out, 23, returned),
              os::errors::kInvalidArgument);
    ASSERT_EQ(UnitDeviceControl(unit, IOCTL_SCSI_GET_CAPABILITIES, nullptr, 0, out, 24, returned),
              0u);
    EXPECT_EQ(returned, 24u);
    EXPECT_EQ(reinterpret_cast<IO_SCSI_CAPABILITIES*>(out)->AlignmentMask, 3u);
    EXPECT_EQ(UnitDeviceControl(unit, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, out, 23, returned),
              os::errors::kInvalidArgument);
    for (const DWORD size : {2048u, 10u}) {
        ASSERT_EQ(
            UnitDeviceControl(unit, IOCTL_SCSI_GET_INQUIRY_DATA, nullptr, 0, out, size, returned),
            0u);
        EXPECT_EQ(returned, std::min<DWORD>(size, 100));
    }
    EXPECT_EQ(UnitDeviceControl(unit, 0x2D1400, nullptr, 0, out, 2048, returned),
              os::errors::kNotSupported);
}

}  // namespace
