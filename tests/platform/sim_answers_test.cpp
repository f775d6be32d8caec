// What the simulated unit answers: commands, port driver records, reads.
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "platform/errors.h"
#include "platform/sim_test_util.h"
#include "platform/units/sim/profile.h"

namespace {

using simtest::Hex;
using simtest::Send;

const char* const kProfile = R"({
  "address": {"path_id": 1, "target_id": 5, "lun": 3},
  "adapter": {"max_transfer_length": 131072, "max_physical_pages": 33, "async_events": 1,
              "alignment_mask": 7, "tagged_queuing": false, "scans_down": true,
              "uses_pio": true, "initiator_bus_id": 6},
  "inquiry": "00 80 02 02 1f 00 00 1a",
  "capacity": {"last_lba": 2097151, "block_length": 512},
  "mode_pages": {"0x08": "08 02 04 00", "0X0a": "0a 02 10 00"},
  "defects": {"grown": [[258, 3, 42], [1, 0, 4294967295]],
              "primary": "00 15 00 10 00 00 01 00 00 00 00 05"},
  "timing": {"instant": true}
})";

const std::string kModeHeader = "0f 00 00 08 00 20 00 00 00 00 02 00";

class SimAnswers : public simtest::SimTest {
  protected:
    void SetUp() override {
        UseProfile(kProfile);
        unit_ = Open();
    }
    std::shared_ptr<os::units::Unit> unit_;
};

TEST_F(SimAnswers, TestUnitReadyWritesBackTheAddress) {
    const simtest::Answer answer = Send(*unit_, "00 00 00 00 00 00", 0);
    EXPECT_EQ(answer.error, 0u);
    EXPECT_EQ(answer.status, 0);
    EXPECT_EQ(answer.sense, "");
    EXPECT_EQ(answer.command.pathId, 1);
    EXPECT_EQ(answer.command.targetId, 5);
    EXPECT_EQ(answer.command.lun, 3);
}

TEST_F(SimAnswers, GoodAnswersByteForByte) {
    struct Case {
        const char* what;
        const char* cdb;
        uint32_t dataLength;
        std::string data;
    };
    const Case cases[] = {
        {"capacity", "25 00 00 00 00 00 00 00 00 00", 8, "00 1f ff ff 00 00 02 00"},
        {"capacity, short buffer", "25 00 00 00 00 00 00 00 00 00", 4, "00 1f ff ff"},
        {"caching page", "1a 00 08 00 c0 00", 192, kModeHeader + " 08 02 04 00"},
        {"page key in upper case", "1a 00 0a 00 c0 00", 192, kModeHeader + " 0a 02 10 00"},
        {"cut at the allocation length", "1a 00 08 00 06 00", 192, "0f 00 00 08 00 20"},
        {"cut at the buffer", "1a 00 08 00 c0 00", 3, "0f 00 00"},
        {"no block descriptor", "1a 08 08 00 c0 00", 192, "07 00 00 00 08 02 04 00"},
        {"changeable values", "1a 00 48 00 c0 00", 192, kModeHeader + " 08 02 00 00"},
        {"all pages", "1a 00 3f 00 c0 00", 192,
         "13 00 00 08 00 20 00 00 00 00 02 00 08 02 04 00 0a 02 10 00"},
        {"grown list from entries", "37 00 0d 00 00 00 00 ff ff 00", 65535,
         "00 0d 00 10 00 01 02 03 00 00 00 2a 00 00 01 00 ff ff ff ff"},
        {"grown list cut", "37 00 0d 00 00 00 00 00 06 00", 65535, "00 0d 00 10 00 01"},
        {"primary list verbatim", "37 00 15 00 00 00 00 ff ff 00", 65535,
         "00 15 00 10 00 00 01 00 00 00 00 05"},
        {"read of no blocks", "28 00 00 00 00 00 00 00 00 00", 512, ""},
    };
    for (const Case& c : cases) {
        const simtest::Answer answer = Send(*unit_, c.cdb, c.dataLength);
        EXPECT_EQ(answer.error, 0u) << c.what;
        EXPECT_EQ(answer.status, 0) << c.what;
        EXPECT_EQ(answer.sense, "") << c.what;
        EXPECT_EQ(answer.data, c.data) << c.what;
    }
}

