#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/Report.h"
#include "run/RunState.h"
#include "support/capture.h"

namespace {

using testsupport::CaptureStdout;
using testsupport::HexBytes;

class DefectListTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetRunState(); }
};

const char kTitle[] = "\n\n                  Grown defect list (User defects)\n";

std::string PrintList(const std::vector<uint8_t>& data) {
    return CaptureStdout(
        [&] { PrintDefectList(kTitle, data.data(), static_cast<uint32_t>(data.size())); });
}

TEST_F(DefectListTest, PrintsHeaderAndEntries) {
    const struct {
        const char* name;
        std::vector<uint8_t> data;
        std::string out;
    } cases[] = {
        {"empty list", HexBytes("00 05 00 00 00 01 02 03 00 00 00 2A"),
         std::string(kTitle) + "\n       Defect list length (in Bytes): 0\n"
                               "             Number of bad sector(s): 0\n"},
        {"two entries, the second a whole track",
         HexBytes("00 05 00 10 00 01 02 03 00 00 00 2A 01 86 A0 0F FF FF FF FF"),
         std::string(kTitle) + "\n       Defect list length (in Bytes): 16\n"
                               "             Number of bad sector(s): 2\n"
                               "\n"
                               "               Cylinder: 00258  Head: 03  Sector: 00042\n"
                               "               Cylinder: 100000  Head: 15  Sector: -0001\n"},
        {"announced beyond the buffer", HexBytes("00 05 00 18 00 00 07 01 00 00 00 09 00 00 08"),
         std::string(kTitle) + "\n       Defect list length (in Bytes): 24\n"
                               "             Number of bad sector(s): 3\n"
                               "\n"
                               "               Cylinder: 00007  Head: 01  Sector: 00009\n"},
        {"a length that is no multiple of 8",
         HexBytes("00 05 00 09 00 00 01 00 00 00 00 01 00 00 02 00 00 00 00 02"),
         std::string(kTitle) + "\n       Defect list length (in Bytes): 9\n"
                               "             Number of bad sector(s): 1\n"
                               "\n"
                               "               Cylinder: 00001  Head: 00  Sector: 00001\n"
                               "               Cylinder: 00002  Head: 00  Sector: 00002\n"},
        {"header cut short", HexBytes("00 05 00"),
         std::string(kTitle) + "\n       Defect list length (in Bytes): 0\n"
                               "             Number of bad sector(s): 0\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PrintList(c.data), c.out) << c.name;
    }
}

TEST_F(DefectListTest, FullLengthPrintsOnlyTheEntriesInsideTheBuffer) {
    std::vector<uint8_t> data(65535);
    data[2] = 0xFF;
    data[3] = 0xFF;
    data[65524 + 3] = 7;  // the head of the last entry that fits
    std::string expected = std::string(kTitle) +
                           "\n       Defect list length (in Bytes): 65535\n"
                           "             Number of bad sector(s): 8191\n\n";
    for (int i = 0; i < 8190; ++i) {
        expected += "               Cylinder: 00000  Head: 00  Sector: 00000\n";
    }
    expected += "               Cylinder: 00000  Head: 07  Sector: 00000\n";
    EXPECT_TRUE(PrintList(data) == expected);
}

TEST_F(DefectListTest, RefusesUnlessAskedForExactlyOne) {
    for (const int32_t value : {0, 2, -1}) {
        State.ShowDefectList = value;
        EXPECT_EQ(CaptureStdout([] { ShowDefectLists(); }),
                  "\n\n            Defect list(s) execution ability refused by User\n")
            << value;
    }
}

}  // namespace
