// What the simulated unit answers: commands, port driver records, reads.
#include <filesystem>
#include <nlohmann/json.hpp>

#include "platform/errors.h"
#include "platform/sim_test_util.h"
#include "platform/units/sim/profile.h"

namespace {

using simtest::Hex;
using simtest::Send;

const std::string kModeHeader = "0f 00 00 08 00 20 00 00 00 00 02 00";

class SimAnswers : public simtest::SimTest {
  protected:
    void SetUp() override {
        UseProfile(R"({
  "address": {"path_id": 1, "target_id": 5, "lun": 3},
  "adapter": {"max_transfer_length": 131072, "max_physical_pages": 33, "async_events": 1,
              "alignment_mask": 7, "tagged_queuing": false, "scans_down": true,
              "uses_pio": true, "initiator_bus_id": 6},
  "inquiry": "00 80 02 02 1f 00 00 1a",
  "capacity": {"last_lba": 2097151, "block_length": 512},
  "mode_pages": {"0x08": "08 02 04 00", "0X0a": "0a 02 10 00"},
  "defects": {"grown": [[258, 3, 42], [1, 0, 4294967295]],
              "primary": "00 15 00 10 00 00 01 00 00 00 00 05"},
  "timing": {"instant": true}})");
        unit_ = Open();
    }
    std::shared_ptr<os::units::Unit> unit_;
};

// A check condition's fixed-format sense, with its ASC and ASCQ.
std::string Check(const std::string& ascAscq) {
    return "check 70 00 05 00 00 00 00 0a 00 00 00 00 " + ascAscq + " 00 00 00 00";
}

// Every answer writes the unit's address back.
TEST_F(SimAnswers, CommandsAnswerAsConfigured) {
    const struct {
        const char* cdb;
        uint32_t dataLength;
        std::string answer;
    } cases[] = {
        {"00 00 00 00 00 00", 0, ""},
        {"25 00 00 00 00 00 00 00 00 00", 8, "00 1f ff ff 00 00 02 00"},
        {"1a 00 08 00 c0 00", 192, kModeHeader + " 08 02 04 00"},
        {"1a 00 08 00 06 00", 192, "0f 00 00 08 00 20"},           // cut at the allocation length
        {"1a 00 08 00 c0 00", 3, "0f 00 00"},                      // cut at the buffer
        {"1a 08 08 00 c0 00", 192, "07 00 00 00 08 02 04 00"},     // no block descriptor
        {"1a 00 48 00 c0 00", 192, kModeHeader + " 08 02 00 00"},  // changeable values
        {"1a 00 3f 00 c0 00", 192, "13 00 00 08 00 20 00 00 00 00 02 00 08 02 04 00 0a 02 10 00"},
        {"37 00 0d 00 00 00 00 ff ff 00", 65535,
         "00 0d 00 10 00 01 02 03 00 00 00 2a 00 00 01 00 ff ff ff ff"},
        {"37 00 0d 00 00 00 00 00 06 00", 65535, "00 0d 00 10 00 01"},
        {"37 00 15 00 00 00 00 ff ff 00", 65535, "00 15 00 10 00 00 01 00 00 00 00 05"},
        {"28 00 00 00 00 00 00 00 00 00", 512, ""},
        {"1a 00 05 00 c0 00", 192, Check("24 00")},  // page not listed
        {"1a 00 c8 00 c0 00", 192, Check("39 00")},  // saved values
        {"12 00 00 00 24 00", 36, Check("20 00")},
        {"28 00 00 1f ff ff 00 00 02 00", 1024, Check("21 00")},
        {"28 00 00 00 00 00 00 00 02 00", 512, Check("24 00")},  // larger than the buffer
        {"28 00 00 00", 512, Check("24 00")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cdb);
        const simtest::Answer a = Send(*unit_, c.cdb, c.dataLength);
        EXPECT_EQ(a.error, 0u);
        EXPECT_EQ(a.status == 0 && a.sense.empty()  ? a.data
                  : a.status == 2 && a.data.empty() ? "check " + a.sense
                                                    : "status " + std::to_string(a.status),
                  c.answer);
        EXPECT_EQ(a.command.pathId * 100 + a.command.targetId * 10 + a.command.lun, 153);
    }
    // Sense is cut to the room the request gave it.
    EXPECT_EQ(Send(*unit_, "1a 00 05 00 c0 00", 192, 8).sense, "70 00 05 00 00 00 00 0a");
}