TEST_F(SimAnswers, CheckConditionsCarryFixedFormatSense) {
    struct Case {
        const char* what;
        const char* cdb;
        uint32_t dataLength;
        const char* ascAscq;
    };
    const Case cases[] = {
        {"page not listed", "1a 00 05 00 c0 00", 192, "24 00"},
        {"unknown command", "12 00 00 00 24 00", 36, "20 00"},
        {"read past the last block", "28 00 00 1f ff ff 00 00 02 00", 1024, "21 00"},
        {"read larger than the buffer", "28 00 00 00 00 00 00 00 02 00", 512, "24 00"},
        {"cdb too short", "28 00 00 00", 512, "24 00"},
        {"capacity of an address without PMI", "25 00 00 00 00 01 00 00 00 00", 8, "24 00"},
        {"saved values", "1a 00 c8 00 c0 00", 192, "39 00"},
    };
    for (const Case& c : cases) {
        const simtest::Answer answer = Send(*unit_, c.cdb, c.dataLength);
        EXPECT_EQ(answer.error, 0u) << c.what;
        EXPECT_EQ(answer.status, 2) << c.what;
        EXPECT_EQ(answer.data, "") << c.what;
        EXPECT_EQ(answer.sense,
                  std::string("70 00 05 00 00 00 00 0a 00 00 00 00 ") + c.ascAscq + " 00 00 00 00")
            << c.what;
    }
    EXPECT_EQ(Send(*unit_, "1a 00 05 00 c0 00", 192, 8).sense, "70 00 05 00 00 00 00 0a");
}

TEST_F(SimAnswers, ReadDeliversEachWordsOwnOffset) {
    const simtest::Answer answer = Send(*unit_, "28 00 00 00 00 03 00 00 02 00", 1024);
    ASSERT_EQ(answer.command.transferred, 1024u);
    // Block 3 starts at byte 1536 (0x600); the last word is at 2552 (0x9f8).
    EXPECT_EQ(answer.data.substr(0, 23), "00 06 00 00 00 00 00 00");
    EXPECT_EQ(answer.data.substr(answer.data.size() - 23), "f8 09 00 00 00 00 00 00");
}

TEST_F(SimAnswers, InquiryDataListsTheUnitOnItsBus) {
    uint8_t out[2048];
    uint32_t returned = 0;
    ASSERT_EQ(unit_->InquiryData(out, sizeof out, returned), 0u);
    EXPECT_EQ(Hex(out, returned),
              "02 00 00 00 "
              "00 06 00 00 00 00 00 00 "
              "01 06 00 00 14 00 00 00 "
              "01 05 03 01 08 00 00 00 00 00 00 00 "
              "00 80 02 02 1f 00 00 1a");
    ASSERT_EQ(unit_->InquiryData(out, 6, returned), 0u);
    EXPECT_EQ(Hex(out, returned), "02 00 00 00 00 06");
}

TEST_F(SimAnswers, BusInfoIsAnsweredVerbatim) {
    UseProfile(R"({"bus_info": "01 00 00 00 00 07 00 00 0c 00 00 00"})");
    uint8_t out[2048];
    uint32_t returned = 0;
    ASSERT_EQ(Open()->InquiryData(out, sizeof out, returned), 0u);
    EXPECT_EQ(Hex(out, returned), "01 00 00 00 00 07 00 00 0c 00 00 00");
}

TEST_F(SimAnswers, RecordsFollowTheProfile) {
    IO_SCSI_CAPABILITIES capabilities;
    ASSERT_EQ(unit_->Capabilities(capabilities), 0u);
    EXPECT_EQ(capabilities.Length, 24u);
    EXPECT_EQ(capabilities.MaximumTransferLength, 131072u);
    EXPECT_EQ(capabilities.MaximumPhysicalPages, 33u);
    EXPECT_EQ(capabilities.SupportedAsynchronousEvents, 1u);
    EXPECT_EQ(capabilities.AlignmentMask, 7u);
    EXPECT_EQ(capabilities.TaggedQueuing, 0);
    EXPECT_EQ(capabilities.AdapterScansDown, 1);
    EXPECT_EQ(capabilities.AdapterUsesPio, 1);

    // Without volume_bytes and geometry both follow the capacity.
    uint64_t size = 0;
    ASSERT_EQ(unit_->Size(size), 0u);
    EXPECT_EQ(size, 1073741824u);
    DISK_GEOMETRY geometry;
    ASSERT_EQ(unit_->Geometry(geometry), 0u);
    EXPECT_EQ(geometry.Cylinders.QuadPart, 130);
    EXPECT_EQ(geometry.MediaType, RemovableMedia);  // inquiry byte 1 says so
    EXPECT_EQ(geometry.TracksPerCylinder, 255u);
    EXPECT_EQ(geometry.SectorsPerTrack, 63u);
    EXPECT_EQ(geometry.BytesPerSector, 512u);
}

