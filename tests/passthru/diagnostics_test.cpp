#include "passthru/Diagnostics.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/capture.h"

namespace {

// The system's own text for code, as PrintErrorMessage prints it.
std::string SystemText(DWORD code) {
    char text[80] = {};
    os::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, text, sizeof text, nullptr);
    return text;
}

#ifdef _WIN32
constexpr int kNoTextError = 317;  // ERROR_MR_MID_NOT_FOUND
#else
constexpr int kNoTextError = 22;  // EINVAL
#endif

using testsupport::CaptureStdout;

const std::string kDumpHeader =
    "      00  01  02  03  04  05  06  07   08  09  0A  0B  0C  0D  0E  0F\n"
    "      ---------------------------------------------------------------\n";
const std::string kRow0 =
    " 000  00  01  02  03  04  05  06  07   08  09  0A  0B  0C  0D  0E  0F   \n";
const std::string kSenseTitle =
    "SCSI Sense Info:\n"
    "--------------------------------------------------------------\n";

std::string Dump(uint32_t length) {
    std::vector<uint8_t> bytes(length);
    for (uint32_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    return CaptureStdout([&] { PrintDataBuffer(bytes.data(), length); });
}

TEST(PrintDataBuffer, RowsColumnsAndClosingLines) {
    const struct {
        uint32_t length;
        std::string expected;
    } cases[] = {
        {0, kDumpHeader + "\n\n"},
        {8, kDumpHeader + " 000  00  01  02  03  04  05  06  07   \n\n"},
        {16, kDumpHeader + kRow0 + "\n\n"},
        {20, kDumpHeader + kRow0 + " 010  10  11  12  13  \n\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Dump(c.length), c.expected) << c.length;
    }
}

TEST(PrintDataBuffer, OffsetsFromHex1000WidenTheColumn) {
    const std::string dump = Dump(0x1001);
    const std::string tail =
        " FF0  F0  F1  F2  F3  F4  F5  F6  F7   F8  F9  FA  FB  FC  FD  FE  FF   \n"
        " 1000  00  \n\n";
    ASSERT_GE(dump.size(), tail.size());
    EXPECT_EQ(dump.substr(dump.size() - tail.size()), tail);
}

TEST(PrintSenseInfo, StatusAndAtMostTheSenseArea) {
    PassThruBlock block;
    std::memset(&block, 0xEE, sizeof block);  // what lies behind the sense area
    block.Spt.ScsiStatus = 2;
    for (uint8_t i = 0; i < kSenseAreaSize; ++i) {
        block.SenseBuf[i] = i;
    }
    const std::string strange = "\nStrange reaction: SCSI Status: 02h\n\n";
    const std::string first24 =
        "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 ";
    const std::string all32 = first24 + "18 19 1A 1B 1C 1D 1E 1F ";
    const struct {
        uint8_t senseLength;
        std::string expected;
    } cases[] = {
        {0, strange},
        {24, strange + kSenseTitle + first24 + "\n\n"},
        {32, strange + kSenseTitle + all32 + "\n\n"},
        {255, strange + kSenseTitle + all32 + "\n\n"},
    };
    for (const auto& c : cases) {
        block.Spt.SenseInfoLength = c.senseLength;
        EXPECT_EQ(CaptureStdout([&] { PrintSenseInfo(&block); }), c.expected) << int{c.senseLength};
    }
    EXPECT_EQ(first24.size(), 72u);
}

class PrintStatusResultsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (sizeof(void*) != 8) {
            GTEST_SKIP() << "dumps below are of the 64-bit layout";
        }
    }
};