TEST_F(SimAnswers, RecordsFollowTheProfile) {
    uint8_t out[2048];
    uint32_t returned = 0;
    ASSERT_EQ(unit_->InquiryData(out, sizeof out, returned), 0u);
    EXPECT_EQ(Hex(out, returned),
              "02 00 00 00 00 06 00 00 00 00 00 00 01 06 00 00 14 00 00 00 "
              "01 05 03 01 08 00 00 00 00 00 00 00 00 80 02 02 1f 00 00 1a");
    ASSERT_EQ(unit_->InquiryData(out, 6, returned), 0u);
    EXPECT_EQ(Hex(out, returned), "02 00 00 00 00 06");

    const auto n = [](auto value) { return std::to_string(value) + " "; };
    IO_SCSI_CAPABILITIES c;
    ASSERT_EQ(unit_->Capabilities(c), 0u);
    EXPECT_EQ(n(c.Length) + n(c.MaximumTransferLength) + n(c.MaximumPhysicalPages) +
                  n(c.SupportedAsynchronousEvents) + n(c.AlignmentMask) + n(c.TaggedQueuing) +
                  n(c.AdapterScansDown) + n(c.AdapterUsesPio),
              "24 131072 33 1 7 0 1 1 ");
    // Without volume_bytes, size and geometry follow the capacity; the
    // inquiry's removable bit sets the media type.
    uint64_t size = 0;
    ASSERT_EQ(unit_->Size(size), 0u);
    DISK_GEOMETRY g;
    ASSERT_EQ(unit_->Geometry(g), 0u);
    EXPECT_EQ(n(size) + n(g.Cylinders.QuadPart) + n(g.MediaType) + n(g.TracksPerCylinder) +
                  n(g.SectorsPerTrack) + n(g.BytesPerSector),
              "1073741824 130 " + n(RemovableMedia) + "255 63 512 ");
}

TEST_F(SimAnswers, FileReadsArePositionedAndEndWithTheVolume) {
    UseProfile(R"({"volume_bytes": 10000, "timing": {"instant": true}})");
    const auto buffered = Open(false);
    const auto unbuffered = Open(true);
    const struct {
        bool unbuffered;
        uint64_t offset;
        uint32_t length, error, got;
    } cases[] = {
        {false, 9990, 100, 0, 10},
        {true, 9728, 512, 0, 272},
        {true, 100, 512, os::errors::kInvalidArgument, 0},  // unaligned offset
        {true, 512, 100, os::errors::kInvalidArgument, 0},  // unaligned length
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        std::vector<uint8_t> buffer(c.length + 8, 0xEE);
        uint32_t got = 12345;
        EXPECT_EQ(
            (c.unbuffered ? *unbuffered : *buffered).Read(c.offset, buffer.data(), c.length, got),
            c.error);
        ASSERT_EQ(got, c.got);
        EXPECT_EQ(buffer[got], 0xEE) << "wrote past what it read";
    }
}

// The shipped default.json is the built-in unit, a key left out takes the
// default's value, and every example loads.
TEST(SimProfiles, ExamplesAndTheBuiltInDefault) {
    namespace sim = os::units::sim;
    const std::string dir = std::string(VELKRAND_SOURCE_DIR) + "/examples/profiles";
    EXPECT_EQ(nlohmann::json::parse(testsupport::ReadFile(dir + "/default.json")),
              nlohmann::json::parse(sim::DefaultProfileText()));
    EXPECT_EQ(sim::ParseProfile("{}"), sim::ParseProfile(sim::DefaultProfileText()));
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        EXPECT_NO_THROW(sim::ParseProfile(testsupport::ReadFile(entry.path().string())))
            << entry.path();
    }
}

}  // namespace
