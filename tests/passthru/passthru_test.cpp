// Request blocks and their sending, aligned buffers, and the diagnostics.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstring>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "passthru/Diagnostics.h"
#include "passthru/PassThru.h"
#include "platform/testing.h"
#include "support/capture.h"
#include "support/recording_unit.h"

namespace {

// A block filled again equals one filled from scratch, whatever it held. A buffered request for
// more than the block holds goes out cut to it, refused.
TEST(PassThru, BlocksCarryNothingOfThePreviousCommandAndStayWhole) {
    const uint8_t ready[6] = {SCSIOP_TEST_UNIT_READY};
    PassThruBlock blocks[2];
    PassThruDirBlock directs[2];
    for (size_t i = 0; i < 2; ++i) {  // a used block, then a fresh one
        std::memset(&blocks[i], i == 0 ? 0x5A : 0, sizeof blocks[i]);
        std::memset(&directs[i], i == 0 ? 0x5A : 0, sizeof directs[i]);
        FillPassThru(&blocks[i], 3, 5, ready, 6, 4096);
        FillPassThruDir(&directs[i], 3, 5, ready, 6, 8, blocks);
    }
    EXPECT_EQ(std::memcmp(&blocks[0], &blocks[1], sizeof blocks[0]), 0);
    EXPECT_EQ(std::memcmp(&directs[0], &directs[1], sizeof directs[0]), 0);
    EXPECT_EQ(blocks[0].Spt.TargetId * 10 + directs[0].Sptd.Lun, 35);

    auto unit = testsupport::InstallRecordingUnit("recpass");
    HANDLE handle =
        os::CreateFileA("\\\\.\\recpass", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<DWORD> sent;
    os::testing::ObserveDeviceControls([&sent](DWORD code, DWORD in, DWORD out) {
        sent.insert(sent.end(), {code, in, out});
    });
    DWORD returned = 0;
    EXPECT_FALSE(SendPassThru(handle, &blocks[0], 4096, &returned));
    os::testing::ObserveDeviceControls(nullptr);
    os::CloseHandle(handle);
    EXPECT_EQ(sent, (std::vector<DWORD>{IOCTL_SCSI_PASS_THROUGH, sizeof(SCSI_PASS_THROUGH),
                                        sizeof blocks[0]}));
    EXPECT_TRUE(unit->commands.empty());
}

// Allocations at chosen offsets into a page-aligned arena (none past its end): the buffer starts at
// the first address there whose mask bits are clear, and size plus mask bytes are asked for, summed
// without wrapping at 32 bits.
alignas(4096) uint8_t arena[8192];
size_t allocationAt, asked;

TEST(AllocateAlignedBuffer, StartsAtTheFirstAlignedAddress) {
    const auto allocate = [](size_t size) -> void* {
        asked = size;
        return allocationAt < sizeof arena ? arena + allocationAt : nullptr;
    };
    // Size, mask, where the allocation lies; the size asked for, where the buffer starts.
    std::vector<std::tuple<uint32_t, uint32_t, size_t, uint64_t, size_t>> cases = {
        {65535, 0, 1, 65535, 1}, {100, 7, 8, 107, 8},        {100, 7, 9, 107, 16},
        {100, 7, 15, 107, 16},   {200, 511, 513, 711, 1024}, {100, 0x0FFF, 4095, 4195, 4096}};
    if (sizeof(size_t) == 8) {
        cases.emplace_back(0xFFFFFFFF, 1, 2, 0x100000000, 2);
    }
    for (const auto& [size, mask, at, size_asked, start] : cases) {
        allocationAt = at;
        const ptrdiff_t offset = AllocateAlignedBufferFrom(allocate, size, mask) - arena;
        EXPECT_EQ(std::make_pair(asked, offset), std::make_pair(size_asked, ptrdiff_t(start)))
            << size << " " << mask << " at " << at;
    }
#ifndef _WIN32
    allocationAt = sizeof arena;  // none left: the message, to standard error here, and status 1
    EXPECT_EXIT((dup2(STDERR_FILENO, STDOUT_FILENO), AllocateAlignedBufferFrom(allocate, 100, 7)),
                ::testing::ExitedWithCode(1),
                "memory allocation error\\. terminating program\\.\\.\\.");
#endif
}

// The sense area closes the direct block: a longer claimed sense length, or dump, would read past
// it. A code without a text prints the lookup's own.
TEST(Diagnostics, StatusResults) {
    if (sizeof(void*) != 8) {
        GTEST_SKIP() << "the dumps are of the 64-bit layout";
    }
    const uint8_t cdb[10] = {0x25};
    PassThruDirBlock block;
    FillPassThruDir(&block, 0, 0, cdb, 10, 8, reinterpret_cast<void*>(0x1122334455667788));
    std::iota(block.SenseBuf, block.SenseBuf + kSenseAreaSize, uint8_t{0});
#ifdef _WIN32
    const std::string failed = "error: 99999  format message failed. error: 317\n";
#else
    const std::string failed = "error: 99999  format message failed. error: 22\n";  // EINVAL
#endif
    const std::string strange = "\nStrange reaction: SCSI Status: 02h\n\n";
    const std::string sense =
        "SCSI Sense Info:\n--------------------------------------------------------------\n"
        "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 ";
    const std::string head =  // status good: the status line and the dump's first row
        "\nerror: Scsi status: 00h, Bytes returned: 5Ch, data buffer length: 8h\n\n\n"
        "      00  01  02  03  04  05  06  07   08  09  0A  0B  0C  0D  0E  0F\n"
        "      ---------------------------------------------------------------\n"
        " 000  38  00  00  00  00  00  0A  18   01  00  00  00  08  00  00  00   \n";
    const std::string dump =
        head + " 010  C8  00  00  00  00  00  00  00   88  77  66  55  44  33  22  11   \n";
    // Call result, status, claimed sense length, dump length.
    const std::tuple<BOOL, uint8_t, uint8_t, uint32_t, std::string> cases[] = {
        {TRUE, 2, 24, 96, strange + sense + "\n\n"},
        {TRUE, 2, 255, 96, strange + sense + "18 19 1A 1B 1C 1D 1E 1F \n\n"},
        {FALSE, 2, 0, 96, failed + strange},
        {TRUE, 0, 24, 20, head + " 010  C8  00  00  00  \n\n"},
        {FALSE, 0, 24, 32, failed + dump + "\n\n"},
        {TRUE, 0, 24, 1000,
         dump + " 020  3C  00  00  00  25  00  00  00   00  00  00  00  00  00  00  00   \n"
                " 030  00  00  00  00  00  00  00  00   00  00  00  00  00  01  02  03   \n"
                " 040  04  05  06  07  08  09  0A  0B   0C  0D  0E  0F  10  11  12  13   \n"
                " 050  14  15  16  17  18  19  1A  1B   1C  1D  1E  1F  00  00  00  00   \n\n\n"},
    };
    for (const auto& [result, status, senseLength, dumpLength, expected] : cases) {
        block.Sptd.ScsiStatus = status;
        block.Sptd.SenseInfoLength = senseLength;
        // Set inside: capturing the output may change it.
        EXPECT_EQ(testsupport::CaptureStdout([&, ok = result, length = dumpLength] {
                      os::SetLastError(99999);
                      PrintStatusResults(ok, 0x5C, &block, length);
                  }),
                  expected)
            << int{status} << " " << int{senseLength} << " " << dumpLength;
    }
}

}  // namespace
