#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "passthru/Diagnostics.h"
#include "passthru/PassThru.h"
#include "platform/testing.h"
#include "support/capture.h"
#include "support/recording_unit.h"

namespace {

using testsupport::CaptureStdout;
using Control = std::tuple<DWORD, DWORD, DWORD>;  // code, input and output length

// A buffered request for more than the block holds goes out cut to the
// block, and is refused; the lengths of the system's own requests are
// checked with the report's commands.
TEST(PassThru, OversizedBufferedRequestStaysInTheBlock) {
    auto unit = testsupport::InstallRecordingUnit("recpass");
    HANDLE handle = os::CreateFileA("\\\\.\\recpass", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    std::vector<Control> sent;
    os::testing::ObserveDeviceControls(
        [&sent](DWORD code, DWORD in, DWORD out) { sent.emplace_back(code, in, out); });
    const uint8_t modeSense[6] = {SCSIOP_MODE_SENSE, 0, 0x08, 0, 192, 0};
    PassThruBlock block;
    DWORD returned = 0;
    FillPassThru(&block, 0, 0, modeSense, 6, 4096);
    EXPECT_FALSE(SendPassThru(handle, &block, 4096, &returned));
    os::testing::ObserveDeviceControls(nullptr);
    os::CloseHandle(handle);
    EXPECT_EQ(
        sent,
        (std::vector<Control>{{IOCTL_SCSI_PASS_THROUGH, sizeof(SCSI_PASS_THROUGH), sizeof block}}));
    EXPECT_TRUE(unit->commands.empty());
}

// A block filled again must equal one filled from scratch, whatever it held.
TEST(PassThru, RefillCarriesNothingOfThePreviousCommand) {
    const uint8_t ready[6] = {SCSIOP_TEST_UNIT_READY};
    PassThruBlock blocks[2];
    PassThruDirBlock directs[2];
    for (size_t i = 0; i < 2; ++i) {  // a used block, then a fresh one
        std::memset(&blocks[i], i == 0 ? 0x5A : 0, sizeof blocks[i]);
        std::memset(&directs[i], i == 0 ? 0x5A : 0, sizeof directs[i]);
        FillPassThru(&blocks[i], 0, 0, ready, 6, 0);
        FillPassThruDir(&directs[i], 0, 0, ready, 6, 8, blocks);
    }
    EXPECT_EQ(std::memcmp(&blocks[0], &blocks[1], sizeof blocks[0]), 0);
    EXPECT_EQ(std::memcmp(&directs[0], &directs[1], sizeof directs[0]), 0);
}

// Both forms keep status and sense at the same offsets, which the build checks.
TEST(PassThru, CompletionRules) {
    // Call result, status, sense byte 2; plain, with recovered error, status only.
    const std::tuple<BOOL, uint8_t, uint8_t, bool, bool, bool> cases[] = {
        {TRUE, 0, 0x00, true, true, true},    {FALSE, 0, 0x00, false, false, true},
        {TRUE, 2, 0x01, false, true, false},  {FALSE, 2, 0x01, false, true, false},
        {TRUE, 2, 0x21, false, false, false}, {TRUE, 2, 0x03, false, false, false},
        {TRUE, 8, 0x01, false, false, false}, {TRUE, 0, 0x03, true, true, true},
    };
    for (const auto& [result, status, senseByte2, plain, recovered, statusOnly] : cases) {
        PassThruBlock block = {};
        block.Spt.ScsiStatus = status;
        block.SenseBuf[2] = senseByte2;
        EXPECT_EQ(PlainAcceptance(result, &block), plain) << int{status} << int{senseByte2};
        EXPECT_EQ(AcceptanceWithRecoveredError(result, &block), recovered) << int{senseByte2};
        EXPECT_EQ(StatusOnlyAcceptance(&block), statusOnly) << int{status};
    }
}

// Allocations placed at chosen distances past a 4 KiB boundary: the buffer
// starts at the first address there whose mask bits are clear, and size plus
// mask bytes are asked for, summed without wrapping at 32 bits.
alignas(4096) uint8_t arena[8192];
size_t allocationAt;  // offset into arena of the next allocation; none past its end
size_t asked;

void* Allocate(size_t size) {
    asked = size;
    return allocationAt < sizeof arena ? arena + allocationAt : nullptr;
}

TEST(AllocateAlignedBuffer, StartsAtTheFirstAlignedAddress) {
    // Size, mask, where the allocation lies; the size asked for, where the buffer starts.
    std::vector<std::tuple<uint32_t, uint32_t, size_t, uint64_t, size_t>> cases = {
        {65535, 0, 1, 65535, 1},     // no mask: the allocation itself
        {100, 7, 8, 107, 8},         // 8k: unchanged
        {100, 7, 9, 107, 16},        // 8k + 1: 7 bytes on
        {100, 7, 15, 107, 16},       // 8k + 7: 1 byte on
        {200, 511, 513, 711, 1024},  // a mask wider than a byte
        {100, 0x0FFF, 4095, 4195, 4096},
    };
    if (sizeof(size_t) == 8) {
        cases.emplace_back(0xFFFFFFFF, 1, 2, 0x100000000, 2);
    }
    for (const auto& [size, mask, at, size_asked, start] : cases) {
        allocationAt = at;
        EXPECT_EQ(AllocateAlignedBufferFrom(Allocate, size, mask) - arena,
                  static_cast<ptrdiff_t>(start))
            << size << " " << mask << " at " << at;
        EXPECT_EQ(asked, size_asked) << size << " " << mask;
    }
}

// The message goes to standard output; the check looks at standard error.
#ifndef _WIN32
TEST(AllocateAlignedBufferDeathTest, FailedAllocationEndsTheProcessWithTheMessage) {
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            allocationAt = sizeof arena;
            AllocateAlignedBufferFrom(Allocate, 100, 7);
        },
        ::testing::ExitedWithCode(1), "memory allocation error\\. terminating program\\.\\.\\.");
}
#endif

