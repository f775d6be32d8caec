#include "passthru/PassThru.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <cstring>
#include <vector>

#include "platform/testing.h"
#include "support/recording_unit.h"

namespace {

struct SentControl {
    DWORD code, inLength, outLength;
};

class PassThruSend : public ::testing::Test {
  protected:
    void SetUp() override {
        unit = testsupport::InstallRecordingUnit("recpass");
        handle = os::CreateFileA("\\\\.\\recpass", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        os::testing::ObserveDeviceControls([this](DWORD code, DWORD in, DWORD out) {
            sent.push_back({code, in, out});
        });
    }
    void TearDown() override {
        os::testing::ObserveDeviceControls(nullptr);
        os::CloseHandle(handle);
    }

    std::shared_ptr<testsupport::RecordingUnit> unit;
    HANDLE handle = nullptr;
    std::vector<SentControl> sent;
};

TEST(PassThruLayout, OffsetsFollowThePlatformHeaders) {
    const bool wide = sizeof(void*) == 8;
    EXPECT_EQ(sizeof(SCSI_PASS_THROUGH), wide ? 56u : 44u);
    EXPECT_EQ(kSenseOffset, wide ? 60u : 48u);
    EXPECT_EQ(kDataOffset, wide ? 92u : 80u);
    EXPECT_EQ(kDirBlockLength, wide ? 96u : 80u);
}

TEST_F(PassThruSend, BufferedTestUnitReadyGoesOutWithHeaderAndDataOffset) {
    const uint8_t cdb[6] = {SCSIOP_TEST_UNIT_READY};
    PassThruBlock block;
    FillPassThru(&block, 3, 1, cdb, 6, 0);
    DWORD returned = 99;
    ASSERT_TRUE(SendPassThru(handle, &block, 0, &returned));

    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].code, IOCTL_SCSI_PASS_THROUGH);
    EXPECT_EQ(sent[0].inLength, sizeof(SCSI_PASS_THROUGH));
    EXPECT_EQ(sent[0].outLength, kDataOffset);
    ASSERT_EQ(unit->commands.size(), 1u);
    const testsupport::RecordedCommand& command = unit->commands[0];
    EXPECT_EQ(command.cdb, std::vector<uint8_t>(6, 0));
    EXPECT_EQ(command.data, nullptr);
    EXPECT_EQ(command.timeoutSeconds, 200u);
    EXPECT_EQ(command.senseCapacity, 24);
    EXPECT_EQ(returned, sizeof(SCSI_PASS_THROUGH));
}

TEST_F(PassThruSend, ModeSenseDataLandInTheDataArea) {
    const uint8_t cdb[6] = {SCSIOP_MODE_SENSE, 0, 0x08, 0, 192, 0};
    unit->answer.data = {0x17, 0, 0, 8};
    unit->answer.transferred = 192;
    PassThruBlock block;
    FillPassThru(&block, 0, 0, cdb, 6, 192);
    DWORD returned = 0;
    ASSERT_TRUE(SendPassThru(handle, &block, 192, &returned));

    EXPECT_EQ(sent.at(0).inLength, sizeof(SCSI_PASS_THROUGH));
    EXPECT_EQ(sent.at(0).outLength, kDataOffset + 192);
    EXPECT_EQ(unit->commands.at(0).data, block.DataBuf);
    EXPECT_EQ(std::vector<uint8_t>(block.DataBuf, block.DataBuf + 4), unit->answer.data);
    EXPECT_EQ(returned, kDataOffset + 192);
}

TEST_F(PassThruSend, OversizedBufferedRequestIsRefusedNotWrittenPastTheBlock) {
    const uint8_t cdb[6] = {SCSIOP_MODE_SENSE, 0, 0x08, 0, 0, 0};
    PassThruBlock block;
    FillPassThru(&block, 0, 0, cdb, 6, 4096);
    DWORD returned = 0;
    EXPECT_FALSE(SendPassThru(handle, &block, 4096, &returned));
    EXPECT_LE(sent.at(0).outLength, sizeof block);
    EXPECT_TRUE(unit->commands.empty());
}

TEST_F(PassThruSend, DirectRequestGoesOutWithTheBlockSizeBothWays) {
    for (const uint32_t length : {8u, 65535u, 1u << 20}) {
        std::vector<uint8_t> buffer(length);
        const uint8_t cdb[10] = {SCSIOP_READ, 0, 0, 0, 0x10, 0, 0, 0, 1, 0};
        PassThruDirBlock block;
        FillPassThruDir(&block, 0, 0, cdb, 10, length, buffer.data());
        DWORD returned = 0;
        ASSERT_TRUE(SendPassThruDir(handle, &block, &returned));
        EXPECT_EQ(sent.back().code, IOCTL_SCSI_PASS_THROUGH_DIRECT);
        EXPECT_EQ(sent.back().inLength, kDirBlockLength);
        EXPECT_EQ(sent.back().outLength, kDirBlockLength);
        EXPECT_EQ(unit->commands.back().data, buffer.data());
        EXPECT_EQ(unit->commands.back().dataLength, length);
    }
}

