#include "platform/units/unit_control.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "passthru/PassThru.h"
#include "platform/errors.h"
#include "support/recording_unit.h"

namespace {

using os::units::UnitDeviceControl;

TEST(ReadOnlyCheck, OnlyFiveReadCommandsWithDataIn) {
    // The operation code, the CDB's length, the data direction.
    const std::tuple<uint8_t, uint8_t, uint8_t, bool> cases[] = {
        {0x00, 6, SCSI_IOCTL_DATA_UNSPECIFIED, true},  // TEST UNIT READY
        {0x1A, 6, SCSI_IOCTL_DATA_IN, true},           // MODE SENSE (6)
        {0x25, 10, SCSI_IOCTL_DATA_IN, true},          // READ CAPACITY (10)
        {0x37, 10, SCSI_IOCTL_DATA_IN, true},          // READ DEFECT DATA (10)
        {0x28, 10, SCSI_IOCTL_DATA_IN, true},          // READ (10)
        {0x28, 10, SCSI_IOCTL_DATA_OUT, false},
        {0x28, 10, SCSI_IOCTL_DATA_UNSPECIFIED, false},
        {0x2A, 10, SCSI_IOCTL_DATA_IN, false},  // WRITE (10)
        {0x15, 6, SCSI_IOCTL_DATA_OUT, false},  // MODE SELECT (6)
        {0x12, 6, SCSI_IOCTL_DATA_IN, false},   // INQUIRY: not one the system sends
        {0x1A, 10, SCSI_IOCTL_DATA_IN, false},  // a length foreign to the opcode
    };
    for (const auto& [opcode, length, dataIn, allowed] : cases) {
        const uint8_t cdb[16] = {opcode};
        EXPECT_EQ(os::units::IsReadOnlyCommand(cdb, length, dataIn, opcode ? 512 : 0), allowed)
            << int{opcode} << " " << int{length} << " " << int{dataIn};
    }
}

// Sends a buffered request whose sense and data areas start out as 0xEE,
// so that stray writes show; the answer comes back in place, with the count
// of bytes returned kept in the block's filler.
uint32_t Send(testsupport::RecordingUnit& unit, PassThruBlock& block, std::vector<uint8_t> cdb,
              uint32_t length, DWORD outLength, uint8_t senseLength = kSenseRequested) {
    FillPassThru(&block, 0, 0, cdb.data(), static_cast<uint8_t>(cdb.size()), length);
    block.Spt.SenseInfoLength = senseLength;
    std::memset(block.SenseBuf, 0xEE, sizeof block.SenseBuf);
    std::memset(block.DataBuf, 0xEE, sizeof block.DataBuf);
    DWORD returned = 0;
    const uint32_t error =
        UnitDeviceControl(unit, IOCTL_SCSI_PASS_THROUGH, &block, sizeof(SCSI_PASS_THROUGH), &block,
                          outLength, returned);
    block.Filler = returned;
    return error;
}

TEST(UnitDeviceControl, ForbiddenAndMalformedRequestsNeverReachTheUnit) {
    testsupport::RecordingUnit unit;
    PassThruBlock block;
    const auto invalid = os::errors::kInvalidArgument;
    EXPECT_EQ(Send(unit, block, {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 512, 604), invalid);
    EXPECT_EQ(Send(unit, block, std::vector<uint8_t>(17, 0), 0, 604), invalid);  // CDB too long
    EXPECT_EQ(Send(unit, block, {0x1A, 0, 8, 0, 192, 0}, 192, kDataOffset + 191), invalid);
    EXPECT_EQ(Send(unit, block, {0, 0, 0, 0, 0, 0}, 0, kSenseOffset + 23), invalid);  // sense
    // The direct form with READ (10) but data moving out.
    const uint8_t read10[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
    uint8_t data[512];
    PassThruDirBlock direct;
    FillPassThruDir(&direct, 0, 0, read10, 10, 512, data);
    direct.Sptd.DataIn = SCSI_IOCTL_DATA_OUT;
    DWORD returned = 0;
    EXPECT_EQ(UnitDeviceControl(unit, IOCTL_SCSI_PASS_THROUGH_DIRECT, &direct, kDirBlockLength,
                                &direct, kDirBlockLength, returned),
              invalid);
    EXPECT_TRUE(unit.commands.empty());
}

// What the unit claims is cut to what was asked for, sense to 32 bytes at
// most; bytes returned count up to the data end (at 92), else the sense end
// (sense at 60), else the 56-byte header. Status and address come back too.
TEST(UnitDeviceControl, AnswersAreWrittenBackWithinWhatWasAsked) {
    // The data length asked, sense bytes asked, sense given and claimed,
    // bytes claimed; then the sense length, transferred and returned counts.
    const std::tuple<uint32_t, uint8_t, uint8_t, uint8_t, uint32_t, const char*> cases[] = {
        {192, 24, 0, 0, 100, "0 100 192"}, {192, 24, 0, 0, 5000, "0 192 284"},
        {0, 24, 18, 18, 0, "18 0 78"},     {0, 24, 32, 255, 0, "24 0 84"},
        {0, 200, 32, 255, 0, "32 0 92"},   {0, 24, 0, 0, 0, "0 0 56"},
    };
    for (const auto& [length, asked, given, claimed, claimedTransfer, outcome] : cases) {
        testsupport::RecordingUnit unit;
        const std::vector<uint8_t> sense(given, 0x70), data(600, 0x11);
        unit.answer = {0, 2, sense, claimed, data, claimedTransfer, 4, 5, 6};
        PassThruBlock block;
        const std::vector<uint8_t> cdb = {uint8_t(length ? 0x1A : 0), 0, 8, 0, 192, 0};
        ASSERT_EQ(Send(unit, block, cdb, length, 604, asked), 0u);
        const SCSI_PASS_THROUGH& spt = block.Spt;
        EXPECT_EQ(std::to_string(spt.SenseInfoLength) + " " +
                      std::to_string(spt.DataTransferLength) + " " + std::to_string(block.Filler),
                  outcome);
        EXPECT_EQ(spt.ScsiStatus * 1000 + spt.PathId * 100 + spt.TargetId * 10 + spt.Lun, 2456);
        // Sense beyond its count and data beyond the request stay as they were.
        EXPECT_EQ(reinterpret_cast<uint8_t*>(&block)[kSenseOffset + spt.SenseInfoLength], 0xEE);
        EXPECT_EQ(block.DataBuf[length], 0xEE);
    }
}

}  // namespace