const std::string kDumpHeader =
    "      00  01  02  03  04  05  06  07   08  09  0A  0B  0C  0D  0E  0F\n"
    "      ---------------------------------------------------------------\n";

// Offsets from 0x1000 on widen the column.
TEST(Diagnostics, DumpPastHex1000) {
    std::vector<uint8_t> bytes(0x1001);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    const std::string dump = CaptureStdout([&] { PrintDataBuffer(bytes.data(), 0x1001); });
    EXPECT_EQ(dump.substr(dump.size() - 86),
              " FF0  F0  F1  F2  F3  F4  F5  F6  F7   F8  F9  FA  FB  FC  FD  FE  FF   \n"
              " 1000  00  \n\n");
}

// The sense area closes the direct block: a longer claimed sense length, or a
// longer dump, would read past it. Dumps: rows of 16, a gap after 8.
TEST(Diagnostics, StatusResults) {
    if (sizeof(void*) != 8) {
        GTEST_SKIP() << "the dumps are of the 64-bit layout";
    }
    const uint8_t cdb[10] = {0x25};
    PassThruDirBlock block;
    FillPassThruDir(&block, 0, 0, cdb, 10, 8, reinterpret_cast<void*>(0x1122334455667788));
    for (uint8_t i = 0; i < kSenseAreaSize; ++i) {
        block.SenseBuf[i] = i;
    }
    const std::string strange = "\nStrange reaction: SCSI Status: 02h\n\n";
    const std::string sense =
        "SCSI Sense Info:\n--------------------------------------------------------------\n"
        "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 ";
    const std::string head =  // status good: the status line and the dump header
        "\nerror: Scsi status: 00h, Bytes returned: 5Ch, data buffer length: 8h\n\n\n" +
        kDumpHeader;
    const std::string row0 =
        " 000  38  00  00  00  00  00  0A  18   01  00  00  00  08  00  00  00   \n";
    const std::string dump =
        head + row0 + " 010  C8  00  00  00  00  00  00  00   88  77  66  55  44  33  22  11   \n";
    // The system's texts are checked end to end; a code without one prints the
    // failed lookup's own error code, not the code asked about.
    const auto message = [](DWORD code) {
        return CaptureStdout([code] { PrintErrorMessage(code); });
    };
#ifdef _WIN32
    const std::string noText = "format message failed. error: 317\n";  // ERROR_MR_MID_NOT_FOUND
#else
    const std::string noText = "format message failed. error: 22\n";  // EINVAL
#endif
    // Call result, last error, status, claimed sense length, dump length.
    const std::tuple<BOOL, DWORD, uint8_t, uint8_t, uint32_t, std::string> cases[] = {
        {TRUE, 0, 2, 24, 96, strange + sense + "\n\n"},
        {TRUE, 0, 2, 255, 96, strange + sense + "18 19 1A 1B 1C 1D 1E 1F \n\n"},
        {FALSE, 5, 2, 0, 96, "error: 5  " + message(5) + strange},
        {TRUE, 0, 0, 24, 0, head + "\n\n"},
        {TRUE, 0, 0, 24, 8, head + " 000  38  00  00  00  00  00  0A  18   \n\n"},
        {TRUE, 0, 0, 24, 20, head + row0 + " 010  C8  00  00  00  \n\n"},
        {FALSE, 99999, 0, 24, 32, "error: 99999  " + noText + dump + "\n\n"},
        {FALSE, 2, 0, 24, 1000,
         "error: 2  " + message(2) + dump +
             " 020  3C  00  00  00  25  00  00  00   00  00  00  00  00  00  00  00   \n"
             " 030  00  00  00  00  00  00  00  00   00  00  00  00  00  01  02  03   \n"
             " 040  04  05  06  07  08  09  0A  0B   0C  0D  0E  0F  10  11  12  13   \n"
             " 050  14  15  16  17  18  19  1A  1B   1C  1D  1E  1F  00  00  00  00   \n\n\n"},
    };
    for (const auto& [result, lastError, status, senseLength, dumpLength, expected] : cases) {
        block.Sptd.ScsiStatus = status;
        block.Sptd.SenseInfoLength = senseLength;
        // The last error is set inside: capturing the output may change it.
        EXPECT_EQ(CaptureStdout([&, error = lastError, ok = result, length = dumpLength] {
                      os::SetLastError(error);
                      PrintStatusResults(ok, 0x5C, &block, length);
                  }),
                  expected)
            << lastError << " " << int{senseLength};
    }
}

}  // namespace