TEST_F(PrintStatusResultsTest, FailedCallWithGoodStatusDumpsTheBlockCutToItsSize) {
    const uint8_t cdb[10] = {0x25};
    PassThruDirBlock block;
    FillPassThruDir(&block, 0, 0, cdb, 10, 8, reinterpret_cast<void*>(0x1122334455667788));
    block.SenseBuf[0] = 0x70;
    block.SenseBuf[2] = 0x06;
    const std::string expected =
        "error: 2  " + SystemText(2) +
        "\n"
        "\nerror: Scsi status: 00h, Bytes returned: 0h, data buffer length: 8h\n\n\n" +
        kDumpHeader +
        " 000  38  00  00  00  00  00  0A  18   01  00  00  00  08  00  00  00   \n"
        " 010  C8  00  00  00  00  00  00  00   88  77  66  55  44  33  22  11   \n"
        " 020  3C  00  00  00  25  00  00  00   00  00  00  00  00  00  00  00   \n"
        " 030  00  00  00  00  00  00  00  00   00  00  00  00  70  00  06  00   \n"
        " 040  00  00  00  00  00  00  00  00   00  00  00  00  00  00  00  00   \n"
        " 050  00  00  00  00  00  00  00  00   00  00  00  00  00  00  00  00   \n"
        "\n\n";
    // The last error is set inside: capturing the output may change it.
    EXPECT_EQ(CaptureStdout([&] {
                  os::SetLastError(2);
                  PrintStatusResults(FALSE, 0, &block, 1000);
              }),
              expected);
}

TEST_F(PrintStatusResultsTest, OtherOutcomes) {
    const uint8_t cdb[6] = {0x1A, 0, 0x08, 0, 0xC0, 0};
    PassThruBlock block;
    FillPassThru(&block, 0, 0, cdb, 6, 192);
    const std::string sense24 =
        "70 00 05 00 00 00 00 10 00 00 00 00 24 00 00 00 00 00 00 00 00 00 00 00 ";
    const std::string status =
        "\nerror: Scsi status: 00h, Bytes returned: 5Ch, data buffer length: C0h\n\n\n";
    const std::string dump20 =
        kDumpHeader +
        " 000  38  00  00  00  00  00  06  18   01  00  00  00  C0  00  00  00   \n"
        " 010  C8  00  00  00  \n\n";
    const struct {
        const char* name;
        BOOL result;
        DWORD lastError;
        uint8_t status;
        uint8_t senseLength;
        uint32_t dumpLength;
        std::string expected;
    } cases[] = {
        {"call fine, check condition", TRUE, 0, 2, 24, 272,
         "\nStrange reaction: SCSI Status: 02h\n\n" + kSenseTitle + sense24 + "\n\n"},
        {"call failed, check condition, no sense", FALSE, 5, 2, 0, 272,
         "error: 5  " + SystemText(5) + "\n\nStrange reaction: SCSI Status: 02h\n\n"},
        {"call fine, status good", TRUE, 0, 0, 24, 20, status + dump20},
        {"code without a text", FALSE, 99999, 0, 24, 20,
         "error: 99999  format message failed. error: " + std::to_string(kNoTextError) + "\n" +
             status + dump20},
    };
    const std::vector<uint8_t> sense =
        testsupport::HexBytes("70 00 05 00 00 00 00 10 00 00 00 00 24");
    std::memcpy(block.SenseBuf, sense.data(), sense.size());
    for (const auto& c : cases) {
        block.Spt.ScsiStatus = c.status;
        block.Spt.SenseInfoLength = c.senseLength;
        EXPECT_EQ(CaptureStdout([&] {
                      os::SetLastError(c.lastError);
                      PrintStatusResults(c.result, 0x5C, &block, c.dumpLength);
                  }),
                  c.expected)
            << c.name;
    }
}

TEST(PrintErrorMessage, SystemTextOrLookupFailure) {
#ifdef _WIN32
    GTEST_SKIP() << "the texts checked are those of the C library on POSIX systems";
#endif
    EXPECT_EQ(CaptureStdout([] { PrintErrorMessage(2); }), "No such file or directory\n\n");
    EXPECT_EQ(CaptureStdout([] { PrintErrorMessage(99999); }),
              "format message failed. error: 22\n");
}

}  // namespace