TEST_F(SimAnswers, MissingDefectListIsEmpty) {
    UseProfile(R"({"defects": {"grown": [[1, 2, 3]]}, "timing": {"instant": true}})");
    const auto unit = Open();
    EXPECT_EQ(Send(*unit, "37 00 15 00 00 00 00 ff ff 00", 65535).data, "00 15 00 00");
    EXPECT_EQ(Send(*unit, "37 00 0d 00 00 00 00 ff ff 00", 65535).data,
              "00 0d 00 08 00 00 01 02 00 00 00 03");
}

TEST_F(SimAnswers, FileReadsArePositionedAndEndWithTheVolume) {
    UseProfile(R"({"volume_bytes": 10000, "timing": {"instant": true}})");
    const auto buffered = Open(false);
    const auto unbuffered = Open(true);
    struct Case {
        bool unbuffered;
        uint64_t offset;
        uint32_t length;
        uint32_t error;
        uint32_t got;
    };
    const Case cases[] = {
        {false, 100, 50, 0, 50},
        {false, 9990, 100, 0, 10},
        {false, 10000, 100, 0, 0},
        {false, 20000, 100, 0, 0},
        {true, 512, 512, 0, 512},
        {true, 9728, 512, 0, 272},
        {true, 100, 512, os::errors::kInvalidArgument, 0},
        {true, 512, 100, os::errors::kInvalidArgument, 0},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> buffer(c.length + 8, 0xEE);
        uint32_t got = 12345;
        os::units::Unit& unit = c.unbuffered ? *unbuffered : *buffered;
        EXPECT_EQ(unit.Read(c.offset, buffer.data(), c.length, got), c.error) << c.offset;
        EXPECT_EQ(got, c.got) << c.offset;
        for (uint32_t i = 0; i < c.got; ++i) {
            const uint64_t at = c.offset + i;
            ASSERT_EQ(buffer[i], static_cast<uint8_t>((at & ~uint64_t{7}) >> (8 * (at & 7))))
                << c.offset << "+" << i;
        }
        EXPECT_EQ(buffer[c.got], 0xEE) << "wrote past what it read at " << c.offset;
    }
}

TEST_F(SimAnswers, DefaultProfileAnswersTheUsualDiskPages) {
    os::units::sim::ResetForTesting();
    const auto unit = Open();
    std::string accepted;
    std::string rejected;
    for (int page = 1; page <= 0x0C; ++page) {
        char cdb[32];
        std::snprintf(cdb, sizeof cdb, "1a 00 %02x 00 c0 00", page);
        (Send(*unit, cdb, 192).status == 0 ? accepted : rejected) += " " + std::string(cdb + 6, 2);
    }
    EXPECT_EQ(accepted, " 01 02 03 04 07 08 0a 0c");
    EXPECT_EQ(rejected, " 05 06 09 0b");
}

TEST(SimProfiles, DefaultFileIsTheBuiltInProfile) {
    const std::string file =
        testsupport::ReadFile(std::string(VELKRAND_SOURCE_DIR) + "/examples/profiles/default.json");
    EXPECT_EQ(nlohmann::json::parse(file),
              nlohmann::json::parse(os::units::sim::DefaultProfileText()));
    // And a key left out takes the default's value.
    EXPECT_EQ(os::units::sim::ParseProfile("{}"),
              os::units::sim::ParseProfile(os::units::sim::DefaultProfileText()));
}

TEST(SimProfiles, EveryExampleProfileLoads) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(VELKRAND_SOURCE_DIR) +
                                                                 "/examples/profiles")) {
        EXPECT_NO_THROW(os::units::sim::ParseProfile(testsupport::ReadFile(entry.path().string())))
            << entry.path();
        ++count;
    }
    EXPECT_GE(count, 3);
}

}  // namespace
