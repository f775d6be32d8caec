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

// The five read commands with data in; not WRITE (10), MODE SELECT (6),
// INQUIRY, data moving out or unsaid, nor a length foreign to the opcode.
TEST(ReadOnlyCheck, OnlyFiveReadCommandsWithDataIn) {
    const uint8_t in = SCSI_IOCTL_DATA_IN, out = SCSI_IOCTL_DATA_OUT,
                  none = SCSI_IOCTL_DATA_UNSPECIFIED;
    const std::tuple<uint8_t, uint8_t, uint8_t, bool> cases[] = {
        {0x00, 6, none, true},   {0x1A, 6, in, true},   {0x25, 10, in, true},
        {0x37, 10, in, true},    {0x28, 10, in, true},  {0x28, 10, out, false},
        {0x28, 10, none, false}, {0x2A, 10, in, false}, {0x15, 6, out, false},
        {0x12, 6, in, false},    {0x1A, 10, in, false}};
    for (const auto& [opcode, length, dataIn, allowed] : cases) {
        const uint8_t cdb[16] = {opcode};
        EXPECT_EQ(os::units::IsReadOnlyCommand(cdb, length, dataIn, opcode ? 512 : 0), allowed)
            << int{opcode} << " " << int{length} << " " << int{dataIn};
    }
}

// Sends a buffered request with its sense and data areas filled with 0xEE,
// to show stray writes; the count of bytes returned goes to the filler.
uint32_t Send(testsupport::RecordingUnit& unit, PassThruBlock& block, std::vector<uint8_t> cdb,
              uint32_t length, DWORD outLength, uint8_t senseLength = kSenseRequested,
              uint32_t senseOffset = kSenseOffset) {
    FillPassThru(&block, 0, 0, cdb.data(), static_cast<uint8_t>(cdb.size()), length);
    block.Spt.SenseInfoLength = senseLength;
    block.Spt.SenseInfoOffset = senseOffset;
    std::memset(block.SenseBuf, 0xEE, sizeof block.SenseBuf);
    std::memset(block.DataBuf, 0xEE, sizeof block.DataBuf);
    DWORD returned = 0;
    const uint32_t error =
        UnitDeviceControl(unit, IOCTL_SCSI_PASS_THROUGH, &block, sizeof(SCSI_PASS_THROUGH), &block,
                          outLength, returned);
    block.Filler = returned;
    return error;
}

// A WRITE, a 17-byte CDB, a data area past the output's end, sense areas
// past it or in the header, the direct form moving a READ (10)'s data out.
TEST(UnitDeviceControl, ForbiddenAndMalformedRequestsNeverReachTheUnit) {
    testsupport::RecordingUnit unit;
    PassThruBlock block;
    const auto invalid = os::errors::kInvalidArgument;
    const std::vector<uint8_t> tur(6, 0);
    EXPECT_EQ(Send(unit, block, {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 512, 604), invalid);
    EXPECT_EQ(Send(unit, block, std::vector<uint8_t>(17, 0), 0, 604), invalid);
    EXPECT_EQ(Send(unit, block, {0x1A, 0, 8, 0, 192, 0}, 192, kDataOffset + 191), invalid);
    EXPECT_EQ(Send(unit, block, tur, 0, kSenseOffset + 23), invalid);
    EXPECT_EQ(Send(unit, block, tur, 0, 604, 24, sizeof(SCSI_PASS_THROUGH) - 1), invalid);
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
    EXPECT_EQ(Send(unit, block, tur, 0, 604, 24, sizeof(SCSI_PASS_THROUGH)), 0u);  // just after
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
        {0, 200, 32, 255, 0, "32 0 92"},   {0, 24, 0, 0, 0, "0 0 56"}};
    for (const auto& [length, asked, given, claimed, claimedTransfer, outcome] : cases) {
        testsupport::RecordingUnit unit;
        unit.answer = {0,
                       2,
                       std::vector<uint8_t>(given, 0x70),
                       claimed,
                       std::vector<uint8_t>(600, 0x11),
                       claimedTransfer,
                       4,
                       5,
                       6};
        PassThruBlock block;
        ASSERT_EQ(
            Send(unit, block, {uint8_t(length ? 0x1A : 0), 0, 8, 0, 192, 0}, length, 604, asked),
            0u);
        const SCSI_PASS_THROUGH& spt = block.Spt;
        EXPECT_EQ(std::to_string(spt.SenseInfoLength) + " " +
                      std::to_string(spt.DataTransferLength) + " " + std::to_string(block.Filler),
                  outcome);
        EXPECT_EQ(spt.ScsiStatus * 1000 + spt.PathId * 100 + spt.TargetId * 10 + spt.Lun, 2456);
        EXPECT_EQ(reinterpret_cast<uint8_t*>(&block)[kSenseOffset + spt.SenseInfoLength], 0xEE);
        EXPECT_EQ(block.DataBuf[length], 0xEE);
    }
}

}  // namespace