// A block that carried an answered command is filled again for another one:
// it must equal a block filled from scratch, byte for byte.
TEST_F(PassThruSend, ReusedBlockCarriesNothingOfThePreviousCommand) {
    unit->answer.status = SCSISTAT_CHECK_CONDITION;
    unit->answer.sense = std::vector<uint8_t>(24, 0xAB);
    unit->answer.data = std::vector<uint8_t>(192, 0xCD);
    unit->answer.pathId = 7;
    const uint8_t modeSense[6] = {SCSIOP_MODE_SENSE, 0, 0x3F, 0, 192, 0};
    const uint8_t ready[6] = {SCSIOP_TEST_UNIT_READY};
    const uint8_t capacity[10] = {SCSIOP_READ_CAPACITY};
    const uint8_t defects[10] = {SCSIOP_READ_DEFECT_DATA, 0, 0x0D, 0, 0, 0, 0, 0xFF, 0xFF, 0};
    DWORD returned = 0;

    PassThruBlock reused, fresh;
    std::memset(&reused, 0x5A, sizeof reused);
    FillPassThru(&reused, 0, 0, modeSense, 6, 192);
    SendPassThru(handle, &reused, 192, &returned);
    FillPassThru(&reused, 0, 0, ready, 6, 0);
    std::memset(&fresh, 0, sizeof fresh);
    FillPassThru(&fresh, 0, 0, ready, 6, 0);
    EXPECT_EQ(std::memcmp(&reused, &fresh, sizeof fresh), 0);

    uint8_t first[8], second[64];
    PassThruDirBlock reusedDir, freshDir;
    std::memset(&reusedDir, 0x5A, sizeof reusedDir);
    FillPassThruDir(&reusedDir, 0, 0, defects, 10, sizeof second, second);
    SendPassThruDir(handle, &reusedDir, &returned);
    FillPassThruDir(&reusedDir, 0, 0, capacity, 10, sizeof first, first);
    std::memset(&freshDir, 0, sizeof freshDir);
    FillPassThruDir(&freshDir, 0, 0, capacity, 10, sizeof first, first);
    EXPECT_EQ(std::memcmp(&reusedDir, &freshDir, sizeof freshDir), 0);
}

// Completion rules on both forms: call result x status x sense byte 2.
TEST(CompletionRules, Table) {
    struct Case {
        BOOL result;
        uint8_t status;
        uint8_t senseByte2;
        bool plain, recovered, statusOnly;
    };
    const Case cases[] = {
        {TRUE, 0, 0x00, true, true, true},    {FALSE, 0, 0x00, false, false, true},
        {TRUE, 2, 0x01, false, true, false},  {FALSE, 2, 0x01, false, true, false},
        {TRUE, 2, 0x21, false, false, false}, {FALSE, 2, 0x21, false, false, false},
        {TRUE, 2, 0x03, false, false, false}, {TRUE, 8, 0x01, false, false, false},
        {TRUE, 0, 0x03, true, true, true},    {FALSE, 0x18, 0x00, false, false, false},
    };
    for (const Case& c : cases) {
        PassThruBlock buffered = {};
        PassThruDirBlock direct = {};
        buffered.Spt.ScsiStatus = direct.Sptd.ScsiStatus = c.status;
        buffered.SenseBuf[2] = direct.SenseBuf[2] = c.senseByte2;
        for (const void* block :
             {static_cast<const void*>(&buffered), static_cast<const void*>(&direct)}) {
            SCOPED_TRACE(::testing::Message() << "result " << c.result << " status "
                                              << int{c.status} << " sense " << int{c.senseByte2});
            EXPECT_EQ(PlainAcceptance(c.result, block), c.plain);
            EXPECT_EQ(AcceptanceWithRecoveredError(c.result, block), c.recovered);
            EXPECT_EQ(StatusOnlyAcceptance(block), c.statusOnly);
        }
    }
}

TEST(AllocateAlignedBuffer, AlignedAndWholeSizeUsable) {
    static auto* kept = new std::vector<uint8_t*>;  // never released, as in the program
    for (const uint32_t mask : {0u, 7u, 511u}) {
        for (const uint32_t size : {1u, 8u, 511u, 65535u}) {
            uint8_t* buffer = AllocateAlignedBuffer(size, mask);
            ASSERT_NE(buffer, nullptr);
            kept->push_back(buffer);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer) & mask, 0u) << mask << " " << size;
            std::memset(buffer, 0xA5, size);  // out of bounds shows under the sanitizers
        }
    }
}

// The address-space limit that makes the allocation fail is a POSIX one.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(_WIN32)
// Size plus mask beyond 32 bits must be asked for as it is: wrapped, it would
// be a tiny allocation handed out as a 4 GiB buffer.
void AllocateBeyondTheAddressSpaceLimit() {
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = rlim_t{1} << 30;
    setrlimit(RLIMIT_AS, &limit);
    dup2(STDERR_FILENO, STDOUT_FILENO);  // the message goes where the check looks
    AllocateAlignedBuffer(0xFFFFFFFFu, 1);
}

TEST(AllocateAlignedBufferDeathTest, HugeRequestEndsTheProcessWithTheMessage) {
    EXPECT_EXIT(AllocateBeyondTheAddressSpaceLimit(), ::testing::ExitedWithCode(1),
                "memory allocation error\\. terminating program\\.\\.\\.");
}
#endif

}  // namespace
