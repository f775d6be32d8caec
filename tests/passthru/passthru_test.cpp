#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
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

// The 64-bit layouts show byte for byte in the dumps below and end to end.
TEST(PassThru, SendLengthsOfBothForms) {
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
    FillPassThru(&block, 0, 0, modeSense, 6, 192);
    EXPECT_TRUE(SendPassThru(handle, &block, 192, &returned));
    // More than the block holds goes out cut to the block, and is refused.
    FillPassThru(&block, 0, 0, modeSense, 6, 4096);
    EXPECT_FALSE(SendPassThru(handle, &block, 4096, &returned));
    std::vector<uint8_t> buffer(1 << 20);
    PassThruDirBlock direct;
    FillPassThruDir(&direct, 0, 0, modeSense, 6, 1 << 20, buffer.data());
    EXPECT_TRUE(SendPassThruDir(handle, &direct, &returned));
    os::testing::ObserveDeviceControls(nullptr);
    os::CloseHandle(handle);
    const DWORD header = sizeof(SCSI_PASS_THROUGH);
    EXPECT_EQ(sent, (std::vector<Control>{
                        {IOCTL_SCSI_PASS_THROUGH, header, kDataOffset + 192},
                        {IOCTL_SCSI_PASS_THROUGH, header, sizeof block},
                        {IOCTL_SCSI_PASS_THROUGH_DIRECT, kDirBlockLength, kDirBlockLength}}));
    ASSERT_EQ(unit->commands.size(), 2u);
    EXPECT_EQ(unit->commands[0].timeoutSeconds, 200u);
    EXPECT_EQ(unit->commands[0].senseCapacity, 24);
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

TEST(AllocateAlignedBuffer, AlignedAndWholeSizeUsable) {
    static auto* kept = new std::vector<uint8_t*>;  // never released, as in the program
    for (const uint32_t mask : {0u, 7u, 511u}) {
        uint8_t* buffer = kept->emplace_back(AllocateAlignedBuffer(65535, mask));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer) & mask, 0u) << mask;
        std::memset(buffer, 0xA5, 65535);  // out of bounds shows under the sanitizers
    }
}

// The address-space limit that makes the allocation fail is a POSIX one. Size
// plus mask past 32 bits must be asked for as it is: wrapped, it would be a
// tiny allocation handed out as a 4 GiB buffer.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(_WIN32)
TEST(AllocateAlignedBufferDeathTest, HugeRequestEndsTheProcessWithTheMessage) {
    EXPECT_EXIT(
        {
            rlimit limit{};
            limit.rlim_cur = limit.rlim_max = rlim_t{1} << 30;
            setrlimit(RLIMIT_AS, &limit);
            dup2(STDERR_FILENO, STDOUT_FILENO);  // the message goes where the check looks
            AllocateAlignedBuffer(0xFFFFFFFFu, 1);
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
    // The message lines themselves, a text or the failed lookup, are checked end to end.
    const auto message = [](DWORD code) {
        return CaptureStdout([code] { PrintErrorMessage(code); });
    };
    // Call result, last error, status, claimed sense length, dump length.
    const std::tuple<BOOL, DWORD, uint8_t, uint8_t, uint32_t, std::string> cases[] = {
        {TRUE, 0, 2, 24, 96, strange + sense + "\n\n"},
        {TRUE, 0, 2, 255, 96, strange + sense + "18 19 1A 1B 1C 1D 1E 1F \n\n"},
        {FALSE, 5, 2, 0, 96, "error: 5  " + message(5) + strange},
        {TRUE, 0, 0, 24, 0, head + "\n\n"},
        {TRUE, 0, 0, 24, 8, head + " 000  38  00  00  00  00  00  0A  18   \n\n"},
        {TRUE, 0, 0, 24, 20, head + row0 + " 010  C8  00  00  00  \n\n"},
        {FALSE, 99999, 0, 24, 32, "error: 99999  " + message(99999) + dump + "\n\n"},
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
